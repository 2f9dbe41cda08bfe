// The audio frame aligner for AC-3 and MPEG audio.
//
// The stream is found by its sync words and confirmed by a second sync word exactly one
// frame after the first. Every frame is then held back in a ring slot, with its time
// stamp, until the first video PTS is known and the audio has reached it; the frames that
// start a threshold or more before the video are dropped, the rest are written, and from
// then on every call is passed through unchanged.
//
// A frame's length is read from its own header, so that 44.1 kHz streams, whose frames
// are padded by a word (AC-3) or a byte (MPEG audio) now and then, keep their frame
// boundaries. The length that decides a distance is always that of the frame held in the
// current slot: its header was parsed at that frame's start.
#include <cstring>

#include "audio/frame_headers.h"
#include "driver/context.h"

namespace {

// Usable length of a slot; its last byte is spare.
constexpr uint32_t slot_last = audio_slot_size - 1;

void write_audio(context& ctx, const uint8_t* data, size_t n) {
    if (!ctx.options.parse_only) sink_write(ctx.sinks.audio_out, ctx.sinks.audio_written, data, n);
}

// Whether the output may start at the next collected byte. Between sync words only the
// first video PTS can change it, and that only between calls.
bool start_ready(const context& ctx, const audio_aligner& a) {
    if (!a.confirmed) return false;
    if (ctx.selection.video_index == 0) return true;
    const uint64_t video = ctx.timing.first_video_pts;
    return video != pts_unknown && a.frame_pts >= video;
}

void close_slot(const audio_variant& v, audio_aligner& a) {
    a.ring.length[a.slot_index] = a.slot_fill;
    a.slot_fill = 0;
    a.slot_index = (a.slot_index + 1) % audio_ring_slots;
    a.ring.pts[a.slot_index] = a.frame_pts;
    a.header_countdown = v.header_bytes;  // the new frame's header gives its own length
}

// A byte that completes a sync word or belongs to a header. Returns false when the byte
// is not to be collected (the candidate was abandoned or its header rejected).
bool sync_or_header_byte(context& ctx, const audio_variant& v, audio_aligner& a, uint8_t b, bool sync) {
    if (!sync) {
        // The countdown moves only on bytes that do not complete a sync word.
        const uint32_t k = a.header_countdown--;
        parse_header_byte(v, a, b, k);
        if (k != 1) return true;
        if (a.header_size == 0) {
            if (a.confirmed) return true;  // keep the last length; the slot decides
            a.synced = 0;
            a.slot_fill = 0;
            return false;
        }
        a.frame_size = a.header_size;
        a.frame_countdown = int32_t(a.header_size);
        return true;
    }

    // A pending PES time stamp goes to the first sync word after it, real frame start or
    // not; otherwise a sync word one whole frame on advances the clock by one frame.
    if (a.pts_pending) {
        a.frame_pts = a.pending_pts;
        a.pts_pending = 0;
    } else if (a.frame_size != 0 && a.slot_fill == a.frame_size && a.sample_rate != 0) {
        a.frame_pts += v.duration_scaled / a.sample_rate;
    }

    if (!a.synced) {
        a.synced = 1;
        a.header_countdown = v.header_bytes;
        a.ring.pts[a.slot_index] = a.frame_pts;
        return true;
    }
    if (!a.confirmed) {
        if (a.frame_countdown != int32_t(v.header_bytes)) {
            // Wrong distance: drop the candidate; this sync word is not a new start.
            a.synced = 0;
            a.slot_index = 0;
            a.slot_fill = 0;
            return false;
        }
        a.confirmed = 1;
        print_header_report(ctx, v, a);
        close_slot(v, a);
        return true;
    }
    // Confirmed: a sync word inside frame data does not split the frame.
    if (a.slot_fill == a.frame_size) close_slot(v, a);
    return true;
}

// Drops the frames that start too early, writes the rest, then `rest` (from the byte at
// which the output starts to the end of the call).
void start_output(context& ctx, const audio_variant& v, audio_aligner& a, const uint8_t* rest, uint32_t n) {
    a.started = 1;
    a.ring.length[a.slot_index] = a.slot_fill;
    const bool aligning = ctx.selection.video_index != 0;
    const uint64_t video = ctx.timing.first_video_pts;
    // After a wrap only the current lap, slots 0 to slot_index, is still whole.
    for (uint32_t k = 0; k <= a.slot_index; ++k) {
        const uint64_t pts = a.ring.pts[k];
        if (aligning && pts + v.threshold <= video) continue;
        if (!a.first_pts_reported) {
            a.first_pts_reported = 1;
            if (aligning)
                fprintf(ctx.report, "First Audio PTS = 0x%08x, %d\n", uint32_t(pts), int32_t(uint32_t(pts - video)));
            else
                fprintf(ctx.report, "First Audio PTS = 0x%08x\n", uint32_t(pts));
            write_audio(ctx, &v.lead_byte, 1);
        }
        write_audio(ctx, a.ring.data[k], a.ring.length[k]);
    }
    write_audio(ctx, rest, n);
}

// Stores n bytes at the slot's fill position. A slot keeps at most 3847 bytes (the
// largest frame is 3840); the rest of an unclosed, damaged frame is not kept.
void collect_run(uint8_t* slot, uint32_t& fill, const uint8_t* data, uint32_t n) {
    const uint32_t room = slot_last - fill;
    const uint32_t k = n < room ? n : room;
    memcpy(slot + fill, data, k);
    fill += k;
}

uint32_t shift_in(uint32_t window, const uint8_t* data, uint32_t n) {
    for (uint32_t k = n > 4 ? n - 4 : 0; k < n; ++k) window = (window << 8) | data[k];
    return window;
}

// The byte loop before the start. A sync word can only end on the byte after its lead
// byte (0x0B or 0xFF), and the lead byte never ends one itself; so outside a header, and
// while the start cannot fall due, the bytes up to and including the next lead byte are
// taken as one run. The hot state lives in locals: stores into the ring could alias the
// record and would otherwise force a reload of every field per byte. The variant is a
// template argument so that its tests compile to constants.
template <const audio_variant& v>
void align(context& ctx, audio_aligner& a, const uint8_t* bytes, uint32_t count) {
    uint32_t window = a.sync_window;
    uint32_t fill = a.slot_fill;
    uint32_t countdown = uint32_t(a.frame_countdown);  // wraps freely in a long unclosed frame
    uint8_t* slot = a.ring.data[a.slot_index];
    bool synced = a.synced != 0;
    bool in_header = a.header_countdown != 0;
    bool ready = start_ready(ctx, a);

    uint32_t i = 0;
    while (i < count) {
        if (!in_header && !ready && (window & 0xFF) != v.lead_byte) {
            const auto* lead = static_cast<const uint8_t*>(memchr(bytes + i, v.lead_byte, count - i));
            const uint32_t n = lead ? uint32_t(lead - (bytes + i)) + 1 : count - i;
            if (synced) {
                collect_run(slot, fill, bytes + i, n);
                countdown -= n;
            }
            window = shift_in(window, bytes + i, n);
            i += n;
            continue;
        }
        const uint8_t b = bytes[i++];
        window = (window << 8) | b;
        const bool sync = (window & v.sync_mask) == v.sync_value;
        if (sync || in_header) {
            a.slot_fill = fill;
            a.frame_countdown = int32_t(countdown);
            const bool collect = sync_or_header_byte(ctx, v, a, b, sync);
            fill = a.slot_fill;
            countdown = uint32_t(a.frame_countdown);
            slot = a.ring.data[a.slot_index];
            synced = a.synced != 0;
            in_header = a.header_countdown != 0;
            ready = start_ready(ctx, a);
            if (!collect) continue;
        }
        if (!synced) continue;
        if (ready) {
            a.sync_window = window;
            a.slot_fill = fill;
            a.frame_countdown = int32_t(countdown);
            start_output(ctx, v, a, bytes + i - 1, count - i + 1);
            return;
        }
        collect_run(slot, fill, &b, 1);
        --countdown;
    }
    a.sync_window = window;
    a.slot_fill = fill;
    a.frame_countdown = int32_t(countdown);
}

template <const audio_variant& v>
void run_aligner(context& ctx, audio_aligner& a, const uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    if (a.started) {
        write_audio(ctx, bytes, count);
        return;
    }
    if (new_pts == 1) {
        a.pending_pts = pts;
        a.pts_pending = 1;
    }
    align<v>(ctx, a, bytes, count);
}

}  // namespace

void handle_ac3_audio(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    run_aligner<ac3_variant>(ctx, ctx.ac3_aligner, bytes, count, pts, new_pts);
}

void handle_mpeg_audio(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    run_aligner<mpeg_variant>(ctx, ctx.mpeg_aligner, bytes, count, pts, new_pts);
}
