#include "vc1_units.h"

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
    // Fields given as {value, width}.
    void put(std::initializer_list<std::pair<uint32_t, uint32_t>> fields) {
        for (const auto& [value, width] : fields) put(value, width);
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
    // PROFILE, LEVEL, COLORDIFF_FORMAT, FRMRTQ_POSTPROC, BITRTQ_POSTPROC, POSTPROCFLAG,
    // MAX_CODED_WIDTH, MAX_CODED_HEIGHT, PULLDOWN, INTERLACE, TFCNTRFLAG, FINTERPFLAG,
    // reserved, PSF, DISPLAY_EXT.
    w.put({{s.profile, 2}, {s.level, 3}, {s.chroma, 2}, {7, 3}, {31, 5}, {1, 1}, {s.width_code, 12},
           {s.height_code, 12}, {s.pulldown, 1}, {s.interlace, 1}, {s.tfcntr, 1}, {0, 1}, {1, 1}, {s.psf, 1},
           {s.display_ext, 1}});
    if (s.display_ext) {
        w.put({{s.display_width - 1u, 14}, {s.display_height - 1u, 14}, {s.aspect_flag, 1}});
        if (s.aspect_flag) w.put(s.aspect, 4);
        if (s.aspect_flag && s.aspect == 15) w.put(0x1010, 16);  // ASPECT_HORIZ_SIZE, ASPECT_VERT_SIZE
        w.put(s.frame_rate_flag, 1);
        if (s.frame_rate_flag && s.frame_rate_ind) w.put({{1, 1}, {s.frame_rate_exp, 16}});
        if (s.frame_rate_flag && !s.frame_rate_ind) w.put({{0, 1}, {s.frame_rate_nr, 8}, {s.frame_rate_dr, 4}});
        w.put(0, 1);  // COLOR_FORMAT_FLAG
    }
    w.put(0, 1);  // HRD_PARAM_FLAG
    return unit(0x0F, w.finish());
}

bytes vc1_entry_point() {
    bit_writer w;
    // BROKEN_LINK 0, CLOSED_ENTRY 1, PANSCAN_FLAG 0, REFDIST_FLAG 1, LOOPFILTER 1,
    // FASTUVMC 0, EXTENDED_MV 0, DQUANT 0 (2 bits), VSTRANSFORM 1, OVERLAP 1, QUANTIZER 0
    // (2 bits), CODED_SIZE_FLAG 0, RANGE_MAPY_FLAG 0, RANGE_MAPUV_FLAG 0.
    w.put(0b0101100'00'11'00'000, 16);
    return unit(0x0E, w.finish());
}

bytes vc1_frame(const vc1_sequence_layout& s, const vc1_frame_layout& f) {
    bit_writer w;
    const bool field_pair = s.interlace && f.fcm == 3;
    if (s.interlace) w.put(f.fcm, f.fcm == 0 ? 1 : 2);
    // PTYPE codes of I, P, B, BI and skipped pictures, as {code, width}.
    const std::pair<uint32_t, uint32_t> ptype[] = {{0b110, 3}, {0b0, 1}, {0b10, 2}, {0b1110, 4}, {0b1111, 4}};
    if (field_pair)
        w.put(f.fptype, 3);
    else
        w.put({ptype[size_t(f.type)]});
    if (s.tfcntr) w.put(f.tfcntr, 8);
    if (s.pulldown && (!s.interlace || s.psf))
        w.put(f.rptfrm, 2);
    else if (s.pulldown)
        w.put({{f.tff, 1}, {f.rff, 1}});
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

void vc1_program_tables(ts_writer& w) {
    w.pat({{1, vc1_pmt_pid}});
    w.pmt(vc1_pmt_pid, 1, vc1_video_pid, {{0xEA, vc1_video_pid, {}}, {0x81, vc1_audio_pid, {}}});
}

}  // namespace kt
