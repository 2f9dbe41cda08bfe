// VC-1 advanced-profile video stream handler.
//
// The stream is a sequence of units, each a start code 00 00 01 and a type byte:
//   0F sequence header: profile, level, sizes, flags, display extension, frame rate
//   0E entry point, 0D frame, 0C field, 0B slice (passed through)
//   0A end of sequence: cut out, so that the output plays as one sequence
// A 32-bit window finds them; countdowns follow the few header bytes that are read (as
// they come: an emulation prevention byte, 03 after 00 00, would need two zero bytes among
// the first fields of a header, which real sizes and rates do not give). The output starts at the first sequence header, and the caller's run is written as it is
// apart from the end-of-sequence codes.
#include <cstdio>

#include "core/stream.h"
#include "video/vc1_headers.h"
#include "video/video.h"

namespace {

constexpr uint32_t start_frame = 0x0000010D;
constexpr uint32_t start_sequence_header = 0x0000010F;
constexpr uint32_t start_end_of_sequence = 0x0000010A;
// The units acted on between headers; entry points, fields and slices are passed over.
constexpr es_code_set idle_codes = {uint8_t(start_frame), uint8_t(start_sequence_header),
                                    uint8_t(start_end_of_sequence)};

// Bytes read after a frame start code before its header is decoded (from the first three).
constexpr uint32_t frame_header_bytes = 4;
// Sequence header bytes read after the type byte; then the display extension's four.
constexpr uint32_t sequence_header_bytes = 6;

const uint8_t start_prefix[3] = {0x00, 0x00, 0x01};

// No header is being followed: only a completed start code can change anything.
bool idle(const vc1_state& st) {
    return (st.frame_header_countdown | st.sequence_countdown | st.display_countdown | st.aspect_pending |
            st.frame_rate_countdown) == 0;
}

void on_frame_start(stream_call& sc) {
    vc1_state& st = state_of<vc1_state>(sc.stream);
    ++st.pictures_before_start;
    if (st.started) {
        st.frame_header_countdown = frame_header_bytes;
        ++sc.stream.counts.coded_pictures;
    }
    // The size of the frame that ends here, with any units between it and this one.
    rate_estimator_bits(sc, st.estimator, st.bytes_since_frame * 8);
    st.bytes_since_frame = 0;
}

void on_sequence_header(stream_call& sc, es_call& o, uint32_t i) {
    vc1_state& st = state_of<vc1_state>(sc.stream);
    if (!st.sequence_reported) {
        fputs("Sequence Header found\n", sc.stream.report);
        st.sequence_countdown = sequence_header_bytes;
    }
    if (st.started) return;
    fprintf(sc.stream.report, "%d frames before first I-frame\n", int(st.pictures_before_start));
    // The start code's first three bytes may lie in earlier calls: they are written
    // afresh and the call's output resumes at the type byte.
    es_start_output(sc, o, start_prefix, 3, i);
    st.started = 1;
    first_pts_arm(st.first_pts);
}

template <bool fast_skip>
void scan(stream_call& sc, uint8_t* bytes, uint32_t count, uint64_t pts) {
    if (count == 0) return;
    vc1_state& st = state_of<vc1_state>(sc.stream);
    const bool cutting = !sc.stream.parse_only;
    es_call o = es_call_begin(sc, bytes, count, &st.cut);

    uint32_t window = st.sync_window;
    uint32_t i = 0;
    while (i < count) {
        if constexpr (fast_skip) {
            // Outside every header only a completed start code matters: on to the next 01.
            if (!es_prefix_complete(window) && idle(st)) {
                const uint32_t stop = es_skip_to_start_code(bytes, i, count, window, idle_codes);
                st.bytes_since_frame += stop - i;
                i = stop;
                continue;
            }
        }

        const uint8_t b = bytes[i];
        window = window << 8 | b;

        if (window == start_frame) {
            on_frame_start(sc);
        } else if (st.frame_header_countdown) {
            if (--st.frame_header_countdown == 0) vc1_account_picture(sc, (window >> 8) & 0xFFFFFF, pts);
        } else if (window == start_sequence_header) {
            on_sequence_header(sc, o, i);
        } else if (st.sequence_countdown) {
            const uint32_t k = st.sequence_countdown--;
            if (!st.sequence_reported) vc1_sequence_header_byte(sc, k, window);
        } else if (st.display_countdown) {
            const uint32_t k = st.display_countdown--;
            if (!st.sequence_reported) vc1_display_extension_byte(sc, k, window);
        } else if (st.aspect_pending) {
            // Byte 11: FRAMERATE_FLAG; the rate itself is complete with byte 13.
            st.aspect_pending = 0;
            if ((b & 0x80) && !st.sequence_reported) st.frame_rate_countdown = 2;
        } else if (st.frame_rate_countdown) {
            if (--st.frame_rate_countdown == 0 && !st.sequence_reported) vc1_frame_rate(sc, window);
        } else if (window == start_end_of_sequence && st.started && cutting) {
            // The four bytes 00 00 01 0A never reach the output.
            es_cut_start_code(sc, o, st.cut, i);
        }
        ++st.bytes_since_frame;
        ++i;
    }
    st.sync_window = window;

    es_call_end(sc, o, count, window, st.started, &st.cut);
}

}  // namespace

void handle_vc1_video(stream_call& sc, uint8_t* bytes, uint32_t count) {
    scan<true>(sc, bytes, count, sc.stream.pes.current_pts);
}

void handle_vc1_video_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count) {
    scan<false>(sc, bytes, count, sc.stream.pes.current_pts);
}
