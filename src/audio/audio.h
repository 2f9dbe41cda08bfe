// Audio elementary streams: the audio frame aligner (AC-3, E-AC-3, MPEG audio, AAC in ADTS
// and LATM, DTS) and the HDMV LPCM handler.
#pragma once

#include <cstdint>

struct stream_call;

// The frame syntaxes the aligner knows (see frame_headers.h).
enum class audio_syntax : uint8_t { ac3, mpeg, adts, latm, dts };

constexpr uint32_t audio_ring_slots = 128;
// A slot holds one frame of any size its syntax allows up to 64 KiB (a DTS-HD extension
// substream with 16-bit sizes; AC-3 and MPEG audio frames are a few KiB at most) and the
// first bytes of the next frame's sync word. Its pages are touched only as far as frames
// fill it.
constexpr uint32_t audio_frame_max = 65536;
constexpr uint32_t audio_slot_size = audio_frame_max + 16;
constexpr uint32_t audio_silent_max = 8192;

// Frames held back: before the output starts, and after a damaged stretch until a time
// stamp says where the frames after it belong. A slot holds one frame shifted by its sync
// word less one byte: from the last byte of its sync word through the bytes of the next
// sync word before its last. The candidate frames of the search, and the bytes of a
// damaged frame searched again, are kept apart in `hunt`, so that no copy overlaps.
struct audio_frame_ring {
    uint8_t data[audio_ring_slots][audio_slot_size];
    uint32_t length[audio_ring_slots];
    uint64_t pts[audio_ring_slots];
    uint32_t threshold[audio_ring_slots];  // ticks before the video at which the frame is dropped
    uint32_t samples[audio_ring_slots];    // 0: goes along with the frame before it
    uint32_t rate[audio_ring_slots];
    uint8_t may_begin[audio_ring_slots];   // else the frame goes along with the one before it
    uint8_t hunt[audio_slot_size];
    uint8_t silent[audio_silent_max];      // a silent frame made for a gap
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
    // LATM: the duration that the last StreamMuxConfig gives its frames; DTS extension
    // substreams without a core: the one their last static fields gave.
    uint32_t latm_samples = 0, latm_rate = 0;
    uint32_t sbr = 0;              // LATM: explicit SBR (object type 5), with parametric stereo (29)
    uint32_t substreams_only = 0;  // DTS: extension substreams without a core frame
    // The frame in the current slot, from its own header (a bad header keeps the last).
    uint32_t frame_samples = 0, frame_rate = 0, frame_fixed = 0;
    uint32_t frame_may_begin = 1;
    uint32_t header_read = 0;  // the current slot's header has been read
    uint32_t mixed = 0;        // a frame that may not begin the output has been seen
    // A LATM frame found again after damage may begin the output without a configuration
    // of its own: the one seen before it holds, and the output then begins with that
    // frame repeated for the frames lost (see start_output).
    uint32_t found_again = 0;
    // The time stamp last taken and the samples of the frames since, for the frames timed
    // in samples.
    uint64_t mark_pts = 0;
    uint64_t samples_since_mark = 0;
    uint64_t frame_pts = 0;
    uint64_t position = 0;         // stream offset of the next byte the machine looks at
    uint64_t candidate_start = 0;  // stream offset of the candidate's first sync byte
    audio_pts_marks marks;
    uint32_t slot_index = 0;
    uint32_t slot_fill = 0;  // bytes of the current slot, or of `hunt` while searching

    // Damage: a frame whose next sync word is not where its length says was dropped, and
    // the search goes on from within its bytes (`lost` until a frame is confirmed again).
    uint32_t lost = 0;
    uint32_t bad_header = 0;  // the current frame's header is no valid one
    uint32_t reported = 0;    // the header report has been printed
    // Closed frames in the ring not yet written or dropped, oldest at slot_index - held.
    uint32_t held = 0;
    // Frames since a damaged stretch whose time stamps are counted on from before it, so
    // not known until a frame takes a PES time stamp (0: none). Held meanwhile.
    uint32_t unsure = 0;
    uint32_t passing = 0;  // option z: after the start every byte goes out unchanged
    uint32_t lost_before = 0;  // the stream lost bytes before the output started
    uint32_t crc_matched = 0;  // a frame's CRC has matched: from then on one that fails is damaged

    // After the start: where the written frames have brought the stream's time, counted
    // in samples from an anchor, and the frame a gap repeats.
    uint64_t out_pts = 0;
    uint64_t out_samples = 0;
    uint32_t out_rate = 0;
    uint32_t line_set = 0;
    uint32_t filler_slot = 0;
    uint32_t have_filler = 0;
    uint32_t dropping = 0;        // the last frame was dropped: the frames along with it go too
    uint32_t overlap_frames = 0;  // frames dropped in the overlap going on
    uint32_t damage_seen = 0;     // the stream's damaged frames when the last frame went out
    uint64_t overlap_pts = 0;
};

// One payload run of the stream, with the time stamp of its PES packet in its PES parser:
// aligned by the machine of the stream's frame syntax.
void handle_aligned_audio(stream_call& sc, uint8_t* bytes, uint32_t count);

// The same machine taking every byte singly, without the skip to the next possible sync
// word. Gives identical results; kept to prove that.
void handle_aligned_audio_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count);

// A fresh aligner for `syntax` with its ring; false when there is no memory for the ring.
bool audio_aligner_setup(audio_aligner& a, audio_syntax syntax);
// The end of the stream: the frames still held and the last one go out.
void audio_aligner_finish(stream_call& sc);
void audio_aligner_release(audio_aligner& a) noexcept;

struct lpcm_state {
    uint32_t channel_cursor = 0;
    uint32_t header_reported = 0;
    uint32_t carry_length = 0;
    uint8_t carry_bytes[4] = {};
    uint8_t zero_sample[4] = {};
    // WAV output: the samples of the group being filled, made WAV frames once whole.
    uint32_t group_fill = 0;
    uint8_t group[8 * 3] = {};
};

// One payload run, with the LPCM header of its PES packet in the stream's PES parser.
void handle_lpcm_audio(stream_call& sc, uint8_t* bytes, uint32_t count);
