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

// The handlers, in the order of the choice bits.
constexpr stream_handler handlers[9] = {
    stream_handler::mpeg2_video,    stream_handler::h264_video,     stream_handler::vc1_video,
    stream_handler::ac3_audio,      stream_handler::mpeg_audio,     stream_handler::aac_adts_audio,
    stream_handler::aac_latm_audio, stream_handler::dts_audio,      stream_handler::hevc_video,
};

bool is_video(stream_handler h) {
    return h == stream_handler::mpeg2_video || h == stream_handler::h264_video || h == stream_handler::vc1_video ||
           h == stream_handler::hevc_video;
}

// The one chosen stream of a side, made as the PMT would make it.
chosen_stream& make_stream(context& ctx, stream_handler h) {
    pmt_entry e;
    e.pid = 0x100;
    e.what.kind = is_video(h) ? stream_kind::video : stream_kind::audio;
    e.what.handler = h;
    e.number = 1;
    return *add_chosen_stream(ctx, e.what.kind, 1, e);
}

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
    const video_counts &s = a.streams[0].counts, &t = b.streams[0].counts;
    const shared_timing &u = a.timing, &v = b.timing;
    if (s.coded_pictures != t.coded_pictures || s.display_count != t.display_count ||
        s.progressive_flag != t.progressive_flag || u.video_rate != v.video_rate ||
        u.first_video_pts != v.first_video_pts || a.streams[0].out.written != b.streams[0].out.written) {
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
            ctx.video_file = fmemopen(s.video, capacity, "w+");
            ctx.audio_file = fmemopen(s.audio, capacity, "w+");
        }
        make_stream(ctx, handlers[handler]);
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
            chosen_stream& st = ctx.streams[0];
            st.pes.current_pts = pts;
            st.pes.header_had_dts = st.pes.pts_arrived = flags & 1;
            stream_call sc{st, ctx.timing};
            handler_entry_of(handlers[handler], k == 1)(sc, copy.get(), n);
        }
    }
    for (side& s : sides) demux_end(*s.ctx);  // what the handlers hold goes out
    context &fast = *sides[0].ctx, &plain = *sides[1].ctx;
    expect_same("the report", sides[0].report, file_size(fast.report), sides[1].report, file_size(plain.report));
    expect_same("the video output", sides[0].video, file_size(fast.video_file), sides[1].video,
                file_size(plain.video_file));
    expect_same("the audio output", sides[0].audio, file_size(fast.audio_file), sides[1].audio,
                file_size(plain.audio_file));
    expect_same_state(fast, plain);
    for (side& s : sides) {
        for (FILE* f : {s.ctx->report, s.ctx->video_file, s.ctx->audio_file})
            if (f) fclose(f);
        s.ctx->~context();
    }
    return 0;
}

#ifdef KAVEL_FUZZ_HANDLERS
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return fuzz_handlers_one_input(data, size); }
#endif
