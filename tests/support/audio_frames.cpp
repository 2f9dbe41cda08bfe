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

bytes ac3_frame(uint32_t size, uint8_t rate_byte, uint8_t bsid_bsmod, uint8_t acmod_byte, uint8_t fill) {
    return framed(size, {0x0B, 0x77, 0x00, 0x00, rate_byte, bsid_bsmod, acmod_byte}, fill);
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

const audio_call ac3_call = [](context& c, uint8_t* b, uint32_t n, uint64_t pts, uint8_t flag, uint16_t) {
    handle_ac3_audio(c, b, n, pts, flag);
};
const audio_call mpeg_call = [](context& c, uint8_t* b, uint32_t n, uint64_t pts, uint8_t flag, uint16_t) {
    handle_mpeg_audio(c, b, n, pts, flag);
};
const audio_call lpcm_call = handle_lpcm_audio;

template <void (*h)(context&, uint8_t*, uint32_t, uint64_t, uint8_t)>
void call(context& c, uint8_t* b, uint32_t n, uint64_t pts, uint8_t flag, uint16_t) { h(c, b, n, pts, flag); }
const audio_call aac_call = call<handle_aac_audio>, latm_call = call<handle_latm_audio>, dts_call = call<handle_dts_audio>;
const audio_call aac_per_byte_call = call<handle_aac_audio_per_byte>, latm_per_byte_call = call<handle_latm_audio_per_byte>,
                 dts_per_byte_call = call<handle_dts_audio_per_byte>;
const audio_call ac3_per_byte_call = [](context& c, uint8_t* b, uint32_t n, uint64_t pts, uint8_t flag, uint16_t) {
    handle_ac3_audio_per_byte(c, b, n, pts, flag);
};
const audio_call mpeg_per_byte_call = [](context& c, uint8_t* b, uint32_t n, uint64_t pts, uint8_t flag, uint16_t) {
    handle_mpeg_audio_per_byte(c, b, n, pts, flag);
};

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
