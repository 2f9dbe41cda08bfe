// Adaptation fields, PCRs and the rate display.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "feeder.h"

using namespace kt;

namespace {

constexpr uint16_t pcr_pid = 0x1E1;

bytes pcr_packet(uint16_t pid, uint64_t pcr, uint8_t cc = 0) {
    packet_layout s;
    s.pid = pid;
    s.pcr = pcr;
    s.cc = cc;
    return ts_packet(s);
}

bytes filler(int n) {
    bytes out;
    for (int i = 0; i < n; ++i) {
        packet_layout s;
        s.pid = 0x1FFF;
        s.payload = repeat(0xFF, 184);
        out = out + ts_packet(s);
    }
    return out;
}

setup_fn with_pcr_pid(uint32_t hdmv = 0, uint32_t dump = 0, uint32_t suppress = 0) {
    return [=](context& c) {
        c.selection.pcr_pid = pcr_pid;
        c.options.hdmv_input = hdmv;
        c.options.dump_pcr = dump;
        c.options.suppress_rate = suppress;
    };
}

}  // namespace

TEST(Rate, HundredPacketsInOneMillisecond) {
    // The first PCR measures against 0 over the 12 bytes up to its last byte: 12 x 8.
    // Then 100 packets' bytes (PCR byte to PCR byte) in 27000 ticks: 150.4 million.
    bytes in = pcr_packet(pcr_pid, 27000000) + filler(99) + pcr_packet(pcr_pid, 27027000);
    const run_result r = expect_split_invariant(in, with_pcr_pid(), false);
    EXPECT_EQ(r.report, "ts rate =        96\rts rate = 150400000\r");
}

TEST(Rate, DumpPcrWithAndWithoutSuppress) {
    bytes in = pcr_packet(pcr_pid, 300 * 90000) + filler(9) + pcr_packet(pcr_pid, 300 * 90000 + 27000);
    EXPECT_EQ(run_demux(in, {}, with_pcr_pid(0, 1, 1)).report,
              "pcr = 90000 at packet number 1\npcr = 90090 at packet number 11\n");
    EXPECT_EQ(run_demux(in, {}, with_pcr_pid(0, 1, 0)).report,
              "pcr = 90000 at packet number 1\nts rate =        96\r"
              "pcr = 90090 at packet number 11\nts rate =  15040000\r");
}

TEST(Rate, EqualPcrPrintsNothingAndRestartsTheCount) {
    bytes in = pcr_packet(pcr_pid, 27000) + pcr_packet(pcr_pid, 27000) + filler(1) + pcr_packet(pcr_pid, 54000);
    // Only two packets' bytes lie between the second and third PCRs.
    EXPECT_EQ(run_demux(in, {}, with_pcr_pid()).report, "ts rate =     96000\rts rate =   3008000\r");
}

TEST(Rate, BackwardsPcrAddsTwoToTheFortySecondAndBecomesTheReference) {
    const uint64_t big = uint64_t(1) << 40;
    bytes in = pcr_packet(pcr_pid, big) + pcr_packet(pcr_pid, 27000) + pcr_packet(pcr_pid, 54000);
    const std::string r = run_demux(in, {}, with_pcr_pid()).report;
    const uint64_t second = 188 * 27000000ull / ((uint64_t(1) << 42) + 27000 - big);
    char expected[128];
    snprintf(expected, sizeof expected, "ts rate = %9d\rts rate = %9d\rts rate = %9d\r",
             int32_t(uint32_t(188 * 27000000ull / big) * 8), int32_t(uint32_t(second) * 8), 1504000);
    EXPECT_EQ(r, expected);
}

TEST(Rate, PcrsOfOtherPidsAreIgnoredAndBytesKeepCounting) {
    bytes in = pcr_packet(pcr_pid, 27000) + pcr_packet(0x200, 5) + pcr_packet(pcr_pid, 54000);
    EXPECT_EQ(run_demux(in, {}, with_pcr_pid(0, 1)).report,
              "pcr = 90 at packet number 1\nts rate =     96000\r"
              "pcr = 180 at packet number 3\nts rate =   3008000\r");
    EXPECT_EQ(run_demux(in).report, "");  // no pcr_pid known yet: nothing at all
}

TEST(Rate, VideoRateIsShownBesideTheTransportRate) {
    bytes in = pcr_packet(pcr_pid, 27000);
    auto setup = [](context& c) {
        c.selection.pcr_pid = pcr_pid;
        c.timing.video_rate = 4000000;
    };
    EXPECT_EQ(run_demux(in, {}, setup).report, "ts rate =     96000, video rate =   4000000\r");
}

TEST(Rate, HdmvMeasuresAgainstTheArrivalTimeStamp) {
    // 12 bytes from the sync byte through the last PCR byte: (12 x 27e6 - 54e6) / d.
    const uint64_t pcr = 27000000;
    bytes in = hdmv_units(pcr_packet(pcr_pid, pcr), uint32_t(pcr - 27000));
    EXPECT_EQ(run_demux(in, {}, with_pcr_pid(1)).report, "ts rate =     80000\r");
    // An arrival time equal to the PCR modulo 2^30 leaves the rate unspecified.
    bytes same = hdmv_units(pcr_packet(pcr_pid, pcr), uint32_t(pcr));
    EXPECT_EQ(run_demux(same, {}, with_pcr_pid(1)).report, "ts rate = unspecified\r");
    auto with_video = [](context& c) {
        c.selection.pcr_pid = pcr_pid;
        c.options.hdmv_input = 1;
        c.timing.video_rate = 123;
    };
    EXPECT_EQ(run_demux(same, {}, with_video).report, "ts rate = unspecified, video rate =       123\r");
    expect_split_invariant(in + same, with_pcr_pid(1, 1), false);
}

TEST(Rate, OnATerminalTheLinesAreFlushedAtMostTenTimesASecond) {
    // The report goes to a fully buffered file: what reached the file was flushed.
    const bytes pcr = pcr_packet(pcr_pid, 27000);
    const std::string line = "ts rate =     96000\r";
    for (const uint32_t terminal : {0u, 1u}) {
        capture cap;
        FILE* out = tmpfile();
        setvbuf(out, nullptr, _IOFBF, 65536);
        context& ctx = cap.ctx();
        ctx.report = out;
        ctx.report_is_terminal = terminal;
        with_pcr_pid()(ctx);
        demux_init(ctx);
        auto flushed = [&] {
            struct stat st;
            fstat(fileno(out), &st);
            return size_t(st.st_size);
        };
        feed(ctx, pcr, {});
        EXPECT_EQ(flushed(), terminal ? line.size() : 0u);
        ctx.ts.next_rate_flush = ~uint64_t{0};  // the next flush not yet due
        feed(ctx, pcr_packet(pcr_pid, 54000), {});
        EXPECT_EQ(flushed(), terminal ? line.size() : 0u);
        ctx.ts.next_rate_flush = 0;
        feed(ctx, pcr_packet(pcr_pid, 81000), {});
        EXPECT_EQ(flushed(), terminal ? 3 * line.size() : 0u);  // lines of equal width
        fclose(out);
    }
}

TEST(Adaptation, OverlongFieldEndsWithItsPacket) {
    // adaptation_field_length 200 in a packet that has 183 bytes after it: the field ends
    // with the packet, and the next packet's payload is payload.
    bytes first = {0x47, 0x01, 0x00, 0x20, 200, 0x00};
    first.resize(188, 0xFF);
    capture cap;
    demux_init(cap.ctx());
    feed(cap.ctx(), first, {});
    EXPECT_EQ(cap.ctx().ts.af_bytes_left, 0u);
    EXPECT_EQ(cap.ctx().ts.in_packet, 0u);
}

TEST(Adaptation, PcrCutShortGoesOnInTheNextAdaptationField) {
    // A field of length 4: flags with PCR_flag and three PCR bytes; the other three come
    // from the next packet's adaptation field, after its own flags byte.
    const bytes pcr = pcr_bytes(27000);
    bytes first = {0x47, 0x01, 0xE1, 0x20, 4, 0x10, pcr[0], pcr[1], pcr[2]};
    first.resize(188, 0xFF);
    bytes second = {0x47, 0x01, 0xE1, 0x20, 10, 0x00, pcr[3], pcr[4], pcr[5]};
    second.resize(188, 0xFF);
    EXPECT_EQ(run_demux(first + second, {}, with_pcr_pid(0, 1, 1)).report, "pcr = 90 at packet number 2\n");
}
