// What the video handlers (MPEG-2, H.264, VC-1, HEVC) share: writing the caller's run in
// pieces between the events that edit it, the start-code window with its fast skip,
// cutting a start code that straddles two calls out of the output, and the choice of the
// first video PTS from the first two pictures.
//
// A handler call goes like this (MPEG-2 in mpeg2_video.cpp, H.264 in h264_video.cpp):
//
//     if (count == 0) return;
//     es_call o = es_call_begin(sc, bytes, count, &st.cut);  // &st.cut: only if it cuts codes
//     uint32_t window = st.sync_window;
//     for (uint32_t i = 0; i < count;) {
//         if (!es_prefix_complete(window) && no header field of the handler is pending) {
//             i = es_skip_to_start_code(bytes, i, count, window, codes);  // past 00 00 01, or count
//             continue;
//         }
//         window = window << 8 | bytes[i];
//         ... rules on window, for instance:
//             es_start_output(sc, o, prefix, n, i);  // output begins: prefix, then from i
//             es_write_to(sc, o, i); es_insert(sc, o, extra, n); es_drop_to(o, i + 1);
//             es_cut_start_code(sc, o, st.cut, i);   // the 4-byte code ending at i leaves
//             first_pts_picture(sc, st.first_pts, pts);
//         ++i;
//     }
//     st.sync_window = window;
//     es_call_end(sc, o, count, window, st.started, &st.cut);  // the rest; notes the tail
//
// A handler keeps a per-byte variant of the same loop without the skip, and a test that
// compares the two on random input (see tests/video).
//
// Nothing here allocates or keeps state of its own: the handler owns its `es_cut_state`
// and `first_pts_choice`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "core/records.h"

struct stream_call;

// A start code that ends with its last byte in a call may have its first one to three
// bytes in the output already (written by the previous calls). To cut it, the file
// position is moved back over them; but when something else was written to the video
// file since (a PES header, with option z), moving back would land inside that: the code
// is then kept whole. This record carries what the check needs from call to call.
struct es_cut_state {
    uint64_t tail_mark = 0;    // video bytes written when the previous call ended
    uint32_t tail_open = 0;    // that call ended with 00, 00 00 or 00 00 01
    uint32_t interrupted = 0;  // something else was written inside the pending code
};

// One call's output. `out` is null when nothing is written (parse_only, or no file).
struct es_call {
    stream_output* out;
    const uint8_t* bytes;
    uint32_t cursor;  // first byte of the call not yet written or dropped
    uint32_t end;     // end of what the call writes: count, less when a byte is held back
};

// Opens a call on the video output. With `cut`, also notes whether the video file was
// written to since the previous call ended (see es_cut_state).
es_call es_call_begin(stream_call& sc, const uint8_t* bytes, uint32_t count, es_cut_state* cut = nullptr);

// Writes the call's bytes from the cursor up to, not including, `pos`; the cursor moves
// to `pos`.
void es_write_to(stream_call& sc, es_call& o, uint32_t pos);

// Leaves the bytes from the cursor up to `pos` out of the output.
inline void es_drop_to(es_call& o, uint32_t pos) { o.cursor = pos; }

// Writes bytes that are not in the call (inserted headers, a held-back byte), at the point
// the output has reached.
void es_insert(stream_call& sc, const es_call& o, const void* data, uint32_t n);

// The output begins: writes `prefix` (the start code bytes that may lie in earlier calls,
// written afresh) and makes the call's output resume at `pos`, dropping what came before.
void es_start_output(stream_call& sc, es_call& o, const uint8_t* prefix, uint32_t n, uint32_t pos);

// The 4-byte start code whose last byte is at `pos` is cut out of the output: the bytes
// of it in this call are dropped, those of earlier calls are overwritten by what follows
// (the file position moves back), unless a foreign write came in between (then the code
// stays whole). Only for handlers whose output has started.
void es_cut_start_code(stream_call& sc, es_call& o, es_cut_state& cut, uint32_t pos);

// The same for the `n` bytes before `end` (some may lie in earlier calls); false when
// they stay whole.
bool es_cut_code(stream_call& sc, es_call& o, es_cut_state& cut, uint32_t end, uint32_t n);

// The part of es_call_end for a call whose output is written.
void es_call_end_written(stream_call& sc, es_call& o, uint32_t count, uint32_t window, es_cut_state* cut);

// Ends the call: when `started`, writes the bytes from the cursor to `o.end`. With `cut`,
// notes whether the call ended with the first bytes of a start code (its last four bytes
// seen are in `window`). Inline, since it is once per payload run and, with nothing
// written (parse only, or before the output starts), next to nothing.
inline void es_call_end(stream_call& sc, es_call& o, uint32_t count, uint32_t window, bool started,
                        es_cut_state* cut = nullptr) {
    if (o.out && started)
        es_call_end_written(sc, o, count, window, cut);
    else if (cut)
        *cut = es_cut_state{};
}

// The start code values (the byte after 00 00 01) that a handler acts on between headers.
// A skip passes over the others: MPEG-2 video has dozens of slice start codes in every
// picture, and each would otherwise end a skip only for its byte to change nothing.
struct es_code_set {
    uint64_t bits[4] = {};
    constexpr es_code_set(std::initializer_list<uint8_t> codes) {
        for (uint8_t c : codes) bits[c >> 6] |= uint64_t{1} << (c & 63);
    }
    constexpr bool has(uint8_t c) const { return (bits[c >> 6] >> (c & 63)) & 1; }
};

// Start codes are 00 00 01 xx: one can complete only at the byte after a 01 that follows
// two 00s. From `i`, skips to just past the next such 01 whose following byte is in
// `codes` or lies beyond the call (or to `count`), and leaves `window` as if every skipped
// byte had been shifted in. Returns the new position; the caller counts the skipped bytes
// where it counts bytes. Use it only while no header field is being followed, and not when
// the window already ends with 00 00 01 (the next byte completes a code).
uint32_t es_skip_to_start_code(const uint8_t* bytes, uint32_t i, uint32_t count, uint32_t& window,
                               const es_code_set& codes);

// The window ends with 00 00 01: the next byte completes a start code.
inline bool es_prefix_complete(uint32_t window) { return (window & 0xFFFFFF) == 0x000001; }

// The first video PTS is the earlier (modulo 2^33) of the PTS current at the first
// picture of the output and at the picture after it. `countdown` is 2 once armed, 1 after the first
// picture, 0 when the PTS is set (or before arming).
struct first_pts_choice {
    uint32_t countdown = 0;
    uint64_t candidate = 0;
};

// The output has started: the next picture gives the candidate.
inline void first_pts_arm(first_pts_choice& c) { c.countdown = 2; }

// A picture with `pts` current: takes the candidate, or at the second picture sets
// first_video_pts to the smaller of the two and prints "First Video PTS". Nothing once
// the PTS is set or before arming.
void first_pts_picture(stream_call& sc, first_pts_choice& c, uint64_t pts);

// The start of an H.264 or HEVC output depends on what an access unit holds after its
// first NAL unit (an IDR slice, a recovery point, the picture type of its first slice),
// so the unit is held back from its first NAL header byte until its first slice decides.
// The bytes are the stream's as they came (start codes 00 00 01 between the units, the
// first unit's own start code not included). Fixed buffers: an access unit whose part
// before its first slice does not fit cannot start the output.
constexpr uint32_t es_hold_capacity = 1 << 16;
constexpr uint32_t es_parameter_capacity = 4096;

struct es_hold {
    uint32_t size = 0;
    uint32_t overflow = 0;
    // No initializer: written before it is read (see audio_state::ring).
    uint8_t data[es_hold_capacity];
};

// The latest parameter set of one kind (H.264 SPS or PPS; HEVC VPS, SPS or PPS), from its
// NAL header on, its trailing zero bytes left out.
struct es_parameter_set {
    uint32_t size = 0;
    uint8_t data[es_parameter_capacity];
};

inline void es_hold_clear(es_hold& h) {
    h.size = 0;
    h.overflow = 0;
}
void es_hold_append(es_hold& h, const void* data, uint32_t n);

// The NAL units of a held access unit, one at a time: `at` is the offset of a header
// byte; sets `end` past the unit (its trailing zeros left out) and returns the offset of
// the next unit's header, or h.size when none follows.
uint32_t es_nal_next(const es_hold& h, uint32_t at, uint32_t& end);

// Up to `n` bytes of a NAL unit's payload from `p` (of `avail` bytes) with the
// emulation-prevention bytes (the 03 of 00 00 03) removed; returns how many were written.
uint32_t es_unescape(const uint8_t* p, uint32_t avail, uint8_t* out, uint32_t n);

// A NAL unit of a held access unit taken as the latest parameter set of its kind (units
// too large for the store are passed over).
void es_keep_parameter_set(es_parameter_set& ps, const uint8_t* p, uint32_t n);

// Writes the start of the output from a held access unit: a 4-byte start code, the
// units up to `insert_at` (the end of its delimiter, or 0), each of `sets` that has
// been seen behind a 4-byte start code of its own, then the rest of the unit.
void es_write_held(stream_call& sc, const es_call& o, const es_hold& h, uint32_t insert_at,
                   const es_parameter_set* const* sets, uint32_t set_count);

// Ue(v) (Exp-Golomb) at bit `pos` of `p` (of `n` bytes); moves `pos`. Reads past the end
// as zero bits and gives up (all ones) on more than 31 leading zeros.
uint32_t es_read_ue(const uint8_t* p, uint32_t n, uint32_t& pos);
