// The program as a user runs it: argument forms, open failures, the empty input, the
// per-PID report on real streams, damaged captures and read and write errors.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "feeder.h"
#include "mpeg2_units.h"
#include "program.h"

using namespace kt;

namespace {

const std::string banner = "kavel Transport Stream Demuxer 1.01\n";

const std::string usage_text =
    "kavel Transport Stream Demuxer 1.01\n\n"
    "Usage:\n"
    "\tkavel <-pavtdszgher2nj> <infile> <program number> <video stream number> <audio stream numbers>\n"
    "\tkavel -l[hj] <infile> [<program number>]\n\n"
    "Options:\n"
    "\tp = parse only, do not demux to video and audio files\n"
    "\ta = dump audio PTS\n"
    "\tv = dump video PTS\n"
    "\tt = GOP timecode mode, count repeated fields/frames\n"
    "\td = dump all PID's (useful for debugging muxers, but tons of output)\n"
    "\ts = suppress TS rate dumping (useful when piping output to a file)\n"
    "\tz = demux to PES streams (instead of elementary streams)\n"
    "\tg = dump ATSC PSIP information\n"
    "\th = input file is in HDMV (AVCHD and Blu-ray) format (192 byte packets)\n"
    "\te = dump HDMV arrival_time_stamp difference\n"
    "\tr = dump PCR\n"
    "\t2 = only extract 2 channels of HDMV LPCM audio from multi-channel tracks\n"
    "\tl = list the programs and their streams with the numbers to give, then stop\n"
    "\tn = name the output files after the input and each stream's PID and language\n"
    "\tj = print the report as one JSON document\n"
    "\tThe audio stream numbers: a number, a comma list (1,3), or all.\n";

// The line after a missing program or stream, pointing to the listing of `file`.
std::string hint(const std::string& file) { return "The programs and the numbers of their streams: kavel -l " + file + "\n"; }

bool exists(const std::string& path) { return std::filesystem::exists(path); }

// The "packets for pid" lines an independent packet count gives: "pid count first last".
std::string pid_lines_from_count(const std::string& count_file) {
    std::ifstream in(count_file);
    std::string out;
    unsigned pid, count, first, last;
    while (in >> pid >> count >> first >> last)
        out += strf("packets for pid %4u <0x%04x> = %u, first = %u, last = %u\n", pid, pid, count, first, last);
    return out;
}

std::string pid_lines_from_report(const std::string& report) {
    return lines_starting_with(report, {"packets for pid"});
}

}  // namespace

TEST(ProgramE2E, UsageForEveryWrongForm) {
    temp_dir dir;
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"a.ts"}, {"a.ts", "1"}, {"a.ts", "1", "1"}, {"-p", "a.ts", "1", "1", "1", "1"}, {"p", "a.ts", "1", "1", "1"}};
    for (const auto& args : wrong) {
        const program_result r = run_kavel(args, dir.path());
        EXPECT_EQ(r.status, 255) << args.size();
        EXPECT_EQ(r.err, usage_text);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(exists(dir.file("bits0001.mpv")));
}

TEST(ProgramE2E, OpenFailuresComeInOrderAndCreateNothingEarly) {
    temp_dir dir;
    program_result r = run_kavel({"-pX", "missing.ts", "1", "1", "1"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Unsupported Option: X\nCannot open bitstream file <missing.ts>\n");
    r = run_kavel({"missing.ts", "1", "1", "1"}, dir.path());
    EXPECT_EQ(r.err, "Cannot open bitstream file <missing.ts>\n");
    EXPECT_FALSE(exists(dir.file("bits0001.mpv")));
    EXPECT_FALSE(exists(dir.file("bits0001.mpa")));

    write_file(dir.file("empty.ts"), {});
    std::filesystem::create_directory(dir.file("bits0001.mpv"));
    r = run_kavel({"empty.ts", "1", "1", "1"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Cannot open video output file <bits0001.mpv>\n");
    EXPECT_EQ(r.out, "");

    std::filesystem::remove(dir.file("bits0001.mpv"));
    std::filesystem::create_directory(dir.file("bits0001.mpa"));
    r = run_kavel({"empty.ts", "1", "1", "1"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Cannot open audio output file <bits0001.mpa>\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.file("bits0001.mpv")));
}

TEST(ProgramE2E, EmptyInput) {
    temp_dir dir;
    write_file(dir.file("empty.ts"), {});
    const std::string expected = banner +
                                 "program = 1, video channel = 1, audio channel = 1\n"
                                 "\n"
                                 "coded pictures = 0, video fields = 0\n"
                                 "Ending audio to video PTS difference: no audio time stamps\n";
    // No PAT, so the program asked for is missing; with p that is no failure.
    program_result r = run_kavel({"empty.ts", "1", "1", "1"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "Program 1 not found\n" + hint("empty.ts"));
    EXPECT_EQ(std::filesystem::file_size(dir.file("bits0001.mpv")), 0u);
    EXPECT_EQ(std::filesystem::file_size(dir.file("bits0001.mpa")), 0u);

    temp_dir bare;
    write_file(bare.file("empty.ts"), {});
    r = run_kavel({"-PpP", "empty.ts", "1", "1", "1"}, bare.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, expected);
    EXPECT_FALSE(exists(bare.file("bits0001.mpv")));
    EXPECT_FALSE(exists(bare.file("bits0001.mpa")));

    // Four arguments: a leading '-' names the file; no option is set.
    write_file(bare.file("-p"), {});
    r = run_kavel({"-p", "x", "-3", "7"}, bare.path());
    EXPECT_EQ(r.err, "Program 0 not found\n" + hint("-p"));
    EXPECT_NE(r.out.find("program = 0, video channel = -3, audio channel = 7\n"), std::string::npos);
    EXPECT_TRUE(exists(bare.file("bits0001.mpv")));
}

TEST(ProgramE2E, MissingProgramOrStreamFailsAfterTheReport) {
    // multi_program.ts: program 1 (video, audio), 7 (video, two audios), 3 (one audio).
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"5", "1", "1"}, "Program 5 not found\n"},
        {{"7", "2", "1"}, "Video stream 2 not found in program 7\n"},
        {{"3", "1", "1"}, "Video stream 1 not found in program 3\n"},
        {{"7", "1", "3"}, "Audio stream 3 not found in program 7\n"},
        {{"1", "-1", "2"}, "Video stream -1 not found in program 1\nAudio stream 2 not found in program 1\n"},
        {{"3", "0", "1"}, ""},
        {{"7", "0", "0"}, ""}};
    temp_dir dir;
    for (const auto& [numbers, message] : cases) {
        SCOPED_TRACE(message);
        std::vector<std::string> args = {"-s", test_data("multi_program.ts")};
        args.insert(args.end(), numbers.begin(), numbers.end());
        const program_result r = run_kavel(args, dir.path());
        EXPECT_EQ(r.err, message.empty() ? "" : message + hint(args[1]));
        EXPECT_EQ(r.status, message.empty() ? 0 : 255);
        // Only looking at the stream, nothing is missing; the report is the same.
        args[0] = "-ps";
        const program_result look = run_kavel(args, dir.path());
        EXPECT_EQ(look.status, 0);
        EXPECT_EQ(look.err, "");
        EXPECT_EQ(look.out, r.out);
    }
}

TEST(ProgramE2E, PerPidReportMatchesAnIndependentCount) {
    const std::vector<std::pair<std::string, std::string>> streams = {
        {"mpeg2_ac3_51.ts", "-ps"},     {"mpeg2_mp2_2997.ts", "-ps"}, {"mpeg2_ac3_44k.ts", "-ps"},
        {"multi_program.ts", "-ps"},    {"m2ts_lpcm_16.m2ts", "-psh"}, {"m2ts_lpcm_51_24.m2ts", "-psh"},
        {"test-012.ts", "-ps"},         {"test-026.ts", "-ps"},        {"test-143.ts", "-ps"},
        {"test-043.pmtvct.ts", "-ps"},  {"test-042.pack.ts", "-ps"},   {"audio_sync.ts", "-ps"}};
    temp_dir dir;
    for (const auto& [name, opts] : streams) {
        const std::string base = name.substr(0, name.rfind('.'));
        const program_result r = run_kavel({opts, test_data(name), "1", "1", "1"}, dir.path());
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(pid_lines_from_report(r.out), pid_lines_from_count(test_data(base + ".pids.txt"))) << name;
        EXPECT_EQ(r.out.find("Transport Sync Error"), std::string::npos) << name;
    }
}

TEST(ProgramE2E, SharedCapturesCountLikeAPacketWalk) {
    // The larger real captures are not copied into the project; count them here by
    // walking 188-byte steps (each of them is whole, unbroken packets).
    for (const std::string name : {"test-025.ts", "test-064.ts", "test-072.ts"}) {
        const std::string path = shared_sample(name);
        if (!file_exists(path)) GTEST_SKIP() << path << " not present";
        temp_dir dir;
        const program_result r = run_kavel({"-ps", path, "1", "1", "1"}, dir.path());
        EXPECT_EQ(pid_lines_from_report(r.out), pid_count_lines(read_file(path))) << name;
    }
}

TEST(ProgramE2E, DamagedCaptureReportsEveryLossWhereItHappened) {
    // mpeg2_ac3_51_damaged.ts: 333 leading garbage bytes, six dropped packets, four runs
    // of garbage between packets and one packet cut by 3 bytes (see its .json). Packet
    // numbers below are those of the damaged file. The cut packet borrows the next
    // packet's first three bytes; the search then meets a 0x47 inside that packet's
    // payload, reads a bogus packet (PID 0x17eb) and finds the real sync 58 bytes later.
    temp_dir dir;
    const program_result r = run_kavel({"-ps", test_data("mpeg2_ac3_51_damaged.ts"), "1", "1", "1"}, dir.path());
    EXPECT_EQ(lines_starting_with(r.out, {"Transport", "Discontinuity"}),
              "Transport Sync Error, skipped 333 bytes, at 0\n"
              "Discontinuity!, pid = 256 <0x0100>, received =  5, expected =  4, at 210\n"
              "Transport Sync Error, skipped 2 bytes, at 218\n"
              "Discontinuity!, pid = 256 <0x0100>, received =  3, expected =  2, at 248\n"
              "Discontinuity!, pid = 256 <0x0100>, received =  2, expected =  1, at 407\n"
              "Transport Sync Error, skipped 7 bytes, at 537\n"
              "Discontinuity!, pid = 256 <0x0100>, received = 14, expected = 13, at 761\n"
              "Transport Sync Error, skipped 127 bytes, at 845\n"
              "Transport Sync Error, skipped 58 bytes, at 846\n"
              "Discontinuity!, pid = 256 <0x0100>, received = 15, expected = 13, at 847\n"
              "Transport Sync Error, skipped 7 bytes, at 1135\n"
              "Discontinuity!, pid = 257 <0x0101>, received = 12, expected = 11, at 1193\n"
              "Transport Sync Error, skipped 1 bytes, at 1288\n"
              "Discontinuity!, pid = 256 <0x0100>, received =  7, expected =  6, at 1428\n");
    // Every PID but the video one counts as the intact packets do; video loses the packet
    // whose header the cut one swallowed.
    EXPECT_NE(r.out.find("packets for pid  256 <0x0100> = 1020, first = 4, last = 1600\n"), std::string::npos);
    EXPECT_NE(r.out.find("packets for pid  257 <0x0101> = 566, first = 93, last = 1627\n"), std::string::npos);
    EXPECT_NE(r.out.find("packets for pid 6123 <0x17eb> = 1, first = 846, last = 846\n"), std::string::npos);
}

TEST(ProgramE2E, LeadingGarbageChangesOnlyTheSyncLine) {
    temp_dir dir;
    const bytes clean = read_file(test_data("mpeg2_ac3_51.ts"));
    write_file(dir.file("shifted.ts"), bytes{1, 2, 3, 4, 5, 6, 7} + clean);
    const program_result a = run_kavel({"-s", test_data("mpeg2_ac3_51.ts"), "1", "1", "1"}, dir.path());
    const bytes video_a = read_file(dir.file("bits0001.mpv")), audio_a = read_file(dir.file("bits0001.mpa"));
    const program_result b = run_kavel({"-s", "shifted.ts", "1", "1", "1"}, dir.path());
    const std::string header = banner + "program = 1, video channel = 1, audio channel = 1\n";
    ASSERT_EQ(b.out.rfind(header, 0), 0u);
    EXPECT_EQ(header + "Transport Sync Error, skipped 7 bytes, at 0\n" + a.out.substr(header.size()), b.out);
    EXPECT_TRUE(read_file(dir.file("bits0001.mpv")) == video_a);
    EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == audio_a);
}

TEST(ProgramE2E, RealCapturesAreBlockSplitInvariant) {
    for (const std::string name : {"test-143.ts", "mpeg2_ac3_51_damaged.ts", "multi_program.ts"}) {
        const bytes data = read_file(test_data(name));
        expect_split_invariant(data, [](context& c) { c.options.suppress_rate = 0; });
    }
    const bytes m2ts = read_file(test_data("m2ts_lpcm_16.m2ts"));
    expect_split_invariant(m2ts, [](context& c) { c.options.hdmv_input = 1; });
}

TEST(ProgramE2E, ReadAndWriteErrorsAreNotReportedAsSuccess) {
    temp_dir dir;
    // A directory opens for reading but every read fails.
    std::filesystem::create_directory(dir.file("folder.ts"));
    program_result r = run_kavel({"-p", "folder.ts", "1", "1", "1"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Error reading bitstream file <folder.ts>\n");
    EXPECT_NE(r.out.find("Ending audio to video PTS difference"), std::string::npos);

    // An output on a full device fails when it is written; the report still comes.
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(symlink("/dev/full", dir.file("bits0001.mpv").c_str()), 0);
    r = run_kavel({"-s", test_data("mpeg2_ac3_51.ts"), "1", "1", "1"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Error writing video output file <bits0001.mpv>\n");
    EXPECT_NE(r.out.find("Ending audio to video PTS difference"), std::string::npos);
}

TEST(ProgramE2E, EndCodeClosingTheStreamAcrossPacketsLeavesNothingBehind) {
    // The video ends with 00 00 01 B7 whose first two bytes close one TS packet and whose
    // last two open the next: the cut must not leave 00 00 at the end of the file.
    const bytes head = mpeg2_sequence() + mpeg2_gop_header() + mpeg2_picture({});
    pes_layout first;
    first.pts = 90000;
    first.zero_length = true;
    const size_t header = pes_packet(first).size();
    const size_t room = 184 - header;  // payload of the first packet
    ASSERT_LT(head.size() + 2, room);
    first.payload = head + mpeg2_slice(uint32_t(room - head.size() - 2 - 4)) + bytes{0x00, 0x00};
    ASSERT_EQ(first.payload.size(), room);
    ts_writer w;
    w.pat({{1, 0x1000}});
    w.pmt(0x1000, 1, 0x100, {{0x02, 0x100, {}}});
    w.raw(0x100, pes_packet(first));
    const bytes second = {0x01, 0xB7};  // adaptation-field stuffing fills the packet
    packet_layout tail;
    tail.pid = 0x100;
    tail.cc = w.cc[0x100];
    tail.payload = second;
    w.out = w.out + ts_packet(tail);
    temp_dir dir;
    write_file(dir.file("in.ts"), w.out);
    const program_result r = run_kavel({"-s", "in.ts", "1", "1", "0"}, dir.path());
    EXPECT_EQ(r.status, 0);
    const bytes video = read_file(dir.file("bits0001.mpv"));
    const bytes expected(first.payload.begin(), first.payload.end() - 2);
    EXPECT_TRUE(video == expected) << video.size() << " bytes";
}
