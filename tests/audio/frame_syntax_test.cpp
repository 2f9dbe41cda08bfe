// The aligner's newer frame syntaxes, called directly as the PES layer would: FFmpeg's
// frames (tests/data/codecs*) re-cut anywhere, E-AC-3 dependent frames, wrapping time stamps.
#include <gtest/gtest.h>

#include <random>

#include "audio/frame_headers.h"
#include "audio_frames.h"
#include "program.h"

using namespace kt;

namespace {

constexpr uint64_t p0 = 90000;

// The frames of an FFmpeg-made E-AC-3 stream (384 bytes each, 1536 samples, 2880 ticks),
// each followed by a copy made dependent (strmtyp 1).
bytes eac3_pairs(uint32_t count, std::vector<size_t>& independent) {
    const bytes es = read_file(test_data("codecs.a8.eac3"));
    bytes out;
    for (uint32_t k = 0; k < count; ++k) {
        bytes f = slice(es, 384 * k, 384 * (k + 1));
        independent.push_back(out.size());
        out = out + f;
        f[2] = uint8_t((f[2] & 0x3F) | 0x40);
        seal_ac3(f);
        out = out + f;
    }
    return out;
}

}  // namespace

TEST(AudioSyntax, Eac3DependentFramesGoWithTheFrameBeforeAndTimeStampsWrap) {
    std::vector<size_t> starts;
    const bytes es = eac3_pairs(12, starts);
    const std::string lines = "Audio Bitrate = 96000, Audio Sampling Rate = 48000\nAudio Mode = 2/0, E-AC-3, bsid = 16\n";
    // PES packets cut inside the pairs; the video starts within independent frame 4.
    std::vector<uint64_t> times;
    for (size_t k = 0; k < starts.size(); ++k) times.push_back(p0 + 2880 * k);
    std::vector<audio_unit> units = pes_cut(es, starts, {500, 1000, starts[3] + 384, starts[4] + 400, 5000}, times);
    units[0].video_pts = p0 + 4 * 2880 + 2879;
    const audio_result r = audio_split_invariant(ac3_call, units, with_video(1));
    EXPECT_EQ(r.report, lines + first_audio_pts(p0 + 4 * 2880, p0 + 4 * 2880 + 2879));
    EXPECT_TRUE(r.audio == slice(es, starts[4]));
    // Beginning with a dependent frame: the output begins at the next independent one.
    const audio_result all = audio_split_invariant(ac3_call, {{slice(es, starts[1] - 384), p0}}, with_video(0));
    EXPECT_EQ(all.report, lines + first_audio_pts(p0));
    EXPECT_TRUE(all.audio == slice(es, starts[1]));
    // Audio from 1000 ticks before 2^33, the video 3000 ticks after it: frame 1 holds it.
    const uint64_t wrap = uint64_t{1} << 33;
    const audio_result w = audio_split_invariant(ac3_call, {{es, wrap - 1000, 3000}}, with_video(1));
    EXPECT_EQ(w.report, lines + first_audio_pts(wrap + 1880, 3000));
    EXPECT_TRUE(w.audio == slice(es, starts[1]));
}

TEST(AudioSyntax, EverySyntaxSplitInvariantAndAsItsPerByteReference) {
    struct syntax_case { const char* es; const audio_call& call; const audio_call& per_byte; };
    const syntax_case cases[] = {
        {"codecs.a3.mp3", mpeg_call, mpeg_per_byte_call},        {"codecs.a4.mp3", mpeg_call, mpeg_per_byte_call},
        {"codecs.a5.dts", dts_call, dts_per_byte_call},          {"codecs.a6.aac", aac_call, aac_per_byte_call},
        {"codecs.a7.aac", aac_call, aac_per_byte_call},          {"codecs.a8.eac3", ac3_call, ac3_per_byte_call},
        {"codecs_latm.a1.latm", latm_call, latm_per_byte_call}, {"codecs_latm.a2.latm", latm_call, latm_per_byte_call}};
    std::mt19937 rng(23);
    for (const syntax_case& c : cases) {
        SCOPED_TRACE(c.es);
        const bytes frames = slice(read_file(test_data(c.es)), 0, 30000);
        for (int round = 0; round < 12; ++round) {
            // From a random point, with cuts, repeats and lead bytes, in random PES packets.
            bytes es;
            for (size_t at = rng() % (frames.size() / 3); at < frames.size();) {
                const size_t n = 200 + rng() % 3000;
                es = es + slice(frames, at, at + n);
                at += rng() % 8 == 0 ? n / 2 : n;
                if (rng() % 4 == 0) es = es + repeat(frames[0], 1 + rng() % 3) + bytes{frames[1], uint8_t(rng())};
            }
            std::vector<audio_unit> units;
            for (size_t at = 0; at < es.size();) {
                const size_t n = rng() % 5 == 0 ? 0 : 1 + rng() % 1500;
                audio_unit u{slice(es, at, at + n)};
                if (rng() % 3) u.pts = p0 + 20 * at + rng() % 50;
                units.push_back(u);
                at += n;
            }
            units[rng() % units.size()].video_pts = p0 + rng() % 400000;
            const int32_t video_index = round % 4 == 0 ? 0 : 1;
            const audio_result fast = audio_split_invariant(c.call, units, with_video(video_index));
            const audio_result plain = run_audio(c.per_byte, units, 1 + rng() % 200, with_video(video_index));
            ASSERT_EQ(fast.report, plain.report) << round;
            ASSERT_TRUE(fast.audio == plain.audio) << round;
            EXPECT_TRUE(round != 0 || !fast.audio.empty());
        }
    }
}

namespace {

// Bits written most significant first.
struct bit_writer {
    bytes out;
    uint32_t used = 0;
    void put(uint32_t value, uint32_t n) {
        for (; n > 0; --n, ++used) {
            if (used % 8 == 0) out.push_back(0);
            out.back() |= uint8_t(((value >> (n - 1)) & 1) << (7 - used % 8));
        }
    }
};

// `count` frames of `size` bytes from `header`, the rest zero, with time stamps every
// `ticks` from p0 in PES packets of three frames.
std::vector<audio_unit> frames_in_packets(const bytes& header, uint32_t size, uint32_t count, uint64_t ticks, bytes& es) {
    std::vector<size_t> starts;
    std::vector<uint64_t> times;
    for (uint32_t k = 0; k < count; ++k) {
        starts.push_back(es.size());
        times.push_back(p0 + ticks * k);
        es = es + header + repeat(0, size - header.size());
    }
    std::vector<size_t> cuts;
    for (uint32_t k = 3; k < count; k += 3) cuts.push_back(starts[k] + 5);
    return pes_cut(es, starts, cuts, times);
}

}  // namespace

TEST(AudioSyntax, HeAacInLatmAndDtsSubstreamsAloneAreTimedByTheirOwnHeaders) {
    // LATM whose StreamMuxConfig signals SBR and parametric stereo (object type 29) over
    // a 24 kHz mono LC core, 48 kHz out: 1024 core samples, 3840 ticks a frame.
    bit_writer w;
    w.put(0x2B7, 11), w.put(300 - 3, 13);
    w.put(0, 1), w.put(0, 1), w.put(1, 1), w.put(0, 6), w.put(0, 4), w.put(0, 3);  // one program, one layer
    w.put(29, 5), w.put(6, 4), w.put(1, 4), w.put(3, 4), w.put(2, 5), w.put(0, 3);  // ASC, GASpecificConfig
    bytes es;
    std::vector<audio_unit> units = frames_in_packets(w.out, 300, 12, 3840, es);
    units[0].video_pts = p0 + 4 * 3840 + 100;
    audio_result r = audio_split_invariant(latm_call, units, with_video(1));
    EXPECT_EQ(r.report, "Audio Bitrate = 56250, Audio Sampling Rate = 48000\nAudio Mode = 1/0, AAC LC, SBR, PS, LATM\n" +
                            first_audio_pts(p0 + 4 * 3840, p0 + 4 * 3840 + 100));
    EXPECT_TRUE(r.audio == slice(es, 4 * 300));
    // DTS Express: extension substreams of 1000 bytes, 512 samples of a 48 kHz clock each
    // (960 ticks); the output begins with the substream's own sync word. High-rate DTS-HD:
    // substreams of 20000 bytes, more than a quarter of the 16-bit size field allows, held
    // whole.
    const struct { bytes header; uint32_t size, first; const char* rate; } substreams[] = {
        {{0x64, 0x58, 0x20, 0x25, 0x00, 0x01, 0xE0, 0x7C, 0xF8, 0x00}, 1000, 5, "750000"},
        {{0x64, 0x58, 0x20, 0x25, 0x00, 0x01, 0xE9, 0xC3, 0xF8, 0x00}, 20000, 2, "15000000"}};
    for (const auto& x : substreams) {
        es.clear();
        units = frames_in_packets(x.header, x.size, 12 - x.first, 960, es);
        units[0].video_pts = p0 + x.first * 960 + 10;
        r = audio_split_invariant(dts_call, units, with_video(1));
        EXPECT_EQ(r.report, std::string("Audio Bitrate = ") + x.rate + ", Audio Sampling Rate = 48000\nAudio Mode = " +
                                "extension substreams without a core, DTS\n" + first_audio_pts(p0 + x.first * 960, p0 + x.first * 960 + 10));
        EXPECT_TRUE(r.audio == slice(es, x.first * x.size));
    }
}

TEST(AudioSyntax, FrameCrcTakenFastAgreesWithTheByteAtATimeOne) {
    // AC-3 frames of random bytes and lengths, half of them with their CRC, a third with a
    // bit flipped.
    std::mt19937 rng(3);
    for (int n = 0; n < 3000; ++n) {
        bytes f(8 + rng() % 4000);
        for (uint8_t& b : f) b = uint8_t(rng());
        f[0] = 0x0B, f[1] = 0x77;
        if (n % 2) seal_ac3(f);
        if (n % 3 == 0) f[2 + rng() % (f.size() - 2)] ^= uint8_t(1 << rng() % 8);
        const uint32_t size = uint32_t(f.size());
        EXPECT_EQ(check_frame(ac3_variant, f.data() + 1, size, true), check_frame(ac3_variant, f.data() + 1, size, false));
    }
}
