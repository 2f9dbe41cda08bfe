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
    uint32_t header_bytes;     // header bytes read after the sync word
    uint32_t duration_scaled;  // frame duration in 90 kHz ticks times the sample rate
    uint64_t threshold;        // a frame starting this many ticks before the video is dropped
    uint8_t lead_byte;         // first sync byte, written ahead of the first slot
};

inline constexpr audio_variant ac3_variant = {audio_kind::ac3, 0xFFFF, 0x0B77, 5, 138240000, 2800, 0x0B};
// 0xFF then 0xFC or 0xFD: MPEG-1 (ID 1), Layer II, either protection_bit.
inline constexpr audio_variant mpeg_variant = {audio_kind::mpeg, 0xFFFE, 0xFFFC, 2, 103680000, 2160, 0xFF};

// Reads the header_bytes bytes after a sync word and returns the length of their frame,
// 0 when the header names a reserved rate. Once the stream is confirmed only the rates of
// valid headers are taken, and the fields of the header report no longer change.
uint32_t read_frame_header(const audio_variant& v, audio_aligner& a, const uint8_t* header);

// The header report printed once at confirmation.
void print_header_report(context& ctx, const audio_variant& v, const audio_aligner& a);
