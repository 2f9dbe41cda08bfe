#include "audio_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace kt {

namespace {

bytes framed(uint32_t size, std::initializer_list<uint8_t> head, uint8_t fill) {
    bytes f(std::max<size_t>(size, head.size()), fill);
    std::copy(head.begin(), head.end(), f.begin());
    return f;
}

}  // namespace

void seal_ac3(bytes& f) {
    // The CRC (x^16 + x^15 + x^2 + 1, from 0) of the bytes after the sync word before the
    // last word, written there, so that the CRC of all of them comes out 0.
    uint32_t c = 0;
    for (size_t i = 2; i + 2 < f.size(); ++i)
        for (int b = 7; b >= 0; --b) c = ((c << 1) | (f[i] >> b & 1)) ^ (c & 0x8000 ? 0x18005 : 0);
    for (int b = 0; b < 16; ++b) c = (c << 1) ^ (c & 0x8000 ? 0x18005 : 0);
    f[f.size() - 2] = uint8_t(c >> 8), f[f.size() - 1] = uint8_t(c);
}

bytes ac3_frame(uint32_t size, uint8_t rate_byte, uint8_t bsid_bsmod, uint8_t acmod_byte, uint8_t fill) {
    bytes f = framed(size, {0x0B, 0x77, 0x00, 0x00, rate_byte, bsid_bsmod, acmod_byte}, fill);
    seal_ac3(f);
    return f;
}

bytes mp2_frame(uint32_t size, uint8_t rate_byte, uint8_t mode_byte, uint8_t fill) {
    return framed(size, {0xFF, 0xFD, rate_byte, mode_byte}, fill);
}

bytes ac3_frames(uint32_t count) {
    bytes out;
    for (uint32_t i = 0; i < count; ++i) out = out + ac3_frame(1536, 0x1C, 0x40, 0xE0, uint8_t(0x20 + i % 64));
    return out;
}

bytes mp2_frames(uint32_t count) {
    bytes out;
    for (uint32_t i = 0; i < count; ++i) out = out + mp2_frame(576, 0xA4, 0x00, uint8_t(0x20 + i % 64));
    return out;
}

std::string first_audio_pts(uint64_t pts, std::optional<uint64_t> video) {
    if (!video) return strf("First Audio PTS = 0x%08x\n", uint32_t(pts));
    return strf("First Audio PTS = 0x%08x, %d\n", uint32_t(pts), int32_t(uint32_t(pts - *video)));
}

setup_fn with_video(int32_t video_index) {
    return [=](context& c) { c.selection.video_index = video_index; };
}

namespace {

template <stream_handler h, bool per_byte = false>
void audio_entry(context& c, uint8_t* b, uint32_t n, uint64_t pts, uint8_t flag, uint16_t lpcm_header) {
    call_handler(c, h, per_byte, b, n, pts, flag, lpcm_header);
}

}  // namespace

const audio_call ac3_call = audio_entry<stream_handler::ac3_audio>, mpeg_call = audio_entry<stream_handler::mpeg_audio>,
                 lpcm_call = audio_entry<stream_handler::lpcm_audio>, aac_call = audio_entry<stream_handler::aac_adts_audio>,
                 latm_call = audio_entry<stream_handler::aac_latm_audio>, dts_call = audio_entry<stream_handler::dts_audio>;
const audio_call ac3_per_byte_call = audio_entry<stream_handler::ac3_audio, true>,
                 mpeg_per_byte_call = audio_entry<stream_handler::mpeg_audio, true>,
                 aac_per_byte_call = audio_entry<stream_handler::aac_adts_audio, true>,
                 latm_per_byte_call = audio_entry<stream_handler::aac_latm_audio, true>,
                 dts_per_byte_call = audio_entry<stream_handler::dts_audio, true>;

std::vector<audio_unit> pes_cut(const bytes& es, const std::vector<size_t>& starts, const std::vector<size_t>& cuts,
                                const std::vector<uint64_t>& times) {
    std::vector<audio_unit> units;
    size_t k = 0;
    for (size_t c = 0; c <= cuts.size(); ++c) {
        const size_t from = c == 0 ? 0 : cuts[c - 1], to = c == cuts.size() ? es.size() : cuts[c];
        audio_unit u{slice(es, from, to)};
        while (k < starts.size() && starts[k] < from) ++k;
        if (k < starts.size() && starts[k] < to) u.pts = times[k];
        units.push_back(u);
    }
    return units;
}

audio_result run_audio(const audio_call& call, const std::vector<audio_unit>& units, uint32_t split,
                       const setup_fn& setup, bool outputs) {
    capture cap(outputs);
    context& ctx = cap.ctx();
    if (setup) setup(ctx);
    std::mt19937 rng(split + 11);
    bytes scratch;
    for (const audio_unit& u : units) {
        if (u.video_pts) ctx.timing.first_video_pts = *u.video_pts;
        uint8_t flag = u.pts ? 1 : 0;
        size_t at = 0;
        do {
            const size_t n = std::min<size_t>(split ? split : 1 + rng() % 184, u.data.size() - at);
            // The handler may change its bytes, as it may in the driver's read block.
            scratch.assign(u.data.begin() + long(at), u.data.begin() + long(at + n));
            call(ctx, scratch.data(), uint32_t(n), u.pts.value_or(0), flag, u.lpcm_header);
            flag = 0;
            at += n;
        } while (at < u.data.size());
    }
    demux_end(ctx);  // the end of the input: the last frame goes out
    return {cap.report(), cap.audio()};
}

audio_result audio_split_invariant(const audio_call& call, const std::vector<audio_unit>& units,
                                   const setup_fn& setup, bool outputs) {
    const audio_result first = run_audio(call, units, 184, setup, outputs);
    for (uint32_t split : {1u, 2u, 7u, 0u}) {
        const audio_result r = run_audio(call, units, split, setup, outputs);
        EXPECT_EQ(r.report, first.report) << "split " << split;
        EXPECT_TRUE(r.audio == first.audio) << "split " << split;
    }
    return first;
}

}  // namespace kt
