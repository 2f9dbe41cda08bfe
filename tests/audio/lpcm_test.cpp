// The HDMV LPCM handler, called directly as the PES layer would call it.
#include <gtest/gtest.h>

#include "audio_frames.h"

using namespace kt;

namespace {

uint16_t lpcm(uint32_t assignment, uint32_t rate, uint32_t bits) { return uint16_t(assignment << 12 | rate << 8 | bits << 6); }

// n samples of w bytes, no byte zero, so that added zero samples stand out.
bytes samples(uint32_t n, uint32_t w, uint8_t first = 1) {
    bytes out;
    for (uint32_t i = 0; i < n * w; ++i) out.push_back(uint8_t(first + i % 200));
    return out;
}

// The first `kept` bytes of every `group`.
bytes fronts(const bytes& in, size_t group, size_t kept) {
    bytes out;
    for (size_t at = 0; at + group <= in.size(); at += group) out = out + slice(in, at, at + kept);
    return out;
}

setup_fn two_channels(uint32_t on) {
    return [=](context& c) { c.options.lpcm_two_channels = on; };
}

const std::string surround_lines = "LPCM Audio Mode = 3/2+lfe\nLPCM Audio Bits/sample = 16\nLPCM Audio Sample Rate = 48000\n";

}  // namespace

TEST(Lpcm, LayoutsWidthsAndRates) {
    const char* modes[16] = {"reserved", "1/0", "reserved", "2/0", "3/0", "2/1", "3/1", "2/2",
                             "3/2", "3/2+lfe", "3/4", "3/4+lfe", "reserved", "reserved", "reserved", "reserved"};
    const uint32_t channels[16] = {2, 2, 2, 2, 4, 4, 4, 4, 6, 6, 8, 8, 2, 2, 2, 2};
    const bytes in = samples(48, 2);
    for (uint32_t a = 0; a < 16; ++a) {
        // With option 2 the first two samples of every group are kept.
        const audio_result r = run_audio(lpcm_call, {{in, 0, {}, lpcm(a, 1, 1)}}, 7, two_channels(1));
        EXPECT_EQ(r.report, strf("LPCM Audio Mode = %s\n", modes[a]) + "LPCM Audio Bits/sample = 16\nLPCM Audio Sample Rate = 48000\n");
        EXPECT_TRUE(r.audio == fronts(in, channels[a] * 2, 4)) << a;
    }
    // 20- and 24-bit samples take 3 bytes, cut across calls: of 18 bytes of 5.1, 6 are kept.
    const char* widths[4] = {"reserved", "16", "20", "24"};
    const bytes wide = samples(36, 3);
    for (uint32_t w = 0; w < 4; ++w) {
        const audio_result r = audio_split_invariant(lpcm_call, {{wide, 0, {}, lpcm(9, 4, w)}}, two_channels(1));
        EXPECT_EQ(r.report, strf("LPCM Audio Mode = 3/2+lfe\nLPCM Audio Bits/sample = %s\n", widths[w]) +
                                "LPCM Audio Sample Rate = 96000\n");
        EXPECT_TRUE(r.audio == (w < 2 ? fronts(wide, 12, 4) : fronts(wide, 18, 6))) << w;
    }
    for (uint32_t code = 0; code < 16; ++code) {
        const char* rate = code == 1 ? "48000" : code == 4 ? "96000" : code == 5 ? "192000" : "reserved";
        EXPECT_EQ(run_audio(lpcm_call, {{{}, 0, {}, lpcm(3, code, 1)}}, 184, {}, false).report,
                  strf("LPCM Audio Mode = 2/0\nLPCM Audio Bits/sample = 16\nLPCM Audio Sample Rate = %s\n", rate));
    }
}

TEST(Lpcm, ResyncAddsZeroSamplesToAnIncompleteGroup) {
    const uint16_t h = lpcm(9, 1, 1);
    const bytes second = samples(6, 2, 101), zero = {0, 0};
    for (uint32_t cut : {4u, 1u}) {
        SCOPED_TRACE(cut);
        // The PES ends `cut` samples into the group plus one byte, which is dropped.
        const bytes first = samples(cut, 2);
        const std::vector<audio_unit> units = {{first + bytes{0x77}, 0, {}, h}, {second, 3000, {}, h}};
        const std::string report = surround_lines + strf("LPCM sample resync, adding %u samples\n", 6 - cut);
        bytes all = first;
        for (uint32_t i = cut; i < 6; ++i) all = all + zero;
        const audio_result r = audio_split_invariant(lpcm_call, units);
        EXPECT_EQ(r.report, report);
        EXPECT_TRUE(r.audio == all + second);
        // Option 2 keeps channels 0 and 1: a zero sample only when the cut left out channel 1.
        const bytes left_right = cut == 1 ? first + zero : slice(first, 0, 4);
        EXPECT_TRUE(audio_split_invariant(lpcm_call, units, two_channels(1)).audio == left_right + slice(second, 0, 4));
        const audio_result quiet = run_audio(lpcm_call, units, 184, {}, false);
        EXPECT_EQ(quiet.report, report);
        EXPECT_TRUE(quiet.audio.empty());
    }
    // A partial sample at a group boundary survives a new PES and is completed by it.
    const bytes whole = samples(6, 2) + bytes{0x77};
    const audio_result r = audio_split_invariant(lpcm_call, {{whole, 0, {}, h}, {second, 3000, {}, h}});
    EXPECT_EQ(r.report, surround_lines);
    EXPECT_TRUE(r.audio == slice(whole + second, 0, 24));
}

TEST(Lpcm, FewerChannelsThanTheGroupReachedStartANewGroup) {
    // Five samples of 5.1, then a stereo PES: no resync, the stereo samples begin a group.
    const bytes first = samples(5, 2), second = samples(4, 2, 101);
    const audio_result r = audio_split_invariant(
        lpcm_call, {{first, 0, {}, lpcm(9, 1, 1)}, {second, 3000, {}, lpcm(3, 1, 1)}}, two_channels(1));
    EXPECT_EQ(r.report, surround_lines);
    EXPECT_TRUE(r.audio == slice(first, 0, 4) + second);
}
