// The steps of the audio frame aligner on one frame's header and sync word, for each
// frame syntax of frame_headers.h: shared by the collection of confirmed frames and the
// search for frames (frame_aligner.cpp).
#pragma once

#include <cstdint>

#include "audio/frame_headers.h"
#include "core/stream.h"

namespace audio_steps {

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

// A header whose frame a slot can hold: longer than the header, at most 64 KiB.
template <const audio_variant& v>
bool usable(const frame_info& f) {
    return f.size > v.header_bytes && f.size <= audio_frame_max;
}

// Ticks before the video at which a frame is dropped: the fixed threshold, or the frame's
// own duration, rounded up, so that the frame containing the video's first PTS is kept.
template <const audio_variant& v>
uint32_t threshold_of(const frame_info& f) {
    if (f.fixed) return v.fixed_threshold;
    return f.rate ? uint32_t((uint64_t(f.samples) * 90000 + f.rate - 1) / f.rate) : 0;
}

// What the header of the frame in the current slot says. Once the stream is confirmed a
// header that is no valid one marks the frame as damaged.
template <const audio_variant& v>
void take_header(stream_call&, audio_aligner& a, const frame_info& f) {
    audio_frame_ring& ring = *a.ring;
    a.header_read = 1;
    if (!usable<v>(f)) {
        a.bad_header = a.confirmed && !a.lost;
        return;
    }
    a.frame_size = f.size;
    a.frame_samples = f.samples;
    a.frame_rate = f.rate;
    a.frame_fixed = f.fixed;
    a.frame_may_begin = f.may_begin;
    if (!f.may_begin) a.mixed = 1;
    ring.may_begin[a.slot_index] = f.may_begin;
    ring.threshold[a.slot_index] = threshold_of<v>(f);
    ring.samples[a.slot_index] = f.samples;
    ring.rate[a.slot_index] = f.rate;
}

// LATM frames tell whether they may begin the output, and their duration, only by their
// StreamMuxConfig: read once the whole frame (`size` bytes at `slot`) is in.
template <const audio_variant& v>
void finish_frame(stream_call& sc, audio_aligner& a, const uint8_t* slot, uint32_t size) {
    if (v.syntax != audio_syntax::latm) return;
    take_header<v>(sc, a, finish_latm_frame(a, slot, size));
}

}  // namespace audio_steps
