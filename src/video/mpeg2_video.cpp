// MPEG-1/MPEG-2 video stream handler.
//
// The elementary stream is scanned for start codes (00 00 01 xx) with a 32-bit window;
// a few headers are then followed for a handful of bytes by countdowns:
//   sequence header  00 00 01 B3: sizes, aspect, frame rate, bit rate (7 bytes)
//   picture header   00 00 01 00: temporal_reference(10) picture_coding_type(3) (2 bytes)
//   extension        00 00 01 B5: identifier nibble; 1 = sequence extension (its next
//                    byte has progressive_sequence), 8 = picture coding extension (its
//                    4th byte after the identifier has top_field_first, repeat_first_field)
//   GOP header       00 00 01 B8
//   sequence end     00 00 01 B7
// The output starts at the first sequence header. The caller's buffer is written in
// pieces between the events that change the stream: a GOP header is inserted at the first
// picture after a sequence header that lacks one (and the pictures up to the next GOP
// header are renumbered, since their temporal references count from a GOP start that the
// inserted header now marks), and every sequence end code is cut out.
#include <cstdio>
#include <cstring>

#include "driver/context.h"
#include "video/mpeg2_headers.h"
#include "video/video.h"

namespace {

constexpr uint32_t start_sequence_header = 0x000001B3;
constexpr uint32_t start_picture = 0x00000100;
constexpr uint32_t start_extension = 0x000001B5;
constexpr uint32_t start_gop = 0x000001B8;
constexpr uint32_t start_sequence_end = 0x000001B7;

constexpr uint32_t extension_sequence = 1;
constexpr uint32_t extension_picture_coding = 8;

void emit(FILE* out, const uint8_t* bytes, uint32_t from, uint32_t to) {
    if (out && to > from) fwrite(bytes + from, 1, to - from, out);
}

// No header is being followed: only a completed start code can change anything.
bool idle(const mpeg2_state& st) {
    return (st.sequence_header_countdown | st.picture_header_countdown | st.extension_pending |
            st.coding_extension_countdown | st.sequence_extension_pending) == 0;
}

// The window ends with bytes that could begin a sequence end code: 00, 00 00 or 00 00 01.
bool end_code_may_follow(uint32_t window) {
    return (window & 0xFF) == 0 || (window & 0xFFFFFF) == 0x000001;
}

// Per call, what the output needs: the file (null when nothing is written), the cursor
// (first byte of the call not yet written or dropped) and the end of what is written.
struct call_output {
    FILE* out;
    uint32_t cursor;
    uint32_t end;
};

void on_sequence_header(context& ctx, call_output& o, uint32_t i) {
    mpeg2_state& st = ctx.mpeg2;
    st.sequence_header_countdown = 7;
    st.gop_needed = 1;
    st.gop_seen = 0;
    st.temporal_reference_base = st.reference_temporal_reference;
    if (!st.started) {
        fputs("Sequence Header found\n", ctx.report);
        fprintf(ctx.report, "%d frames before first Sequence Header\n", int(st.frames_before_sequence));
        // Nothing before this start code goes out. Its first three bytes may lie in an
        // earlier call; they are written afresh and the call's output resumes at B3.
        if (o.out) fwrite(st.gop_template, 1, 3, o.out);
        o.cursor = i;
        st.started = 1;
        st.timecode_fields = 0;
        st.first_pts_countdown = 2;
    }
    st.frames_before_sequence = 0;
}

void on_picture_start(context& ctx, const uint8_t* bytes, call_output& o, uint32_t i) {
    mpeg2_state& st = ctx.mpeg2;
    st.picture_header_countdown = 2;
    if (st.started) ++ctx.stats.coded_pictures;
    rate_estimator_bits(ctx, st.estimator, st.bytes_since_picture * 8);
    st.bytes_since_picture = 0;
    if (!st.gop_needed) return;
    st.gop_needed = 0;
    if (st.gop_seen || ctx.options.parse_only) return;
    // The 00 00 01 already written becomes the GOP start code's prefix; the template
    // then carries B8, the time code, and the picture start code in place of this 00.
    mpeg2_fill_gop_timecode(ctx);
    emit(o.out, bytes, o.cursor, i);
    if (o.out) fwrite(st.gop_template + 3, 1, 9, o.out);
    o.cursor = i + 1;
}

// The second picture header byte: temporal_reference bits 1..0 at the top, then
// picture_coding_type. The first byte (bits 9..2) is the window's previous byte.
void on_picture_coding_type(context& ctx, uint8_t* bytes, call_output& o, uint32_t i,
                            uint32_t window, uint8_t dts_flag) {
    mpeg2_state& st = ctx.mpeg2;
    const uint8_t b = bytes[i];
    const uint32_t tr = ((window >> 8) & 0xFF) << 2 | b >> 6;
    // A picture whose PES header carries a DTS is a reference picture sent ahead of the
    // B pictures that display before it; its number is the base for the next insertion.
    if (dts_flag == 1) st.reference_temporal_reference = tr;
    if (!st.gop_seen) {
        const uint32_t renumbered = (tr - st.temporal_reference_base - 1) & 0x3FF;
        bytes[i] = uint8_t((b & 0x3F) | (renumbered & 3) << 6);
        const uint8_t high = uint8_t(renumbered >> 2);
        if (st.held_back) {
            if (o.out && st.started) fputc(high, o.out);
        } else if (i > 0) {
            bytes[i - 1] = high;
        }
    }
    st.held_back = 0;
    const uint32_t type = (b >> 3) & 7;
    if (type < 1 || type > 3) fprintf(ctx.report, "illegal picture_coding_type = %d\n", int(type));
}

// b, the B7 of a sequence end code, is at position i. The four bytes never reach the
// output: those in this call are skipped; those the previous call wrote are overwritten
// by moving the file position back over them. If something else was written to the
// output in between (a PES header), moving back would land inside it: the code is kept.
void cut_sequence_end(context& ctx, const uint8_t* bytes, call_output& o, uint32_t i) {
    if (i >= 3) {
        emit(o.out, bytes, o.cursor, i - 3);
    } else if (ctx.mpeg2.tail_interrupted) {
        return;
    } else if (o.out) {
        fseek(o.out, -long(3 - i), SEEK_CUR);
    }
    o.cursor = i + 1;
}

template <bool fast_skip>
void scan(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t dts_flag) {
    if (count == 0) return;
    mpeg2_state& st = ctx.mpeg2;
    const uint32_t parse_only = ctx.options.parse_only;
    call_output o{parse_only ? nullptr : ctx.sinks.video_out, 0, count};

    // Did someone else write to the output since the previous call left a possible
    // beginning of a sequence end code in it?
    if (st.tail_position >= 0 && o.out && int64_t(ftell(o.out)) != st.tail_position) st.tail_interrupted = 1;

    uint32_t window = st.sync_window;
    uint32_t i = 0;
    while (i < count) {
        if constexpr (fast_skip) {
            // Outside every header only a completed start code matters, and a start code
            // completes only at the byte after a 01. Jump to the next 01 (taking it too)
            // unless the window already ends with 00 00 01.
            if ((window & 0xFFFFFF) != 0x000001 && idle(st)) {
                const void* hit = memchr(bytes + i, 0x01, count - i);
                const uint32_t stop = hit ? uint32_t(static_cast<const uint8_t*>(hit) - bytes) + 1 : count;
                st.bytes_since_picture += stop - i;
                if (stop - i >= 4) {
                    const uint8_t* p = bytes + stop - 4;
                    window = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
                } else {
                    for (uint32_t k = i; k < stop; ++k) window = window << 8 | bytes[k];
                }
                i = stop;
                continue;
            }
        }

        const uint8_t b = bytes[i];
        window = window << 8 | b;

        if (window == start_sequence_header) {
            on_sequence_header(ctx, o, i);
        } else if (window == start_picture) {
            on_picture_start(ctx, bytes, o, i);
        } else if (st.sequence_header_countdown) {
            const uint32_t k = st.sequence_header_countdown--;
            if (!st.sequence_extension_seen) mpeg2_sequence_header_byte(ctx, k, window);
        } else if (st.picture_header_countdown) {
            const uint32_t k = st.picture_header_countdown--;
            if (k == 2) {
                // temporal_reference bits 9..2. If it ends the call and may be renumbered,
                // its new value is known only with the next byte: keep it back.
                if (i == count - 1 && !st.gop_seen) {
                    st.held_back = 1;
                    ++st.bytes_since_picture;
                    o.end = i;
                    break;
                }
            } else {
                on_picture_coding_type(ctx, bytes, o, i, window, dts_flag);
            }
        } else if (window == start_extension) {
            st.extension_pending = 1;
        } else if (st.extension_pending) {
            st.extension_pending = 0;
            const uint32_t id = b >> 4;
            if (id == extension_sequence) {
                st.sequence_extension_pending = 1;
            } else if (id == extension_picture_coding) {
                if (st.started) st.coding_extension_countdown = 5;
                ++st.frames_before_sequence;
            }
        } else if (st.coding_extension_countdown) {
            if (--st.coding_extension_countdown == 1) mpeg2_account_picture(ctx, uint8_t(window >> 8), pts);
        } else if (st.sequence_extension_pending) {
            st.sequence_extension_pending = 0;
            if (!st.sequence_extension_seen) {
                const uint32_t p = (b >> 3) & 1;
                fprintf(ctx.report, "Progressive Sequence = %d\n", int(p));
                st.progressive_sequence = p;
                ctx.stats.progressive_flag = p;
                st.sequence_extension_seen = 1;
            }
        } else if (window == start_gop) {
            st.gop_seen = 1;
        } else if (window == start_sequence_end && !parse_only && st.started) {
            cut_sequence_end(ctx, bytes, o, i);
        }
        ++st.bytes_since_picture;
        ++i;
    }
    st.sync_window = window;

    if (!o.out || !st.started) {
        st.tail_position = -1;
        st.tail_interrupted = 0;
        return;
    }
    emit(o.out, bytes, o.cursor, o.end);
    // An interruption before this call no longer matters once the call holds all three
    // bytes that could begin an end code.
    if (count >= 3) st.tail_interrupted = 0;
    if (end_code_may_follow(window)) {
        st.tail_position = int64_t(ftell(o.out));
    } else {
        st.tail_position = -1;
        st.tail_interrupted = 0;
    }
}

}  // namespace

void handle_mpeg2_video(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t dts_flag) {
    scan<true>(ctx, bytes, count, pts, dts_flag);
}

void handle_mpeg2_video_per_byte(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts,
                                 uint8_t dts_flag) {
    scan<false>(ctx, bytes, count, pts, dts_flag);
}
