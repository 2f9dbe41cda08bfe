// PES layer: one byte-driven parser per chosen stream (video and audio) that follows the
// PES header, assembles PTS/DTS, keeps the shared time-stamp bookkeeping and hands each
// run of elementary-stream bytes to the stream handler of the stream type.
#pragma once

#include <cstdint>

#include "psi/stream_types.h"

struct context;

// A PES header is at most 9 fixed bytes plus 255 header data bytes.
constexpr uint32_t pes_header_capacity = 265;

// The first payload bytes that may tell an audio stream's frame syntax, and the PES time
// stamps among them: enough for two frames of every syntax but the largest DTS-HD ones.
constexpr uint32_t audio_start_bytes = 8192;
constexpr uint32_t audio_start_marks = 24;

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
    uint32_t unit_checked = 3;  // bytes of the start code 00 00 01 seen since a unit start
    // An audio PES packet ended by its declared length, and the bytes after it in its
    // transport packet: junk some muxers pad with, or, when the next packet goes on without
    // a unit start, the stream's own (the next header was lost).
    uint32_t ended = 0;
    uint8_t headerless = 0;  // for the handler: such a packet followed, from the next byte on
    uint32_t tail_length = 0;
    uint8_t tail[184] = {};
    uint64_t pts_accumulator = 0;
    uint64_t dts_accumulator = 0;
    uint64_t current_pts = 0;
    // Video: the last PES header carried a DTS beside its PTS.
    uint8_t header_had_dts = 0;
    // Audio: a PTS arrived since the last payload run was handed on.
    uint8_t pts_arrived = 0;
    // A continuity error on the PID since the handler (audio) or the time stamps (video)
    // last looked: bytes were lost.
    uint8_t data_lost = 0;
    uint32_t usual_step = 0;  // video: the step between time stamps when nothing is lost
    uint16_t lpcm_header = 0;
    uint8_t header_buffer[pes_header_capacity] = {};
    uint32_t header_length = 0;
    uint64_t previous_timestamp = 0;
    uint64_t timestamp_count = 0;
    // The first payload bytes of an audio stream, with the time stamps of the PES packets
    // they came in (see audio_start.cpp): held while they are to tell the format of a 0x06
    // stream that no descriptor names, or kept beside the aligner of a declared format
    // until it confirms a frame, in case they show another.
    uint8_t watch = 0;       // kept beside the aligner
    uint8_t start_seek = 0;  // held: the first bytes begin no frame, so frames are sought in them
    uint32_t start_count = 0;
    uint32_t start_marks = 0;
    uint32_t start_mark_at[audio_start_marks] = {};
    uint64_t start_mark_pts[audio_start_marks] = {};
    uint8_t start_bytes[audio_start_bytes] = {};
};

struct chosen_stream;
struct stream_call;

// A payload unit starts on the stream's PID: its payload begins a new PES header, whatever
// the declared length of the one before said. The video's is usually 0 (unbounded); an
// audio PES packet cut short by a lost transport packet ends here, and the bytes it got
// are kept.
void pes_unit_start(chosen_stream& s);

// Packets of the stream's PID were lost before this one, which begins a payload unit or
// not. Audio frames are found again by their sync words, so after a loss the aligned audio
// takes every byte up to the next unit start, a PES packet whose header was lost too.
void stream_lost_data(chosen_stream& s, bool unit_start);

// A packet without a unit start follows an audio PES packet that ended by its length,
// with no packet lost that the counter shows: packets were lost in a multiple of 16, the
// next header with them. For aligned audio the bytes after that end are the stream's.
void pes_continues_headerless(stream_call& sc);

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

// The end of the input: what the stream's handler still holds goes out.
void stream_handler_finish(stream_call& sc);

// One payload run of `count` bytes at `bytes` (count may be 0), handed to the stream's
// handler, or written unchanged to its output file (unless parse_only) when the type has
// none.
void dispatch_run(stream_call& sc, uint8_t* bytes, uint32_t count);

// Audio whose first bytes are held or watched (`undecided`, or `pes.watch`): the run goes
// through those bytes first (audio_start.cpp), which hand it on to the handler as they
// decide. decide_audio_start: a new PES payload begins while bytes are held (with option
// z the held bytes are decided then, as their PES header is written next).
// end_audio_start: the input has ended; what is held or watched is decided with what
// came.
// watch_audio_start: a stream's handler is set up anew; its first bytes are watched when
// it is audio of an aligned syntax.
void watch_audio_start(chosen_stream& s);
void audio_start_run(stream_call& sc, uint8_t* bytes, uint32_t count);
void decide_audio_start(stream_call& sc);
void end_audio_start(stream_call& sc);
