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

#include "core/stream.h"
#include "video/mpeg2_headers.h"
#include "video/video.h"

namespace {

constexpr uint32_t start_sequence_header = 0x000001B3;
constexpr uint32_t start_picture = 0x00000100;
constexpr uint32_t start_extension = 0x000001B5;
constexpr uint32_t start_gop = 0x000001B8;
constexpr uint32_t start_sequence_end = 0x000001B7;
// The start codes acted on between headers (slices, 01 to AF, are not).
constexpr es_code_set idle_codes = {uint8_t(start_sequence_header), uint8_t(start_picture), uint8_t(start_extension),
                                    uint8_t(start_gop), uint8_t(start_sequence_end)};

constexpr uint32_t extension_sequence = 1;
constexpr uint32_t extension_picture_coding = 8;

// No header is being followed: only a completed start code can change anything.
bool idle(const mpeg2_state& st) {
    return (st.sequence_header_countdown | st.picture_header_countdown | st.extension_pending |
            st.coding_extension_countdown | st.sequence_extension_pending) == 0;
}

void on_sequence_header(stream_call& sc, es_call& o, uint32_t i) {
    mpeg2_state& st = state_of<mpeg2_state>(sc.stream);
    st.sequence_header_countdown = 7;
    st.gop_needed = 1;
    st.gop_seen = 0;
    st.temporal_reference_base = st.reference_temporal_reference;
    st.keep_temporal_references = !st.picture_seen;
    if (!st.started) {
        fputs("Sequence Header found\n", sc.stream.report);
        fprintf(sc.stream.report, "%d frames before first Sequence Header\n", int(st.frames_before_sequence));
        // Nothing before this start code goes out. Its first three bytes may lie in an
        // earlier call; they are written afresh and the call's output resumes at B3.
        es_start_output(sc, o, st.gop_template, 3, i);
        st.started = 1;
        st.timecode_fields = 0;
        first_pts_arm(st.first_pts);
    }
    st.frames_before_sequence = 0;
}

void on_picture_start(stream_call& sc, es_call& o, uint32_t i) {
    mpeg2_state& st = state_of<mpeg2_state>(sc.stream);
    st.picture_header_countdown = 2;
    st.picture_seen = 1;
    if (st.started) ++sc.stream.counts.coded_pictures;
    rate_estimator_bits(sc, st.estimator, st.bytes_since_picture * 8);
    st.bytes_since_picture = 0;
    if (!st.gop_needed) return;
    st.gop_needed = 0;
    if (st.gop_seen || sc.stream.parse_only) return;
    // The 00 00 01 already written becomes the GOP start code's prefix; the template
    // then carries B8, the time code, and the picture start code in place of this 00.
    mpeg2_fill_gop_timecode(sc);
    es_write_to(sc, o, i);
    es_insert(sc, o, st.gop_template + 3, 9);
    es_drop_to(o, i + 1);
}

// The second picture header byte: temporal_reference bits 1..0 at the top, then
// picture_coding_type. The first byte (bits 9..2) is the window's previous byte.
void on_picture_coding_type(stream_call& sc, uint8_t* bytes, const es_call& o, uint32_t i,
                            uint32_t window, uint8_t dts_flag) {
    mpeg2_state& st = state_of<mpeg2_state>(sc.stream);
    const uint8_t b = bytes[i];
    const uint32_t tr = ((window >> 8) & 0xFF) << 2 | b >> 6;
    // A picture whose PES header carries a DTS is a reference picture sent ahead of the
    // B pictures that display before it; its number is the base for the next insertion.
    if (dts_flag == 1) st.reference_temporal_reference = tr;
    if (!st.gop_seen) {
        // Counted from the reference picture before the sequence header: the GOP header
        // inserted there starts the count afresh. With no picture before it there is
        // nothing to count from, and the GOP keeps its order.
        const uint32_t renumbered =
            st.keep_temporal_references ? tr : (tr - st.temporal_reference_base - 1) & 0x3FF;
        bytes[i] = uint8_t((b & 0x3F) | (renumbered & 3) << 6);
        const uint8_t high = uint8_t(renumbered >> 2);
        if (st.held_back) {
            if (st.started) es_insert(sc, o, &high, 1);
        } else if (i > 0) {
            bytes[i - 1] = high;
        }
    }
    st.held_back = 0;
    const uint32_t type = (b >> 3) & 7;
    if (type < 1 || type > 3) fprintf(sc.stream.report, "illegal picture_coding_type = %d\n", int(type));
}

template <bool fast_skip>
void scan(stream_call& sc, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t dts_flag) {
    if (count == 0) return;
    mpeg2_state& st = state_of<mpeg2_state>(sc.stream);
    const uint32_t parse_only = sc.stream.parse_only;
    es_call o = es_call_begin(sc, bytes, count, &st.cut);

    uint32_t window = st.sync_window;
    uint32_t i = 0;
    while (i < count) {
        if constexpr (fast_skip) {
            // Outside every header only a completed start code matters, and a start code
            // completes only at the byte after a 01. Jump to the next 01 (taking it too)
            // unless the window already ends with 00 00 01.
            if (!es_prefix_complete(window) && idle(st)) {
                const uint32_t stop = es_skip_to_start_code(bytes, i, count, window, idle_codes);
                st.bytes_since_picture += stop - i;
                i = stop;
                continue;
            }
        }

        const uint8_t b = bytes[i];
        window = window << 8 | b;

        if (window == start_sequence_header) {
            on_sequence_header(sc, o, i);
        } else if (window == start_picture) {
            on_picture_start(sc, o, i);
        } else if (st.sequence_header_countdown) {
            const uint32_t k = st.sequence_header_countdown--;
            if (!st.sequence_extension_seen) mpeg2_sequence_header_byte(sc, k, window);
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
                on_picture_coding_type(sc, bytes, o, i, window, dts_flag);
                // MPEG-1 video has no sequence extension, so a picture header that comes
                // without one is the whole picture's account: one progressive frame.
                if (st.started && !st.sequence_extension_seen) {
                    st.progressive_sequence = 1;
                    sc.stream.counts.progressive_flag = 1;
                    mpeg2_account_picture(sc, 0, pts);
                }
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
            if (--st.coding_extension_countdown == 1) mpeg2_account_picture(sc, uint8_t(window >> 8), pts);
        } else if (st.sequence_extension_pending) {
            st.sequence_extension_pending = 0;
            if (!st.sequence_extension_seen) {
                const uint32_t p = (b >> 3) & 1;
                fprintf(sc.stream.report, "Progressive Sequence = %d\n", int(p));
                st.progressive_sequence = p;
                sc.stream.counts.progressive_flag = p;
                st.sequence_extension_seen = 1;
            }
        } else if (window == start_gop) {
            st.gop_seen = 1;
        } else if (window == start_sequence_end && !parse_only && st.started) {
            // The four bytes 00 00 01 B7 never reach the output.
            es_cut_start_code(sc, o, st.cut, i);
        }
        ++st.bytes_since_picture;
        ++i;
    }
    st.sync_window = window;

    es_call_end(sc, o, count, window, st.started, &st.cut);
}

}  // namespace

void handle_mpeg2_video(stream_call& sc, uint8_t* bytes, uint32_t count) {
    scan<true>(sc, bytes, count, sc.stream.pes.current_pts, sc.stream.pes.header_had_dts);
}

void handle_mpeg2_video_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count) {
    scan<false>(sc, bytes, count, sc.stream.pes.current_pts, sc.stream.pes.header_had_dts);
}
