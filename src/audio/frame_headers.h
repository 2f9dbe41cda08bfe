// The frame syntaxes of the audio frame aligner: AC-3 and E-AC-3, MPEG audio of every
// layer, AAC in ADTS and in LATM/LOAS, DTS. They share one machine and differ in their sync
// word, header layout, frame length and timing; this is what the machine needs to know
// about each.
#pragma once

#include <cstdint>

#include "audio/audio.h"

struct stream_call;

struct audio_variant {
    audio_syntax syntax;
    uint32_t sync_bytes;     // length of the sync word: 2, or 4 (DTS)
    uint8_t lead[3];         // the sync bytes before its last, of a frame that may begin the output
    uint8_t lead_alt;        // another first sync byte (the DTS extension substream), else lead[0]
    uint32_t header_bytes;   // header bytes after the sync word needed to know the frame
    uint32_t confirm_extra;  // bytes after the next frame's sync word that the confirmation compares
    // AC-3 and MPEG-1 Layer II frames: duration in 90 kHz ticks times the sample rate,
    // truncated per frame, and the threshold a frame starting that many ticks before the
    // video is dropped at. Other frames are timed in samples and kept when they contain
    // the first video PTS.
    uint32_t fixed_duration_scaled;
    uint32_t fixed_threshold;
};

inline constexpr audio_variant ac3_variant = {audio_syntax::ac3, 2, {0x0B}, 0x0B, 5, 0, 138240000, 2800};
inline constexpr audio_variant mpeg_variant = {audio_syntax::mpeg, 2, {0xFF}, 0xFF, 2, 0, 103680000, 2160};
inline constexpr audio_variant adts_variant = {audio_syntax::adts, 2, {0xFF}, 0xFF, 5, 2, 0, 0};
inline constexpr audio_variant latm_variant = {audio_syntax::latm, 2, {0x56}, 0x56, 1, 0, 0, 0};
inline constexpr audio_variant dts_variant = {audio_syntax::dts, 4, {0x7F, 0xFE, 0x80}, 0x64, 7, 0, 0, 0};

// The sync bytes before its last of the frame whose slot begins at `slot`: the variant's,
// but for a DTS extension substream that begins a stream without a core.
inline constexpr uint8_t dts_substream_lead[3] = {0x64, 0x58, 0x20};
constexpr const uint8_t* frame_lead(const audio_variant& v, const uint8_t* slot) {
    return v.syntax == audio_syntax::dts && slot[0] == 0x25 ? dts_substream_lead : v.lead;
}

// The sync test on the last four bytes seen, the newest in the low byte.
constexpr bool is_sync_word(const audio_variant& v, uint32_t w) {
    switch (v.syntax) {
    case audio_syntax::ac3: return (w & 0xFFFF) == 0x0B77;
    // 11 sync bits, then neither the reserved version (01) nor the reserved layer (00).
    case audio_syntax::mpeg: return (w & 0xFFE0) == 0xFFE0 && (w & 0x18) != 0x08 && (w & 0x06) != 0;
    case audio_syntax::adts: return (w & 0xFFF6) == 0xFFF0;  // 12 sync bits, layer 00
    case audio_syntax::latm: return (w & 0xFFE0) == 0x56E0;  // 0x2B7 in 11 bits
    case audio_syntax::dts: return w == 0x7FFE8001 || w == 0x64582025;  // core, extension substream
    }
    return false;
}

// The variant of a syntax.
const audio_variant& variant_of(audio_syntax syntax);

// What a frame header says.
struct frame_info {
    uint32_t size = 0;     // bytes; 0: not a valid header
    uint32_t samples = 0;  // 0: adds no duration (a frame that goes along with the one before)
    uint32_t rate = 0;
    bool may_begin = true;  // the output may begin with this frame
    bool fixed = false;     // AC-3 or MPEG-1 Layer II: timed as kavel always has
};

// Reads the header of the frame whose slot begins at `slot` (the last byte of its sync
// word); `avail` bytes of the slot are there. Until the stream is confirmed the fields of
// the header report follow every header read; afterwards they no longer change.
frame_info read_frame_header(const audio_variant& v, audio_aligner& a, const uint8_t* slot, uint32_t avail);

// LATM: what a whole frame says (its StreamMuxConfig, if it carries one). `size` bytes.
frame_info finish_latm_frame(audio_aligner& a, const uint8_t* slot, uint32_t size);

// The next frame's header bytes (from the last sync byte on) agree with the frame's:
// the parts of the header that may not change within a stream.
bool same_stream(const audio_variant& v, const uint8_t* frame, const uint8_t* next);

// kbit/s by bitrate_index: MPEG-1 Layer I, II, III; MPEG-2 and 2.5 Layer I, then II and III.
extern const uint16_t mpeg_kbits[5][16];

// What the check that a whole frame's syntax carries says of it (frame_check.cpp): AC-3
// and E-AC-3 end in a CRC, MPEG audio has one when its protection_bit is 0. The slot
// begins at frame byte 1; `size` counts from the first sync byte. `fast` takes the CRC
// eight bytes a step, else byte by byte (the reference it must agree with).
enum class frame_crc : uint8_t { none, matched, failed };
frame_crc check_frame(const audio_variant& v, const uint8_t* slot, uint32_t size, bool fast);

// The header report printed once at confirmation.
void print_header_report(stream_call& sc, const audio_variant& v, const audio_aligner& a);

// The first frames of some syntax in `n` bytes of a stream, as the aligner would confirm
// them: a sync word with a valid header of a frame that may begin a stream (any LATM
// frame), and the same stream's next sync word exactly one frame length later. Of the
// syntaxes whose bit (1 << syntax) is in `syntaxes`, the one confirmed soonest, that is
// with the fewest bytes (the first in audio_syntax order on a tie), so that the answer
// does not depend on how the bytes arrived. `at`: where its first frame begins.
struct found_frames {
    audio_syntax syntax = audio_syntax::ac3;
    uint32_t at = 0;
};
constexpr uint32_t every_syntax = 0x1F;
constexpr uint32_t syntax_bit(audio_syntax s) { return 1u << uint32_t(s); }
bool find_frames(const uint8_t* bytes, uint32_t n, uint32_t syntaxes, found_frames& found);

// The syntax in words, for the report.
const char* syntax_name(audio_syntax s);
