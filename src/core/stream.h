// A chosen stream: one stream of the program that the run writes or parses, with all that
// is its own. What the PMT said of it, its PES parser, its handler's state, its output and
// its timing. The PMT reader fills the first part, the PES layer its parser, the handler
// its state, output and counts; nothing else writes them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <variant>

#include "audio/audio.h"
#include "core/records.h"
#include "pes/pes.h"
#include "psi/stream_types.h"
#include "video/video.h"

// Pictures counted by the video handler, for the final report.
struct video_counts {
    uint32_t coded_pictures = 0;
    uint32_t display_count = 0;  // fields, or frames for progressive video
    uint32_t progressive_flag = 0;
};

// What the stream's handler mended or found missing, for the report's totals (and any
// report made from the records).
struct stream_repairs {
    uint32_t gaps = 0, frames_filled = 0;         // audio missing: frames put in its place
    uint32_t overlaps = 0, frames_dropped = 0;    // audio that came twice: frames left out
    uint32_t damaged_frames = 0;                  // frames dropped for their missing successor
    uint32_t time_base_jumps = 0;                 // jumps taken as a new time base
    uint32_t loss_places = 0, lost_pictures = 0;  // video pictures that time stamps say were lost
};

using handler_state =
    std::variant<std::monostate, mpeg2_state, h264_state, vc1_state, hevc_state, audio_aligner, lpcm_state>;

struct chosen_stream {
    // What the PMT said, and the number the user gave for it (counted from 1).
    stream_kind kind = stream_kind::none;
    int32_t number = 0;
    uint16_t pid = no_pid;
    uint8_t stream_type = 0;
    stream_handler handler = stream_handler::raw;
    uint8_t mpeg_audio_ids = 0;  // audio may come under the MPEG audio stream_ids C0..DF
    // Audio whose handler its first payload bytes tell (a 0x06 stream no descriptor
    // names), until they have told it. A later PMT that names the stream the same way
    // leaves the record, and so the handler told, as it is.
    uint8_t undecided = 0;
    const char* codec = "";
    char language[4] = {};

    // The options that concern its bytes.
    uint8_t parse_only = 0;
    uint8_t pes_output = 0;
    uint8_t gop_timecode_mode = 0;
    uint8_t lpcm_two_channels = 0;
    uint8_t wait_for_video = 0;  // audio: a video stream was asked for, to align to
    uint8_t dump_pts = 0;        // print the time stamps of every PES header
    uint8_t wav_output = 0;      // LPCM written as WAV: little-endian, in WAV channel order

    FILE* report = stdout;  // its own report lines
    stream_output out;
    uint32_t generation = 0;  // times its type changed (a new output name with option n)
    char out_name[320] = {};  // the output file's name, once it has one
    pes_parser pes;

    // Its timing: the largest PTS, and the last step between two (the DTS when a video PES
    // header carries one), for the ending difference.
    uint64_t first_pts = pts_unknown;  // of the first frame written (aligned audio)
    uint64_t max_pts = 0;
    uint64_t last_pts_step = 0;
    uint8_t has_pts = 0;  // max_pts holds one
    video_counts counts;
    stream_repairs repairs;

    handler_state state;
};

// What a stream handler works with: its own stream and the timing the streams share.
struct stream_call {
    chosen_stream& stream;
    shared_timing& timing;
};

// The state record of `s`'s handler; the dispatch table makes it when the stream is set up.
template <class State>
State& state_of(chosen_stream& s) {
    return *std::get_if<State>(&s.state);
}
