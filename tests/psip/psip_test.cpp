// PSIP collectors and printers: tables assembled across packets and sections, the
// unit-start pointer_field, versions, the MGT's routing of EIT PIDs, and tables that claim
// more than was collected.
#include <gtest/gtest.h>

#include "../psi/psi_helpers.h"
#include "audio_frames.h"
#include "program.h"

using namespace kt;
using namespace kt::psi;

namespace {

constexpr uint16_t base = 0x1FFB;

void option_g(context& c) { c.options.dump_psip = 1; }

// A long-form PSIP section: protocol_version 0, then `body`.
bytes psip_section(uint8_t table_id, const bytes& body, uint8_t version = 0, uint8_t number = 0, uint8_t last = 0) {
    return psi_section(table_id, 1, number, last, bytes{0} + body, version);
}

bytes u16(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }

// A one-byte count, then the items.
bytes counted(const std::vector<bytes>& items) {
    bytes b{uint8_t(items.size())};
    for (const bytes& i : items) b = b + i;
    return b;
}

// One TVCT channel: 8-VSB, TSID 0x1FE1, service type 2, source id = program.
bytes tvct_channel(const std::string& name, uint16_t major, uint16_t minor, uint16_t program,
                   const bytes& descriptors = {}) {
    bytes b;
    for (size_t i = 0; i < 7; ++i) b = b + bytes{0, uint8_t(i < name.size() ? name[i] : 0)};
    b = b + bytes{uint8_t(0xF0 | (major >> 6)), uint8_t((major << 2) | (minor >> 8)), uint8_t(minor), 0x04};
    b = b + bytes{0, 0, 0, 0} + u16(0x1FE1) + u16(program) + bytes{0x0D, 0xC2} + u16(program);
    return b + u16(0xFC00 | descriptors.size()) + descriptors;
}

bytes tvct(const std::vector<bytes>& channels, uint8_t version = 0, uint8_t number = 0, uint8_t last = 0) {
    return psip_section(0xC8, counted(channels) + u16(0xFC00), version, number, last);
}

// One event of 1800 s at GPS second 0x4ABA17CE with `title` and `descriptors`.
bytes eit_event(uint16_t id, const bytes& title, const bytes& descriptors) {
    return u16(0xC000 | id) + bytes{0x4A, 0xBA, 0x17, 0xCE, 0xE0, 0x07, 0x08, uint8_t(title.size())} + title +
           u16(0xF000 | descriptors.size()) + descriptors;
}

bytes eit(const std::vector<bytes>& events, uint8_t version = 0) { return psip_section(0xCB, counted(events), version); }

bytes mgt(const std::vector<std::pair<uint16_t, uint16_t>>& tables, uint8_t version = 0) {
    bytes body = u16(tables.size());
    for (const auto& [type, pid] : tables) body = body + u16(type) + u16(0xE000 | pid) + bytes{0xE3, 0, 0, 1, 0} + u16(0xF000);
    return psip_section(0xC7, body + u16(0xF000), version);
}

std::string report_of(const bytes& in, const setup_fn& setup = option_g) {
    const std::string r = expect_split_invariant(in, setup).report;
    return r.substr(0, r.find("\npackets for pid"));
}

const bytes kab_channel = tvct_channel("KAB", 7, 1, 3,
                                       bytes{0xA1, 15, 0xE0, 0x31, 2, 0x02, 0xE0, 0x31, 0, 0, 0, 0x81, 0xE0, 0x34} +
                                           from_string("eng") + bytes{0xA2, 1, 0x55, 0xA0, 3} + from_string("K-A"));

}  // namespace

TEST(PsipTvct, ChannelNumberNamesAndDescriptorsAndNothingWithoutOptionG) {
    const bytes in = on_pid(base, {tvct({kab_channel})});
    EXPECT_EQ(lines_starting_with(report_of(in), {"TVCT short", "TVCT channel number", "SLD lang", "Extended", "TVCT desc"}),
              "TVCT short name = KAB\nTVCT channel number = 7.1\nTVCT desc bytes = 0x0019\n"
              "SLD language code = \nSLD language code = eng\nExtended Channel Name = K-A\n");
    EXPECT_EQ(report_of(in, {}), "");
}

TEST(PsipCollector, TvctOverThreePacketsPrintedOncePerVersion) {
    std::vector<bytes> channels;
    for (uint16_t i = 1; i <= 12; ++i) channels.push_back(tvct_channel("CH", 20, i, i));
    const bytes in = on_pid(base, {tvct(channels, 4), tvct(channels, 4), tvct(channels, 5)});
    ASSERT_EQ(in.size(), 9 * 188u);  // three packets each
    const std::string r = report_of(in);
    EXPECT_EQ(count_of(r, "TVCT number of channels = 12\n"), 2u);
    EXPECT_EQ(count_of(r, "TVCT channel number = 20.12\n"), 2u);
    EXPECT_EQ(count_of(r, crc_line("TVCT", tvct(channels, 4))), 1u);
    // Without its last packet the table never completes.
    EXPECT_EQ(report_of(slice(in, 0, 2 * 188)), "");
}

TEST(PsipCollector, SectionsJoinOnlyTheTableTheyContinue) {
    const bytes s0 = tvct({tvct_channel("A", 2, 1, 1)}, 1, 0, 1), s1 = tvct({tvct_channel("B", 2, 2, 2)}, 1, 1, 1);
    const bytes stt = psip_section(0xCD, bytes(8, 0));
    const bytes s2 = tvct({tvct_channel("C", 2, 3, 3)}, 1, 2, 2);
    const struct {
        const char* name;
        std::vector<bytes> sections;
        size_t printed;
    } cases[] = {
        {"sections 0 and 1", {s0, s1}, 1},
        {"section 1 without section 0", {s1}, 0},
        {"another table in between", {s0, stt, s1}, 0},
        {"a section number skipped", {tvct({}, 1, 0, 2), s2}, 0},
        {"another table's section 1", {s0, psip_section(0xCB, {0}, 1, 1, 1)}, 0},
    };
    for (const auto& c : cases) {
        const std::string r = report_of(on_pid(base, c.sections));
        EXPECT_EQ(count_of(r, "TVCT number of channels") + count_of(r, "events defined"), c.printed) << c.name;
        if (c.printed == 0) continue;
        // Joined whole: the printer reads section 0's table, then its CRC_32, of both bodies.
        EXPECT_NE(r.find("TVCT short name = A\n"), std::string::npos);
        EXPECT_NE(r.find(", " + std::to_string(s0.size() + s1.size() - 18) + ", " + std::to_string(s0.size() - 9) + "\n"),
                  std::string::npos);
    }
}

TEST(PsipCollector, UnitStartPointerFieldBoundsTheSectionInProgress) {
    // A TVCT split after 183 bytes; the rest is due at the next unit start, whose first
    // byte is the pointer_field. An EIT follows the pointer.
    const bytes table = tvct({kab_channel, kab_channel, kab_channel, kab_channel});
    const bytes rest(table.begin() + 183, table.end());
    const uint8_t due = uint8_t(rest.size());
    const bytes next = eit({});
    const bytes unit1 = bytes{0} + bytes(table.begin(), table.begin() + 183);
    const struct {
        const char* name;
        bytes unit2;
        size_t tables;
    } cases[] = {
        {"exact remainder", bytes{due} + rest + next, 1},
        {"remainder and stuffing", bytes{uint8_t(due + 2)} + rest + bytes{0xFF, 0xFF} + next, 1},
        {"lost packet, pointer 0", bytes{0} + next, 0},
        {"lost packet, too few bytes", bytes{20} + bytes(rest.end() - 20, rest.end()) + next, 0},
    };
    for (const auto& c : cases) {
        const std::string r = report_of(payload_packet(base, true, 0, unit1) + payload_packet(base, true, 1, c.unit2));
        EXPECT_EQ(count_of(r, "TVCT number of channels = 4\n"), c.tables) << c.name;
        EXPECT_EQ(count_of(r, crc_line("TVCT", table)), c.tables) << c.name;
        EXPECT_EQ(count_of(r, "EIT0 events defined = 0\n"), 1u) << c.name;
    }
    // A section ending with its packet, and the next packet's pointer_field 0.
    const bytes filling = tvct({tvct_channel(std::string(7, 'x'), 3, 3, 3, bytes{0xA2, 133} + bytes(133, 0))});
    ASSERT_EQ(filling.size(), 183u);
    const std::string r = report_of(on_pid(base, {filling, next}));
    EXPECT_EQ(count_of(r, "TVCT number of channels = 1\n") + count_of(r, "EIT0 events defined = 0\n"), 2u);
}

TEST(PsipCollector, TwoSectionsInOnePacketOnlyTheFirstIsRead) {
    const bytes in = payload_packet(base, true, 0, bytes{0} + tvct({kab_channel}) + eit({}));
    const std::string r = report_of(in);
    EXPECT_EQ(count_of(r, "TVCT number of channels"), 1u);
    EXPECT_EQ(count_of(r, "EIT"), 0u);
}

TEST(PsipEit, IndexFromTheMgtAndEventFieldsByteExact) {
    // The title as a multiple_string_structure: one string "eng", one segment of 5 bytes.
    const bytes title = bytes{1} + from_string("eng") + bytes{1, 0, 0, 5} + from_string("News\x01");
    const bytes descriptors = bytes{0x81, 1, 0, 0x86, 0, 0x87, 2, 1, 2, 0xA2, 1, 9, 0xAA, 2, 0x12, 0xEF};
    const bytes events = eit({eit_event(0x1698, title, descriptors)}, 3);
    const std::string event_text =
        " events defined = 1\n\n"
        "EIT event id = 0x1698\n"
        "EIT start time = 0x4aba17ce\n"
        "EIT length in seconds = 1800\n"
        "EIT title length = 0x0d\n"
        "engNews\n"
        "EIT desc bytes = 0x0010\n"
        "AC-3 Audio Descriptor\n"
        "Caption Service Descriptor\n"
        "Content Advisory Descriptor\n"
        "RCD information = 0x12, 0xef, \n\n\n";
    uint8_t cc = 0, eit_cc = 0;
    const bytes guide = mgt({{0x0000, base}, {0x0102, 0x1D02}, {0x0301, base}}, 7);
    // Before the MGT the EIT PID is not collected; after it, its EIT has index 2. The EIT
    // on the base PID has index 0.
    bytes in = section_packets(0x1D02, events, eit_cc);
    in = in + section_packets(base, guide, cc);
    in = in + section_packets(0x1D02, events, eit_cc);
    in = in + section_packets(base, events, cc);
    const std::string r = report_of(in);
    EXPECT_EQ(r.substr(r.find("EIT")), "EIT2" + event_text + "EIT0" + event_text);
    const auto cap = run_capture(in, {}, option_g);
    EXPECT_EQ(cap->ctx().psip_routes.slot[3], 0x1D02);
    EXPECT_EQ(cap->ctx().psip_routes.table_type[0x1D02], 0x0102);
}

TEST(PsipEit, MgtAnnouncingItsOwnPidReplacesItsCollectorAfterThePrint) {
    const std::string r = report_of(on_pid(base, {mgt({{0x0101, base}}), eit({})}));
    EXPECT_NE(r.find("MGT CRC = "), std::string::npos);
    EXPECT_NE(r.find("EIT1 events defined = 0\n"), std::string::npos);
}

TEST(PsipEit, PidNoLongerAnnouncedLosesItsCollector) {
    // EIT-0 moves from 0x1D00 to 0x1D01 while ETT-0 stays on 0x1D02; then an MGT on 0x1D01
    // (collected as EIT-0) moves EIT-0 on again, away from its own PID.
    const bytes moves = on_pid(base, {mgt({{0x0100, 0x1D00}, {0x0200, 0x1D02}}, 1), mgt({{0x0100, 0x1D01}}, 2)});
    const auto cap = run_capture(moves + on_pid(0x1D01, {mgt({{0x0100, 0x1D03}}, 3)}), {}, option_g);
    const auto& collector = cap->ctx().psip_routes.collector;
    EXPECT_EQ(collector[0x1D00], nullptr);
    EXPECT_EQ(collector[0x1D01], nullptr);
    EXPECT_NE(collector[0x1D02], nullptr);  // still ETT-0's
    EXPECT_NE(collector[0x1D03], nullptr);
    EXPECT_NE(collector[base], nullptr);
}

TEST(PsipTruncation, ShortLongAndOverrunningTables) {
    // section_length 5 cannot hold the six fixed bytes: ignored, nothing wraps.
    const bytes too_short = section_with_length(0xC8, 5, bytes{0, 1, 0xC1, 0, 0, 0});
    const std::string r = report_of(on_pid(base, {too_short, tvct({kab_channel})}));
    EXPECT_EQ(count_of(r, "TVCT number of channels = 1\n"), 1u);
    EXPECT_EQ(run_capture(on_pid(base, {too_short}), {}, option_g)->ctx().psip_routes.collector[base]->reader.section_remaining,
              0);

    // Joined bodies beyond 4098 bytes: the excess is dropped.
    const bytes big0 = tvct({bytes(3000, 0)}, 0, 0, 1), big1 = tvct({bytes(3000, 0)}, 0, 1, 1);
    const auto cap = run_capture(on_pid(base, {big0, big1}), {}, option_g);
    EXPECT_EQ(cap->ctx().psip_routes.collector[base]->stored, psip_data_capacity);

    // Three channels announced, one carried: the table stops at the first missing field.
    bytes cut = tvct({kab_channel});
    cut[9] = 3;
    const std::string partial = report_of(on_pid(base, {cut}));
    EXPECT_EQ(count_of(partial, "TVCT short name = "), 1u);
    EXPECT_EQ(count_of(partial, "TVCT CRC"), 0u);

    // A descriptor longer than its loop ends the loop; the table goes on after the loop.
    const bytes overlong = tvct({tvct_channel("L", 1, 1, 1, bytes{0xA0, 9, 'a', 'b', 'c'})});
    const std::string rest = report_of(on_pid(base, {overlong}));
    EXPECT_EQ(count_of(rest, "Extended Channel Name"), 0u);
    EXPECT_EQ(count_of(rest, crc_line("TVCT", overlong)), 1u);
}
