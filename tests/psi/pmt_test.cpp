// PMT parser and stream selection: the Video/Audio PID lines, the descriptor
// lines, the choice of streams by kind and position, and the section framing.
#include <gtest/gtest.h>

#include "psi_helpers.h"

using namespace kt;
using namespace kt::psi;

namespace {

constexpr uint16_t pmt_pid = 0x1000;

struct request {
    int32_t program = 1;
    int32_t video = 1;
    int32_t audio = 1;
    bool hdmv = false;
};

setup_fn asking(request q) {
    return [=](context& c) {
        c.selection.program_number = q.program;
        c.selection.video_index = q.video;
        c.selection.audio_index = q.audio;
        c.options.hdmv_input = q.hdmv ? 1 : 0;
    };
}

std::string listing(const run_result& r) { return r.report.substr(0, r.report.find("\npackets for pid")); }

// A PAT naming program 1 on pmt_pid, then the PMT sections given.
bytes with_pat(const bytes& pmt_packets) {
    uint8_t cc = 0;
    return section_packets(0, pat_section({{1, pmt_pid}}), cc) + pmt_packets;
}

bytes one_pmt(const std::vector<es_entry>& streams, const bytes& program_descriptors = {}, uint16_t pcr = 0x1FFF) {
    uint8_t cc = 0;
    return with_pat(section_packets(pmt_pid, pmt_section(1, pcr, streams, program_descriptors), cc));
}

std::string pat_line() { return program_line(1, pmt_pid); }

}  // namespace

TEST(PmtListing, ChosenStreamsAndEveryDescriptorByteExact) {
    const bytes program_descriptors = {0x05, 0x04, 'H', 'D', 'M', 'V', 0x88, 0x04, 0x0F, 0xFF, 0xFC, 0xFC};
    const bytes in = one_pmt({{0x02, 0x100, {0x02, 0x01, 0x4C}},
                              {0x81, 0x101, {0x05, 0x04, 'A', 'C', '-', '3', 0x0A, 0x04, 'e', 'n', 'g', 0x00}},
                              {0x06, 0x102, {0x59, 0x03, 1, 2, 3}},
                              {0x1B, 0x1FFE, {}}},
                             program_descriptors, 0x100);
    const run_result r = expect_split_invariant(in, asking({}));
    EXPECT_EQ(listing(r), pat_line() +
                              "program descriptor = 0x05, 0x04, 0x48, 0x44, 0x4d, 0x56\n"
                              "program descriptor = 0x88, 0x04, 0x0f, 0xff, 0xfc, 0xfc\n"
                              "Video PID =  256 <0x0100>, type = 0x02\r\n"
                              "ES descriptor for stream type 0x02 = 0x02, 0x01, 0x4c\n"
                              "Audio PID =  257 <0x0101>, type = 0x81\r\n"
                              "ES descriptor for stream type 0x81 = 0x05, 0x04, 0x41, 0x43, 0x2d, 0x33\n"
                              "ES descriptor for stream type 0x81 = 0x0a, 0x04, 0x65, 0x6e, 0x67, 0x00\n"
                              "ES descriptor for stream type 0x06 = 0x59, 0x03, 0x01, 0x02, 0x03\n");
    const auto cap = run_capture(in, {}, asking({}));
    EXPECT_EQ(cap->ctx().selection.pcr_pid, 0x100);
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), 0x100);
    EXPECT_EQ(chosen_type(cap->ctx(), stream_kind::video), 0x02);
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), 0x101);
    EXPECT_EQ(chosen_type(cap->ctx(), stream_kind::audio), 0x81);
}

TEST(PmtListing, FourDigitPidsFillTheField) {
    const bytes in = one_pmt({{0x1B, 0x1FFE, {}}, {0x03, 0x1234, {}}});
    EXPECT_EQ(listing(expect_split_invariant(in, asking({}))), pat_line() +
                                                                   "Video PID = 8190 <0x1ffe>, type = 0x1b\r\n"
                                                                   "Audio PID = 4660 <0x1234>, type = 0x03\r\n");
}

TEST(PmtListing, ZeroLengthDescriptorsEachTakeTheirOwnLine) {
    const bytes in = one_pmt({{0x02, 0x100, {0x52, 0x00, 0x53, 0x00, 0x54, 0x01, 0x07}}}, {0x09, 0x00, 0x0A, 0x00});
    EXPECT_EQ(listing(expect_split_invariant(in, asking({}))),
              pat_line() +
                  "program descriptor = 0x09, 0x00\n"
                  "program descriptor = 0x0a, 0x00\n"
                  "Video PID =  256 <0x0100>, type = 0x02\r\n"
                  "ES descriptor for stream type 0x02 = 0x52, 0x00\n"
                  "ES descriptor for stream type 0x02 = 0x53, 0x00\n"
                  "ES descriptor for stream type 0x02 = 0x54, 0x01, 0x07\n");
}

TEST(PmtSelection, SecondAudioStreamOfTheProgram) {
    const bytes in = one_pmt({{0x02, 0x100, {}}, {0x81, 0x101, {}}, {0x81, 0x102, {}}});
    const run_result r = expect_split_invariant(in, asking({1, 1, 2}));
    EXPECT_EQ(listing(r), pat_line() +
                              "Video PID =  256 <0x0100>, type = 0x02\r\n"
                              "Audio PID =  258 <0x0102>, type = 0x81\r\n");
    const auto cap = run_capture(in, {}, asking({1, 1, 2}));
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), 0x102);
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), 0x100);
}

TEST(PmtSelection, SeveralProgramsOnlyTheRequestedPmtIsRead) {
    ts_writer w;
    w.pat({{1, 0x1000}, {7, 0x1001}, {3, 0x1002}});
    w.pmt(0x1000, 1, 0x100, {{0x02, 0x100, {}}, {0x03, 0x102, {}}});
    w.pmt(0x1001, 7, 0x101, {{0x02, 0x101, {}}, {0x81, 0x103, {0x05, 0x04, 'A', 'C', '-', '3'}}, {0x03, 0x104, {}}});
    w.pmt(0x1002, 3, 0x105, {{0x03, 0x105, {}}});
    const run_result r = expect_split_invariant(w.out, asking({7, 1, 2}));
    EXPECT_EQ(listing(r),
              "Program Number = 1 (0x0001), Program Map PID = 4096 (0x1000)\n"
              "Program Number = 7 (0x0007), Program Map PID = 4097 (0x1001)\n"
              "Program Number = 3 (0x0003), Program Map PID = 4098 (0x1002)\n"
              "Video PID =  257 <0x0101>, type = 0x02\r\n"
              "ES descriptor for stream type 0x81 = 0x05, 0x04, 0x41, 0x43, 0x2d, 0x33\n"
              "Audio PID =  260 <0x0104>, type = 0x03\r\n");
    const auto cap = run_capture(w.out, {}, asking({3, 1, 1}));
    EXPECT_EQ(cap->ctx().selection.pmt_pid, 0x1002);
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), no_pid);
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), 0x105);
    EXPECT_EQ(cap->ctx().selection.pcr_pid, 0x105);
}

TEST(PmtSelection, Type0x80IsVideoWithoutOptionHAndAudioWithIt) {
    const std::vector<es_entry> streams = {{0x80, 0x1011, {}}, {0x02, 0x1012, {}}, {0x80, 0x1100, {}}};
    const bytes plain = one_pmt(streams);
    EXPECT_EQ(listing(expect_split_invariant(plain, asking({1, 2, 1}))),
              pat_line() + "Video PID = 4114 <0x1012>, type = 0x02\r\n");
    auto cap = run_capture(plain, {}, asking({1, 3, 1}));
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), 0x1100);  // third video: 0x80 counts as video
    EXPECT_EQ(chosen_type(cap->ctx(), stream_kind::video), 0x80);
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), no_pid);

    // With option h the same table in 192-byte units: 0x80 is HDMV LPCM audio.
    const bytes hdmv = hdmv_units(plain);
    EXPECT_EQ(listing(expect_split_invariant(hdmv, asking({1, 1, 2, true}))),
              pat_line() +
                  "Video PID = 4114 <0x1012>, type = 0x02\r\n"
                  "Audio PID = 4352 <0x1100>, type = 0x80\r\n");
    cap = run_capture(hdmv, {}, asking({1, 1, 1, true}));
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), 0x1011);
    EXPECT_EQ(chosen_type(cap->ctx(), stream_kind::audio), 0x80);
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), 0x1012);
}

TEST(PmtSelection, Ac3AsType0x81And0x06) {
    for (uint8_t type : {uint8_t(0x81), uint8_t(0x06)}) {
        const auto cap =
            run_capture(one_pmt({{0x02, 0x100, {}}, {type, 0x101, {0x05, 0x04, 'A', 'C', '-', '3'}}}), {}, asking({}));
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), 0x101);
        EXPECT_EQ(chosen_type(cap->ctx(), stream_kind::audio), type);
    }
}

TEST(PmtSelection, EveryKindOfTheTableAndNoOther) {
    const uint8_t video_types[] = {0x01, 0x02, 0x1B, 0xEA, 0x80};
    const uint8_t audio_types[] = {0x03, 0x04, 0x06, 0x11, 0x81, 0x82, 0x83, 0x84, 0x85, 0xA1, 0xA2};
    for (uint8_t t : video_types) {
        const auto cap = run_capture(one_pmt({{t, 0x100, {}}}), {}, asking({}));
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), 0x100) << int(t);
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), no_pid) << int(t);
    }
    for (uint8_t t : audio_types) {
        const auto cap = run_capture(one_pmt({{t, 0x100, {}}}), {}, asking({}));
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), 0x100) << int(t);
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), no_pid) << int(t);
    }
    // Passed over, not counted: the streams after them are the first of their kind.
    for (uint8_t t : {uint8_t(0x0F), uint8_t(0x10), uint8_t(0x24), uint8_t(0x05), uint8_t(0x87), uint8_t(0x86), uint8_t(0xFF)}) {
        const auto cap = run_capture(one_pmt({{t, 0x100, {}}, {t, 0x101, {}}, {0x02, 0x102, {}}, {0x03, 0x103, {}}}),
                                     {}, asking({}));
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), 0x102) << int(t);
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), 0x103) << int(t);
    }
}

TEST(PmtSelection, LaterTypesAreCountedInRoundsAfterTheEarlierOnes) {
    // MPEG-1 audio first, then AAC (0x0F), then MPEG-H 3D audio and AC-4 (0x06 with the
    // extension descriptor 0x15), whatever their order in the PMT.
    const bytes in = one_pmt({{0x2D, 0x100, {}}, {0x06, 0x101, {0x7F, 0x01, 0x15}}, {0x0F, 0x102, {}}, {0x03, 0x103, {}}});
    const uint16_t pids[] = {0x103, 0x102, 0x100, 0x101};
    for (int32_t n = 1; n <= 4; ++n) {
        const auto cap = run_capture(in, {}, asking({1, 0, n}));
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), pids[n - 1]) << n;
    }
}

TEST(PmtSelection, StreamNumberZeroNegativeOrBeyondTheLastNeverMatches) {
    const bytes in = one_pmt({{0x02, 0x100, {}}, {0x03, 0x101, {}}});
    for (request q : {request{1, 0, 0}, request{1, -1, -1}, request{1, 2, 2}}) {
        const auto cap = run_capture(in, {}, asking(q));
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), no_pid);
        EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), no_pid);
        EXPECT_EQ(cap->ctx().selection.pcr_pid, 0x1FFF);
        EXPECT_EQ(cap->report(), pat_line());
    }
}

TEST(PmtSelection, LaterPmtOverwritesWhatItFindsAndClearsNothing) {
    const bytes in = with_pat(on_pid(pmt_pid, {pmt_section(1, 0x100, {{0x02, 0x100, {}}, {0x03, 0x101, {}}}),
                                               pmt_section(1, 0x100, {{0x04, 0x201, {}}})}));
    const auto cap = run_capture(in, {}, asking({}));
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), 0x100);
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::audio), 0x201);
    EXPECT_EQ(chosen_type(cap->ctx(), stream_kind::audio), 0x04);
}

TEST(PmtFraming, WrongTableIdIsIgnoredSilently) {
    bytes section = pmt_section(1, 0x100, {{0x02, 0x100, {}}});
    section[0] = 0x03;
    const bytes in = with_pat(on_pid(pmt_pid, {section, pmt_section(1, 0x100, {{0x02, 0x101, {}}})}));
    EXPECT_EQ(listing(expect_split_invariant(in, asking({}))),
              pat_line() + "Video PID =  257 <0x0101>, type = 0x02\r\n");
}

TEST(PmtFraming, PointerGapAcrossPacketsAndBodyAcrossPackets) {
    std::vector<es_entry> streams;
    for (uint16_t i = 0; i < 40; ++i) streams.push_back({0x06, uint16_t(0x200 + i), {0x0A, 0x04, 'e', 'n', 'g', 0}});
    streams.push_back({0x02, 0x100, {}});
    const bytes section = pmt_section(1, 0x100, streams);  // 460 bytes
    uint8_t cc = 0;
    const bytes in = with_pat(spread(pmt_pid, bytes{190} + repeat(0xAA, 190) + section, cc));
    const run_result r = expect_split_invariant(in, asking({1, 1, 40}));
    EXPECT_EQ(count_of(listing(r), "ES descriptor for stream type 0x06 = 0x0a, 0x04, 0x65, 0x6e, 0x67, 0x00\n"), 40u);
    EXPECT_NE(listing(r).find("Audio PID =  551 <0x0227>, type = 0x06\r\n"), std::string::npos);
    EXPECT_NE(listing(r).find("Video PID =  256 <0x0100>, type = 0x02\r\n"), std::string::npos);
}

TEST(PmtFraming, SecondSectionInTheSamePacketIsNotRead) {
    const bytes unit =
        bytes{0} + pmt_section(1, 0x100, {{0x03, 0x101, {}}}) + pmt_section(1, 0x100, {{0x03, 0x102, {}}});
    const bytes in = with_pat(payload_packet(pmt_pid, true, 0, unit));
    EXPECT_EQ(chosen_pid(run_capture(in, {}, asking({}))->ctx(), stream_kind::audio), 0x101);
}

TEST(PmtFraming, PmtBeforeThePatIsNotRead) {
    uint8_t cc = 0, pat_cc = 0;
    const bytes in = section_packets(pmt_pid, pmt_section(1, 0x100, {{0x02, 0x100, {}}}), cc) +
                     section_packets(0, pat_section({{1, pmt_pid}}), pat_cc);
    const auto cap = run_capture(in, {}, asking({}));
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), no_pid);
    EXPECT_EQ(cap->report(), pat_line());
}

TEST(PmtLength, SectionLength1021IsAcceptedAnd1022Rejected) {
    // 1021 = 9 fixed bytes + 1008 loop bytes + CRC_32: 200 entries of 5 bytes and one of
    // 5 + 3 descriptor bytes.
    std::vector<es_entry> streams;
    for (uint16_t i = 0; i < 200; ++i) streams.push_back({0x03, uint16_t(0x200 + i), {}});
    streams.push_back({0x02, 0x100, {0x52, 0x01, 0x09}});
    const bytes longest = pmt_section(1, 0x100, streams);
    ASSERT_EQ(longest.size(), 3u + 1021u);
    uint8_t cc = 0;
    const bytes accepted = with_pat(section_packets(pmt_pid, longest, cc));
    const run_result r = expect_split_invariant(accepted, asking({1, 1, 200}));
    EXPECT_EQ(listing(r), pat_line() +
                              "Audio PID =  711 <0x02c7>, type = 0x03\r\n"
                              "Video PID =  256 <0x0100>, type = 0x02\r\n"
                              "ES descriptor for stream type 0x02 = 0x52, 0x01, 0x09\n");

    cc = 0;
    const bytes rejected = with_pat(on_pid(
        pmt_pid, {section_with_length(0x02, 1022, repeat(0, 1022)), pmt_section(1, 0x100, {{0x02, 0x100, {}}})}));
    EXPECT_EQ(listing(expect_split_invariant(rejected, asking({}))),
              pat_line() + "PMT Section length = 1022\r\n" + "Video PID =  256 <0x0100>, type = 0x02\r\n");
}

TEST(PmtEntries, EntryRunningPastTheStoredBodyEndsTheParse) {
    // The second entry announces 40 descriptor bytes that the section does not hold.
    bytes loop = {0x03, 0xE1, 0x01, 0xF0, 0x03, 0x0A, 0x01, 0x65,   // audio 0x101, one descriptor
                  0x02, 0xE1, 0x00, 0xF0, 0x28, 0x52, 0x01, 0x01};  // video 0x100, ES_info_length 40
    const bytes section = psi_section(0x02, 1, 0, 0, bytes{0xE1, 0x00, 0xF0, 0x00} + loop);
    uint8_t cc = 0;
    const bytes in = with_pat(section_packets(pmt_pid, section, cc));
    EXPECT_EQ(listing(expect_split_invariant(in, asking({}))),
              pat_line() +
                  "Audio PID =  257 <0x0101>, type = 0x03\r\n"
                  "ES descriptor for stream type 0x03 = 0x0a, 0x01, 0x65\n");
    EXPECT_EQ(chosen_pid(run_capture(in, {}, asking({}))->ctx(), stream_kind::video), no_pid);
}

TEST(PmtEntries, EntryWhoseFixedBytesReachIntoTheCrcIsNotRead) {
    // Three loop bytes before the CRC_32: not a whole entry.
    const bytes section = psi_section(0x02, 1, 0, 0, bytes{0xE1, 0x00, 0xF0, 0x00, 0x02, 0xE1, 0x00});
    uint8_t cc = 0;
    const auto cap = run_capture(with_pat(section_packets(pmt_pid, section, cc)), {}, asking({}));
    EXPECT_EQ(chosen_pid(cap->ctx(), stream_kind::video), no_pid);
    EXPECT_EQ(cap->ctx().pmt.print_pending, 0u);
}

