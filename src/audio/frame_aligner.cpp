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
// before the video are dropped, the rest are written (frame_output.cpp), and from then on
// each frame goes out once the next sync word has closed it.
//
// Damage: when a frame's length passes without the next sync word, the frame is dropped
// and the search goes back to its bytes, from the byte after its sync word, as for a
// dropped candidate; a header that is no valid one does the same. The frames found again
// are timed by the next PES time stamp that one of them takes: until then they are held
// (and before the start the output waits), so that the gap is known and filled where it
// was. A continuity error on the stream's PID makes the time stamps before it useless for
// the frames after it.
//
// A frame's length is read from its own header, so that 44.1 kHz streams, whose frames
// are padded by a word (AC-3) or a byte (MPEG audio) now and then, keep their frame
// boundaries; a frame of any length up to 64 KiB is held whole. A candidate must be a frame that may begin the output (not an E-AC-3
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

#include "audio/frame_output.h"
#include "audio/frame_steps.h"
#include "core/stream.h"

namespace {

using namespace audio_steps;

// Frames counted on from before a damaged stretch: beyond this many without a time stamp
// the count is taken as it is.
constexpr uint32_t unsure_limit = 100;

// --- collecting confirmed frames ---

// A sync word that ends a whole frame starts the next one (its first sync byte at `lead`)
// in the next slot; the closed frame joins those held, which go out once their time is
// known after the start.
template <const audio_variant& v>
void next_frame(stream_call& sc, audio_aligner& a, uint64_t lead) {
    audio_frame_ring& ring = *a.ring;
    const uint32_t closed = a.slot_index;
    finish_frame<v>(sc, a, ring.data[closed], a.slot_fill);
    if (a.found_again) ring.may_begin[closed] = 1;
    a.found_again = 0;
    const bool marked = take_mark(a, lead);
    if (marked) {
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
    ring.length[closed] = a.slot_fill;
    if (a.unsure && marked) {
        settle_times(a, closed, a.unsure);
        a.unsure = 0;
    } else if (a.unsure && ++a.unsure > unsure_limit) {
        a.unsure = 0;
    }
    if (a.held < audio_ring_slots - 1) ++a.held;
    a.slot_fill = 0;
    a.slot_index = (closed + 1) % audio_ring_slots;
    const uint32_t k = a.slot_index;
    ring.pts[k] = a.frame_pts;
    // Until its header is read the new frame counts as the last did.
    ring.threshold[k] = ring.threshold[closed];
    ring.samples[k] = ring.samples[closed];
    ring.rate[k] = ring.rate[closed];
    ring.may_begin[k] = a.mixed ? 0 : 1;
    a.header_read = 0;
    if (!a.started || a.unsure) return;
    release_held(sc, v, a);
    // Once the output runs and nothing waits for a time stamp, each frame goes out as it
    // closes: the next one then takes turns with it in slots 0 and 1 (the one written
    // stays whole, for a repeat), so that a stream touches two slots of its ring, not all.
    const uint32_t turn = closed == 0 ? 1 : 0;
    if (a.held != 0 || turn == k) return;
    ring.pts[turn] = ring.pts[k];
    ring.threshold[turn] = ring.threshold[k];
    ring.samples[turn] = ring.samples[k];
    ring.rate[turn] = ring.rate[k];
    ring.may_begin[turn] = ring.may_begin[k];
    a.slot_index = turn;
}

// Stores n bytes at the slot's fill position; once the header of the slot's frame is in,
// its length is taken. Returns true when the header was read.
template <const audio_variant& v>
bool collect_run(stream_call& sc, audio_aligner& a, const uint8_t* data, uint32_t n) {
    uint8_t* slot = a.ring->data[a.slot_index];
    const uint32_t before = a.slot_fill;
    memcpy(slot + before, data, n);
    a.slot_fill = before + n;
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

// Collects a run of a confirmed stream, one slot per frame: the byte after a frame's
// length must complete the next sync word, else the frame is damaged (`lost` is set and
// the bytes from that one on are not taken). Inside a frame nothing is looked for, so a
// frame is taken in at most three runs. Returns the bytes taken; with option z fewer than
// n also when the output started, at the first byte not taken.
template <const audio_variant& v, bool fast>
uint32_t collect(stream_call& sc, audio_aligner& a, const uint8_t* bytes, uint32_t n) {
    bool ready = !a.started && start_ready(sc, a);
    uint32_t i = 0;
    while (i < n) {
        if (ready) {
            ready = false;
            start_output(sc, v, a);
            if (a.passing) return i;
        }
        if (a.bad_header) {
            a.lost = 1;
            return i;
        }
        if (a.header_read && a.slot_fill == a.frame_size) {
            const uint8_t b = bytes[i];
            if (!is_sync_word(v, a.sync_window << 8 | b) || !frame_intact(v, a, fast)) {
                a.lost = 1;
                return i;
            }
            a.sync_window = a.sync_window << 8 | b;
            next_frame<v>(sc, a, a.position + 1 - v.sync_bytes);
            if (!a.started && start_ready(sc, a)) {
                start_output(sc, v, a);
                if (a.passing) return i;
            }
            a.ring->data[a.slot_index][0] = b;
            a.slot_fill = 1;
            ++a.position;
            ++i;
            continue;
        }
        // Up to the header's end, then up to the frame's.
        const uint32_t end = a.header_read ? a.frame_size : v.header_bytes + 1;
        uint32_t k = end - a.slot_fill;
        if (!fast || k > n - i) k = fast ? n - i : 1;
        if (collect_run<v>(sc, a, bytes + i, k) && !a.started) ready = start_ready(sc, a);
        pass(a, bytes + i, k);
        i += k;
    }
    return n;
}

// --- finding frames ---

// The candidate's bytes after its sync word's first bytes sit in `hunt`, from the sync
// word's last byte on. A dropped candidate passes on to the earliest sync word among them,
// whose bytes are moved to the front; with none, hunting goes on with the next byte.
template <const audio_variant& v>
void drop_candidate(stream_call&, audio_aligner& a) {
    uint8_t* hunt = a.ring->hunt;
    a.frame_size = 0;
    for (uint32_t j = 0; j + v.sync_bytes <= a.slot_fill; ++j) {
        if (!sync_at<v>(hunt + j)) continue;
        const uint32_t skip = j + v.sync_bytes - 1;
        a.slot_fill -= skip;
        memmove(hunt, hunt + skip, a.slot_fill);
        a.candidate_start += skip;
        return;
    }
    a.synced = 0;
    a.slot_fill = 0;
}

// The current frame is damaged and dropped; the frames held for a time stamp keep the
// times counted so far.
template <const audio_variant& v>
void damaged(stream_call& sc, audio_aligner& a) {
    sc.stream.repairs.damaged_frames += 1;
    if (a.unsure) {
        a.unsure = 0;
        if (a.started) release_held(sc, v, a);
    }
    a.lost = 1;
    a.bad_header = 0;
    a.header_read = 0;
}

// The frames found again after damage are held from the slot after the one that a gap
// repeats, so that none overwrites it (after the start nothing else is held then).
void make_room(audio_aligner& a) {
    if (a.started && a.held == 0 && a.have_filler) a.slot_index = (a.filler_slot + 1) % audio_ring_slots;
}

// The current frame is damaged: it is dropped, and its bytes, then the `count` at `rest`
// not yet taken (which may lie in `hunt` themselves), are searched again as a dropped
// candidate's.
template <const audio_variant& v>
void lose(stream_call& sc, audio_aligner& a, const uint8_t* rest, uint32_t count) {
    audio_frame_ring& ring = *a.ring;
    damaged<v>(sc, a);
    const uint32_t fill = a.slot_fill;
    if (count) memmove(ring.hunt + fill, rest, count);  // rest may be null when count is 0
    memcpy(ring.hunt, ring.data[a.slot_index], fill);
    a.slot_fill = fill + count;
    a.position += count;
    for (uint32_t k = count > 0 && a.slot_fill > 4 ? a.slot_fill - 4 : a.slot_fill; count > 0 && k < a.slot_fill; ++k)
        a.sync_window = a.sync_window << 8 | ring.hunt[k];
    a.synced = 1;
    a.candidate_start = a.position - a.slot_fill - (v.sync_bytes - 1);
    drop_candidate<v>(sc, a);
    make_room(a);
}

// The frame in the current slot is whole, its CRC (if it has one) intact, and only its
// successor's sync word is missing: it joins the frames held, as a stream's last frame
// does at its end, and the frames held go out as at damage.
template <const audio_variant& v>
void close_whole(stream_call& sc, audio_aligner& a) {
    audio_frame_ring& ring = *a.ring;
    const uint32_t k = a.slot_index;
    finish_frame<v>(sc, a, ring.data[k], a.slot_fill);
    if (a.found_again) ring.may_begin[k] = 1;
    a.found_again = 0;
    ring.length[k] = a.slot_fill + v.sync_bytes - 1;
    if (a.held < audio_ring_slots - 1) ++a.held;
    a.slot_index = (k + 1) % audio_ring_slots;
    a.unsure = 0;
    if (a.started) release_held(sc, v, a);
    a.lost = 1;
    a.header_read = 0;
}

// Packets of the stream were lost: the frame or candidate begun before the loss spans it,
// and so does any frame that starts among its bytes, so they are dropped unsearched; no
// sync word is made of bytes from both sides. A frame that the loss left whole (PES
// packets that hold whole frames lose none at their start) is kept.
// The current frame is whole, only its successor's sync word missing, its CRC (if it has
// one) intact.
template <const audio_variant& v>
bool whole(audio_aligner& a) {
    return a.confirmed && !a.lost && a.header_read && !a.bad_header && a.slot_fill + v.sync_bytes - 1 == a.frame_size &&
           frame_intact(v, a, true);
}

template <const audio_variant& v>
void cut(stream_call& sc, audio_aligner& a) {
    a.sync_window = 0;
    if (whole<v>(a))
        close_whole<v>(sc, a);
    else if (a.confirmed && !a.lost)
        damaged<v>(sc, a);
    a.synced = 0;
    a.slot_fill = 0;
    a.frame_size = 0;
    make_room(a);
}

// Settles the candidate as far as its bytes allow. Returns true when it is confirmed.
template <const audio_variant& v>
bool settle(stream_call& sc, audio_aligner& a) {
    const uint8_t* hunt = a.ring->hunt;
    while (a.synced) {
        if (a.frame_size == 0) {
            if (a.slot_fill <= v.header_bytes) return false;
            const frame_info f = read_frame_header(v, a, hunt, a.slot_fill);
            // Only a frame that may begin the output starts a stream (LATM tells at its end).
            if (!usable<v>(f) || (!f.may_begin && v.syntax != audio_syntax::latm)) {
                drop_candidate<v>(sc, a);
                continue;
            }
            take_header<v>(sc, a, f);
        }
        const uint32_t size = a.frame_size;
        if (a.slot_fill <= size + v.confirm_extra) return false;
        // Hunt byte k is frame byte k + sync_bytes - 1: the next frame's sync word ends at
        // k = size.
        if (sync_at<v>(hunt + size + 1 - v.sync_bytes) && same_stream(v, hunt, hunt + size)) {
            if (v.syntax != audio_syntax::latm) return true;
            finish_frame<v>(sc, a, hunt, size);
            // Found again after damage, a frame needs no configuration of its own.
            if (a.frame_may_begin || a.reported) return true;
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

// Settles the candidate in `hunt`; a confirmed one goes to the current slot, and the
// bytes after it (one at least, the last byte of the next sync word) go through the
// collection like any that follow. Damage among them is searched again. Returns true when
// the output started with option z: the caller writes the rest of its bytes.
template <const audio_variant& v, bool fast>
bool resolve(stream_call& sc, audio_aligner& a) {
    audio_frame_ring& ring = *a.ring;
    while (settle<v>(sc, a)) {
        a.found_again = a.reported && !a.frame_may_begin;
        if (!a.reported) print_header_report(sc, v, a);
        a.reported = 1;
        a.confirmed = 1;
        // A frame found without a time stamp of its own is timed by the next one taken.
        a.lost = 0;
        a.unsure = take_mark(a, a.candidate_start) ? 0 : 1;
        a.mark_pts = a.frame_pts;
        a.samples_since_mark = 0;
        ring.pts[a.slot_index] = a.frame_pts;
        const uint32_t size = a.frame_size;
        const uint32_t after = a.slot_fill - size;
        memcpy(ring.data[a.slot_index], ring.hunt, size);
        a.slot_fill = size;
        a.position -= after;
        a.sync_window = 0;
        for (uint32_t k = size + 1 - v.sync_bytes; k < size; ++k) a.sync_window = a.sync_window << 8 | ring.hunt[k];
        const uint8_t* rest = ring.hunt + size;
        const uint32_t taken = collect<v, fast>(sc, a, rest, after);
        if (a.passing) {
            write_audio(sc, rest + taken, after - taken);
            return true;
        }
        if (!a.lost) return false;
        lose<v>(sc, a, rest + taken, after - taken);
    }
    return false;
}

// The byte loop. Returns the bytes taken: fewer than count when the output started with
// option z, at the first byte not taken.
template <const audio_variant& v, bool fast>
uint32_t align(stream_call& sc, audio_aligner& a, const uint8_t* bytes, uint32_t count) {
    uint32_t i = 0;
    while (i < count) {
        if (a.confirmed && !a.lost) {
            i += collect<v, fast>(sc, a, bytes + i, count - i);
            if (a.passing) return i;
            if (a.lost) {
                lose<v>(sc, a, nullptr, 0);
                if (resolve<v, fast>(sc, a)) return i;
            }
            continue;
        }
        if (a.synced) {
            // Candidate: its bytes go into `hunt` up to the next point where it can be
            // settled (its header, then the bytes of the next frame's header compared).
            const uint32_t need = candidate_needs<v>(a);
            const uint32_t k = fast ? (need < count - i ? need : count - i) : 1;
            memcpy(a.ring->hunt + a.slot_fill, bytes + i, k);
            a.slot_fill += k;
            pass(a, bytes + i, k);
            i += k;
            if (k == need && resolve<v, fast>(sc, a)) return i;
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
        a.sync_window = (a.sync_window << 8) | b;
        if (is_sync_word(v, a.sync_window)) {
            a.synced = 1;
            a.frame_size = 0;
            a.candidate_start = a.position + 1 - v.sync_bytes;
            a.ring->hunt[0] = b;
            a.slot_fill = 1;
        }
        ++a.position;
        ++i;
    }
    return count;
}

template <const audio_variant& v, bool fast>
void run_aligner(stream_call& sc, audio_aligner& a, const uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts) {
    if (a.passing) {
        write_audio(sc, bytes, count);
        return;
    }
    // Packets were lost before these bytes: no time stamp before them belongs to a frame
    // after them, and the frame begun before them is damaged.
    if (sc.stream.pes.data_lost) {
        a.marks.count = 0;
        sc.stream.pes.data_lost = 0;
        a.lost_before |= !a.started;
        cut<v>(sc, a);
    }
    // A PES packet ended here by its length and the next goes on without a header (lost
    // unseen, or junk a muxer pads with): a frame it left whole is kept, whatever follows.
    if (sc.stream.pes.headerless) {
        sc.stream.pes.headerless = 0;
        if (whole<v>(a)) cut<v>(sc, a);
    }
    if (new_pts == 1) add_mark(a, pts);
    const uint32_t taken = align<v, fast>(sc, a, bytes, count);
    if (taken < count) write_audio(sc, bytes + taken, count - taken);
}

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

void audio_aligner_finish(stream_call& sc) {
    audio_aligner& a = state_of<audio_aligner>(sc.stream);
    if (!a.ring) return;
    const audio_variant& v = variant_of(a.syntax);
    // Frames found after damage that no time stamp followed: timed as counted.
    a.unsure = 0;
    if (!a.started && start_ready(sc, a)) start_output(sc, v, a);
    finish_output(sc, v, a);
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
