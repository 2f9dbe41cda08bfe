// The two variants of the audio frame aligner: AC-3 (A/52) and MPEG-1 Layer II audio.
// They share one machine and differ in their sync word, header layout, frame length and
// timing; this is what the machine needs to know about each.
#pragma once

#include <cstdint>

#include "audio/audio.h"

struct context;

enum class audio_kind : uint8_t { ac3, mpeg };

struct audio_variant {
    audio_kind kind;
    // The sync test on the low 16 bits of the byte window.
    uint32_t sync_mask;
    uint32_t sync_value;
    // Header bytes parsed after the sync word. The frame countdown is armed with the frame
    // length at the last of them, so a sync word exactly one frame later finds it at this
    // same value: it is also the confirming countdown.
    uint32_t header_bytes;
    uint32_t duration_scaled;  // frame duration in 90 kHz ticks times the sample rate
    uint64_t threshold;        // a frame starting this many ticks before the video is dropped
    uint8_t lead_byte;         // first sync byte, written ahead of the first slot
};

inline constexpr audio_variant ac3_variant = {audio_kind::ac3, 0xFFFF, 0x0B77, 5, 138240000, 2800, 0x0B};
// 0xFF then 0xFC or 0xFD: MPEG-1 (ID 1), Layer II, either protection_bit.
inline constexpr audio_variant mpeg_variant = {audio_kind::mpeg, 0xFFFE, 0xFFFC, 2, 103680000, 2160, 0xFF};

// Parses header byte b; k counts down to 1 at the last header byte. Sets header_size to
// the length of this frame (0 when the header names a reserved rate). Once the stream is
// confirmed only the length and the rates are taken.
void parse_header_byte(const audio_variant& v, audio_aligner& a, uint8_t b, uint32_t k);

// The header report printed once at confirmation.
void print_header_report(context& ctx, const audio_variant& v, const audio_aligner& a);
