// ATSC PSIP with option g on real tables: a live TVCT, the table sections of test-042 put
// on the PIDs their MGT names, and the same sections packed back to back by a table
// compiler. Expected values come from the tables' readable form (test-042.xml in the shared
// samples; the live TVCT carries the same channels) and from the sections' own bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>

#include "../psi/psi_helpers.h"
#include "program.h"

using namespace kt;
using namespace kt::psi;

namespace {

constexpr uint16_t base = 0x1FFB;

// Sections by their own lengths in a run of back-to-back sections, up to 0xFF stuffing.
std::vector<bytes> split_sections(const bytes& run, size_t at = 0) {
    std::vector<bytes> out;
    while (at + 3 <= run.size() && run[at] != 0xFF) {
        const size_t length = size_t((run[at + 1] & 0x0F) << 8) | run[at + 2];
        if (at + 3 + length > run.size()) break;
        out.emplace_back(run.begin() + long(at), run.begin() + long(at + 3 + length));
        at += 3 + length;
    }
    return out;
}

// The payload of `pid` joined, pointer_fields left out, read from the first section start.
bytes section_run(const bytes& ts, uint16_t pid) {
    bytes run;
    long start = -1;
    for (size_t p = 0; p + 188 <= ts.size(); p += 188) {
        const uint8_t* h = &ts[p];
        if (packet_pid(h) != pid) continue;
        size_t i = (h[3] & 0x20) ? 5 + h[4] : 4;
        if (h[1] & 0x40) {
            if (start < 0) start = long(run.size() + h[i]);
            ++i;
        }
        run.insert(run.end(), ts.begin() + long(p + i), ts.begin() + long(p + 188));
    }
    return start < 0 ? bytes{} : bytes(run.begin() + start, run.end());
}

std::string psip_lines(const std::string& report) {
    const size_t from = report.find('\n', report.find("program = ")) + 1;
    return report.substr(from, report.find("\npackets for pid") - from);
}

struct element {
    uint8_t type;
    uint16_t pid;
    const char* language;
};

struct channel {
    const char* name;
    int minor;
    uint16_t program;
    std::vector<element> elements;
};

// The channels of the TVCT in test-042.xml: major 10, 8-VSB, TSID 0x1FE1, digital TV,
// source_id = minor number, the PCR on the video PID.
const std::vector<channel> channels = {
    {"KULX   ", 1, 3, {{0x02, 0x31, ""}, {0x81, 0x34, "eng"}, {0x81, 0x35, "eng"}}},
    {"TelXito", 2, 4, {{0x02, 0x41, ""}, {0x81, 0x44, "eng"}}},
    {"LightTV", 3, 5, {{0x02, 0x51, ""}, {0x81, 0x54, "eng"}}},
    {"Quest  ", 4, 6, {{0x02, 0x61, ""}, {0x81, 0x64, "eng"}}},
};

std::string channel_text(const channel& c) {
    std::string s = strf("TVCT short name = %s\nTVCT channel number = 10.%d\nTVCT modulation mode = 0x04\n", c.name,
                           c.minor) +
                    strf("TVCT channel TSID = 0x1fe1\nTVCT program number = 0x%04x\nTVCT service type = 0x0002\n",
                           c.program) +
                    strf("TVCT source id = 0x%04x\nTVCT desc bytes = 0x%04x\n\n", c.minor,
                           unsigned(5 + 6 * c.elements.size())) +
                    strf("SLD PCR pid = 0x%04x\n", c.elements[0].pid);
    for (const element& e : c.elements)
        s += strf("SLD stream type = 0x%02x\nSLD elementary pid = 0x%04x\nSLD language code = %s\n\n", e.type, e.pid,
                    e.language);
    return s;
}

// The MGT of test-042.xml: table_type, PID, version_number, number_bytes.
const std::vector<std::array<unsigned, 4>> mgt_tables = {
    {0x0000, 0x1FFB, 11, 218},  {0x0004, 0x1E80, 10, 68},   {0x0100, 0x1D00, 10, 1423}, {0x0101, 0x1D01, 10, 1708},
    {0x0102, 0x1D02, 10, 1487}, {0x0103, 0x1D03, 10, 1087}, {0x0200, 0x1E00, 10, 1848}, {0x0201, 0x1E01, 10, 1845},
    {0x0202, 0x1E02, 10, 2524}, {0x0203, 0x1E03, 10, 1898}, {0x0301, 0x1FFB, 0, 979},
};

std::string mgt_text(const bytes& section) {
    std::string s = strf("MGT tables defined = %d\n\n", int(mgt_tables.size()));
    for (const auto& [type, pid, version, size] : mgt_tables)
        s += strf("MGT table type = 0x%04x\nMGT table type pid = 0x%04x\nMGT table type version = 0x%02x\n", type,
                    pid, version) +
             strf("MGT table bytes = 0x%08x\nMGT table desc bytes = 0x0000\n\n", size);
    return s + "MGT desc bytes = 0x0000\n" + crc_line("MGT", section) + "\n";
}

}  // namespace

TEST(PsipE2E, LiveTvctPrintsEveryChannel) {
    const std::string file = test_data("test-043.pmtvct.ts");
    const std::vector<bytes> tvct = split_sections(section_run(read_file(file), base));
    ASSERT_EQ(tvct.size(), 1u);
    std::string expected = "TVCT number of channels = 4\n\n";
    for (const channel& c : channels) expected += channel_text(c);
    expected += "TVCT additional desc bytes = 0x0000\n" + crc_line("TVCT", tvct[0]) + "\n";
    temp_dir dir;
    EXPECT_EQ(psip_lines(run_kavel({"-psg", file, "1", "1", "1"}, dir.path()).out), expected);
    EXPECT_EQ(psip_lines(run_kavel({"-ps", file, "1", "1", "1"}, dir.path()).out), "");
}

TEST(PsipE2E, Test042TablesOnTheirPids) {
    const std::vector<bytes> sections = split_sections(read_file(test_data("test-042.sections.bin")));
    ASSERT_GE(sections.size(), 10u);
    // EITs on the EIT-3 PID and ETTs on the channel ETT PID, as the MGT names them; the
    // rest on the base PID. A second, empty MGT of version 0 follows the TVCT.
    std::map<uint16_t, uint8_t> cc;
    bytes in;
    for (const bytes& s : sections) {
        const uint16_t pid = s[0] == 0xCB ? 0x1D03 : s[0] == 0xCC ? 0x1E80 : base;
        in = in + section_packets(pid, s, cc[pid]);
    }
    const std::string event_a = strf(
        "EIT event id = 0x3bcd\nEIT start time = 0x%08x\nEIT length in seconds = 3600\nEIT title length = 0x00\n\n"
        "EIT desc bytes = 0x0000\n\n",
        0x4AB96EA8u);  // 2019-09-28 00:41:12 as seconds since 1980-01-06, as the XML counts them
    const std::string event_b = strf(
        "EIT event id = 0x1698\nEIT start time = 0x%08x\nEIT length in seconds = 1800\nEIT title length = 0x25\n"
        "engEnglish titlefooFoo title\nEIT desc bytes = 0x0009\nCaption Service Descriptor\n"
        "Content Advisory Descriptor\n\n",
        0x4ABA17CEu);  // 2019-09-28 12:42:54
    const std::string r = psip_lines("program = \n" + expect_split_invariant(in, [](context& c) {
                                                         c.options.dump_psip = 1;
                                                     }).report);
    EXPECT_EQ(r.substr(0, r.find("TVCT number")), mgt_text(sections[0]));
    std::string channel_lines;
    for (const channel& c : channels) channel_lines += channel_text(c);
    EXPECT_NE(r.find("TVCT number of channels = 4\n\n" + channel_lines), std::string::npos);
    for (const bytes& s : sections)
        if (s[0] == 0xC7 || s[0] == 0xC8) {
            EXPECT_NE(r.find(crc_line(s[0] == 0xC7 ? "MGT" : "TVCT", s)), std::string::npos);
        }
    EXPECT_NE(r.find("EIT3 events defined = 0\n\n\nEIT3 events defined = 2\n\n" + event_a + event_b + "\n"),
              std::string::npos);
}

TEST(PsipE2E, PackedSectionsOnTheBasePidGiveBothMgtsWhole) {
    const std::string sample = test_data("test-042.pack.ts");
    bytes ts = read_file(sample);
    ASSERT_EQ(ts.size(), 8 * 188u);
    for (size_t p = 0; p < ts.size(); p += 188) {  // PID 0xC8 to the base PID
        ts[p + 1] = uint8_t((ts[p + 1] & 0xE0) | (base >> 8));
        ts[p + 2] = uint8_t(base);
    }
    temp_dir dir;
    write_file(dir.file("pack.ts"), ts);
    // The MGTs as the table compiler wrote them: the packets' payloads joined, read from
    // the first pointer on, one section after the other.
    std::string expected;
    for (const bytes& s : split_sections(section_run(ts, base)))
        if (s[0] == 0xC7) expected += crc_line("MGT", s);
    ASSERT_EQ(std::count(expected.begin(), expected.end(), '\n'), 2);
    const program_result r = run_kavel({"-psg", "pack.ts", "1", "1", "1"}, dir.path());
    EXPECT_EQ(lines_starting_with(r.out, {"MGT CRC"}), expected);
}
