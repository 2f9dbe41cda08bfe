// H.264 handler: the start at the first I-only access unit, the report, the first PTS,
// the end-unit rewrite, parse only, and the start-code skip against the per-byte machine.
#include <gtest/gtest.h>

#include <random>

#include "h264_units.h"

using namespace kt;

namespace {

const bytes output_start = {0x00, 0x00, 0x00, 0x01, 0x09};

mpeg2_result run_h264(const std::vector<es_segment>& segments) {
    return expect_mpeg2_split_invariant(segments, {}, false, h264_entry);
}

}  // namespace

TEST(H264Video, OutputStartsAtTheFirstIOnlyAccessUnit) {
    // P, B and an I/P access unit (type 1: not I-only) come first; an SPS among them is
    // reported but not written. The output starts with a 4-byte start code and the
    // delimiter of the I access unit, whatever calls its start code was split over.
    const bytes head = h264_access_unit(1) + h264_sps(100, false, 41) + h264_access_unit(2) + h264_access_unit(2);
    const bytes i_unit = h264_access_unit(0);
    const bytes rest = h264_access_unit(1) + h264_access_unit(2) + h264_access_unit(0);
    const mpeg2_result r = run_h264({{head, 1000}, {i_unit, 2000}, {rest, 3000}});
    EXPECT_EQ(r.report, "High Profile\nLevel = 4.1\n3 frames before first I-frame\nFirst Video PTS = 0x000007d0\n");
    EXPECT_TRUE(r.video == output_start + bytes(i_unit.begin() + 4, i_unit.end()) + rest);
    EXPECT_EQ(r.coded_pictures, 7u);
    EXPECT_EQ(r.display_count, 0u);

    // Without an I-only delimiter nothing is written and no PTS is fixed.
    EXPECT_TRUE(run_h264({{head + h264_access_unit(7), 5}}) ==
                (mpeg2_result{.report = "High Profile\nLevel = 4.1\n", .coded_pictures = 4, .first_video_pts = ~0ull}));
}

TEST(H264Video, FirstPtsIsTheSmallerOfTheIAccessUnitAndTheNext) {
    struct row {
        uint64_t at_i, at_next, want;
    };
    // Compared modulo 2^33: across the wrap the PTS before it is the earlier one.
    const row rows[] = {{7200, 3600, 3600}, {7200, 10800, 7200}, {0x1FFFFFFFFull, 0x100000000ull, 0x100000000ull},
                        {0x1FFFFF000ull, 0x100ull, 0x1FFFFF000ull}, {0x100ull, 0x1FFFFF000ull, 0x1FFFFF000ull}};
    for (const row& w : rows) {
        const mpeg2_result r =
            run_h264({{h264_access_unit(2), 1}, {h264_access_unit(0), w.at_i}, {h264_access_unit(2), w.at_next},
                      {h264_access_unit(0), 1}});
        EXPECT_EQ(r.first_video_pts, w.want);
        EXPECT_NE(r.report.find(strf("First Video PTS = 0x%08x\n", uint32_t(w.want))), std::string::npos) << r.report;
    }
}

TEST(H264Video, ProfileAndLevelOfTheFirstSps) {
    struct row {
        bytes sps;
        const char* lines;
    };
    const row rows[] = {
        {h264_sps(100, false, 41), "High Profile\nLevel = 4.1\n"},
        {h264_sps(66, true, 11), "Baseline Profile\nLevel = 1b\n"},
        {h264_sps(66, false, 11), "Baseline Profile\nLevel = 1.1\n"},
        {h264_sps(77, true, 40, 0x27), "Main Profile\nLevel = 4.0\n"},
        {h264_sps(244, false, 62), "Unknown Profile\nLevel = 6.2\n"},
        // nal_ref_idc 2: not taken as an SPS, so the second one is the first.
        {h264_sps(100, false, 41, 0x47), "Baseline Profile\nLevel = 3.0\n"},
    };
    for (const row& w : rows) {
        // A second SPS prints nothing.
        EXPECT_EQ(run_h264({{w.sps + h264_sps(66, false, 30)}}).report, w.lines);
    }
}

TEST(H264Video, EndUnitsBecomeFillerAndParseOnlyWritesNothing) {
    // An end unit before the start is not written; one in the same call as the first I
    // access unit is rewritten like any later one.
    const bytes before = h264_access_unit(2) + h264_end_unit(false);
    const bytes es = before + h264_access_unit(0) + h264_end_unit(true) + h264_access_unit(1) +
                     h264_end_unit(false) + h264_access_unit(0);
    const mpeg2_result r = run_h264({{es, 90}});
    EXPECT_TRUE(r.video == output_start + h264_ends_as_filler(slice(es, before.size() + 4)));

    // Parse only (the same report and counts, as the runner checks) leaves the caller's
    // bytes unchanged.
    capture cap(false);
    cap.ctx().options.parse_only = 1;
    bytes call = es;
    handler_call<stream_handler::h264_video>(cap.ctx(), call.data(), uint32_t(call.size()), 0, 0);
    EXPECT_TRUE(call == es);
}

TEST(H264Video, SkipMatchesThePerByteMachine) {
    // Random bytes rich in zeros, 01 and the header bytes the handler acts on, with runs
    // of zeros and whole units mixed in; calls of random size split start codes anywhere.
    const std::vector<uint8_t> alphabet = {0x00, 0x00, 0x00, 0x01, 0x01, 0x09, 0x0A, 0x0B, 0x27, 0x67,
                                           0x47, 0x10, 0x30, 0x1F, 0x20, 0x0B, 0x64, 0x29, 0x03, 0xFF};
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        const std::vector<es_segment> segs = soup_segments(rng, 30000, alphabet, [&rng](uint32_t pick) {
            if (pick < 4) return h264_access_unit(uint8_t(rng() % 8), rng() % 200);
            if (pick < 6) return h264_sps(uint8_t(rng()), rng() % 2, uint8_t(rng()), rng() % 2 ? 0x67 : 0x27);
            if (pick < 8) return h264_end_unit(rng() % 2);
            if (pick < 9) return repeat(0x00, 1 + rng() % 40);
            return bytes{};
        });
        const bool parse_only = seed % 4 == 3;
        const call_split how{200, true, seed};
        const mpeg2_result fast = run_mpeg2(segs, how, {}, parse_only, h264_entry);
        const mpeg2_result plain = run_mpeg2(segs, how, {}, parse_only, h264_entry_per_byte);
        EXPECT_EQ(fast.report, plain.report) << seed;
        EXPECT_TRUE(fast == plain) << seed;
        EXPECT_GT(fast.coded_pictures, 0u);
    }
}

TEST(H264Video, StartRules) {
    // Delimiters that announce any slice (primary_pic_type 7): an I slice alone or a
    // recovery point on a P slice does not start the output, a recovery point on an I
    // slice does, with the SPS and PPS of an earlier unit behind its delimiter. Without
    // delimiters, units begin at an SPS, PPS or SEI after a slice, or at a slice with
    // first_mb_in_slice 0 (0x88 and 0xC0 here; 0x48 continues a picture).
    const auto slice_unit = [](uint8_t first) { return bytes{0x00, 0x00, 0x01, 0x41, first} + repeat(0x9A, 24); };
    const bytes sps = h264_sps(100, false, 30), pps = {0x00, 0x00, 0x01, 0x68, 0xEE, 0x3C, 0x80};
    const bytes rp = {0x00, 0x00, 0x01, 0x06, 0x06, 0x01, 0xC4, 0x80}, aud = h264_aud(7);
    const bytes p_unit = slice_unit(0xC0), i_unit = slice_unit(0x88), lead = aud + sps + pps + p_unit;
    const auto r = run_h264({{lead + aud + i_unit + aud + rp + p_unit, 1}, {aud + rp + i_unit, 2}, {aud + p_unit, 3}});
    const bytes sets = bytes{0x00} + sps + bytes{0x00} + pps;
    EXPECT_TRUE(r.video == bytes{0x00} + slice(aud, 0, 5) + sets + rp + i_unit + aud + p_unit);
    EXPECT_EQ(r.report, "High Profile\nLevel = 3.0\n3 frames before first I-frame\nFirst Video PTS = 0x00000002\n");

    const bytes es = sps + pps + p_unit + slice_unit(0x48) + rp + i_unit + p_unit;
    const mpeg2_result plain = run_h264({{es, 7}});
    EXPECT_TRUE(plain.video == sets + bytes{0x00} + slice(es, sps.size() + pps.size() + 2 * p_unit.size()));
    EXPECT_EQ(plain.report, "High Profile\nLevel = 3.0\n1 frames before first I-frame\nFirst Video PTS = 0x00000007\n");
    EXPECT_EQ(plain.coded_pictures, 3u);
}
