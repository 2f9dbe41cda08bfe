// PAT parser: the program list, the choice of pmt_pid, and the section
// framing on PID 0 (pointer gaps, bodies across packets, unit starts, lengths).
#include <gtest/gtest.h>

#include "psi_helpers.h"

using namespace kt;
using namespace kt::psi;

namespace {

setup_fn program(int32_t number) {
    return [=](context& c) { c.selection.program_number = number; };
}

// What the run reported before the final report.
std::string listing(const run_result& r) { return r.report.substr(0, r.report.find("\npackets for pid")); }

uint16_t pmt_pid_after(const bytes& in, int32_t number = 1) {
    return run_capture(in, {}, program(number))->ctx().selection.pmt_pid;
}

}  // namespace

TEST(PatList, ListsEveryProgramOnceAndPicksTheRequestedOne) {
    const bytes pat = pat_section({{0, 0x0010}, {1, 0x1000}, {7, 0x1FFE}, {0x1234, 0x0100}});
    const bytes in = on_pid(0, {pat, pat});
    const run_result r = expect_split_invariant(in, program(7));
    EXPECT_EQ(listing(r),
              "Program Number = 0 (0x0000), Program Map PID = 16 (0x0010)\n"
              "Program Number = 1 (0x0001), Program Map PID = 4096 (0x1000)\n"
              "Program Number = 7 (0x0007), Program Map PID = 8190 (0x1ffe)\n"
              "Program Number = 4660 (0x1234), Program Map PID = 256 (0x0100)\n");
    EXPECT_EQ(pmt_pid_after(in, 7), 0x1FFE);
    EXPECT_EQ(pmt_pid_after(in, 0x1234), 0x0100);
}

TEST(PatList, ProgramNotListedLeavesPmtPidUnset) {
    uint8_t cc = 0;
    const bytes in = section_packets(0, pat_section({{1, 0x1000}}), cc);
    EXPECT_EQ(pmt_pid_after(in, 2), no_pid);
    EXPECT_EQ(listing(expect_split_invariant(in, program(2))), program_line(1, 0x1000));
}

TEST(PatList, ProgramZeroSelectsTheNetworkPidAndOutOfRangeNumbersNeverMatch) {
    uint8_t cc = 0;
    const bytes in = section_packets(0, pat_section({{0, 0x0010}, {1, 0x1000}, {0xFFFF, 0x0200}}), cc);
    EXPECT_EQ(pmt_pid_after(in, 0), 0x0010);
    EXPECT_EQ(pmt_pid_after(in, 65535), 0x0200);
    EXPECT_EQ(pmt_pid_after(in, 65536 + 1), no_pid);  // not taken modulo 2^16
    EXPECT_EQ(pmt_pid_after(in, -1), no_pid);
}

TEST(PatList, LaterPatMovesPmtPidWithoutPrintingAgain) {
    const bytes in = on_pid(0, {pat_section({{1, 0x1000}}), pat_section({{2, 0x1001}, {1, 0x1002}})});
    EXPECT_EQ(listing(expect_split_invariant(in)), program_line(1, 0x1000));
    EXPECT_EQ(pmt_pid_after(in), 0x1002);
}

TEST(PatList, RepeatedProgramInOneTableLastEntryWins) {
    uint8_t cc = 0;
    const bytes in = section_packets(0, pat_section({{1, 0x1000}, {1, 0x1001}}), cc);
    EXPECT_EQ(pmt_pid_after(in), 0x1001);
}

TEST(PatList, CrcOnlyBodyListsNothingAndNoLaterPatIsListed) {
    const bytes in = on_pid(0, {pat_section({}), pat_section({{1, 0x1000}})});
    EXPECT_EQ(listing(expect_split_invariant(in)), "");
    EXPECT_EQ(pmt_pid_after(in), 0x1000);
}

TEST(PatFraming, PointerFieldSkipsTheGapBeforeTheSection) {
    uint8_t cc = 0;
    const bytes in = section_packets(0, pat_section({{1, 0x1000}}), cc, 3);
    EXPECT_EQ(listing(expect_split_invariant(in)), program_line(1, 0x1000));
}

TEST(PatFraming, PointerGapRunsOnIntoTheNextPacket) {
    // pointer_field 200: 183 gap bytes in the first packet, 17 more in the second.
    uint8_t cc = 0;
    const bytes unit = bytes{200} + repeat(0x00, 200) + pat_section({{1, 0x1000}});
    const bytes in = spread(0, unit, cc);
    EXPECT_EQ(listing(expect_split_invariant(in)), program_line(1, 0x1000));
    EXPECT_EQ(pmt_pid_after(in), 0x1000);
}

TEST(PatFraming, SectionAcrossPacketsIsParsedWhenItsLastByteArrives) {
    std::vector<pat_entry> entries;
    std::string expected;
    for (uint16_t i = 1; i <= 100; ++i) {  // 400 entry bytes: three packets
        entries.push_back({i, uint16_t(0x100 + i)});
        expected += program_line(i, uint16_t(0x100 + i));
    }
    uint8_t cc = 0;
    const bytes in = section_packets(0, pat_section(entries), cc);
    EXPECT_EQ(in.size(), 3 * 188u);
    EXPECT_EQ(listing(expect_split_invariant(in, program(100))), expected);
    EXPECT_EQ(pmt_pid_after(in, 100), 0x164);
    // Without its last packet the table is never parsed.
    EXPECT_EQ(run_capture(bytes(in.begin(), in.end() - 188), {}, program(100))->ctx().selection.pmt_pid, no_pid);
}

TEST(PatFraming, UnitStartPointerFieldBoundsTheSectionInProgress) {
    // A section of 212 bytes, 183 in the first packet: 29 are still due when the next
    // unit start comes. Its first payload byte is the pointer_field, whatever the parser is
    // doing; the section in progress gets at most that many bytes.
    std::vector<pat_entry> entries;
    for (uint16_t i = 1; i <= 50; ++i) entries.push_back({i, uint16_t(0x100 + i)});
    const bytes first = pat_section(entries);
    const bytes rest(first.begin() + 183, first.end());
    const bytes next = pat_section({{1, 0x1FF0}});
    struct gap_case {
        const char* name;
        bytes unit2;
        size_t listed;  // program lines printed: the first section's 50, or the next one's 1
    };
    const gap_case cases[] = {
        {"exact remainder", bytes{29} + rest + next, 50},
        {"remainder and stuffing", bytes{32} + rest + bytes{0xFF, 0xFF, 0xFF} + next, 50},
        {"lost packet, pointer 0", bytes{0} + next, 1},
        {"lost packet, too few bytes", bytes{10} + bytes(rest.begin() + 19, rest.end()) + next, 1},
    };
    for (const gap_case& c : cases) {
        const bytes unit1 = bytes{0} + bytes(first.begin(), first.begin() + 183);
        const bytes in = payload_packet(0, true, 0, unit1) + payload_packet(0, true, 1, c.unit2);
        const std::string l = listing(expect_split_invariant(in, program(1)));
        EXPECT_EQ(count_of(l, "Program Number"), c.listed) << c.name;
        EXPECT_EQ(pmt_pid_after(in), 0x1FF0) << c.name;
    }
}

TEST(PatFraming, SecondSectionInTheSamePacketIsNotRead) {
    const bytes unit = bytes{0} + pat_section({{1, 0x1000}}) + pat_section({{1, 0x1001}});
    const bytes in = payload_packet(0, true, 0, unit);
    EXPECT_EQ(listing(expect_split_invariant(in)), program_line(1, 0x1000));
    EXPECT_EQ(pmt_pid_after(in), 0x1000);
}

TEST(PatLength, SectionLength1021IsAcceptedAnd1022Rejected) {
    // 1021 = 5 extension bytes + 253 entries + CRC_32.
    std::vector<pat_entry> entries;
    for (uint16_t i = 1; i <= 253; ++i) entries.push_back({i, uint16_t(0x100 + i)});
    const bytes longest = pat_section(entries);
    ASSERT_EQ(longest.size(), 3u + 1021u);
    uint8_t cc = 0;
    const bytes accepted = section_packets(0, longest, cc);
    const run_result r = expect_split_invariant(accepted, program(253));
    EXPECT_EQ(count_of(listing(r), "Program Number"), 253u);
    EXPECT_NE(listing(r).find(program_line(253, 0x1FD)), std::string::npos);
    EXPECT_EQ(pmt_pid_after(accepted, 253), 0x1FD);

    // One byte more: reported, ignored, and the next unit start recovers.
    const bytes too_long = section_with_length(0x00, 1022, repeat(0x00, 1022));
    cc = 0;
    const bytes rejected = on_pid(0, {too_long, pat_section({{1, 0x1000}})});
    EXPECT_EQ(listing(expect_split_invariant(rejected)), "PAT Section length = 1022\r\n" + program_line(1, 0x1000));
    EXPECT_EQ(pmt_pid_after(rejected), 0x1000);
}

TEST(PatLength, LengthFieldIsTwelveBits) {
    // The top nibble of the second byte is not part of section_length.
    bytes section = pat_section({{1, 0x1000}});
    section[1] |= 0xF0;
    uint8_t cc = 0;
    EXPECT_EQ(pmt_pid_after(section_packets(0, section, cc)), 0x1000);
    const bytes big = section_with_length(0x00, 0xFFF, {});
    cc = 0;
    EXPECT_EQ(listing(expect_split_invariant(section_packets(0, big, cc))), "PAT Section length = 4095\r\n");
}

TEST(PatSections, MultiSectionTableIsJoinedWithoutTheInnerCrc) {
    const bytes in = on_pid(0, {pat_section({{1, 0x1000}, {2, 0x1001}}, 0, 1), pat_section({{3, 0x1002}}, 1, 1)});
    const run_result r = expect_split_invariant(in, program(3));
    EXPECT_EQ(listing(r), program_line(1, 0x1000) + program_line(2, 0x1001) + program_line(3, 0x1002));
    EXPECT_EQ(pmt_pid_after(in, 3), 0x1002);
}

TEST(PatSections, SectionNumberZeroRestartsTheJoin) {
    const bytes in = on_pid(
        0, {pat_section({{1, 0x1000}}, 0, 1), pat_section({{2, 0x1001}}, 0, 1), pat_section({{3, 0x1002}}, 1, 1)});
    EXPECT_EQ(listing(expect_split_invariant(in)), program_line(2, 0x1001) + program_line(3, 0x1002));
}

TEST(PatSections, JoinedTablesBeyondTheProgramListAreCutAtItsEnd) {
    // Two sections of 253 entries each: 256 programs are kept.
    std::vector<pat_entry> a, b;
    for (uint16_t i = 0; i < 253; ++i) {
        a.push_back({uint16_t(1 + i), uint16_t(0x100 + i)});
        b.push_back({uint16_t(1001 + i), uint16_t(0x800 + i)});
    }
    const bytes in = on_pid(0, {pat_section(a, 0, 1), pat_section(b, 1, 1)});
    const run_result r = expect_split_invariant(in, program(1002));
    EXPECT_EQ(count_of(listing(r), "Program Number"), 256u);
    EXPECT_NE(listing(r).find(program_line(1003, 0x802)), std::string::npos);
    EXPECT_EQ(listing(r).find(program_line(1004, 0x803)), std::string::npos);
    EXPECT_EQ(run_capture(in, {}, program(1002))->ctx().selection.pmt_pid, 0x801);
}
