// Packets before the program's PMT: kept, and handed to the chosen streams when it comes.
#include <gtest/gtest.h>

#include "feeder.h"
#include "program.h"

using namespace kt;

// The fixture's PAT and PMT come behind its first I picture and first audio frames; it
// gives what the original gives (the rate display left out: its PCRs come before the PMT).
TEST(EarlyPackets, StreamsBeforeThePmtGiveTheOriginalsOutputs) {
    const bytes late = read_file(test_data("mpeg2_ac3_44k_late_pmt.ts"));
    const bytes original = read_file(test_data("mpeg2_ac3_44k.ts"));
    for (const setup_fn& setup : {setup_fn([](context& c) { c.options.suppress_rate = 1; }),
                                  setup_fn([](context& c) { c.options.suppress_rate = c.options.pes_output = 1; }),
                                  setup_fn([](context& c) { c.options.suppress_rate = 1, c.selection.video_index = 0; })})
        EXPECT_TRUE(expect_split_invariant(late, setup, false) == run_demux(original, {}, setup));

    // More packets before the PMT than the store holds: the oldest go. Ahead of the
    // streams' packets, those are handed on whole, across the ring's end; behind them,
    // they push them out, and the streams begin after the PMT.
    bytes cycle, full;
    for (uint8_t cc = 0; cc < 16; ++cc) cycle = cycle + ts_packet({.pid = 0x1F00, .cc = cc, .payload = repeat(0xAB, 184)});
    while (full.size() < early_capacity * 188) full.insert(full.end(), cycle.begin(), cycle.end());
    size_t pat = 0;
    while (packet_pid(&late[pat]) != 0) pat += 188;
    const run_result ahead = run_demux(full + late), want_ahead = run_demux(original);
    const run_result behind = run_demux(slice(late, 0, pat) + full + slice(late, pat)), want_behind = run_demux(slice(late, pat));
    EXPECT_TRUE(ahead.video == want_ahead.video && ahead.audio == want_ahead.audio);
    EXPECT_TRUE(behind.video == want_behind.video && behind.audio == want_behind.audio);
}
