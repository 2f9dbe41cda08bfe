// H.264 video stream handler.
//
// The byte stream (Annex B) is scanned for NAL unit start codes 00 00 01 and the header
// byte after them (forbidden_zero_bit, nal_ref_idc(2), nal_unit_type(5)). Three kinds
// matter:
//   access unit delimiter  00 00 01 09, then primary_pic_type(3) in the top bits of the
//                          next byte: 0 means the access unit holds I slices only
//   sequence parameter set 00 00 01 27 / 67, then profile_idc, the constraint flags
//                          (constraint_set3_flag is bit 4) and level_idc
//   end of sequence/stream 00 00 01 0A / 0B
// The output starts at the first access unit whose delimiter announces I slices only:
// a fresh 00 00 00 01 09 and the stream from its primary_pic_type byte on. End-of-sequence
// and end-of-stream units become filler data (type 12), so that a player does not stop
// at a splice. The delimiters count the pictures and fix the first video PTS.
#include <cstdio>

#include "core/context.h"
#include "video/video.h"

namespace {

constexpr uint32_t start_delimiter = 0x00000109;
// nal_ref_idc 1 or 3 with type 7: bit 6 of the header byte is not looked at.
constexpr uint32_t sps_mask = 0xFFFFFFBF;
constexpr uint32_t start_sps = 0x00000127;
// Type 10 (end of sequence) or 11 (end of stream), nal_ref_idc 0: bit 0 is not looked at.
constexpr uint32_t end_mask = 0xFFFFFFFE;
constexpr uint32_t start_end = 0x0000010A;
constexpr uint8_t filler_type = 0x0C;
// The NAL header bytes acted on: the delimiter, a parameter set with nal_ref_idc 1 or 3,
// end of sequence or stream. Slices and everything else are skipped over.
constexpr es_code_set idle_codes = {uint8_t(start_delimiter), uint8_t(start_sps), uint8_t(start_sps | 0x40),
                                    uint8_t(start_end), uint8_t(start_end | 1)};

// A 4-byte start code and the delimiter's type byte: the output begins with it, in place
// of the delimiter's own start code, whose bytes may lie in earlier calls.
constexpr uint8_t output_template[5] = {0x00, 0x00, 0x00, 0x01, 0x09};

const char* profile_line(uint8_t profile_idc) {
    switch (profile_idc) {
    case 66: return "Baseline Profile";
    case 77: return "Main Profile";
    case 88: return "Extended Profile";
    case 100: return "High Profile";
    case 110: return "High 10 Profile";
    case 122: return "High 4:2:2 Profile";
    case 144: return "High 4:4:4 Profile";
    default: return "Unknown Profile";
    }
}

// The byte after a delimiter: primary_pic_type in its top three bits.
void on_primary_pic_type(context& ctx, es_call& o, uint32_t i, uint8_t b, uint64_t pts) {
    h264_state& st = ctx.h264;
    if (b <= 0x1F && !st.started) {
        fprintf(ctx.report, "%d frames before first I-frame\n", int(st.pictures_before_start));
        es_start_output(ctx, o, output_template, sizeof output_template, i);
        st.started = 1;
        first_pts_arm(st.first_pts);
    }
    // At the first I access unit this takes the candidate; at the next delimiter it sets
    // the first video PTS, since that picture may be displayed first.
    first_pts_picture(ctx, st.first_pts, pts);
    ++st.pictures_before_start;
}

void on_sps_byte(context& ctx, uint8_t b) {
    h264_state& st = ctx.h264;
    const uint32_t k = st.sps_countdown--;
    if (st.sps_reported) return;
    if (k == 3) {
        fprintf(ctx.report, "%s\n", profile_line(b));
    } else if (k == 2) {
        st.constraint_set3 = (b >> 4) & 1;
    } else {
        // level_idc is ten times the level; 11 with constraint_set3_flag is level 1b.
        if (b == 11 && st.constraint_set3)
            fputs("Level = 1b\n", ctx.report);
        else
            fprintf(ctx.report, "Level = %d.%d\n", b / 10, b % 10);
        st.sps_reported = 1;
    }
}

template <bool fast_skip>
void scan(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts) {
    if (count == 0) return;
    h264_state& st = ctx.h264;
    const bool rewrite = !ctx.options.parse_only;
    es_call o = es_call_begin(ctx, bytes, count);
    uint32_t window = st.sync_window;
    uint32_t i = 0;
    while (i < count) {
        if constexpr (fast_skip) {
            // Between NAL headers only a completed start code matters.
            if (!es_prefix_complete(window) && (st.aud_seen | st.sps_countdown) == 0) {
                i = es_skip_to_start_code(bytes, i, count, window, idle_codes);
                continue;
            }
        }
        const uint8_t b = bytes[i];
        window = window << 8 | b;
        if (window == start_delimiter) {
            st.aud_seen = 1;
            ++ctx.stats.coded_pictures;
        } else if (st.aud_seen) {
            st.aud_seen = 0;
            on_primary_pic_type(ctx, o, i, b, pts);
        } else if ((window & sps_mask) == start_sps) {
            st.sps_countdown = 3;
        } else if (st.sps_countdown) {
            on_sps_byte(ctx, b);
        } else if ((window & end_mask) == start_end && rewrite) {
            bytes[i] = filler_type;
        }
        ++i;
    }
    st.sync_window = window;
    es_call_end(ctx, o, count, window, st.started);
}

}  // namespace

void handle_h264_video(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts) {
    scan<true>(ctx, bytes, count, pts);
}

void handle_h264_video_per_byte(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts) {
    scan<false>(ctx, bytes, count, pts);
}
