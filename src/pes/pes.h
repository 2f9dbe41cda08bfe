// PES layer: one byte-driven parser per chosen stream (video and audio) that follows the
// PES header, assembles PTS/DTS, keeps the shared time-stamp bookkeeping and hands each
// run of elementary-stream bytes to the stream handler of the stream type.
#pragma once

#include <cstdint>

#include "psi/stream_types.h"

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

struct chosen_stream;
struct stream_call;

// A payload unit starts on the stream's PID: its payload begins a new PES header, whatever
// the declared length of the one before said. The video's is usually 0 (unbounded); an
// audio PES packet cut short by a lost transport packet ends here, and the bytes it got
// are kept.
void pes_unit_start(chosen_stream& s);

// Payload bytes of the stream's PID: offered `available` bytes, returns how many it took.
uint32_t feed_pes(stream_call& sc, uint8_t* data, uint32_t available);

// ---- The handler table: one row per handler kind. ----

using handler_entry = void (*)(stream_call& sc, uint8_t* bytes, uint32_t count);

// Makes the state record of the stream's handler (`s.handler`), fresh; false when there is
// no memory for it. Releases what the one before held.
bool stream_handler_setup(chosen_stream& s);
void stream_handler_release(chosen_stream& s) noexcept;

// The entry of a handler kind; `per_byte` the plain machine that takes every byte singly,
// where the handler has one (else the same entry). Raw streams are written unchanged.
handler_entry handler_entry_of(stream_handler h, bool per_byte = false);

// One payload run of `count` bytes at `bytes` (count may be 0), handed to the stream's
// handler, or written unchanged to its output file (unless parse_only) when the type has
// none.
void dispatch_run(stream_call& sc, uint8_t* bytes, uint32_t count);

// For audio whose handler its first bytes decide: takes the start of the run into the
// held bytes. Once they tell the handler, the handler is set and the held bytes are
// handed to it; `bytes` and `count` are then what is left of the run, and the result is
// true. False while still waiting. decide_audio_start decides with what is held (a new PES
// payload begins).
bool take_audio_start(stream_call& sc, uint8_t*& bytes, uint32_t& count);
void decide_audio_start(stream_call& sc);
