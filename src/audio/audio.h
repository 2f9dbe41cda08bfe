// Audio elementary streams: the AC-3 / MPEG audio frame aligner and the HDMV LPCM handler.
#pragma once

#include <cstdint>

struct context;

constexpr uint32_t audio_ring_slots = 128;
constexpr uint32_t audio_slot_size = 3848;

// Frames held back before the output starts. A slot holds one frame shifted by one byte:
// from the second byte of its sync word through the first byte of the next sync word.
struct audio_frame_ring {
    uint8_t data[audio_ring_slots][audio_slot_size];
    uint32_t length[audio_ring_slots];
    uint64_t pts[audio_ring_slots];
};

// Time stamps of PES headers not yet given to a frame, each with the stream offset of the
// first payload byte after its header. A frame takes the latest one at or before its first
// byte. While a candidate frame is unconfirmed every mark inside it is kept, since frames
// may yet be found to start there; a stream that packs more PES headers than this into one
// frame loses the oldest.
constexpr uint32_t audio_marks = 32;

struct audio_pts_marks {
    uint32_t count = 0;
    uint64_t at[audio_marks] = {};
    uint64_t pts[audio_marks] = {};
};

struct audio_aligner {
    uint32_t sync_window = 0;
    uint32_t synced = 0;     // a candidate or, once confirmed, the current frame is being collected
    uint32_t confirmed = 0;
    uint32_t started = 0;
    uint32_t first_pts_reported = 0;
    // Length of the frame in the current slot, from its own header. For an unconfirmed
    // candidate 0 until its header has arrived.
    uint32_t frame_size = 0;
    uint32_t sample_rate = 0;
    uint32_t bit_rate = 0;
    uint32_t acmod = 0, bsid = 0, bsmod = 0;                                      // AC-3
    uint32_t mode = 0, mode_extension = 0, copyright = 0, original = 0, emphasis = 0;  // MPEG
    uint64_t frame_pts = 0;
    uint64_t position = 0;         // stream offset of the next byte the machine looks at
    uint64_t candidate_start = 0;  // stream offset of the candidate's first sync byte
    audio_pts_marks marks;
    uint32_t slot_index = 0;
    uint32_t slot_fill = 0;
    // No initializer, so that constructing a context does not write over its half
    // megabyte: every slot is written before it is read, and a context that the driver
    // makes (from zeroed pages) or that is value-initialized holds zeros here anyway.
    audio_frame_ring ring;
};

void handle_ac3_audio(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts);
void handle_mpeg_audio(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts);

// The same machines taking every byte singly, without the skip to the next possible sync
// word. Give identical results; kept to prove that.
void handle_ac3_audio_per_byte(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts);
void handle_mpeg_audio_per_byte(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts);

struct lpcm_state {
    uint32_t channel_cursor = 0;
    uint32_t header_reported = 0;
    uint32_t carry_length = 0;
    uint8_t carry_bytes[4] = {};
    uint8_t zero_sample[4] = {};
};

void handle_lpcm_audio(context& ctx, uint8_t* bytes, uint32_t count, uint64_t pts, uint8_t new_pts,
                       uint16_t lpcm_header);
