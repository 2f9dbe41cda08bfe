// H.264 video stream handler.
//
// The byte stream (Annex B) is scanned for NAL unit start codes 00 00 01 and the header
// byte after them (forbidden_zero_bit, nal_ref_idc(2), nal_unit_type(5)).
//
// Access units begin at their delimiters (type 9). Until a delimiter comes, the stream is cut
// where the standard says an access unit begins: at an SEI, SPS, PPS or delimiter that
// follows a slice, or at a slice whose first_mb_in_slice is 0 (the top bit of the byte
// after its header) following a slice of another picture.
//
// The output starts at the first access unit a decoder can start from: one whose
// delimiter announces I slices only (primary_pic_type 0), one holding an IDR slice
// (type 5), or one holding a recovery point SEI (payloadType 6) whose first slice is an
// I or SI slice. Since that is known only at the unit's first slice, each access unit is
// held from its first NAL unit until then (es_hold). The output begins with a 4-byte start
// code and the unit's first NAL unit; where the unit carries no SPS or PPS, the latest ones
// seen before it follow its delimiter. From there on every byte of the stream is written,
// end-of-sequence and end-of-stream units (types 10, 11) turned into filler data (type 12)
// so that a player does not stop at a splice.
//
// Also: the first SPS's profile_idc, constraint_set3_flag and level_idc are reported; access
// units are counted; the first video PTS is the earlier of the PTS at the start unit and
// at the unit after it.
#include <cstdio>

#include "core/stream.h"
#include "video/video.h"

namespace {

// nal_ref_idc 1 or 3 with type 7: bit 6 of the header byte is not looked at.
constexpr uint32_t sps_mask = 0xFFFFFFBF;
constexpr uint32_t start_sps = 0x00000127;
// Type 10 (end of sequence) or 11 (end of stream), nal_ref_idc 0: bit 0 is not looked at.
constexpr uint32_t end_mask = 0xFFFFFFFE;
constexpr uint32_t start_end = 0x0000010A;
constexpr uint8_t filler_type = 0x0C;

enum : uint8_t {
    nal_slice = 1,
    nal_idr = 5,
    nal_sei = 6,
    nal_sps = 7,
    nal_pps = 8,
    nal_delimiter = 9,
};

// The header bytes (forbidden_zero_bit 0, any nal_ref_idc) of the types looked at: slices,
// SEI, SPS, PPS, delimiters, end units. Slice data partitions, filler and the rest are
// skipped over.
constexpr es_code_set make_codes() {
    es_code_set set{};
    for (uint32_t h = 0; h < 0x80; ++h) {
        const uint32_t t = h & 0x1F;
        if (t == 1 || (t >= 5 && t <= 11)) set.bits[h >> 6] |= uint64_t{1} << (h & 63);
    }
    return set;
}
constexpr es_code_set nal_codes = make_codes();

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

// The profile and level lines; while an access unit is held they wait for it to be
// decided, so that they follow its "frames before" line as they follow its delimiter.
void report_sps(stream_call& sc) {
    h264_state& st = state_of<h264_state>(sc.stream);
    st.sps_report_due = 0;
    fprintf(sc.stream.report, "%s\n", profile_line(st.profile_idc));
    // level_idc is ten times the level; 11 with constraint_set3_flag is level 1b.
    if (st.level_idc == 11 && st.constraint_set3)
        fputs("Level = 1b\n", sc.stream.report);
    else
        fprintf(sc.stream.report, "Level = %d.%d\n", st.level_idc / 10, st.level_idc % 10);
}

void on_sps_byte(stream_call& sc, uint8_t b) {
    h264_state& st = state_of<h264_state>(sc.stream);
    const uint32_t k = st.sps_countdown--;
    if (st.sps_reported) return;
    if (k == 3) {
        st.profile_idc = b;
    } else if (k == 2) {
        st.constraint_set3 = (b >> 4) & 1;
    } else {
        st.level_idc = b;
        st.sps_reported = 1;
        st.sps_report_due = 1;
        // Held behind a delimiter, the lines wait for the unit's "frames before" line.
        if (!st.holding || st.hold.size == 0 || (st.hold.data[0] & 0x1F) != nal_delimiter) report_sps(sc);
    }
}

// Does an SEI NAL unit (`p` after its header, `n` bytes, escaped) carry a recovery point?
// sei_message: payloadType and payloadSize each as a run of FF bytes plus a last byte.
bool has_recovery_point(const uint8_t* p, uint32_t n) {
    uint32_t k = 0, zeros = 0;
    const auto next = [&](uint32_t& v) {
        while (k < n) {
            const uint8_t b = p[k++];
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            zeros = b == 0 ? zeros + 1 : 0;
            v = b;
            return true;
        }
        return false;
    };
    for (;;) {
        uint32_t type = 0, size = 0, b = 0;
        do {
            if (!next(b)) return false;
            type += b;
        } while (b == 0xFF);
        if (type == 0x80) return false;  // rbsp_trailing_bits: no more messages
        do {
            if (!next(b)) return false;
            size += b;
        } while (b == 0xFF);
        if (type == 6) return true;
        for (uint32_t s = 0; s < size; ++s)
            if (!next(b)) return false;
    }
}

// Is a slice (`p` after its header, `n` bytes, escaped) an I or SI slice? slice_type is the
// second ue(v) of the header, after first_mb_in_slice; 2, 4, 7 and 9 are I and SI.
bool is_intra_slice(const uint8_t* p, uint32_t n) {
    uint8_t raw[8];
    const uint32_t got = es_unescape(p, n, raw, sizeof raw);
    uint32_t pos = 0;
    es_read_ue(raw, got, pos);
    const uint32_t slice_type = es_read_ue(raw, got, pos);
    return slice_type <= 9 && (slice_type % 5 == 2 || slice_type % 5 == 4);
}

// The SPS and PPS of a held unit become the latest seen; its last unit, which may be cut
// short, is passed over.
void keep_parameter_sets(h264_state& st) {
    const es_hold& h = st.hold;
    if (h.overflow) return;
    uint32_t end = 0;
    for (uint32_t at = 0; at < h.size;) {
        const uint32_t next = es_nal_next(h, at, end);
        if (next >= h.size) break;
        const uint8_t t = h.data[at] & 0x1F;
        if (t == nal_sps) es_keep_parameter_set(st.sps, h.data + at, end - at);
        if (t == nal_pps) es_keep_parameter_set(st.pps, h.data + at, end - at);
        at = next;
    }
}

void stop_holding(stream_call& sc) {
    h264_state& st = state_of<h264_state>(sc.stream);
    if (st.sps_report_due) report_sps(sc);
    keep_parameter_sets(st);
    es_hold_clear(st.hold);
    st.holding = 0;
    st.decide_countdown = 0;
}

// The held unit's first slice has been gathered (its bytes of this call end at `end`):
// the output starts here, or the unit is let go.
void decide(stream_call& sc, es_call& o, uint32_t end) {
    h264_state& st = state_of<h264_state>(sc.stream);
    es_hold& h = st.hold;
    es_hold_append(h, o.bytes + st.collect_from, end - st.collect_from);
    st.collect_from = end;
    st.decide_countdown = 0;
    bool delimiter_i_only = false, idr = false, recovery_point = false, intra = false;
    bool sps = false, pps = false, slice = false;
    uint32_t delimiter_end = 0, unit_end = 0;
    for (uint32_t at = 0; at < h.size && !h.overflow && !slice;) {
        const uint32_t next = es_nal_next(h, at, unit_end);
        const uint8_t t = h.data[at] & 0x1F;
        const uint8_t* body = h.data + at + 1;
        const uint32_t body_size = unit_end > at ? unit_end - at - 1 : 0;
        if (at == 0 && t == nal_delimiter) {
            delimiter_end = unit_end;
            delimiter_i_only = body_size > 0 && body[0] <= 0x1F;
        }
        sps |= t == nal_sps;
        pps |= t == nal_pps;
        if (t == nal_sei) recovery_point |= has_recovery_point(body, body_size);
        if (t == nal_slice || t == nal_idr) {
            slice = true;
            idr = t == nal_idr;
            intra = is_intra_slice(body, body_size);
        }
        at = next;
    }
    if (h.overflow || !(delimiter_i_only || idr || (recovery_point && intra))) {
        stop_holding(sc);
        return;
    }
    fprintf(sc.stream.report, "%d frames before first I-frame\n", int(st.pictures_before_start));
    if (st.sps_report_due) report_sps(sc);
    if (o.out) {
        const es_parameter_set* sets[2] = {&st.sps, &st.pps};
        es_write_held(sc, o, h, delimiter_end, sets, sps && pps ? 0 : 2);
    }
    es_drop_to(o, end);
    es_hold_clear(h);
    st.holding = 0;
    st.started = 1;
    first_pts_arm(st.first_pts);
    first_pts_picture(sc, st.first_pts, st.au_pts);
}

// An access unit begins with the NAL unit whose header byte came just before `i`.
void begin_access_unit(stream_call& sc, es_call& o, uint32_t i, uint64_t pts) {
    h264_state& st = state_of<h264_state>(sc.stream);
    ++sc.stream.counts.coded_pictures;
    st.au_pts = pts;
    st.slice_seen = 0;
    if (st.started) {
        first_pts_picture(sc, st.first_pts, pts);
        return;
    }
    if (st.au_open) ++st.pictures_before_start;
    st.au_open = 1;
    if (st.holding) {
        es_hold_append(st.hold, o.bytes + st.collect_from, i - st.collect_from);
        stop_holding(sc);
    }
    es_hold_append(st.hold, &st.nal_header, 1);
    st.collect_from = i;
    st.holding = 1;
}

// The byte after a NAL header: enough to tell where access units begin.
void on_second_byte(stream_call& sc, es_call& o, uint32_t i, uint8_t b, uint64_t pts) {
    h264_state& st = state_of<h264_state>(sc.stream);
    const uint8_t t = st.nal_header & 0x1F;
    if (st.nal_header & 0x80) return;
    const bool slice = t == nal_slice || t == nal_idr;
    // Once a delimiter has been seen, only delimiters begin access units.
    const bool after_slice = !st.delimited && (st.slice_seen || !st.au_open);
    if (t == nal_delimiter) st.delimited = 1;
    if (t == nal_delimiter || ((t == nal_sei || t == nal_sps || t == nal_pps) && after_slice) ||
        (slice && (b & 0x80) && after_slice))
        begin_access_unit(sc, o, i, pts);
    if (!slice) return;
    if (st.holding && !st.slice_seen) st.decide_countdown = 6;
    st.slice_seen = 1;
}

template <bool fast_skip>
void scan(stream_call& sc, uint8_t* bytes, uint32_t count, uint64_t pts) {
    if (count == 0) return;
    h264_state& st = state_of<h264_state>(sc.stream);
    const bool rewrite = !sc.stream.parse_only;
    es_call o = es_call_begin(sc, bytes, count);
    st.collect_from = 0;
    uint32_t window = st.sync_window;
    uint32_t i = 0;
    while (i < count) {
        if constexpr (fast_skip) {
            // Between NAL headers only a completed start code matters.
            if (!es_prefix_complete(window) && (st.nal_bytes | st.sps_countdown | st.decide_countdown) == 0) {
                i = es_skip_to_start_code(bytes, i, count, window, nal_codes);
                continue;
            }
        }
        const uint8_t b = bytes[i];
        const bool header = es_prefix_complete(window);
        window = window << 8 | b;
        if (header) {
            // A slice too short to gather is decided on what it has.
            if (st.decide_countdown) decide(sc, o, i);
            st.nal_header = b;
            st.nal_bytes = 1;
            if ((window & sps_mask) == start_sps) st.sps_countdown = 3;
            if ((window & end_mask) == start_end && rewrite) bytes[i] = filler_type;
        } else {
            if (st.nal_bytes == 1) {
                st.nal_bytes = 0;
                on_second_byte(sc, o, i, b, pts);
            }
            if (st.sps_countdown) on_sps_byte(sc, b);
            if (st.decide_countdown && --st.decide_countdown == 0) decide(sc, o, i + 1);
        }
        ++i;
    }
    st.sync_window = window;
    if (st.holding) es_hold_append(st.hold, bytes + st.collect_from, count - st.collect_from);
    es_call_end(sc, o, count, window, st.started);
}

}  // namespace

void handle_h264_video(stream_call& sc, uint8_t* bytes, uint32_t count) {
    scan<true>(sc, bytes, count, sc.stream.pes.current_pts);
}

void handle_h264_video_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count) {
    scan<false>(sc, bytes, count, sc.stream.pes.current_pts);
}
