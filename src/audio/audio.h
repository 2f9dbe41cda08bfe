// Audio elementary streams: the audio frame aligner (AC-3, E-AC-3, MPEG audio, AAC in ADTS
// and LATM, DTS) and the HDMV LPCM handler.
#pragma once

#include <cstdint>

struct stream_call;

// The frame syntaxes the aligner knows (see frame_headers.h).
enum class audio_syntax : uint8_t { ac3, mpeg, adts, latm, dts };

constexpr uint32_t audio_ring_slots = 128;
// A slot holds an AC-3 or MPEG audio frame and a few bytes of damage up to 3847 bytes, as
// it always has; a bigger frame (E-AC-3, AAC, DTS, up to 16384 bytes) fills the slot as far
// as its own length and a few bytes more.
constexpr uint32_t audio_slot_limit = 3847;
constexpr uint32_t audio_slot_size = 16392;

// Frames held back before the output starts. A slot holds one frame shifted by its sync
// word less one byte: from the last byte of its sync word through the bytes of the next
// sync word before its last. One ring serves the aligner of the chosen stream.
struct audio_frame_ring {
    uint8_t data[audio_ring_slots][audio_slot_size];
    uint32_t length[audio_ring_slots];
    uint64_t pts[audio_ring_slots];
    uint32_t threshold[audio_ring_slots];  // ticks before the video at which the frame is dropped
    uint8_t may_begin[audio_ring_slots];   // else the frame goes along with the one before it
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
    audio_syntax syntax = audio_syntax::ac3;
    audio_frame_ring* ring = nullptr;  // from audio_aligner_setup
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
    uint32_t acmod = 0, bsid = 0, bsmod = 0, lfeon = 0;                           // AC-3, E-AC-3
    uint32_t mode = 0, mode_extension = 0, copyright = 0, original = 0, emphasis = 0;  // MPEG
    uint32_t version = 0, layer = 0;                                              // MPEG
    uint32_t profile = 0, channels = 0;  // AAC object type and channel configuration; DTS AMODE
    // LATM: the duration that the last StreamMuxConfig gives its frames.
    uint32_t latm_samples = 0, latm_rate = 0;
    // The frame in the current slot, from its own header (a bad header keeps the last).
    uint32_t frame_samples = 0, frame_rate = 0, frame_fixed = 0;
    uint32_t frame_may_begin = 1;
    uint32_t header_read = 0;  // the current slot's header has been read
    uint32_t mixed = 0;        // a frame that may not begin the output has been seen
    // The time stamp last taken and the samples of the frames since, for the frames timed
    // in samples.
    uint64_t mark_pts = 0;
    uint64_t samples_since_mark = 0;
    uint64_t frame_pts = 0;
    uint64_t position = 0;         // stream offset of the next byte the machine looks at
    uint64_t candidate_start = 0;  // stream offset of the candidate's first sync byte
    audio_pts_marks marks;
    uint32_t slot_index = 0;
    uint32_t slot_fill = 0;
};

// One payload run of the stream, with the time stamp of its PES packet in its PES parser:
// aligned by the machine of the stream's frame syntax.
void handle_aligned_audio(stream_call& sc, uint8_t* bytes, uint32_t count);

// The same machine taking every byte singly, without the skip to the next possible sync
// word. Gives identical results; kept to prove that.
void handle_aligned_audio_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count);

// A fresh aligner for `syntax` with its ring; false when there is no memory for the ring.
bool audio_aligner_setup(audio_aligner& a, audio_syntax syntax);
void audio_aligner_release(audio_aligner& a) noexcept;

struct lpcm_state {
    uint32_t channel_cursor = 0;
    uint32_t header_reported = 0;
    uint32_t carry_length = 0;
    uint8_t carry_bytes[4] = {};
    uint8_t zero_sample[4] = {};
};

// One payload run, with the LPCM header of its PES packet in the stream's PES parser.
void handle_lpcm_audio(stream_call& sc, uint8_t* bytes, uint32_t count);
