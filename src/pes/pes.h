// PES layer: one byte-driven parser per chosen stream (video and audio) that follows the
// PES header, assembles PTS/DTS, keeps the shared time-stamp bookkeeping and hands each
// run of elementary-stream bytes to the stream handler of the stream type.
#pragma once

#include <cstdint>

struct context;

// A PES header is at most 9 fixed bytes plus 255 header data bytes.
constexpr uint32_t pes_header_capacity = 265;

struct pes_parser {
    uint32_t start_register = 0;
    uint32_t length_phase = 0;
    uint32_t packet_remaining = 0;  // video: 32 bits, all ones = unbounded; audio: wraps at 16 bits
    uint32_t flags_countdown = 0;
    uint8_t pts_dts_flags = 0;
    uint8_t header_remaining = 0;
    uint32_t pts_only_countdown = 0;
    uint32_t pts_dts_countdown = 0;
    uint32_t lpcm_countdown = 0;
    uint32_t in_payload = 0;
    uint64_t pts_accumulator = 0;
    uint64_t dts_accumulator = 0;
    uint64_t current_pts = 0;
    // Video: the last PES header carried a DTS beside its PTS.
    uint8_t header_had_dts = 0;
    // Audio: a PTS arrived since the last payload run was handed on.
    uint8_t pts_arrived = 0;
    uint16_t lpcm_header = 0;
    uint8_t header_buffer[pes_header_capacity] = {};
    uint32_t header_length = 0;
    uint64_t previous_timestamp = 0;
    uint64_t timestamp_count = 0;
    // Audio whose format its first payload bytes tell: those bytes, held until they do,
    // with the time stamp and the PTS flag of the run they came in.
    uint8_t start_bytes[4] = {};
    uint32_t start_count = 0;
    uint64_t start_pts = 0;
    uint8_t start_pts_arrived = 0;
};

// A payload unit starts on the video or audio PID: its payload begins a new PES header,
// whatever the declared length of the one before said. The video's is usually 0
// (unbounded); an audio PES packet cut short by a lost transport packet ends here, and
// the bytes it got are kept.
void video_pes_unit_start(context& ctx);
void audio_pes_unit_start(context& ctx);

uint32_t feed_video_pes(context& ctx, uint8_t* data, uint32_t available);
uint32_t feed_audio_pes(context& ctx, uint8_t* data, uint32_t available);

// One payload run of `count` bytes at `bytes` (count may be 0), handed to the handler of
// the instance's stream type, or written unchanged to its output file (unless parse_only)
// when the type has no handler.
void dispatch_video_run(context& ctx, uint8_t* bytes, uint32_t count);
void dispatch_audio_run(context& ctx, uint8_t* bytes, uint32_t count);

// For audio whose handler its first bytes decide: takes the start of the run into the
// held bytes. Once they tell the handler (or a new PES payload begins, `force`), the
// handler is set and the held bytes are handed to it; `bytes` and `count` are then what
// is left of the run, and the result is true. False while still waiting.
bool take_audio_start(context& ctx, uint8_t*& bytes, uint32_t& count);
void decide_audio_start(context& ctx);
