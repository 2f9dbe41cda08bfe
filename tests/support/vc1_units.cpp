#include "vc1_units.h"

#include "video/video.h"

namespace kt {

namespace {

// Writes fields most significant bit first.
struct bit_writer {
    bytes out;
    uint32_t used = 0;  // bits used in the last byte, 0 when it is full or absent

    void put(uint32_t value, uint32_t width) {
        for (uint32_t k = width; k-- > 0;) {
            if (used == 0) out.push_back(0);
            out.back() |= uint8_t(((value >> k) & 1) << (7 - used));
            used = (used + 1) & 7;
        }
    }
    // The stop bit and zero bits up to the byte boundary that end every unit.
    bytes finish() {
        put(1, 1);
        used = 0;
        return out;
    }
};

// Start code, unit type, and the payload with an 03 after every 00 00 that a byte of
// 0 to 3 would follow, so that no start code prefix appears inside the unit.
bytes unit(uint8_t type, const bytes& payload) {
    bytes b = {0x00, 0x00, 0x01, type};
    uint32_t zeros = 0;
    for (uint8_t v : payload) {
        if (zeros >= 2 && v <= 3) {
            b.push_back(0x03);
            zeros = 0;
        }
        b.push_back(v);
        zeros = v == 0 ? zeros + 1 : 0;
    }
    return b;
}

void filler(bit_writer& w, uint32_t size) {
    for (uint32_t k = 0; k < size; ++k) w.put(0x11 + k % 0xE0, 8);
}

}  // namespace

bytes vc1_sequence_header(const vc1_sequence_layout& s) {
    bit_writer w;
    w.put(s.profile, 2);
    w.put(s.level, 3);
    w.put(s.chroma, 2);
    w.put(7, 3);   // FRMRTQ_POSTPROC
    w.put(31, 5);  // BITRTQ_POSTPROC
    w.put(1, 1);   // POSTPROCFLAG
    w.put(s.width_code, 12);
    w.put(s.height_code, 12);
    w.put(s.pulldown, 1);
    w.put(s.interlace, 1);
    w.put(s.tfcntr, 1);
    w.put(0, 1);  // FINTERPFLAG
    w.put(1, 1);  // reserved
    w.put(s.psf, 1);
    w.put(s.display_ext, 1);
    if (s.display_ext) {
        w.put(s.display_width - 1u, 14);
        w.put(s.display_height - 1u, 14);
        w.put(s.aspect_flag, 1);
        if (s.aspect_flag) {
            w.put(s.aspect, 4);
            if (s.aspect == 15) w.put(0x1010, 16);  // ASPECT_HORIZ_SIZE, ASPECT_VERT_SIZE
        }
        w.put(s.frame_rate_flag, 1);
        if (s.frame_rate_flag) {
            w.put(s.frame_rate_ind, 1);
            if (s.frame_rate_ind) {
                w.put(s.frame_rate_exp, 16);
            } else {
                w.put(s.frame_rate_nr, 8);
                w.put(s.frame_rate_dr, 4);
            }
        }
        w.put(0, 1);  // COLOR_FORMAT_FLAG
    }
    w.put(0, 1);  // HRD_PARAM_FLAG
    return unit(0x0F, w.finish());
}

bytes vc1_entry_point() {
    bit_writer w;
    // BROKEN_LINK 0, CLOSED_ENTRY 1, PANSCAN_FLAG 0, REFDIST_FLAG 1, LOOPFILTER 1,
    // FASTUVMC 0, EXTENDED_MV 0, DQUANT 0, VSTRANSFORM 1, OVERLAP 1, QUANTIZER 0,
    // CODED_SIZE_FLAG 0, RANGE_MAPY_FLAG 0, RANGE_MAPUV_FLAG 0.
    w.put(0b0101100, 7);
    w.put(0, 2);
    w.put(0b11, 2);
    w.put(0, 2);
    w.put(0b000, 3);
    return unit(0x0E, w.finish());
}

bytes vc1_frame(const vc1_sequence_layout& s, const vc1_frame_layout& f) {
    bit_writer w;
    const bool field_pair = s.interlace && f.fcm == 3;
    if (s.interlace) {
        if (f.fcm == 0)
            w.put(0, 1);
        else
            w.put(f.fcm, 2);
    }
    if (field_pair) {
        w.put(f.fptype, 3);
    } else {
        switch (f.type) {
        case vc1_picture::P: w.put(0b0, 1); break;
        case vc1_picture::B: w.put(0b10, 2); break;
        case vc1_picture::I: w.put(0b110, 3); break;
        case vc1_picture::BI: w.put(0b1110, 4); break;
        case vc1_picture::skipped: w.put(0b1111, 4); break;
        }
    }
    if (s.tfcntr) w.put(f.tfcntr, 8);
    if (s.pulldown) {
        if (!s.interlace || s.psf) {
            w.put(f.rptfrm, 2);
        } else {
            w.put(f.tff, 1);
            w.put(f.rff, 1);
        }
    }
    filler(w, f.size);
    bytes b = unit(0x0D, w.finish());
    if (field_pair) {
        bit_writer second;
        filler(second, f.size);
        b = b + unit(0x0C, second.finish());
    }
    return b;
}

bytes vc1_end_of_sequence() { return {0x00, 0x00, 0x01, 0x0A}; }

void vc1_entry(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t) {
    handle_vc1_video(ctx, bytes, count, pts);
}

void vc1_entry_per_byte(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t) {
    handle_vc1_video_per_byte(ctx, bytes, count, pts);
}

void vc1_program_tables(ts_writer& w) {
    w.pat({{1, vc1_pmt_pid}});
    w.pmt(vc1_pmt_pid, 1, vc1_video_pid, {{0xEA, vc1_video_pid, {}}, {0x81, vc1_audio_pid, {}}});
}

}  // namespace kt
