// Sequence header report, frame rate and picture display counts for VC-1 video.
//
// The sequence header of the advanced profile, bytes after the type byte 0F:
//   1      PROFILE(2) LEVEL(3) COLORDIFF_FORMAT(2) FRMRTQ_POSTPROC(1 of 3)
//   2      FRMRTQ_POSTPROC(2) BITRTQ_POSTPROC(5) POSTPROCFLAG(1)
//   3..5   MAX_CODED_WIDTH(12) MAX_CODED_HEIGHT(12), each (size - 2) / 2
//   6      PULLDOWN INTERLACE TFCNTRFLAG FINTERPFLAG reserved PSF DISPLAY_EXT, DISP_HORIZ_SIZE
//   6..8   DISP_HORIZ_SIZE(14), size - 1
//   8..10  DISP_VERT_SIZE(14), size - 1; ASPECT_RATIO_FLAG; ASPECT_RATIO(4)
//   11     FRAMERATE_FLAG FRAMERATEIND, then either FRAMERATENR(8) FRAMERATEDR(4)
//          or FRAMERATEEXP(16), which ends in byte 13
#include "video/vc1_headers.h"

#include <cmath>
#include <cstdio>

#include "core/stream.h"
#include "video/video.h"

namespace {

void put_line(stream_call& sc, const char* line) {
    fputs(line, sc.stream.report);
    fputc('\n', sc.stream.report);
}

// ASPECT_RATIO 0..14; 15 (an explicit ratio) prints nothing.
const char* const aspect_lines[15] = {
    "Aspect ratio = unspecified",
    "Aspect ratio = 1:1 (square samples)",
    "Aspect ratio = 12:11 (704x576 4:3)",
    "Aspect ratio = 10:11 (704x480 4:3)",
    "Aspect ratio = 16:11 (704x576 16:9)",
    "Aspect ratio = 40:33 (704x480 16:9)",
    "Aspect ratio = 24:11 (352x576 4:3)",
    "Aspect ratio = 20:11 (352x480 4:3)",
    "Aspect ratio = 32:11 (352x576 16:9)",
    "Aspect ratio = 80:33 (352x480 16:9)",
    "Aspect ratio = 18:11 (480x576 4:3)",
    "Aspect ratio = 15:11 (480x480 4:3)",
    "Aspect ratio = 64:33 (528x576 16:9)",
    "Aspect ratio = 160:99 (528x480 16:9)",
    "Aspect ratio = Reserved",
};

// FRAMERATENR 1..7; 0 is forbidden, 8..255 reserved.
const long double numerators[8] = {0.0L, 24000.0L, 25000.0L, 30000.0L, 50000.0L, 60000.0L, 48000.0L, 72000.0L};

// A code of 0 is forbidden, one above `last` reserved; either leaves `value` as it was.
bool take_code(stream_call& sc, uint32_t code, uint32_t last, long double& value, long double wanted) {
    if (code == 0) {
        put_line(sc, "Forbidden Frame Rate!");
        return false;
    }
    if (code > last) {
        put_line(sc, "Reserved Frame Rate!");
        return false;
    }
    value = wanted;
    return true;
}

}  // namespace

void vc1_sequence_header_byte(stream_call& sc, uint32_t k, uint32_t window) {
    vc1_state& st = state_of<vc1_state>(sc.stream);
    const uint8_t b = uint8_t(window);
    switch (k) {
    case 6: {
        put_line(sc, b >> 6 == 3 ? "Advanced Profile" : "Reserved Profile");
        const uint32_t level = (b >> 3) & 7;
        if (level < 5)
            fprintf(sc.stream.report, "Level = %d\n", int(level));
        else
            put_line(sc, "Level = Reserved");
        put_line(sc, ((b >> 1) & 3) == 1 ? "Chroma Format = 4:2:0" : "Chroma Format = Reserved");
        break;
    }
    case 2: {
        // Bytes 3 to 5: the two 12-bit coded size codes.
        const uint32_t sizes = window & 0xFFFFFF;
        fprintf(sc.stream.report, "Horizontal size = %d\n", int(2 * (sizes >> 12) + 2));
        fprintf(sc.stream.report, "Vertical size = %d\n", int(2 * (sizes & 0xFFF) + 2));
        break;
    }
    case 1:
        st.pulldown = b >> 7;
        st.interlace = (b >> 6) & 1;
        st.tfcntr_flag = (b >> 5) & 1;
        st.psf = (b >> 2) & 1;
        fprintf(sc.stream.report, "Pulldown = %d\n", int(st.pulldown));
        fprintf(sc.stream.report, "Interlace = %d\n", int(st.interlace));
        sc.stream.counts.progressive_flag = 1 - st.interlace;
        if ((b >> 1) & 1) st.display_countdown = 4;
        break;
    default:
        break;
    }
}

void vc1_display_extension_byte(stream_call& sc, uint32_t k, uint32_t window) {
    vc1_state& st = state_of<vc1_state>(sc.stream);
    if (k == 3) {
        // Byte 6 bit 0, byte 7, byte 8 bits 7..3.
        const uint32_t width = (window >> 3) & 0x3FFF;
        fprintf(sc.stream.report, "Display Horizontal size = %d\n", int(width + 1));
    } else if (k == 1) {
        // Byte 8 bits 2..0, byte 9, byte 10 bits 7..5; then the aspect ratio.
        const uint32_t height = (window >> 5) & 0x3FFF;
        fprintf(sc.stream.report, "Display Vertical size = %d\n", int(height + 1));
        if ((window >> 4) & 1) {
            st.aspect_pending = 1;
            const uint32_t code = window & 0x0F;
            if (code < 15) put_line(sc, aspect_lines[code]);
        }
    }
}

void vc1_frame_rate(stream_call& sc, uint32_t window) {
    vc1_state& st = state_of<vc1_state>(sc.stream);
    const uint32_t b11 = (window >> 16) & 0xFF;
    const uint32_t b12 = (window >> 8) & 0xFF;
    const uint32_t b13 = window & 0xFF;
    long double rate = 0.0L;
    bool valid = true;
    if (b11 & 0x40) {
        // FRAMERATEEXP: 16 bits from byte 11 bit 5 to byte 13 bit 6, in 1/32 Hz less one.
        const uint32_t exp = (b11 & 0x3F) << 10 | b12 << 2 | b13 >> 6;
        rate = (exp + 1) * 0.03125L;
    } else {
        const uint32_t nr = (b11 & 0x3F) << 2 | b12 >> 6;
        const uint32_t dr = (b12 >> 2) & 0x0F;
        valid = take_code(sc, nr, 7, st.frame_rate_numerator, nr < 8 ? numerators[nr] : 0.0L);
        valid = take_code(sc, dr, 2, st.frame_rate_denominator, dr == 1 ? 1000.0L : 1001.0L) && valid;
        rate = st.frame_rate_numerator / st.frame_rate_denominator;
    }
    // A forbidden or reserved code can leave 0/0, n/0 or 0/n here: it is printed as it
    // comes out, but the estimator keeps the rate it had.
    fprintf(sc.stream.report, "Frame Rate = %.3f\n", double(rate));
    if (valid && std::isfinite(rate) && rate > 0) st.frame_rate = rate;
    st.sequence_reported = 1;
}

uint32_t vc1_display_count(const vc1_state& st, uint32_t header) {
    // Without PULLDOWN a picture carries no repeat fields: one frame, or two fields.
    if (!st.pulldown) return st.interlace ? 2 : 1;

    // FCM (interlaced streams only): 0 progressive, 10 frame-interlaced, 11 field pair.
    const uint32_t fcm_length = st.interlace ? ((header >> 23) & 1 ? 2 : 1) : 0;
    // The picture type starts at bit 17 of w; its code decides where the repeat fields
    // begin (the shift leaves them in bits 1..0).
    const uint32_t w = header >> (6 - fcm_length);
    uint32_t shift;
    if (fcm_length == 2 && (w >> 18) & 1)
        shift = 13;  // FPTYPE, 3 bits
    else if (!((w >> 17) & 1))
        shift = 15;  // P: 0
    else if (!((w >> 16) & 1))
        shift = 14;  // B: 10
    else if (!((w >> 15) & 1))
        shift = 13;  // I: 110
    else
        shift = 12;  // BI 1110, skipped 1111
    if (st.tfcntr_flag) shift -= 8;  // TFCNTR, 8 bits
    const uint32_t repeat = w >> shift;

    // RPTFRM counts repeated frames (INTERLACE 0, or progressive segmented frames, which
    // are counted in fields as their sequence is interlaced); otherwise TFF, RFF.
    if (!st.interlace) return 1 + (repeat & 3);
    if (st.psf) return 2 * (1 + (repeat & 3));
    return 2 + (repeat & 1);
}

void vc1_account_picture(stream_call& sc, uint32_t header, uint64_t pts) {
    vc1_state& st = state_of<vc1_state>(sc.stream);
    const uint32_t n = vc1_display_count(st, header);
    sc.stream.counts.display_count += n;
    rate_estimator_fields(sc, st.estimator, n);
    rate_estimator_step(sc, st.estimator, st.interlace ? 600 : 300, st.frame_rate);
    first_pts_picture(sc, st.first_pts, pts);
}
