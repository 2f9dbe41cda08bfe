// HEVC video stream handler.
//
// NAL units follow start codes 00 00 01 with a 2-byte header: forbidden_zero_bit,
// nal_unit_type(6), nuh_layer_id(6), nuh_temporal_id_plus1(3). Units of layers above 0 are
// passed over. In a slice segment (types 0-31) the byte after the header begins with
// first_slice_segment_in_pic_flag.
//
// An access unit begins at a delimiter (35), and after a picture at a VPS, SPS, PPS,
// prefix SEI (32-34, 39), at types 41-44 and 48-55, or at the first slice segment of the
// next picture. Its first slice segment's type says what picture it is:
//   0-5 trailing, 6-7 RADL, 8-9 RASL, 16-21 IRAP (BLA 16-18, IDR 19-20, CRA 21).
//
// The output starts at the first access unit whose picture is IRAP: a 4-byte start code
// and its first NAL unit (its delimiter, where it has one), the latest VPS, SPS and PPS
// seen before it where it lacks one of them, then every byte of the stream. Each access
// unit is held from its first NAL unit until its first slice segment decides (es_hold).
// After a CRA start, the RASL pictures that follow it (up to the next trailing or IRAP
// picture) reference pictures before the start; a decoder starting at that CRA discards
// them, and so are they left out here, held and dropped whole. End-of-bitstream units
// (37) become filler (38) so that a player does not stop at a splice; end-of-sequence
// units (36) stay, since after one a decoder takes the next CRA as a fresh start.
//
// The first video PTS is the earliest PTS of the pictures kept from the start up to the
// first trailing picture (RADL pictures are shown before their IRAP).
#include <cstdio>

#include "core/stream.h"
#include "video/video.h"

namespace {

enum : uint8_t {
    type_rasl_n = 8,
    type_rasl_r = 9,
    type_bla_first = 16,
    type_cra = 21,
    type_irap_last = 23,
    type_vps = 32,
    type_sps = 33,
    type_pps = 34,
    type_delimiter = 35,
    type_end_of_bitstream = 37,
    type_prefix_sei = 39,
};

// Every start code is looked at: nearly every unit type matters to the access units.
constexpr es_code_set every_code = [] {
    es_code_set set{};
    for (uint64_t& w : set.bits) w = ~uint64_t{0};
    return set;
}();

uint8_t unit_type(uint8_t header0) { return (header0 >> 1) & 0x3F; }
bool trailing(uint8_t t) { return t <= 5; }
bool irap(uint8_t t) { return t >= type_bla_first && t <= type_irap_last; }

// A unit that begins an access unit when it follows a picture.
bool begins_after_picture(uint8_t t) {
    return (t >= type_vps && t <= type_pps) || t == type_prefix_sei || (t >= 41 && t <= 44) || (t >= 48 && t <= 55);
}

const char* profile_name(uint32_t idc) {
    switch (idc) {
    case 1: return "Main";
    case 2: return "Main 10";
    case 3: return "Main Still Picture";
    case 4: return "Range Extensions";
    default: return nullptr;
    }
}

// profile_tier_level of the first SPS: after the 2 header bytes, with emulation-prevention
// bytes removed, byte 1 holds general_tier_flag (bit 5) and general_profile_idc (bits
// 4-0), byte 12 general_level_idc.
void read_sps(hevc_state& st, const uint8_t* p, uint32_t n) {
    if (st.sps_read || n < 2) return;
    uint8_t raw[13];
    if (es_unescape(p + 2, n - 2, raw, sizeof raw) < sizeof raw) return;
    st.sps_read = 1;
    st.tier = (raw[1] >> 5) & 1;
    st.profile_idc = raw[1] & 0x1F;
    st.level_idc = raw[12];
}

void report_sps(stream_call& sc) {
    const hevc_state& st = state_of<hevc_state>(sc.stream);
    if (const char* name = profile_name(st.profile_idc))
        fprintf(sc.stream.report, "%s Profile\n", name);
    else
        fprintf(sc.stream.report, "Profile %d Profile\n", int(st.profile_idc));
    fprintf(sc.stream.report, "%s Tier\n", st.tier ? "High" : "Main");
    // general_level_idc is 30 times the level: 153 is 5.1, 120 is 4.
    fprintf(sc.stream.report, "Level = %d.%d\n", int(st.level_idc / 30), int(st.level_idc % 30 / 3));
}

// The parameter sets of the held unit (its last unit, which may be cut short, passed
// over unless `whole`): the first SPS is read, each kind kept as the latest seen. Returns
// the kinds present, bit 0 VPS, 1 SPS, 2 PPS.
uint32_t take_parameter_sets(hevc_state& st, bool whole, bool keep = true) {
    const es_hold& h = st.hold;
    uint32_t present = 0, end = 0;
    if (h.overflow) return 0;
    for (uint32_t at = 0; at < h.size;) {
        const uint32_t next = es_nal_next(h, at, end);
        if (next >= h.size && !whole) break;
        const uint8_t t = unit_type(h.data[at]);
        if (t >= type_vps && t <= type_pps) {
            present |= 1u << (t - type_vps);
            if (keep) es_keep_parameter_set(st.sets[t - type_vps], h.data + at, end - at);
            if (t == type_sps) read_sps(st, h.data + at, end - at);
        }
        at = next;
    }
    return present;
}

void stop_holding(hevc_state& st, bool keep_sets) {
    if (keep_sets) take_parameter_sets(st, false);
    es_hold_clear(st.hold);
    st.holding = 0;
}

// The first video PTS: the earliest of the kept pictures up to the first trailing one.
void note_picture_pts(stream_call& sc, uint8_t t) {
    hevc_state& st = state_of<hevc_state>(sc.stream);
    if (!st.pts_open) return;
    if (st.pictures_kept > 1 && (trailing(t) || irap(t))) {
        st.pts_open = 0;
        sc.timing.first_video_pts = st.pts_earliest;
        fprintf(sc.stream.report, "First Video PTS = 0x%08x\n", uint32_t(st.pts_earliest));
    } else if (st.pictures_kept == 1 || pts_diff(st.pts_earliest, st.au_pts) > 0) {
        st.pts_earliest = st.au_pts;
    }
}

// The output starts at the held unit, whose first slice segment begins at `i`.
void start_output(stream_call& sc, es_call& o, uint32_t i, uint8_t t) {
    hevc_state& st = state_of<hevc_state>(sc.stream);
    const es_hold& h = st.hold;
    const uint32_t present = take_parameter_sets(st, true, false);
    fprintf(sc.stream.report, "%d frames before first I-frame\n", int(st.pictures_before_start));
    if (st.sps_read) report_sps(sc);
    if (o.out) {
        uint32_t insert_at = 0, end = 0;
        if (unit_type(h.data[0]) == type_delimiter) {
            es_nal_next(h, 0, end);
            insert_at = end;
        }
        // The kinds the unit lacks, as last seen before it.
        const es_parameter_set* sets[3];
        uint32_t n = 0;
        for (uint32_t k = 0; k < 3; ++k)
            if (!(present >> k & 1)) sets[n++] = &st.sets[k];
        es_write_held(sc, o, h, insert_at, sets, n);
    }
    es_drop_to(o, i);
    stop_holding(st, false);
    st.started = 1;
    st.rasl_after_start = t == type_cra;
    st.pts_open = 1;
}

// The first slice segment of an access unit, at `i` the byte after its header.
void on_picture(stream_call& sc, es_call& o, uint32_t i, uint8_t t) {
    hevc_state& st = state_of<hevc_state>(sc.stream);
    if (st.holding) es_hold_append(st.hold, o.bytes + st.collect_from, i - st.collect_from);
    st.collect_from = i;
    if (!st.started) {
        if (irap(t) && t <= type_cra && st.holding && !st.hold.overflow) {
            start_output(sc, o, i, t);
        } else {
            if (st.holding) stop_holding(st, true);
            ++st.pictures_before_start;
            ++sc.stream.counts.coded_pictures;
            return;
        }
    } else if (st.rasl_after_start && (t == type_rasl_n || t == type_rasl_r) && st.holding) {
        stop_holding(st, false);
        st.dropping = 1;
        es_drop_to(o, i);
        return;
    } else if (st.holding) {
        static constexpr uint8_t prefix[3] = {0x00, 0x00, 0x01};
        es_insert(sc, o, prefix, 3);
        es_insert(sc, o, st.hold.data, st.hold.size);
        es_drop_to(o, i);
        stop_holding(st, false);
    }
    if (trailing(t) || irap(t)) st.rasl_after_start &= st.pictures_kept == 0;
    ++sc.stream.counts.coded_pictures;
    ++st.pictures_kept;
    note_picture_pts(sc, t);
}

// An access unit begins with the unit whose two header bytes came just before `i`.
void begin_access_unit(stream_call& sc, es_call& o, uint32_t i, uint64_t pts) {
    hevc_state& st = state_of<hevc_state>(sc.stream);
    st.au_pts = pts;
    st.slice_seen = 0;
    st.au_open = 1;
    bool hold = true;
    if (st.started) {
        if (st.dropping) {
            // The dropped unit ends here; while it lasted the phase went on.
            st.dropping = 0;
            es_drop_to(o, i);
        } else if (st.holding) {
            // A held unit without a picture is kept; its last 5 bytes are this unit's
            // start code and header, held anew.
            es_hold_append(st.hold, o.bytes + st.collect_from, i - st.collect_from);
            static constexpr uint8_t prefix[3] = {0x00, 0x00, 0x01};
            es_insert(sc, o, prefix, 3);
            if (st.hold.size >= 5) es_insert(sc, o, st.hold.data, st.hold.size - 5);
            es_drop_to(o, i);
        } else if (st.rasl_after_start) {
            // Its start code and header come out again, with the rest, if it is kept.
            hold = es_cut_code(sc, o, st.cut, i, 5);
        } else {
            hold = false;
        }
        if (!hold) return;
    } else if (st.holding) {
        es_hold_append(st.hold, o.bytes + st.collect_from, i - st.collect_from);
        stop_holding(st, true);
    }
    es_hold_clear(st.hold);
    es_hold_append(st.hold, st.header, 2);
    st.collect_from = i;
    st.holding = 1;
}

// The third byte of a unit: its header is complete, and a slice segment's first flag is here.
void on_third_byte(stream_call& sc, es_call& o, uint32_t i, uint8_t b, uint64_t pts) {
    hevc_state& st = state_of<hevc_state>(sc.stream);
    const uint8_t t = unit_type(st.header[0]);
    if ((st.header[0] & 0x80) || (st.header[0] & 1) || (st.header[1] >> 3)) return;  // forbidden bit, layer > 0
    const bool after_picture = st.slice_seen || !st.au_open;
    const bool slice = t < 32;
    if (t == type_delimiter || (begins_after_picture(t) && after_picture) || (slice && (b & 0x80) && after_picture))
        begin_access_unit(sc, o, i, pts);
    if (!slice || !st.au_open) return;
    if (!st.slice_seen) on_picture(sc, o, i, t);
    st.slice_seen = 1;
}

template <bool fast_skip>
void scan(stream_call& sc, uint8_t* bytes, uint32_t count, uint64_t pts) {
    if (count == 0) return;
    hevc_state& st = state_of<hevc_state>(sc.stream);
    const bool rewrite = !sc.stream.parse_only;
    es_call o = es_call_begin(sc, bytes, count, &st.cut);
    st.collect_from = 0;
    uint32_t window = st.sync_window;
    uint32_t i = 0;
    while (i < count) {
        if constexpr (fast_skip) {
            if (!es_prefix_complete(window) && st.nal_bytes == 0) {
                i = es_skip_to_start_code(bytes, i, count, window, every_code);
                continue;
            }
        }
        uint8_t b = bytes[i];
        if (es_prefix_complete(window)) {
            if (unit_type(b) == type_end_of_bitstream && rewrite) {
                b = uint8_t(b & 0x81) | 0x4C;  // filler data, type 38
                bytes[i] = b;
            }
            st.header[0] = b;
            st.nal_bytes = 1;
        } else if (st.nal_bytes == 1) {
            st.header[1] = b;
            st.nal_bytes = 2;
        } else if (st.nal_bytes == 2) {
            st.nal_bytes = 0;
            on_third_byte(sc, o, i, b, pts);
        }
        window = window << 8 | b;
        ++i;
    }
    st.sync_window = window;
    if (st.holding) es_hold_append(st.hold, bytes + st.collect_from, count - st.collect_from);
    if (st.holding || st.dropping) es_drop_to(o, count);
    es_call_end(sc, o, count, window, st.started);
    // A held unit's start code may begin in this call's last bytes: note where the output
    // stood, so that the next call can take them back.
    if (count >= 5) st.cut.interrupted = 0;
    st.cut.tail_open = 1;
    st.cut.tail_mark = sc.stream.out.written;
}

}  // namespace

void handle_hevc_video(stream_call& sc, uint8_t* bytes, uint32_t count) {
    scan<true>(sc, bytes, count, sc.stream.pes.current_pts);
}

void handle_hevc_video_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count) {
    scan<false>(sc, bytes, count, sc.stream.pes.current_pts);
}
