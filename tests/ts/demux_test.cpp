// Packet framing, transport header, per-PID statistics and continuity.
#include <gtest/gtest.h>

#include <random>

#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

bytes packet(uint16_t pid, uint8_t cc, bool payload = true) {
    packet_layout s;
    s.pid = pid;
    s.cc = cc;
    if (payload) s.payload = repeat(0xAB, 184);
    return ts_packet(s);
}

std::string report_of(const bytes& input, const setup_fn& setup = {}) {
    return run_demux(input, {}, setup).report;
}

}  // namespace

TEST(Framing, CountsPacketsPerPidInAscendingOrder) {
    bytes in = packet(0x300, 0) + packet(0x20, 0) + packet(0x300, 1) + packet(0x1FFF, 0) + packet(0x20, 1);
    const run_result r = expect_split_invariant(in);
    EXPECT_EQ(r.report,
              "\npackets for pid   32 <0x0020> = 2, first = 2, last = 5\n"
              "packets for pid  768 <0x0300> = 2, first = 1, last = 3\n"
              "packets for pid 8191 <0x1fff> = 1, first = 4, last = 4\n"
              "coded pictures = 0, video fields = 0\n"
              "Ending audio to video PTS difference: no audio time stamps\n");
}

TEST(Framing, LeadingGarbageIsReportedWhenTheFirstPacketStarts) {
    bytes in = bytes{1, 2, 3, 4, 5} + packet(0x100, 0) + packet(0x100, 1);
    EXPECT_EQ(report_of(in), "Transport Sync Error, skipped 5 bytes, at 0\n");
    // Shifting the input by garbage changes nothing but that line.
    const run_result shifted = expect_split_invariant(in);
    const run_result plain = run_demux(packet(0x100, 0) + packet(0x100, 1), {}, {}, true);
    EXPECT_EQ(shifted.report, "Transport Sync Error, skipped 5 bytes, at 0\n" + plain.report);
}

TEST(Framing, MissingByteBorrowsTheNextSyncAndResyncs) {
    bytes first = packet(0x100, 0);
    first.pop_back();  // one byte short: it takes the next packet's 0x47 as its last byte
    bytes in = first + packet(0x100, 1) + packet(0x100, 2);
    // The search then skips the 187 bytes after the borrowed sync; the lost packet shows
    // as a counter gap on the next one.
    EXPECT_EQ(report_of(in),
              "Transport Sync Error, skipped 187 bytes, at 1\n"
              "Discontinuity!, pid = 256 <0x0100>, received =  2, expected =  1, at 2\n");
    const run_result r = expect_split_invariant(in);
    EXPECT_NE(r.report.find("packets for pid  256 <0x0100> = 2, first = 1, last = 2\n"), std::string::npos);
}

TEST(Framing, TrailingGarbageIsNeverReported) {
    bytes in = packet(0x100, 0) + bytes{9, 9, 9};
    EXPECT_EQ(report_of(in), "");
}

TEST(Framing, HdmvTakesTheFirstFourBytesAsHeaderEvenWhenOneIs0x47) {
    bytes ts = packet(0x100, 0) + packet(0x100, 1);
    bytes in = hdmv_units(ts, 0x47474747, 0x1000);
    const setup_fn hdmv = [](context& c) {
        c.options.hdmv_input = 1;
        c.options.dump_ats_delta = 1;
    };
    // 0x47474747 with the top two bits dropped is 0x07474747.
    const run_result r = expect_split_invariant(in, hdmv);
    EXPECT_EQ(r.report.substr(0, r.report.find("\npackets")),
              "arrival_time_stamp delta = 122111815\n"
              "arrival_time_stamp delta = 4096\n");
    EXPECT_NE(r.report.find("packets for pid  256 <0x0100> = 2, first = 1, last = 2\n"), std::string::npos);
}

TEST(Framing, HdmvSyncLossCountsTheFoundPacketsHeaderAsSkipped) {
    bytes ts = packet(0x100, 0) + packet(0x100, 1) + packet(0x100, 2);
    bytes in = hdmv_units(ts, 0, 10);
    in.erase(in.begin() + 100);  // first unit loses a byte
    const run_result r = expect_split_invariant(in, [](context& c) { c.options.hdmv_input = 1; });
    // The short packet borrows a header byte of the second unit; the next four bytes
    // (ending in its sync byte) are taken as a header and the byte after them is no sync.
    // The search skips the second packet's other 187 bytes and the third unit's header.
    EXPECT_EQ(r.report.substr(0, r.report.find('\n') + 1), "Transport Sync Error, skipped 191 bytes, at 1\n");
}

TEST(Framing, PacketSizeIsTakenFromTheFirstBytes) {
    bytes ts;
    for (uint8_t cc = 0; cc < 8; ++cc) ts = ts + packet(0x100, cc);
    const auto with_parity = [&ts](uint8_t fill) {
        bytes out;
        for (size_t at = 0; at < ts.size(); at += 188)
            out = out + bytes(ts.begin() + long(at), ts.begin() + long(at + 188)) + repeat(fill, 16);
        return out;
    };
    const bytes garbage = {1, 2, 3};
    const setup_fn hdmv = [](context& c) { c.options.hdmv_input = c.options.dump_ats_delta = 1; };
    const setup_fn ats = [](context& c) { c.options.dump_ats_delta = 1; };
    const std::string header192 = "Packet size = 192 bytes: a 4-byte arrival time header before each packet\n";
    const std::string header204 = "Packet size = 204 bytes: 16 parity bytes after each packet, skipped\n";
    // Units of 192 bytes read as with option h, parity bytes (sync bytes even) skipped;
    // garbage before the first packet reported as in a 188-byte stream.
    EXPECT_EQ(expect_split_invariant(hdmv_units(ts), ats).report,
              header192 + run_demux(hdmv_units(ts), {}, hdmv, true).report);
    EXPECT_EQ(expect_split_invariant(garbage + with_parity(0x47)).report,
              header204 + run_demux(garbage + ts, {}, {}, true).report);
    // A sync loss keeps the size: packet 5 is a byte short and borrows one of its parity
    // bytes; the 16 skipped after it take packet 6's sync byte, and the search runs
    // over the rest of packet 6 and its parity to packet 7: a counter gap.
    bytes damaged = with_parity(0);
    damaged.erase(damaged.begin() + 1000);
    EXPECT_EQ(expect_split_invariant(damaged, {}, false).report,
              header204 + "Transport Sync Error, skipped 203 bytes, at 5\n"
                          "Discontinuity!, pid = 256 <0x0100>, received =  6, expected =  5, at 6\n");
    // Too few packets to tell: 188, as ever.
    EXPECT_EQ(run_demux(bytes(damaged.begin(), damaged.begin() + 4 * 204)).report.find("Packet size"), std::string::npos);
}

TEST(Continuity, ReportsOnlyRealGaps) {
    bytes in;
    uint8_t seq[] = {3, 4, 5, 7, 8, 8, 9};  // the first never reports; 7 and the repeat do
    for (uint8_t cc : seq) in = in + packet(0x100, cc);
    for (uint8_t cc = 14; cc != 2; cc = (cc + 1) & 0x0F) in = in + packet(0x101, cc);  // 15 -> 0 wraps
    in = in + packet(0x101, 9, false) + packet(0x101, 2);  // no payload: not compared, not kept
    in = in + packet(0, 5) + packet(0, 9) + packet(0x1FFF, 1) + packet(0x1FFF, 7);
    const run_result r = expect_split_invariant(in, {}, false);
    EXPECT_EQ(r.report,
              "Discontinuity!, pid = 256 <0x0100>, received =  7, expected =  6, at 4\n"
              "Discontinuity!, pid = 256 <0x0100>, received =  8, expected =  9, at 6\n");
}

TEST(Framing, DumpAllPidsAddsToTheCurrentLine) {
    bytes in = packet(0x100, 0) + packet(0x1FFF, 0);
    EXPECT_EQ(report_of(in, [](context& c) { c.options.dump_all_pids = 1; }), "  PID= 100  PID=1fff");
}

TEST(Framing, PayloadOfUnroutedPidsIsSkippedAcrossBlockEnds) {
    // A skipped packet ending exactly at a block end, or one byte after, must leave the
    // framer in step: the next packet is found without a sync error.
    bytes in;
    for (int i = 0; i < 40; ++i) in = in + packet(uint16_t(0x100 + i % 3), uint8_t(i / 3));
    for (uint32_t size : {188u, 189u, 376u, 377u, 375u}) {
        const run_result r = run_demux(in, {size}, {}, false);
        EXPECT_EQ(r.report, "") << size;
    }
}

TEST(Framing, WholeHeadersMatchTheByteAtATimeReference) {
    // Random bytes thick with sync bytes (headers of every kind, sync losses, adaptation
    // fields of any length), then the real fixtures; each with and without HDMV units and
    // with every report option on, in whole and in random blocks.
    std::vector<std::pair<bytes, bool>> inputs;  // input, HDMV
    std::mt19937 rng(11);
    for (int n = 0; n < 4; ++n) {
        bytes soup(60000);
        for (uint8_t& b : soup) b = rng() % 3 == 0 ? 0x47 : uint8_t(rng() % 4 == 0 ? rng() % 3 : rng());
        inputs.emplace_back(soup, n % 2 == 1);
    }
    for (const char* name : {"mpeg2_ac3_51_damaged.ts", "multi_program.ts", "h264_ac3_720.m2ts", "test-042.pack.ts"})
        if (file_exists(test_data(name)))
            inputs.emplace_back(read_file(test_data(name)), std::string(name).ends_with("m2ts"));
    ASSERT_GE(inputs.size(), 5u);
    for (const auto& [input, hdmv] : inputs) {
        const bool soup = &input < &inputs[4].first;
        const setup_fn setup = [hdmv, soup](context& c) {
            c.options.hdmv_input = hdmv;
            c.options.dump_all_pids = c.options.dump_pcr = c.options.dump_psip = c.options.dump_ats_delta = 1;
            if (!soup) return;
            // PIDs that the soup's small bytes often make, as if a PMT had chosen them.
            c.selection.pcr_pid = 0x0100;
            choose_streams(c, 0x0100, 0x02, 0x0001, 0x81);
        };
        for (chunking how : {chunking{16384}, chunking{400, true, 3}}) {
            const run_result fast = run_demux(input, how, setup, true);
            how.per_byte = true;
            EXPECT_TRUE(fast == run_demux(input, how, setup, true)) << how.name() << " hdmv " << hdmv;
        }
    }
}
