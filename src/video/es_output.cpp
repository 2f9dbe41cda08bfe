// Shared output and scan pieces of the video handlers.
#include "video/es_output.h"

#include <cstring>

// KAVEL_PORTABLE builds without any processor-specific code; the plain search below is
// then the only one, as it is on every processor other than x86-64.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(KAVEL_PORTABLE)
#include <immintrin.h>
#define KAVEL_WIDE_SCAN 1  // 32 positions at a time where the processor has AVX2
#endif

#include "core/stream.h"

namespace {

// The start-code search: a position `at` matches when bytes[at] is 01 and the two bytes
// before it are 00. With AVX2, each byte of 64 is classed at once as 00 or 01 (one load
// per 32 bytes, two compares, two bit masks), and a match is a 01 bit whose two
// neighbours before it are 00 bits: the masks shifted by one and two, with the bits of
// the bytes before the run carried in. No branch on the data until a match: coded data
// has a 01 about once in 256 bytes, at places no branch predictor can guess.

// The 01 at `at` ends a prefix: is it one the caller wants to stop at?
inline bool wanted(const uint8_t* bytes, uint32_t at, uint32_t count, const es_code_set& codes) {
    return at + 1 == count || codes.has(bytes[at + 1]);
}

// Index just past the first wanted match among those marked in `m` (bit p: position
// k + p), or 0.
inline uint32_t first_wanted(const uint8_t* bytes, uint32_t k, uint64_t m, uint32_t count, const es_code_set& codes) {
    for (; m != 0; m &= m - 1) {
        const uint32_t at = k + uint32_t(__builtin_ctzll(m));
        if (wanted(bytes, at, count, codes)) return at + 1;
    }
    return 0;
}

// The matches among the 32 positions from `p`, given the 00 bits of the two bytes before
// them (bit 0: two before, bit 1: one before); `zero` is left with the 00 bits of the 32.
#if defined(KAVEL_WIDE_SCAN)
__attribute__((target("avx2"))) inline uint32_t prefixes_at_32(const uint8_t* p, uint32_t before, uint32_t& zero) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    zero = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
    const uint32_t one = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(1))));
    return one & (zero << 1 | before >> 1) & (zero << 2 | before);
}

// As find_prefix_end, for count - k >= 32, with the 00 bits of the two bytes before k in
// `before` (as prefixes_at_32 takes them).
__attribute__((target("avx2"))) uint32_t find_prefix_end_wide(const uint8_t* bytes, uint32_t k, uint32_t count,
                                                              uint32_t before, const es_code_set& codes) {
    uint32_t low, high;
    for (; k + 64 <= count; k += 64) {
        const uint32_t m_low = prefixes_at_32(bytes + k, before, low);
        const uint32_t m_high = prefixes_at_32(bytes + k + 32, low >> 30, high);
        if (const uint64_t m = m_low | uint64_t(m_high) << 32)
            if (const uint32_t end = first_wanted(bytes, k, m, count, codes)) return end;
        before = high >> 30;
    }
    if (k + 32 <= count) {
        if (const uint32_t m = prefixes_at_32(bytes + k, before, low))
            if (const uint32_t end = first_wanted(bytes, k, m, count, codes)) return end;
        k += 32;
    }
    if (k == count) return count;
    // The 32 positions that end at count once more, of which the first `seen` were tested
    // (as k went past the first 32, base >= 1). Only position 1 of those not yet tested
    // can need the byte before base.
    const uint32_t base = count - 32, seen = k - base;
    const uint32_t m = prefixes_at_32(bytes + base, uint32_t(bytes[base - 1] == 0) << 1, low) >> seen << seen;
    if (const uint32_t end = first_wanted(bytes, base, m, count, codes)) return end;
    return count;
}
#endif

// Index just past the first wanted match at or after `k`, or `count`; `window` holds the
// bytes before k. Without AVX2, and for short runs, the 01s are found by memchr and only
// they are checked for the 00 00; the first two positions look back into the window.
uint32_t find_prefix_end(const uint8_t* bytes, uint32_t k, uint32_t count, uint32_t window, const es_code_set& codes) {
#if defined(KAVEL_WIDE_SCAN)
    if (count - k >= 32 && __builtin_cpu_supports("avx2"))
        return find_prefix_end_wide(bytes, k, count,
                                    uint32_t((window & 0xFF00) == 0) | uint32_t((window & 0xFF) == 0) << 1, codes);
#endif
    const uint32_t from = k;
    for (; k < count && k < from + 2; ++k) {
        window = window << 8 | bytes[k];
        if (es_prefix_complete(window) && wanted(bytes, k, count, codes)) return k + 1;
    }
    while (const void* hit = memchr(bytes + k, 0x01, count - k)) {
        const uint32_t at = uint32_t(static_cast<const uint8_t*>(hit) - bytes);
        if ((bytes[at - 1] | bytes[at - 2]) == 0 && wanted(bytes, at, count, codes)) return at + 1;
        k = at + 1;
    }
    return count;
}

// The window ends with bytes that could begin a start code: 00, 00 00 or 00 00 01.
bool code_may_follow(uint32_t window) { return (window & 0xFF) == 0 || es_prefix_complete(window); }

}  // namespace

es_call es_call_begin(stream_call& sc, const uint8_t* bytes, uint32_t count, es_cut_state* cut) {
    stream_output& out = sc.stream.out;
    es_call o{sc.stream.parse_only || !out.file ? nullptr : &out, bytes, 0, count};
    if (cut && cut->tail_open && o.out && out.written != cut->tail_mark) cut->interrupted = 1;
    return o;
}

void es_write_to(stream_call&, es_call& o, uint32_t pos) {
    if (pos > o.cursor && o.out) sink_write(*o.out, o.bytes + o.cursor, pos - o.cursor);
    o.cursor = pos;
}

void es_insert(stream_call&, const es_call& o, const void* data, uint32_t n) {
    if (o.out) sink_write(*o.out, data, n);
}

void es_start_output(stream_call& sc, es_call& o, const uint8_t* prefix, uint32_t n, uint32_t pos) {
    es_insert(sc, o, prefix, n);
    o.cursor = pos;
}

bool es_cut_code(stream_call& sc, es_call& o, es_cut_state& cut, uint32_t end, uint32_t n) {
    if (end >= n) {
        es_write_to(sc, o, end - n);
    } else if (cut.interrupted) {
        return false;  // the code's first bytes lie before a foreign write: it stays whole
    } else if (o.out) {
        fseek(o.out->file, -long(n - end), SEEK_CUR);
    }
    o.cursor = end;
    return true;
}

void es_cut_start_code(stream_call& sc, es_call& o, es_cut_state& cut, uint32_t pos) {
    es_cut_code(sc, o, cut, pos + 1, 4);
}

void es_call_end_written(stream_call& sc, es_call& o, uint32_t count, uint32_t window, es_cut_state* cut) {
    es_write_to(sc, o, o.end);
    if (!cut) return;
    // An interruption before this call no longer matters once the call holds all three
    // bytes that could begin a code.
    if (count >= 3) cut->interrupted = 0;
    if (code_may_follow(window)) {
        cut->tail_open = 1;
        cut->tail_mark = sc.stream.out.written;
    } else {
        *cut = es_cut_state{};
    }
}

uint32_t es_skip_to_start_code(const uint8_t* bytes, uint32_t i, uint32_t count, uint32_t& window,
                               const es_code_set& codes) {
    const uint32_t from = i;
    const uint32_t stop = find_prefix_end(bytes, i, count, window, codes);
    if (stop - from >= 4) {
        const uint8_t* p = bytes + stop - 4;
        window = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    } else {
        for (uint32_t k = from; k < stop; ++k) window = window << 8 | bytes[k];
    }
    return stop;
}

void first_pts_picture(stream_call& sc, first_pts_choice& c, uint64_t pts) {
    if (c.countdown == 2) {
        c.candidate = pts;
        c.countdown = 1;
    } else if (c.countdown == 1) {
        c.countdown = 0;
        if (pts_diff(c.candidate, pts) > 0) c.candidate = pts;
        sc.timing.first_video_pts = c.candidate;
        fprintf(sc.stream.report, "First Video PTS = 0x%08x\n", uint32_t(c.candidate));
    }
}
