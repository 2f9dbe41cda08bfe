// The audio frame aligner's output (see frame_output.h).
//
// Elementary streams carry no time stamps: a frame lost after the start would move every
// later frame earlier against the video for the rest of the file. So every frame goes out
// only once its successor's sync word has closed it, and each frame that took a PES time
// stamp is set against the time the frames written so far have reached, counted in samples:
//
// - more than half a frame later than that: audio is missing. The gap is filled with as
//   many frames as its length rounded to whole frames: silent ones where the syntax makes
//   that simple (MPEG audio Layer I and II with no bit allocated; AAC LC in ADTS with
//   empty channel elements), else repeats of the last frame written;
// - more than half a frame earlier: audio that came twice. Frames are dropped until the
//   stream's time has caught up;
// - by more than ten seconds, or by the jump the video's time stamps made (within two
//   frames): the whole stream moved (a splice, an edit). The frame's time becomes the new
//   time base and nothing is filled.
//
// Each gap, overlap and jump gets one report line; the stream's record keeps the totals.
#include "audio/frame_output.h"

#include <cstdlib>
#include <cstring>

#include "core/stream.h"

namespace {

constexpr int64_t jump_limit = 900000;  // 10 s

// Slot k's frame, whole: its lead bytes, then the slot up to the next frame's lead.
void write_slot(stream_call& sc, const audio_variant& v, const audio_aligner& a, uint32_t k) {
    const uint8_t* slot = a.ring->data[k];
    write_audio(sc, frame_lead(v, slot), v.sync_bytes - 1);
    write_audio(sc, slot, a.ring->length[k] - (v.sync_bytes - 1));
}

struct bit_writer {
    uint8_t* p;
    uint32_t at = 0;
    void put(uint32_t value, uint32_t n) {
        for (; n > 0; --n, ++at)
            if ((value >> (n - 1)) & 1) p[at >> 3] |= uint8_t(0x80 >> (at & 7));
    }
};

// A silent frame with the parameters of slot k's, in the ring's `silent` buffer: its
// length, or 0 where the syntax has no simple one. Neither carries a CRC.
uint32_t make_silent(const audio_variant& v, const audio_aligner& a, uint32_t k) {
    const uint8_t* s = a.ring->data[k];  // frame byte 1 on
    uint8_t* out = a.ring->silent;
    const uint32_t size = a.ring->length[k];
    if (v.syntax == audio_syntax::mpeg) {
        // Layer I and II: no subband has bits allocated, so nothing follows the header.
        // Layer III frames borrow bits from the frames before them: repeated instead.
        if (((s[0] >> 1) & 3) == 1 || size > audio_silent_max || size < 4) return 0;
        memset(out, 0, size);
        out[0] = 0xFF;
        out[1] = uint8_t(s[0] | 1);
        out[2] = s[1];
        out[3] = s[2];
        return size;
    }
    if (v.syntax != audio_syntax::adts) return 0;
    // AAC LC: one raw data block of the channel configuration's elements, each channel
    // with no scale factor band (max_sfb 0), then ID_END. At 24 kHz and below the stream
    // may be HE-AAC signalled implicitly, whose decoder wants SBR data in every frame once
    // it has seen some: repeated instead.
    const uint32_t profile = s[1] >> 6, config = (s[1] & 1) << 2 | s[2] >> 6;
    if (profile != 1 || config == 0 || (s[1] >> 2 & 15) >= 6) return 0;
    static const char* const elements[8] = {"", "S", "C", "SC", "SCS", "SCC", "SCCL", "SCCCL"};
    memset(out, 0, 64);
    bit_writer w{out + 7};
    uint32_t tags[4] = {};
    for (const char* e = elements[config]; *e; ++e) {
        const uint32_t id = *e == 'S' ? 0 : *e == 'C' ? 1 : 3;
        w.put(id, 3);
        w.put(tags[id]++, 4);
        if (id == 1) w.put(0, 1);  // common_window
        for (uint32_t channel = 0; channel < (id == 1 ? 2u : 1u); ++channel) {
            w.put(100, 8);  // global_gain
            w.put(0, 11);   // ics_info: a long window, max_sfb 0, no prediction
            w.put(0, 3);    // no pulse, TNS or gain control data
        }
    }
    w.put(7, 3);  // ID_END
    const uint32_t length = 7 + (w.at + 7) / 8;
    out[0] = 0xFF;
    out[1] = uint8_t(s[0] | 1);  // protection_absent
    out[2] = s[1];
    out[3] = uint8_t((s[2] & 0xFC) | length >> 11);
    out[4] = uint8_t(length >> 3);
    out[5] = uint8_t((length & 7) << 5 | 0x1F);  // buffer fullness 0x7FF: variable rate
    out[6] = 0xFC;                               // and one raw data block
    return length;
}

uint64_t out_time(const audio_aligner& a) {
    return a.out_pts + (a.out_rate ? (a.out_samples * 90000 + a.out_rate / 2) / a.out_rate : 0);
}

void anchor(audio_aligner& a, uint64_t pts, uint32_t rate) {
    a.line_set = 1;
    a.out_pts = pts;
    a.out_samples = 0;
    a.out_rate = rate;
}

void advance(audio_aligner& a, uint32_t samples, uint32_t rate, uint32_t frames) {
    if (rate != a.out_rate) anchor(a, out_time(a), rate);
    a.out_samples += uint64_t(samples) * frames;
}

// The frames that came twice have ended: their line.
void end_overlap(stream_call& sc, audio_aligner& a, int64_t ticks) {
    if (a.overlap_frames == 0) return;
    fprintf(sc.stream.report, "Audio overlap at PTS 0x%08x: %.3f milliseconds, %u frames dropped\n",
            uint32_t(a.overlap_pts), double(ticks) * a.overlap_frames / 90.0, a.overlap_frames);
    sc.stream.repairs.overlaps += 1;
    sc.stream.repairs.frames_dropped += a.overlap_frames;
    a.overlap_frames = 0;
}

// A difference of `d` ticks at `pts` is a jump of the whole stream's time stamps: beyond
// the limit, the video's jump, or the PCR's at a discontinuity_indicator where the stream
// lost nothing since the last frame written (within the 100 ms between PCRs and the
// difference of the mux delays on either side).
bool is_jump(const stream_call& sc, const audio_aligner& a, int64_t d, int64_t ticks, uint64_t pts) {
    if (d > jump_limit || d < -jump_limit) return true;
    const shared_timing& t = sc.timing;
    if (t.video_jumped && std::llabs(d - t.video_jump) <= 2 * (ticks + t.video_step) &&
        std::llabs(pts_diff(pts, t.video_jump_to)) < jump_limit)
        return true;
    return t.pcr_jumped && a.damage_seen == sc.stream.repairs.damaged_frames && std::llabs(d - t.pcr_jump) < 90000 &&
           std::llabs(pts_diff(pts, t.pcr_jump_to)) < jump_limit;
}

// n frames where frames are missing before slot k's.
void fill(stream_call& sc, const audio_variant& v, audio_aligner& a, uint32_t k, uint32_t n, uint64_t pts,
          int64_t ticks) {
    const uint32_t source = a.have_filler ? a.filler_slot : k;
    const uint32_t silent = make_silent(v, a, source);
    for (uint32_t j = 0; j < n; ++j) {
        if (silent)
            write_audio(sc, a.ring->silent, silent);
        else
            write_slot(sc, v, a, source);
    }
    fprintf(sc.stream.report, "Audio gap before PTS 0x%08x: %.3f milliseconds, %u frames filled (%s)\n",
            uint32_t(pts), double(ticks) * n / 90.0, n, silent ? "silent" : "repeated");
    sc.stream.repairs.gaps += 1;
    sc.stream.repairs.frames_filled += n;
}

// Slot k's frame goes out, set against the stream's time.
void emit(stream_call& sc, const audio_variant& v, audio_aligner& a, uint32_t k) {
    const audio_frame_ring& ring = *a.ring;
    const uint32_t samples = ring.samples[k], rate = ring.rate[k];
    if (samples == 0 || rate == 0) {
        if (!a.dropping) write_slot(sc, v, a, k);
        return;
    }
    const uint64_t pts = ring.pts[k];
    if (!a.line_set) anchor(a, pts, rate);
    const int64_t ticks = int64_t(uint64_t(samples) * 90000 / rate);
    const int64_t d = pts_diff(pts, out_time(a));
    if (d > ticks / 2 || d < -ticks / 2) {
        if (is_jump(sc, a, d, ticks, pts)) {
            fprintf(sc.stream.report, "Audio time stamps jump by %lld ticks at PTS 0x%08x: a new time base\n",
                    (long long)d, uint32_t(pts));
            sc.stream.repairs.time_base_jumps += 1;
            anchor(a, pts, rate);
        } else if (d > 0) {
            end_overlap(sc, a, ticks);
            const uint32_t n = uint32_t((d + ticks / 2) / ticks);
            fill(sc, v, a, k, n, pts, ticks);
            advance(a, samples, rate, n);
        } else {
            if (a.overlap_frames == 0) a.overlap_pts = pts;
            a.overlap_frames += 1;
            a.dropping = 1;
            return;
        }
    }
    end_overlap(sc, a, ticks);
    a.dropping = 0;
    write_slot(sc, v, a, k);
    advance(a, samples, rate, 1);
    a.damage_seen = sc.stream.repairs.damaged_frames;
    // The frame a gap repeats: the last one written with a duration of its own (a LATM
    // frame without a configuration too: the decoder has had one).
    a.filler_slot = k;
    a.have_filler = 1;
}

// The time at which the output begins when the frames before slot k, the first kept, are
// missing: the frame after the dropped one (slot `before`) that would have been kept. With
// no frame dropped before it, the stream having lost bytes before the start, the earliest
// frame before it that would have been kept. A step beyond the jump limit is a new time
// base, as after the start: nothing is missing.
uint64_t first_time(const stream_call& sc, audio_aligner& a, uint32_t before, uint32_t k) {
    const audio_frame_ring& ring = *a.ring;
    const uint64_t video = sc.timing.first_video_pts;
    uint64_t t = ring.pts[k];
    if (before == audio_ring_slots) {
        const uint32_t step = slot_ticks(a, k);
        for (uint32_t n = 0; step && n * step < jump_limit && pts_diff(video, t - step) < ring.threshold[k]; ++n)
            t -= step;
    } else {
        const uint32_t step = slot_ticks(a, before);
        if (step == 0 || ring.rate[k] == 0) return t;
        t = ring.pts[before] + step;
        if (pts_diff(ring.pts[k], t) > jump_limit) return ring.pts[k];
        for (uint32_t n = 0; n < 1000 && pts_diff(video, t) >= ring.threshold[k]; ++n) t += step;
    }
    t &= (uint64_t{1} << 33) - 1;
    if (pts_diff(ring.pts[k], t) <= int64_t(slot_ticks(a, k) / 2)) return ring.pts[k];
    anchor(a, t, ring.rate[k]);
    return t;
}

// The output may start with the frames held: a frame that may begin it is among those
// kept, or the current frame may. Always so where every frame may begin.
bool can_begin(stream_call& sc, const audio_aligner& a) {
    if (!a.mixed) return true;
    if (a.header_read && a.frame_may_begin && a.frame_size != 0) return true;
    bool kept = false;
    for (uint32_t j = 0; j < a.held; ++j) {
        const uint32_t k = (a.slot_index + audio_ring_slots - a.held + j) % audio_ring_slots;
        kept = slot_kept(sc, a, k, kept);
        if (kept && a.ring->may_begin[k]) return true;
    }
    return false;
}

}  // namespace

// Whether the output may start at the next collected byte. Between frame starts only the
// first video PTS can change it, and that only between calls. Frames whose time is not
// known yet wait.
bool start_ready(stream_call& sc, const audio_aligner& a) {
    if (!a.confirmed || a.lost || a.unsure) return false;
    if (sc.stream.wait_for_video) {
        const uint64_t video = sc.timing.first_video_pts;
        if (video == pts_unknown || pts_diff(a.frame_pts, video) < 0) return false;
    }
    return can_begin(sc, a);
}

// A time stamp has come after `count` frames counted on from before a damaged stretch,
// the last of them in slot `last`: their times, counted back from it.
void settle_times(audio_aligner& a, uint32_t last, uint32_t count) {
    uint64_t t = a.frame_pts;
    for (uint32_t j = 0; j < count; ++j) {
        const uint32_t k = (last + audio_ring_slots - j) % audio_ring_slots;
        t = (t - slot_ticks(a, k)) & ((uint64_t{1} << 33) - 1);
        a.ring->pts[k] = t;
    }
}

bool frame_intact(const audio_variant& v, audio_aligner& a, bool fast) {
    const frame_crc crc = check_frame(v, a.ring->data[a.slot_index], a.frame_size, fast);
    a.crc_matched |= crc == frame_crc::matched;
    return crc != frame_crc::failed || !a.crc_matched;
}

void write_audio(stream_call& sc, const uint8_t* data, size_t n) {
    if (!sc.stream.parse_only) sink_write(sc.stream.out, data, n);
}

uint32_t slot_ticks(const audio_aligner& a, uint32_t k) {
    const audio_frame_ring& ring = *a.ring;
    return ring.rate[k] ? uint32_t(uint64_t(ring.samples[k]) * 90000 / ring.rate[k]) : 0;
}

bool slot_kept(const stream_call& sc, const audio_aligner& a, uint32_t k, bool kept_before) {
    const audio_frame_ring& ring = *a.ring;
    if (!ring.may_begin[k]) return kept_before;
    return !sc.stream.wait_for_video || pts_diff(sc.timing.first_video_pts, ring.pts[k]) < ring.threshold[k];
}

void start_output(stream_call& sc, const audio_variant& v, audio_aligner& a) {
    audio_frame_ring& ring = *a.ring;
    a.started = 1;
    a.passing = sc.stream.pes_output;
    const bool aligning = sc.stream.wait_for_video;
    // The held frames oldest first, then the current one (which goes out when closed, or
    // with option z as it comes).
    bool kept = false;
    uint32_t before = audio_ring_slots;  // the latest dropped frame that has a duration
    for (uint32_t j = 0; j <= a.held; ++j) {
        const uint32_t k = (a.slot_index + audio_ring_slots - a.held + j) % audio_ring_slots;
        kept = slot_kept(sc, a, k, kept);
        if (!kept) {
            if (ring.samples[k]) before = k;
            // Frames lost before the first kept are filled with the latest dropped one
            // that may begin the output, so that the output begins with such a frame.
            if (ring.may_begin[k]) a.filler_slot = k, a.have_filler = 1;
            continue;
        }
        if (!a.first_pts_reported) {
            a.first_pts_reported = 1;
            // The first kept may be the current frame: the frames lost before it are the
            // ones that held the video's first picture.
            const uint64_t pts = !a.passing && aligning && (before != audio_ring_slots || a.lost_before)
                                     ? first_time(sc, a, before, k)
                                     : ring.pts[k];
            sc.stream.first_pts = pts;
            if (aligning)
                fprintf(sc.stream.report, "First Audio PTS = 0x%08x, %d\n", uint32_t(pts),
                        int32_t(uint32_t(pts - sc.timing.first_video_pts)));
            else
                fprintf(sc.stream.report, "First Audio PTS = 0x%08x\n", uint32_t(pts));
            if (a.passing) write_audio(sc, frame_lead(v, ring.data[k]), v.sync_bytes - 1);
        }
        if (j == a.held) break;
        if (a.passing)
            write_audio(sc, ring.data[k], ring.length[k]);
        else
            emit(sc, v, a, k);
    }
    if (a.passing && kept) write_audio(sc, ring.data[a.slot_index], a.slot_fill);
    a.held = 0;
}

void release_held(stream_call& sc, const audio_variant& v, audio_aligner& a) {
    for (uint32_t j = 0; j < a.held; ++j) emit(sc, v, a, (a.slot_index + audio_ring_slots - a.held + j) % audio_ring_slots);
    a.held = 0;
}

void finish_output(stream_call& sc, const audio_variant& v, audio_aligner& a) {
    if (!a.started || a.passing) return;
    release_held(sc, v, a);
    // The last frame, which no sync word closes, goes out whole or cut short as it came,
    // unless its CRC says it is damaged.
    const bool whole = a.header_read && a.slot_fill == a.frame_size;
    if (whole && a.confirmed && !a.lost && !frame_intact(v, a, true)) {
        sc.stream.repairs.damaged_frames += 1;
    } else if (a.confirmed && !a.lost && a.slot_fill > 0) {
        a.ring->length[a.slot_index] = a.slot_fill + v.sync_bytes - 1;
        emit(sc, v, a, a.slot_index);
        a.slot_fill = 0;
    }
    end_overlap(sc, a, a.out_rate ? int64_t(slot_ticks(a, a.slot_index)) : 0);
}
