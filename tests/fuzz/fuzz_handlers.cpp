// Differential fuzz entry for the stream handlers: the same calls go to a handler's fast
// version and to its plain byte-at-a-time reference, each on a context of its own, and
// every report line, output byte and shared count must come out the same; a difference
// aborts. Built as a libFuzzer target with -DKAVEL_FUZZ_HANDLERS, and otherwise called by
// the unit tests.
//
// Input: byte 0 chooses the handler (bits 0-2 plus 8 for bit 7, modulo 9: MPEG-2 video,
// H.264, VC-1, AC-3, MPEG audio, AAC in ADTS, AAC in LATM, DTS, HEVC) and options (bit 3 z,
// 4 p, 5 t, 6 v and a). Then calls: a length byte,
// a flags byte and that many bytes. Flags: bit 0 the PTS flag, bits 1-6 how far the PTS
// moves on (in 1501 ticks), bit 7 fixes the first video PTS at this call's PTS when
// not yet known (so that audio output can start).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/context.h"

namespace {

constexpr size_t capacity = 1 << 20;

// One side of the comparison: a context and its three memory files.
struct side {
    alignas(context) unsigned char storage[sizeof(context)];
    char report[capacity], video[capacity], audio[capacity];
    context* ctx = nullptr;
};
side sides[2];

using video_entry = void (*)(context&, uint8_t*, uint32_t, uint64_t, uint8_t);

template <void (*handler)(context&, uint8_t*, uint32_t, uint64_t)>
void without_flag(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t) {
    handler(ctx, bytes, count, pts);
}

// Fast and reference version of each handler, in the order of the choice bits.
const video_entry entries[9][2] = {
    {handle_mpeg2_video, handle_mpeg2_video_per_byte},
    {without_flag<handle_h264_video>, without_flag<handle_h264_video_per_byte>},
    {without_flag<handle_vc1_video>, without_flag<handle_vc1_video_per_byte>},
    {handle_ac3_audio, handle_ac3_audio_per_byte},
    {handle_mpeg_audio, handle_mpeg_audio_per_byte},
    {handle_aac_audio, handle_aac_audio_per_byte},
    {handle_latm_audio, handle_latm_audio_per_byte},
    {handle_dts_audio, handle_dts_audio_per_byte},
    {without_flag<handle_hevc_video>, without_flag<handle_hevc_video_per_byte>},
};

// The bytes a memory file holds: up to the furthest position written.
size_t file_size(FILE* f) {
    if (!f) return 0;
    fflush(f);
    const long here = ftell(f);
    fseek(f, 0, SEEK_END);
    const long end = ftell(f);
    fseek(f, here, SEEK_SET);
    return end < 0 ? 0 : size_t(end);
}

void expect_same(const char* what, const char* a, size_t na, const char* b, size_t nb) {
    if (na == nb && std::memcmp(a, b, na) == 0) return;
    fprintf(stderr, "fast and reference handlers differ in %s (%zu and %zu bytes)\n", what, na, nb);
    abort();
}

void expect_same_state(const context& a, const context& b) {
    const run_statistics &s = a.stats, &t = b.stats;
    const shared_timing &u = a.timing, &v = b.timing;
    if (s.coded_pictures != t.coded_pictures || s.display_count != t.display_count ||
        s.progressive_flag != t.progressive_flag || s.video_rate != t.video_rate ||
        u.first_video_pts != v.first_video_pts || a.sinks.video_written != b.sinks.video_written ||
        a.sinks.audio_written != b.sinks.audio_written) {
        fprintf(stderr, "fast and reference handlers differ in the shared counts\n");
        abort();
    }
}

}  // namespace

int fuzz_handlers_one_input(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t choice = data[0];
    const int handler = ((choice & 7) | (choice >> 7) << 3) % 9;
    for (side& s : sides) {
        s.ctx = new (s.storage) context{};
        context& ctx = *s.ctx;
        ctx.options.pes_output = choice >> 3 & 1;
        ctx.options.parse_only = choice >> 4 & 1;
        ctx.options.gop_timecode_mode = choice >> 5 & 1;
        ctx.options.dump_video_pts = ctx.options.dump_audio_pts = choice >> 6 & 1;
        ctx.report = fmemopen(s.report, capacity, "w+");
        if (!ctx.options.parse_only) {
            ctx.sinks.video_out = fmemopen(s.video, capacity, "w+");
            ctx.sinks.audio_out = fmemopen(s.audio, capacity, "w+");
        }
    }
    uint64_t pts = 0;
    size_t at = 1;
    while (at + 2 <= size) {
        const uint32_t n = uint32_t(std::min<size_t>(data[at], size - at - 2));
        const uint8_t flags = data[at + 1];
        const uint8_t* run = data + at + 2;
        at += 2 + n;
        pts += uint64_t(flags >> 1 & 63) * 1501;
        for (int k = 0; k < 2; ++k) {
            context& ctx = *sides[k].ctx;
            if (flags >> 7 && ctx.timing.first_video_pts == pts_unknown) ctx.timing.first_video_pts = pts;
            // Handlers may change the bytes they are given: each side gets its own copy,
            // of exactly the run's size.
            auto copy = std::make_unique<uint8_t[]>(n);
            std::memcpy(copy.get(), run, n);
            entries[handler][k](ctx, copy.get(), n, pts, flags & 1);
        }
    }
    context &fast = *sides[0].ctx, &plain = *sides[1].ctx;
    expect_same("the report", sides[0].report, file_size(fast.report), sides[1].report, file_size(plain.report));
    expect_same("the video output", sides[0].video, file_size(fast.sinks.video_out), sides[1].video,
                file_size(plain.sinks.video_out));
    expect_same("the audio output", sides[0].audio, file_size(fast.sinks.audio_out), sides[1].audio,
                file_size(plain.sinks.audio_out));
    expect_same_state(fast, plain);
    for (side& s : sides) {
        for (FILE* f : {s.ctx->report, s.ctx->sinks.video_out, s.ctx->sinks.audio_out})
            if (f) fclose(f);
        s.ctx->~context();
    }
    return 0;
}

#ifdef KAVEL_FUZZ_HANDLERS
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return fuzz_handlers_one_input(data, size); }
#endif
