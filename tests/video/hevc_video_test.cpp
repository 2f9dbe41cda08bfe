// HEVC handler: the start at the first IRAP access unit, parameter sets written behind a
// start unit that lacks them, RASL pictures after a CRA start left out, end-of-bitstream
// units made filler, the report, the first PTS, and the skip against the per-byte machine.
#include <gtest/gtest.h>

#include <random>

#include "h264_units.h"

using namespace kt;

namespace {

constexpr mpeg2_entry hevc_entry = handler_call<stream_handler::hevc_video>;
constexpr mpeg2_entry hevc_entry_per_byte = handler_call<stream_handler::hevc_video, true>;

bytes unit(uint8_t type, bytes body) { return bytes{0x00, 0x00, 0x01, uint8_t(type << 1), 0x01} + body; }
bytes delimiter() { return unit(35, {0x50}); }
// An SPS of general_profile_idc `profile` and general_level_idc `level`, with the 00 00 03
// that the zero constraint bytes always bring.
bytes sps(uint8_t profile, bool high_tier, uint8_t level) {
    return unit(33, {0x01, uint8_t(high_tier << 5 | profile), 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03,
                     0x00, 0x00, 0x03, 0x00, level, 0xA0});
}
// A picture: its first slice segment (first_slice_segment_in_pic_flag set) and a second one.
bytes picture(uint8_t type, uint32_t size = 20) {
    bytes body = {0x80};
    for (uint32_t k = 0; k < size; ++k) body.push_back(uint8_t(0x90 + k % 0x60));
    bytes second = {0x40, 0x77, 0x88};
    return unit(type, body) + unit(type, second);
}
bytes access_unit(uint8_t type, bool with_sets = false) {
    return delimiter() + (with_sets ? unit(32, {0x0C, 0x01}) + sps(2, false, 153) + unit(34, {0xC1, 0x72}) : bytes{}) +
           picture(type);
}

mpeg2_result run_hevc(const std::vector<es_segment>& segments) {
    return expect_mpeg2_split_invariant(segments, {}, false, hevc_entry);
}

}  // namespace

TEST(HevcVideo, StartAtIrapWithRaslLeftOutAndSetsWritten) {
    // Trailing pictures first; then a CRA without parameter sets: the ones seen before it
    // are written after its delimiter. Two RASL pictures after it are left out; a RADL
    // stays and may be shown first; a trailing picture ends the left-out run.
    const bytes head = access_unit(1, true) + access_unit(0);
    const bytes cra = access_unit(21), rasl = access_unit(8) + access_unit(9);
    const bytes radl = access_unit(7), tail = access_unit(1) + access_unit(8) + access_unit(0);
    const mpeg2_result r = run_hevc({{head, 9000}, {cra, 5000}, {rasl, 2000}, {radl, 4000}, {tail, 8000}});
    EXPECT_EQ(r.report, "2 frames before first I-frame\nMain 10 Profile\nMain Tier\nLevel = 5.1\n"
                        "First Video PTS = 0x00000fa0\n");
    const bytes sc = {0x00, 0x00, 0x00, 0x01}, vps = {0x40, 0x01, 0x0C, 0x01}, pps = {0x44, 0x01, 0xC1, 0x72};
    const bytes sets = sc + vps + sc + slice(sps(2, false, 153), 3) + sc + pps;
    const bytes want = bytes{0x00} + slice(delimiter(), 0, 6) + sets + slice(cra, 6) + radl + tail;
    EXPECT_TRUE(r.video == want) << r.video.size() << " " << want.size();
    EXPECT_EQ(r.coded_pictures, 7u);  // the RASL pictures are not counted
    EXPECT_EQ(r.first_video_pts, 4000u);

    // An IDR start keeps what follows; a delimiter alone (pic_type 0) does not start.
    const bytes idr = access_unit(19, true) + access_unit(8);
    const mpeg2_result r2 = run_hevc({{unit(35, {0x10}) + picture(1), 1}, {idr, 2}});
    EXPECT_TRUE(r2.video == bytes{0x00} + idr);
    EXPECT_EQ(r2.report.substr(0, 30), "1 frames before first I-frame\n");
}

TEST(HevcVideo, ProfileTierLevelAndEndUnits) {
    // An end-of-bitstream unit becomes filler (4A to 4C); an end-of-sequence unit stays.
    const std::pair<bytes, const char*> rows[] = {
        {sps(1, false, 120), "Main Profile\nMain Tier\nLevel = 4.0\n"},
        {sps(3, true, 93), "Main Still Picture Profile\nHigh Tier\nLevel = 3.1\n"},
        {sps(4, false, 186), "Range Extensions Profile\nMain Tier\nLevel = 6.2\n"},
        {sps(9, false, 60), "Profile 9 Profile\nMain Tier\nLevel = 2.0\n"},
    };
    for (const auto& [set, lines] : rows) {
        const bytes es = delimiter() + set + picture(20) + unit(36, {}) + unit(37, {}) + access_unit(1);
        const mpeg2_result r = run_hevc({{es, 1}});
        EXPECT_EQ(r.report, std::string("0 frames before first I-frame\n") + lines + "First Video PTS = 0x00000001\n");
        bytes want = bytes{0x00} + es;
        want[want.size() - access_unit(1).size() - 2] = 0x4C;
        EXPECT_TRUE(r.video == want);
    }
}

TEST(HevcVideo, SkipMatchesThePerByteMachine) {
    const uint8_t types[] = {0, 1, 6, 8, 9, 16, 19, 21, 21, 36, 37};
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        const auto segs = soup_segments(rng, 30000, {0, 0, 1, 0x46, 0x4A, 0x2A, 0x80, 3}, [&](uint32_t pick) {
            if (pick < 5) return access_unit(types[rng() % 11], rng() % 3 == 0);
            return pick < 7 ? picture(types[rng() % 11], rng() % 100) : repeat(0x00, 1 + rng() % 40);
        });
        const call_split how{200, true, seed};
        const mpeg2_result fast = run_mpeg2(segs, how, {}, seed % 4 == 3, hevc_entry);
        EXPECT_TRUE(fast == run_mpeg2(segs, how, {}, seed % 4 == 3, hevc_entry_per_byte)) << seed;
    }
}
