// Sequence header report, GOP time codes and picture accounting for MPEG-2 video.
#include "video/mpeg2_headers.h"

#include <cstdio>

#include "core/stream.h"
#include "video/video.h"

namespace {

void put_line(stream_call& sc, const char* line) {
    fputs(line, sc.stream.report);
    fputc('\n', sc.stream.report);
}

// aspect_ratio_information, the high nibble of the 4th byte after the start code.
const char* aspect_line(uint8_t b) {
    switch (b >> 4) {
    case 0: return "Aspect ratio = forbidden";
    case 1: return "Aspect ratio = square samples";
    case 2: return "Aspect ratio = 4:3";
    case 3: return "Aspect ratio = 16:9";
    case 4: return "Aspect ratio = 2.21:1";
    default: return "Aspect ratio = reserved";
    }
}

struct frame_rate_entry {
    const char* line;
    uint32_t integer;      // pictures per second for time codes (1001 rates rounded up)
    long double exact;     // for the rate estimate; the 1001 rates as doubles
};

// frame_rate_code 0..8; codes 9..15 are reserved and leave the rates alone.
const frame_rate_entry frame_rates[9] = {
    {"Frame rate = forbidden", 1, 1.0L},
    {"Frame rate = 23.976", 24, static_cast<long double>(24000.0 / 1001.0)},
    {"Frame rate = 24", 24, 24.0L},
    {"Frame rate = 25", 25, 25.0L},
    {"Frame rate = 29.97", 30, static_cast<long double>(30000.0 / 1001.0)},
    {"Frame rate = 30", 30, 30.0L},
    {"Frame rate = 50", 50, 50.0L},
    {"Frame rate = 59.94", 60, static_cast<long double>(60000.0 / 1001.0)},
    {"Frame rate = 60", 60, 60.0L},
};

}  // namespace

void mpeg2_sequence_header_byte(stream_call& sc, uint32_t k, uint32_t window) {
    mpeg2_state& st = state_of<mpeg2_state>(sc.stream);
    switch (k) {
    case 5: {
        // horizontal_size_value(12) vertical_size_value(12) in the first three bytes.
        const uint32_t sizes = window & 0xFFFFFF;
        fprintf(sc.stream.report, "Horizontal size = %d\n", int(sizes >> 12));
        fprintf(sc.stream.report, "Vertical size = %d\n", int(sizes & 0xFFF));
        break;
    }
    case 4: {
        // aspect_ratio_information(4) frame_rate_code(4).
        const uint8_t b = uint8_t(window);
        put_line(sc, aspect_line(b));
        const uint32_t code = b & 0x0F;
        if (code < 9) {
            put_line(sc, frame_rates[code].line);
            st.frame_rate_integer = frame_rates[code].integer;
            st.frame_rate_exact = frame_rates[code].exact;
        } else {
            put_line(sc, "Frame rate = reserved");
        }
        break;
    }
    case 1: {
        // bit_rate_value(18) in the 5th, 6th and top two bits of the 7th byte, in 400 bit/s.
        const uint32_t bit_rate_value = (window >> 6) & 0x3FFFF;
        fprintf(sc.stream.report, "Sequence header bitrate = %d bps\n", int(bit_rate_value * 400));
        break;
    }
    default:
        break;
    }
}

void mpeg2_fill_gop_timecode(stream_call& sc) {
    mpeg2_state& st = state_of<mpeg2_state>(sc.stream);
    // Pictures at the nominal integer rate, without drop-frame correction.
    const uint32_t f = st.timecode_fields / 2;
    const uint32_t r = st.frame_rate_integer;
    const uint32_t hours = (f / (r * 3600)) % 24;
    const uint32_t minutes = (f / (r * 60)) % 60;
    const uint32_t seconds = (f / r) % 60;
    const uint32_t pictures = f % r;
    // drop_frame_flag(1) hours(5) minutes(6) marker(1) seconds(6) pictures(6)
    // closed_gop(1) broken_link(1), then five bits of padding.
    uint8_t* tc = st.gop_template + 4;
    tc[0] = uint8_t(hours << 2 | minutes >> 4);
    tc[1] = uint8_t((minutes & 0x0F) << 4 | 0x08 | seconds >> 3);
    tc[2] = uint8_t((seconds & 0x07) << 5 | ((pictures >> 1) & 0x1F));
    tc[3] = uint8_t((pictures & 1) << 7);
}

void mpeg2_account_picture(stream_call& sc, uint8_t flags, uint64_t pts) {
    mpeg2_state& st = state_of<mpeg2_state>(sc.stream);
    const uint32_t tff = flags >> 7;
    const uint32_t rff = (flags >> 1) & 1;

    // Fields for the GOP time code. Option t follows repeat_first_field; in a progressive
    // sequence the two flags together say 1, 2 or 3 frames (tff without rff: none).
    if (!sc.stream.gop_timecode_mode) {
        st.timecode_fields += 2;
    } else if (st.progressive_sequence == 0) {
        st.timecode_fields += 2 + rff;
    } else {
        static const uint32_t progressive_fields[2][2] = {{2, 4}, {0, 6}};
        st.timecode_fields += progressive_fields[tff][rff];
    }

    // Displayed fields (interlaced) or frames (progressive).
    uint32_t factor;
    if (st.progressive_sequence == 0) {
        const uint32_t n = 2 + rff;
        sc.stream.counts.display_count += n;
        rate_estimator_fields(sc, st.estimator, n);
        factor = 600;
    } else {
        factor = 300;
        if (!(tff == 1 && rff == 0)) {
            const uint32_t n = 1 + rff + tff;  // (0,0) 1, (0,1) 2, (1,1) 3
            sc.stream.counts.display_count += n;
            rate_estimator_fields(sc, st.estimator, n);
        }
    }
    rate_estimator_step(sc, st.estimator, factor, st.frame_rate_exact);

    // The first PTS is the smaller of those current at the first two pictures, since the
    // second picture in coded order may be displayed first (B pictures after an I picture).
    first_pts_picture(sc, st.first_pts, pts);
}
