// The audio frame aligner: one machine over the frame syntaxes of frame_headers.h (AC-3 and
// E-AC-3, MPEG audio, AAC in ADTS and LATM, DTS).
//
// A sync word is only a candidate frame start: 0B 77 and FF Fx also occur inside frame
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
// boundaries. A candidate must be a frame that may begin the output (not an E-AC-3
// dependent frame, a DTS extension substream or a LATM frame without its StreamMuxConfig);
// once confirmed, such frames go along with the frame before them: they add no duration
// and are written or dropped with it.
//
// Time stamps: a PES time stamp belongs to the first frame that starts in its PES packet,
// that is, whose first sync byte comes at or after the PES header. It is kept as a mark at
// that stream offset and given to a frame only when the frame's start is certain (at the
// confirmation, or at a sync word that ends a whole frame), never to a sync word inside a
// frame. A frame without a mark of its own follows its predecessor by one frame duration:
// AC-3 and MPEG-1 Layer II by the duration in whole ticks, the others counted in samples
// so that 44.1 kHz does not drift. Time stamps compare modulo 2^33, so that a stream whose
// time stamps wrap between the video and the audio still lines up.
#include <cstdlib>
#include <cstring>

#include "audio/frame_headers.h"
#include "core/stream.h"

namespace {

void write_audio(stream_call& sc, const uint8_t* data, size_t n) {
    if (!sc.stream.parse_only) sink_write(sc.stream.out, data, n);
}

// A sync word in the sync_bytes bytes at p.
template <const audio_variant& v>
bool sync_at(const uint8_t* p) {
    uint32_t w = 0;
    for (uint32_t k = 0; k < v.sync_bytes; ++k) w = w << 8 | p[k];
    return is_sync_word(v, w);
}

// The next byte may complete a sync word: one of the sync word's first bytes is among
// the last bytes seen.
template <const audio_variant& v>
bool may_complete(uint32_t window) {
    for (uint32_t k = 0; k + 1 < v.sync_bytes; ++k) {
        const uint8_t b = uint8_t(window >> (8 * k));
        if (b == v.lead[0] || b == v.lead_alt) return true;
    }
    return false;
}

// Bytes a slot keeps of the frame in it: 3847, or a bigger frame's length and a little.
uint32_t slot_limit(const audio_aligner& a) {
    if (a.frame_size <= audio_slot_limit - 7) return audio_slot_limit;
    return a.frame_size + 7 < audio_slot_size ? a.frame_size + 7 : audio_slot_size - 1;
}

// Ticks before the video at which a frame is dropped: the fixed threshold, or the frame's
// own duration, rounded up, so that the frame containing the video's first PTS is kept.
template <const audio_variant& v>
uint32_t threshold_of(const frame_info& f) {
    if (f.fixed) return v.fixed_threshold;
    return f.rate ? uint32_t((uint64_t(f.samples) * 90000 + f.rate - 1) / f.rate) : 0;
}

// What the header of the frame in the current slot says.
template <const audio_variant& v>
void take_header(stream_call&, audio_aligner& a, const frame_info& f) {
    audio_frame_ring& ring = *a.ring;
    a.header_read = 1;
    if (f.size == 0) return;
    a.frame_size = f.size;
    a.frame_samples = f.samples;
    a.frame_rate = f.rate;
    a.frame_fixed = f.fixed;
    a.frame_may_begin = f.may_begin;
    if (!f.may_begin) a.mixed = 1;
    ring.may_begin[a.slot_index] = f.may_begin;
    ring.threshold[a.slot_index] = threshold_of<v>(f);
}

// LATM frames tell whether they may begin the output, and their duration, only by their
// StreamMuxConfig: read once the whole frame is in the slot.
template <const audio_variant& v>
void finish_frame(stream_call& sc, audio_aligner& a) {
    if (v.syntax != audio_syntax::latm) return;
    const frame_info f = finish_latm_frame(a, a.ring->data[a.slot_index], a.slot_fill);
    take_header<v>(sc, a, f);
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

// Whether slot k is written when the output starts, given the decision on the slot before
// it: a frame that may begin the output is kept unless it ends before the video starts;
// any other goes along with the frame before it.
bool keeps(stream_call& sc, const audio_aligner& a, uint32_t k, bool kept_before) {
    const audio_frame_ring& ring = *a.ring;
    if (!ring.may_begin[k]) return kept_before;
    return !sc.stream.wait_for_video || pts_diff(sc.timing.first_video_pts, ring.pts[k]) < ring.threshold[k];
}

// The output may start with the frames held: a frame that may begin it is among those
// kept, or the current frame may. Always so where every frame may begin.
bool can_begin(stream_call& sc, const audio_aligner& a) {
    if (!a.mixed) return true;
    if (a.header_read && a.frame_may_begin && a.frame_size != 0) return true;
    bool kept = false;
    for (uint32_t k = 0; k < a.slot_index; ++k) {
        kept = keeps(sc, a, k, kept);
        if (kept && a.ring->may_begin[k]) return true;
    }
    return false;
}

// Whether the output may start at the next collected byte. Between frame starts only the
// first video PTS can change it, and that only between calls.
bool start_ready(stream_call& sc, const audio_aligner& a) {
    if (!a.confirmed) return false;
    if (sc.stream.wait_for_video) {
        const uint64_t video = sc.timing.first_video_pts;
        if (video == pts_unknown || pts_diff(a.frame_pts, video) < 0) return false;
    }
    return can_begin(sc, a);
}

// A sync word that ends a whole frame starts the next one (its first sync byte at `lead`)
// in the next slot.
template <const audio_variant& v>
void next_frame(stream_call& sc, audio_aligner& a, uint64_t lead) {
    audio_frame_ring& ring = *a.ring;
    finish_frame<v>(sc, a);
    if (take_mark(a, lead)) {
        a.mark_pts = a.frame_pts;
        a.samples_since_mark = 0;
    } else if (a.frame_fixed) {
        if (a.sample_rate != 0) a.frame_pts += v.fixed_duration_scaled / a.sample_rate;
        a.mark_pts = a.frame_pts;
        a.samples_since_mark = 0;
    } else if (a.frame_rate != 0) {
        // The samples since the last time stamp, to the nearest tick.
        a.samples_since_mark += a.frame_samples;
        a.frame_pts = a.mark_pts + (a.samples_since_mark * 90000 + a.frame_rate / 2) / a.frame_rate;
    }
    ring.length[a.slot_index] = a.slot_fill;
    const uint32_t threshold = ring.threshold[a.slot_index];
    a.slot_fill = 0;
    a.slot_index = (a.slot_index + 1) % audio_ring_slots;
    ring.pts[a.slot_index] = a.frame_pts;
    // Until its header is read the new frame counts as the last did.
    ring.threshold[a.slot_index] = threshold;
    ring.may_begin[a.slot_index] = a.mixed ? 0 : 1;
    a.header_read = 0;
}

// Stores n bytes at the slot's fill position. A slot keeps at most 3847 bytes (the
// largest AC-3 frame is 3840), or a bigger frame's length and a little; the rest of an
// unclosed, damaged frame is not kept. Once the header of the slot's frame is in, its
// length is taken (a bad header keeps the last). Returns true when the header was read.
template <const audio_variant& v>
bool collect_run(stream_call& sc, audio_aligner& a, const uint8_t* data, uint32_t n) {
    uint8_t* slot = a.ring->data[a.slot_index];
    const uint32_t before = a.slot_fill;
    const uint32_t limit = slot_limit(a);
    const uint32_t room = before < limit ? limit - before : 0;
    const uint32_t k = n < room ? n : room;
    memcpy(slot + before, data, k);
    a.slot_fill = before + k;
    if (before <= v.header_bytes && a.slot_fill > v.header_bytes) {
        take_header<v>(sc, a, read_frame_header(v, a, slot, a.slot_fill));
        return true;
    }
    return false;
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
    return is_sync_word(v, a.sync_window);
}

// The bytes up to and including the next byte that may begin a sync word, or all of them.
template <const audio_variant& v>
uint32_t run_to_lead(const uint8_t* data, uint32_t n) {
    const auto* lead = static_cast<const uint8_t*>(memchr(data, v.lead[0], n));
    if (v.lead_alt != v.lead[0]) {
        const uint32_t upto = lead ? uint32_t(lead - data) : n;
        const auto* alt = static_cast<const uint8_t*>(memchr(data, v.lead_alt, upto));
        if (alt) lead = alt;
    }
    return lead ? uint32_t(lead - data) + 1 : n;
}

// Drops the frames that start too early and writes the rest; the caller writes the bytes
// from the one at which the output starts.
template <const audio_variant& v>
void start_output(stream_call& sc, audio_aligner& a) {
    audio_frame_ring& ring = *a.ring;
    a.started = 1;
    ring.length[a.slot_index] = a.slot_fill;
    const bool aligning = sc.stream.wait_for_video;
    const uint64_t video = sc.timing.first_video_pts;
    // After a wrap only the current lap, slots 0 to slot_index, is still whole.
    bool kept = false;
    for (uint32_t k = 0; k <= a.slot_index; ++k) {
        kept = keeps(sc, a, k, kept);
        if (!kept) continue;
        const uint64_t pts = ring.pts[k];
        if (!a.first_pts_reported) {
            a.first_pts_reported = 1;
            if (aligning)
                fprintf(sc.stream.report, "First Audio PTS = 0x%08x, %d\n", uint32_t(pts), int32_t(uint32_t(pts - video)));
            else
                fprintf(sc.stream.report, "First Audio PTS = 0x%08x\n", uint32_t(pts));
            write_audio(sc, v.lead, v.sync_bytes - 1);
        }
        write_audio(sc, ring.data[k], ring.length[k]);
    }
}

// Collects a run of a confirmed stream, one slot per frame: a sync word closes the slot
// only when the slot holds exactly the frame's length. Returns the bytes taken: fewer
// than n when the output started, at the first byte not taken.
template <const audio_variant& v, bool fast>
uint32_t collect(stream_call& sc, audio_aligner& a, const uint8_t* bytes, uint32_t n) {
    bool ready = start_ready(sc, a);
    uint32_t i = 0;
    while (i < n) {
        if (fast && !ready && !may_complete<v>(a.sync_window)) {
            uint32_t k = run_to_lead<v>(bytes + i, n - i);
            // Up to the header's end at most: reading it may make the start ready.
            if (a.slot_fill <= v.header_bytes && v.header_bytes + 1 - a.slot_fill < k) k = v.header_bytes + 1 - a.slot_fill;
            if (collect_run<v>(sc, a, bytes + i, k)) ready = start_ready(sc, a);
            pass(a, bytes + i, k);
            i += k;
            continue;
        }
        const uint8_t b = bytes[i];
        if (completes_sync<v>(a, b) && a.slot_fill == a.frame_size) {
            next_frame<v>(sc, a, a.position + 1 - v.sync_bytes);
            ready = start_ready(sc, a);
        }
        if (ready) {
            start_output<v>(sc, a);
            return i;
        }
        if (collect_run<v>(sc, a, &b, 1)) ready = start_ready(sc, a);
        ++a.position;
        ++i;
    }
    return n;
}

// --- finding the first frame ---

// The candidate's bytes after its sync word's first bytes sit in slot 0, from the sync
// word's last byte on. A dropped candidate passes on to the earliest sync word among them,
// whose bytes are moved to the front; with none, hunting goes on with the next byte.
template <const audio_variant& v>
void drop_candidate(stream_call&, audio_aligner& a) {
    uint8_t* slot = a.ring->data[0];
    a.frame_size = 0;
    for (uint32_t j = 0; j + v.sync_bytes <= a.slot_fill; ++j) {
        if (!sync_at<v>(slot + j)) continue;
        const uint32_t skip = j + v.sync_bytes - 1;
        a.slot_fill -= skip;
        memmove(slot, slot + skip, a.slot_fill);
        a.candidate_start += skip;
        return;
    }
    a.synced = 0;
    a.slot_fill = 0;
}

// Settles the candidate as far as its bytes allow. Returns true when it is confirmed.
template <const audio_variant& v>
bool settle(stream_call& sc, audio_aligner& a) {
    const uint8_t* slot = a.ring->data[0];
    while (a.synced) {
        if (a.frame_size == 0) {
            if (a.slot_fill <= v.header_bytes) return false;
            a.slot_index = 0;
            const frame_info f = read_frame_header(v, a, slot, a.slot_fill);
            // Only a frame that may begin the output starts a stream (LATM tells at its end).
            if (f.size == 0 || (!f.may_begin && v.syntax != audio_syntax::latm)) {
                drop_candidate<v>(sc, a);
                continue;
            }
            take_header<v>(sc, a, f);
        }
        const uint32_t size = a.frame_size;
        if (a.slot_fill <= size + v.confirm_extra) return false;
        // Slot byte k is frame byte k + sync_bytes - 1: the next frame's sync word ends at
        // k = size.
        if (sync_at<v>(slot + size + 1 - v.sync_bytes) && same_stream(v, slot, slot + size)) {
            if (v.syntax != audio_syntax::latm) return true;
            const uint32_t fill = a.slot_fill;
            a.slot_fill = size;
            finish_frame<v>(sc, a);
            a.slot_fill = fill;
            if (a.frame_may_begin) return true;
        }
        drop_candidate<v>(sc, a);
    }
    return false;
}

// Bytes the candidate needs before it can be settled further.
template <const audio_variant& v>
uint32_t candidate_needs(const audio_aligner& a) {
    return (a.frame_size ? a.frame_size + 1 + v.confirm_extra : v.header_bytes + 1) - a.slot_fill;
}

// The candidate is confirmed: slot 0 holds its frame, and the bytes after it (one at
// least, the last byte of the next sync word) go through the collection like any that
// follow. Returns true when the output started; those of them from the start on are
// written then.
template <const audio_variant& v, bool fast>
bool confirm(stream_call& sc, audio_aligner& a) {
    audio_frame_ring& ring = *a.ring;
    a.confirmed = 1;
    print_header_report(sc, v, a);
    take_mark(a, a.candidate_start);
    a.mark_pts = a.frame_pts;
    ring.pts[0] = a.frame_pts;
    const uint32_t size = a.frame_size;
    const uint32_t after = a.slot_fill - size;
    a.slot_fill = size;
    a.position -= after;
    a.sync_window = 0;
    for (uint32_t k = size + 1 - v.sync_bytes; k < size; ++k) a.sync_window = a.sync_window << 8 | ring.data[0][k];
    // The frames after it go to slots 1 and up; the few that fit in one candidate's
    // length can never wrap round to slot 0.
    const uint8_t* rest = ring.data[0] + size;
    const uint32_t taken = collect<v, fast>(sc, a, rest, after);
    if (taken == after) return false;
    write_audio(sc, rest + taken, after - taken);
    return true;
}

// The byte loop before the start. Returns the bytes taken: fewer than count when the
// output started, at the first byte not taken.
template <const audio_variant& v, bool fast>
uint32_t align(stream_call& sc, audio_aligner& a, const uint8_t* bytes, uint32_t count) {
    uint32_t i = 0;
    while (i < count) {
        if (a.confirmed) return i + collect<v, fast>(sc, a, bytes + i, count - i);
        if (a.synced) {
            // Candidate: its bytes go into slot 0 up to the next point where it can be
            // settled (its header, then the bytes of the next frame's header compared).
            const uint32_t need = candidate_needs<v>(a);
            const uint32_t k = fast ? (need < count - i ? need : count - i) : 1;
            memcpy(a.ring->data[0] + a.slot_fill, bytes + i, k);
            a.slot_fill += k;
            pass(a, bytes + i, k);
            i += k;
            if (k == need && settle<v>(sc, a) && confirm<v, fast>(sc, a)) return i;
            continue;
        }
        // Hunting.
        if (fast && !may_complete<v>(a.sync_window)) {
            const uint32_t k = run_to_lead<v>(bytes + i, count - i);
            pass(a, bytes + i, k);
            i += k;
            continue;
        }
        const uint8_t b = bytes[i];
        if (completes_sync<v>(a, b)) {
            a.synced = 1;
            a.frame_size = 0;
            a.candidate_start = a.position + 1 - v.sync_bytes;
            a.ring->data[0][0] = b;
            a.slot_fill = 1;
        }
        ++a.position;
        ++i;
    }
    return count;
}

template <const audio_variant& v, bool fast>
void run_aligner(stream_call& sc, audio_aligner& a, const uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    if (a.started) {
        write_audio(sc, bytes, count);
        return;
    }
    if (new_pts == 1) add_mark(a, pts);
    const uint32_t taken = align<v, fast>(sc, a, bytes, count);
    if (taken < count) write_audio(sc, bytes + taken, count - taken);
}

}  // namespace

namespace {

// The machine of the stream's frame syntax; `fast` takes runs where it can.
template <bool fast>
void run_syntax(stream_call& sc, uint8_t* bytes, uint32_t count) {
    audio_aligner& a = state_of<audio_aligner>(sc.stream);
    const uint64_t pts = sc.stream.pes.current_pts;
    const uint8_t new_pts = sc.stream.pes.pts_arrived;
    switch (a.syntax) {
    case audio_syntax::ac3: run_aligner<ac3_variant, fast>(sc, a, bytes, count, pts, new_pts); break;
    case audio_syntax::mpeg: run_aligner<mpeg_variant, fast>(sc, a, bytes, count, pts, new_pts); break;
    case audio_syntax::adts: run_aligner<adts_variant, fast>(sc, a, bytes, count, pts, new_pts); break;
    case audio_syntax::latm: run_aligner<latm_variant, fast>(sc, a, bytes, count, pts, new_pts); break;
    case audio_syntax::dts: run_aligner<dts_variant, fast>(sc, a, bytes, count, pts, new_pts); break;
    }
}

}  // namespace

void handle_aligned_audio(stream_call& sc, uint8_t* bytes, uint32_t count) { run_syntax<true>(sc, bytes, count); }

void handle_aligned_audio_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count) {
    run_syntax<false>(sc, bytes, count);
}

bool audio_aligner_setup(audio_aligner& a, audio_syntax syntax) {
    a = audio_aligner{};
    a.syntax = syntax;
    // From calloc, the ring comes as fresh zero pages that are touched only as frames
    // fill them: a stream uses a few of its slots.
    a.ring = static_cast<audio_frame_ring*>(std::calloc(1, sizeof(audio_frame_ring)));
    return a.ring != nullptr;
}

void audio_aligner_release(audio_aligner& a) noexcept {
    std::free(a.ring);
    a.ring = nullptr;
}
