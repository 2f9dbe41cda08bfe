// The audio frame aligner for AC-3 and MPEG audio.
//
// A sync word is only a candidate frame start: 0B 77 and FF FC/FD also occur inside frame
// data, in MPEG audio at high rates, silence and test tones in most frames. A candidate is
// confirmed by a sync word exactly one frame length after it, the length read from its
// own header; sync words inside it are frame data. When that byte passes without a sync
// word the candidate is dropped, and the search goes on from the earliest sync word among
// its bytes, so a real frame start inside a false candidate is still found.
//
// Every frame is then held back in a ring slot, with its time stamp, until the first video
// PTS is known and the audio has reached it; the frames that start a threshold or more
// before the video are dropped, the rest are written, and from then on every call is
// passed through unchanged.
//
// A frame's length is read from its own header, so that 44.1 kHz streams, whose frames
// are padded by a word (AC-3) or a byte (MPEG audio) now and then, keep their frame
// boundaries.
//
// Time stamps: a PES time stamp belongs to the first frame that starts in its PES packet,
// that is, whose first sync byte comes at or after the PES header. It is kept as a mark at
// that stream offset and given to a frame only when the frame's start is certain (at the
// confirmation, or at a sync word that ends a whole frame), never to a sync word inside a
// frame. A frame without a mark of its own follows its predecessor by one frame duration.
#include <cstring>

#include "audio/frame_headers.h"
#include "core/context.h"

namespace {

// Usable length of a slot; its last byte is spare.
constexpr uint32_t slot_last = audio_slot_size - 1;

void write_audio(context& ctx, const uint8_t* data, size_t n) {
    if (!ctx.options.parse_only) sink_write(ctx.sinks.audio_out, ctx.sinks.audio_written, data, n);
}

template <const audio_variant& v>
bool is_sync(uint8_t lead, uint8_t next) {
    return ((uint32_t(lead) << 8 | next) & v.sync_mask) == v.sync_value;
}

// --- PES time stamp marks ---

void drop_marks(audio_pts_marks& m, uint32_t n) {
    memmove(m.at, m.at + n, (m.count - n) * sizeof m.at[0]);
    memmove(m.pts, m.pts + n, (m.count - n) * sizeof m.pts[0]);
    m.count -= n;
}

// A PES header's time stamp for the frames from the next byte on.
void add_mark(audio_aligner& a, uint64_t pts) {
    audio_pts_marks& m = a.marks;
    const uint64_t at = a.position;
    while (m.count > 0 && m.at[m.count - 1] >= at) --m.count;  // a header without payload
    // Frames yet to start begin at or after `floor`: of the marks up to it only the
    // latest can still be taken.
    const uint64_t floor = a.synced && !a.confirmed ? a.candidate_start : at - 1;
    uint32_t stale = 0;
    while (stale + 1 < m.count && m.at[stale + 1] <= floor) ++stale;
    if (m.count - stale == audio_marks) ++stale;
    drop_marks(m, stale);
    m.at[m.count] = at;
    m.pts[m.count] = pts;
    ++m.count;
}

// The time stamp of a frame whose first sync byte is at stream offset `lead`: the latest
// mark at or before it, which is used up with the older ones. False when there is none.
bool take_mark(audio_aligner& a, uint64_t lead) {
    audio_pts_marks& m = a.marks;
    uint32_t n = 0;
    while (n < m.count && m.at[n] <= lead) ++n;
    if (n == 0) return false;
    a.frame_pts = m.pts[n - 1];
    drop_marks(m, n);
    return true;
}

// --- collecting confirmed frames ---

// Whether the output may start at the next collected byte. Between frame starts only the
// first video PTS can change it, and that only between calls.
bool start_ready(const context& ctx, const audio_aligner& a) {
    if (!a.confirmed) return false;
    if (ctx.selection.video_index == 0) return true;
    const uint64_t video = ctx.timing.first_video_pts;
    return video != pts_unknown && a.frame_pts >= video;
}

// A sync word that ends a whole frame starts the next one (its lead byte at `lead`) in
// the next slot.
void next_frame(const audio_variant& v, audio_aligner& a, uint64_t lead) {
    if (!take_mark(a, lead) && a.sample_rate != 0) a.frame_pts += v.duration_scaled / a.sample_rate;
    a.ring.length[a.slot_index] = a.slot_fill;
    a.slot_fill = 0;
    a.slot_index = (a.slot_index + 1) % audio_ring_slots;
    a.ring.pts[a.slot_index] = a.frame_pts;
}

// Stores n bytes at the slot's fill position. A slot keeps at most 3847 bytes (the
// largest frame is 3840); the rest of an unclosed, damaged frame is not kept. Once the
// header of the slot's frame is in, its length is taken (a bad header keeps the last).
template <const audio_variant& v>
void collect_run(audio_aligner& a, const uint8_t* data, uint32_t n) {
    const uint32_t before = a.slot_fill;
    const uint32_t room = slot_last - before;
    const uint32_t k = n < room ? n : room;
    memcpy(a.ring.data[a.slot_index] + before, data, k);
    a.slot_fill = before + k;
    if (before <= v.header_bytes && a.slot_fill > v.header_bytes) {
        const uint32_t size = read_frame_header(v, a, a.ring.data[a.slot_index] + 1);
        if (size != 0) a.frame_size = size;
    }
}

// n bytes looked at: the sync window and the stream offset move on.
void pass(audio_aligner& a, const uint8_t* data, uint32_t n) {
    for (uint32_t k = n > 4 ? n - 4 : 0; k < n; ++k) a.sync_window = (a.sync_window << 8) | data[k];
    a.position += n;
}

// Shifts b into the sync window; true when it completes a sync word.
template <const audio_variant& v>
bool completes_sync(audio_aligner& a, uint8_t b) {
    a.sync_window = (a.sync_window << 8) | b;
    return (a.sync_window & v.sync_mask) == v.sync_value;
}

// The bytes up to and including the next lead byte (0x0B or 0xFF), or all of them: a
// sync word can only end on the byte after a lead byte.
template <const audio_variant& v>
uint32_t run_to_lead(const uint8_t* data, uint32_t n) {
    const auto* lead = static_cast<const uint8_t*>(memchr(data, v.lead_byte, n));
    return lead ? uint32_t(lead - data) + 1 : n;
}

// Drops the frames that start too early and writes the rest; the caller writes the bytes
// from the one at which the output starts.
void start_output(context& ctx, const audio_variant& v, audio_aligner& a) {
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
}

// Collects a run of a confirmed stream, one slot per frame: a sync word closes the slot
// only when the slot holds exactly the frame's length. Returns the bytes taken: fewer
// than n when the output started, at the first byte not taken.
template <const audio_variant& v, bool fast>
uint32_t collect(context& ctx, audio_aligner& a, const uint8_t* bytes, uint32_t n) {
    bool ready = start_ready(ctx, a);
    uint32_t i = 0;
    while (i < n) {
        if (fast && !ready && (a.sync_window & 0xFF) != v.lead_byte) {
            const uint32_t k = run_to_lead<v>(bytes + i, n - i);
            collect_run<v>(a, bytes + i, k);
            pass(a, bytes + i, k);
            i += k;
            continue;
        }
        const uint8_t b = bytes[i];
        if (completes_sync<v>(a, b) && a.slot_fill == a.frame_size) {
            next_frame(v, a, a.position - 1);
            ready = start_ready(ctx, a);
        }
        if (ready) {
            start_output(ctx, v, a);
            return i;
        }
        collect_run<v>(a, &b, 1);
        ++a.position;
        ++i;
    }
    return n;
}

// --- finding the first frame ---

// The candidate's bytes after its lead byte sit in slot 0, from its second sync byte on.
// A dropped candidate passes on to the earliest sync word among them, whose bytes are
// moved to the front; with none, hunting goes on with the next byte.
template <const audio_variant& v>
void drop_candidate(audio_aligner& a) {
    uint8_t* slot = a.ring.data[0];
    a.frame_size = 0;
    for (uint32_t j = 0; j + 1 < a.slot_fill; ++j) {
        if (!is_sync<v>(slot[j], slot[j + 1])) continue;
        a.slot_fill -= j + 1;
        memmove(slot, slot + j + 1, a.slot_fill);
        a.candidate_start += j + 1;
        return;
    }
    a.synced = 0;
    a.slot_fill = 0;
}

// Settles the candidate as far as its bytes allow. Returns true when it is confirmed.
template <const audio_variant& v>
bool settle(audio_aligner& a) {
    const uint8_t* slot = a.ring.data[0];
    while (a.synced) {
        if (a.frame_size == 0) {
            if (a.slot_fill <= v.header_bytes) return false;
            a.frame_size = read_frame_header(v, a, slot + 1);
            if (a.frame_size == 0) {
                drop_candidate<v>(a);
                continue;
            }
        }
        if (a.slot_fill <= a.frame_size) return false;
        // Slot byte k is frame byte k + 1: the next frame's sync word is at k = size - 1.
        if (is_sync<v>(slot[a.frame_size - 1], slot[a.frame_size])) return true;
        drop_candidate<v>(a);
    }
    return false;
}

// Bytes the candidate needs before it can be settled further.
template <const audio_variant& v>
uint32_t candidate_needs(const audio_aligner& a) {
    return (a.frame_size ? a.frame_size + 1 : v.header_bytes + 1) - a.slot_fill;
}

// The candidate is confirmed: slot 0 holds its frame, and the bytes after it (one at
// least, the second byte of the next sync word) go through the collection like any that
// follow. Returns true when the output started; those of them from the start on are
// written then.
template <const audio_variant& v, bool fast>
bool confirm(context& ctx, audio_aligner& a) {
    a.confirmed = 1;
    print_header_report(ctx, v, a);
    take_mark(a, a.candidate_start);
    a.ring.pts[0] = a.frame_pts;
    const uint32_t size = a.frame_size;
    const uint32_t after = a.slot_fill - size;
    a.slot_fill = size;
    a.position -= after;
    a.sync_window = a.ring.data[0][size - 1];
    // The frames after it go to slots 1 and up; the few that fit in one candidate's
    // length can never wrap round to slot 0.
    const uint8_t* rest = a.ring.data[0] + size;
    const uint32_t taken = collect<v, fast>(ctx, a, rest, after);
    if (taken == after) return false;
    write_audio(ctx, rest + taken, after - taken);
    return true;
}

// The byte loop before the start. Returns the bytes taken: fewer than count when the
// output started, at the first byte not taken.
template <const audio_variant& v, bool fast>
uint32_t align(context& ctx, audio_aligner& a, const uint8_t* bytes, uint32_t count) {
    uint32_t i = 0;
    while (i < count) {
        if (a.confirmed) return i + collect<v, fast>(ctx, a, bytes + i, count - i);
        if (a.synced) {
            // Candidate: its bytes go into slot 0 up to the next point where it can be
            // settled (its header, then the byte after the next frame's sync byte).
            const uint32_t need = candidate_needs<v>(a);
            const uint32_t k = fast ? (need < count - i ? need : count - i) : 1;
            memcpy(a.ring.data[0] + a.slot_fill, bytes + i, k);
            a.slot_fill += k;
            pass(a, bytes + i, k);
            i += k;
            if (k == need && settle<v>(a) && confirm<v, fast>(ctx, a)) return i;
            continue;
        }
        // Hunting.
        if (fast && (a.sync_window & 0xFF) != v.lead_byte) {
            const uint32_t k = run_to_lead<v>(bytes + i, count - i);
            pass(a, bytes + i, k);
            i += k;
            continue;
        }
        const uint8_t b = bytes[i];
        if (completes_sync<v>(a, b)) {
            a.synced = 1;
            a.frame_size = 0;
            a.candidate_start = a.position - 1;
            a.ring.data[0][0] = b;
            a.slot_fill = 1;
        }
        ++a.position;
        ++i;
    }
    return count;
}

template <const audio_variant& v, bool fast>
void run_aligner(context& ctx, audio_aligner& a, const uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    if (a.started) {
        write_audio(ctx, bytes, count);
        return;
    }
    if (new_pts == 1) add_mark(a, pts);
    const uint32_t taken = align<v, fast>(ctx, a, bytes, count);
    if (taken < count) write_audio(ctx, bytes + taken, count - taken);
}

}  // namespace

void handle_ac3_audio(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    run_aligner<ac3_variant, true>(ctx, ctx.ac3_aligner, bytes, count, pts, new_pts);
}

void handle_mpeg_audio(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    run_aligner<mpeg_variant, true>(ctx, ctx.mpeg_aligner, bytes, count, pts, new_pts);
}

void handle_ac3_audio_per_byte(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    run_aligner<ac3_variant, false>(ctx, ctx.ac3_aligner, bytes, count, pts, new_pts);
}

void handle_mpeg_audio_per_byte(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    run_aligner<mpeg_variant, false>(ctx, ctx.mpeg_aligner, bytes, count, pts, new_pts);
}
