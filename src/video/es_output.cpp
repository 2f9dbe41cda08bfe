// Shared output and scan pieces of the video handlers.
#include "video/es_output.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "driver/context.h"

namespace {

// Index just past the first 00 00 01 whose 01 lies at or after `k`, or `count`; k >= 2,
// and bytes[k - 2] and bytes[k - 1] are the call's. Sixteen positions are tested at a time
// with no branch on the data until one matches: coded data has a 01 about once in 256
// bytes, at places no branch predictor can guess.
uint32_t find_prefix_end(const uint8_t* bytes, uint32_t k, uint32_t count) {
#if defined(__SSE2__)
    if (count - k >= 16) {
        const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
        auto prefixes_at = [&](uint32_t at) {
            const auto* p = reinterpret_cast<const __m128i*>(bytes + at);
            const __m128i two_before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at - 2));
            const __m128i one_before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at - 1));
            const __m128i zeros = _mm_cmpeq_epi8(_mm_or_si128(two_before, one_before), zero);
            return uint32_t(_mm_movemask_epi8(_mm_and_si128(zeros, _mm_cmpeq_epi8(_mm_loadu_si128(p), one))));
        };
        for (; k + 16 <= count; k += 16)
            if (const uint32_t m = prefixes_at(k)) return k + uint32_t(__builtin_ctz(m)) + 1;
        // The last sixteen bytes once more, overlapping those already tested.
        if (k < count)
            if (const uint32_t m = prefixes_at(count - 16)) return count - 16 + uint32_t(__builtin_ctz(m)) + 1;
        return count;
    }
#endif
    for (; k < count; ++k)
        if (bytes[k] == 0x01 && (bytes[k - 1] | bytes[k - 2]) == 0) return k + 1;
    return count;
}

// The window ends with bytes that could begin a start code: 00, 00 00 or 00 00 01.
bool code_may_follow(uint32_t window) { return (window & 0xFF) == 0 || es_prefix_complete(window); }

}  // namespace

es_call es_call_begin(context& ctx, const uint8_t* bytes, uint32_t count, es_cut_state* cut) {
    es_call o{ctx.options.parse_only ? nullptr : ctx.sinks.video_out, bytes, 0, count};
    if (cut && cut->tail_open && o.out && ctx.sinks.video_written != cut->tail_mark) cut->interrupted = 1;
    return o;
}

void es_write_to(context& ctx, es_call& o, uint32_t pos) {
    if (pos > o.cursor) sink_write(o.out, ctx.sinks.video_written, o.bytes + o.cursor, pos - o.cursor);
    o.cursor = pos;
}

void es_insert(context& ctx, const es_call& o, const void* data, uint32_t n) {
    sink_write(o.out, ctx.sinks.video_written, data, n);
}

void es_start_output(context& ctx, es_call& o, const uint8_t* prefix, uint32_t n, uint32_t pos) {
    es_insert(ctx, o, prefix, n);
    o.cursor = pos;
}

void es_cut_start_code(context& ctx, es_call& o, es_cut_state& cut, uint32_t pos) {
    if (pos >= 3) {
        es_write_to(ctx, o, pos - 3);
    } else if (cut.interrupted) {
        return;  // the code's first bytes lie before a foreign write: it stays whole
    } else if (o.out) {
        fseek(o.out, -long(3 - pos), SEEK_CUR);
    }
    o.cursor = pos + 1;
}

void es_call_end(context& ctx, es_call& o, uint32_t count, uint32_t window, bool started, es_cut_state* cut) {
    if (!o.out || !started) {
        if (cut) *cut = es_cut_state{};
        return;
    }
    es_write_to(ctx, o, o.end);
    if (!cut) return;
    // An interruption before this call no longer matters once the call holds all three
    // bytes that could begin a code.
    if (count >= 3) cut->interrupted = 0;
    if (code_may_follow(window)) {
        cut->tail_open = 1;
        cut->tail_mark = ctx.sinks.video_written;
    } else {
        *cut = es_cut_state{};
    }
}

uint32_t es_skip_to_start_code(const uint8_t* bytes, uint32_t i, uint32_t count, uint32_t& window) {
    const uint32_t from = i;
    // The first two bytes may end a prefix whose 00s lie in the window, before the call.
    uint32_t stop = 0;
    uint32_t w = window;
    for (; i < count && i < from + 2 && stop == 0; ++i) {
        w = w << 8 | bytes[i];
        if (es_prefix_complete(w)) stop = i + 1;
    }
    if (stop == 0) stop = find_prefix_end(bytes, i, count);
    if (stop - from >= 4) {
        const uint8_t* p = bytes + stop - 4;
        window = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    } else {
        for (uint32_t k = from; k < stop; ++k) window = window << 8 | bytes[k];
    }
    return stop;
}

void first_pts_picture(context& ctx, first_pts_choice& c, uint64_t pts) {
    if (c.countdown == 2) {
        c.candidate = pts;
        c.countdown = 1;
    } else if (c.countdown == 1) {
        c.countdown = 0;
        if (pts < c.candidate) c.candidate = pts;
        ctx.timing.first_video_pts = c.candidate;
        fprintf(ctx.report, "First Video PTS = 0x%08x\n", uint32_t(c.candidate));
    }
}
