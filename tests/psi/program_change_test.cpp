// The program tables as the run applies them: programs that share a PMT PID, a PMT copy
// damaged in transit, a new PMT version that moves a stream, and the listing of one program.
#include <gtest/gtest.h>

#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

constexpr uint16_t pmt_pid = 0x1000;
constexpr uint8_t truehd = 0x83;  // audio written as it came

// A PES packet of audio whose payload is `n` bytes counting up from `from`.
bytes payload(size_t n, uint8_t from) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(from + i);
    return b;
}

void audio(ts_writer& w, uint16_t pid, const bytes& data) {
    pes_layout l;
    l.stream_id = 0xBD;
    l.pts = 9000;
    l.payload = data;
    w.pes(pid, l);
}

setup_fn asking(int32_t program) {
    return [=](context& c) {
        c.selection.program_number = program;
        c.selection.video_index = 0;
        c.selection.audio_index = 1;
    };
}

}  // namespace

TEST(ProgramTables, ProgramsSharingAPmtPidKeepTheirOwnStreams) {
    ts_writer w;
    w.pat({{1, pmt_pid}, {2, pmt_pid}});
    w.pmt(pmt_pid, 1, 0x1FFF, {{truehd, 0x101, {}}});
    w.pmt(pmt_pid, 2, 0x1FFF, {{truehd, 0x201, {}}});
    const bytes one = payload(100, 0x10), two = payload(100, 0x80);
    audio(w, 0x101, one);
    audio(w, 0x201, two);
    w.pmt(pmt_pid, 1, 0x1FFF, {{truehd, 0x101, {}}});
    w.pmt(pmt_pid, 2, 0x1FFF, {{truehd, 0x201, {}}});
    audio(w, 0x101, one);
    audio(w, 0x201, two);
    EXPECT_TRUE(expect_split_invariant(w.out, asking(1)).audio == one + one);
    const run_result r = expect_split_invariant(w.out, asking(2));
    EXPECT_TRUE(r.audio == two + two);
    EXPECT_NE(r.report.find("Audio PID =  513 <0x0201>"), std::string::npos);
    EXPECT_EQ(r.report.find("moved"), std::string::npos);
}

TEST(ProgramTables, DamagedPmtCopyIsDroppedAndANewVersionIsFollowed) {
    ts_writer w;
    w.pat({{1, pmt_pid}});
    w.pmt(pmt_pid, 1, 0x1FFF, {{truehd, 0x101, {}}});
    const bytes a = payload(150, 0x10), b = payload(150, 0x60);
    audio(w, 0x101, a);
    // The same PMT with one bit of its audio PID flipped in transit: its CRC_32 fails.
    const size_t at = w.out.size();
    w.pmt(pmt_pid, 1, 0x1FFF, {{truehd, 0x101, {}}});
    w.out[at + 4 + 1 + 3 + 9 + 2] ^= 0x02;  // header, pointer_field, head, fixed fields, PID low byte
    audio(w, 0x101, a);
    const run_result damaged = expect_split_invariant(w.out, asking(1));
    EXPECT_TRUE(damaged.audio == a + a);
    EXPECT_NE(damaged.report.find("PAT and PMT sections dropped for their CRC_32 = 1"), std::string::npos);

    // A new version moves the audio to another PID: the output goes on from there.
    w.out = w.out + section_packets(pmt_pid, psi_section(0x02, 1, 0, 0,
                                                         bytes{0xFF, 0xFF, 0xF0, 0x00, truehd, 0xE1, 0x02, 0xF0, 0x00},
                                                         1),
                                    w.cc[pmt_pid]);
    audio(w, 0x102, b);
    audio(w, 0x101, a);  // the old PID is no longer read
    const run_result moved = expect_split_invariant(w.out, asking(1));
    EXPECT_TRUE(moved.audio == a + a + b);
    EXPECT_NE(moved.report.find("Audio stream 1 moved from PID 257 <0x0101> to PID 258 <0x0102>\n"),
              std::string::npos);
}

TEST(ProgramTables, ListingOfOneProgramAndOfAMissingOne) {
    const std::string ts = test_data("multi_program.ts");
    temp_dir dir;
    const program_result seven = run_kavel({"-l", ts, "7"}, dir.path());
    EXPECT_EQ(seven.status, 0);
    EXPECT_EQ(seven.out.rfind("program 7: PMT PID 4097 <0x1001>", 0), 0u) << seven.out;
    EXPECT_EQ(seven.out.find("program 1:"), std::string::npos);
    const program_result missing = run_kavel({"-l", ts, "5"}, dir.path());
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.err.rfind("Program 5 not found\n", 0), 0u) << missing.err;
    const program_result none = run_kavel({"-l", test_data("test-042.sections.bin")}, dir.path());
    EXPECT_EQ(none.status, 255);
}
