// The records that the subsystems share, below every one of them: the options, the time
// stamps every stream aligns to, an output file with its byte count. Nothing here knows
// the subsystems, so that each of their headers can include it.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint16_t no_pid = 0xFFFF;           // a 13-bit PID never matches this
constexpr uint64_t pts_unknown = ~uint64_t{0}; // first_video_pts before video output starts
constexpr uint32_t pid_count = 8192;

// a - b for two 33-bit time stamps, as a signed number modulo 2^33: the shorter way round,
// so that a stream whose time stamps wrap between two of them still compares right.
inline int64_t pts_diff(uint64_t a, uint64_t b) {
    const uint64_t d = (a - b) & ((uint64_t{1} << 33) - 1);
    return d >= (uint64_t{1} << 32) ? int64_t(d) - (int64_t{1} << 33) : int64_t(d);
}

// Option flags from the command line, each 0 or 1.
struct run_options {
    uint32_t parse_only = 0;         // p
    uint32_t dump_audio_pts = 0;     // a
    uint32_t dump_video_pts = 0;     // v
    uint32_t gop_timecode_mode = 0;  // t
    uint32_t dump_all_pids = 0;      // d
    uint32_t suppress_rate = 0;      // s
    uint32_t pes_output = 0;         // z
    uint32_t dump_psip = 0;          // g
    uint32_t hdmv_input = 0;         // h
    uint32_t dump_ats_delta = 0;     // e
    uint32_t dump_pcr = 0;           // r
    uint32_t lpcm_two_channels = 0;  // 2
    uint32_t list_programs = 0;      // l
    uint32_t name_outputs = 0;       // n
    uint32_t json_report = 0;        // j
};

// Time stamps in 90 kHz ticks that the streams share: the video's first picture, which
// every audio stream aligns to, and the video's estimated bit rate for the rate display.
struct shared_timing {
    uint64_t first_video_pts = pts_unknown;
    uint32_t video_rate = 0;  // bits per second from the estimator, 0 = none yet
    // The video's latest jump in time stamps that no loss explains (a splice, an edit), so
    // that audio making the same jump takes it as a new time base, not as a gap.
    uint32_t video_jumped = 0;
    int64_t video_jump = 0;      // ticks, one picture's step included
    uint64_t video_jump_to = 0;  // the time stamp after it
    uint32_t video_step = 0;     // the usual step between pictures with time stamps
    // The latest jump of the PCR at a discontinuity_indicator: a new time base that audio
    // making the same jump takes as such, where the video does not tell (no video, or
    // none yet).
    uint32_t pcr_jumped = 0;
    int64_t pcr_jump = 0;      // ticks
    uint64_t pcr_jump_to = 0;  // the PCR base after it
};

// One output file and the bytes handed to it so far (a move back over bytes already
// written does not subtract them), so that a writer can tell whether someone else wrote
// in between without asking the file. `file` is null with parse_only.
//
// A file whose name depends on what the stream turns out to hold (MPEG audio Layer II or
// III, the channels of LPCM) is opened at its first write, by `open_late` with `owner`.
struct stream_output {
    FILE* file = nullptr;
    uint64_t written = 0;
    void (*open_late)(void* owner) = nullptr;
    void* owner = nullptr;
    uint32_t failed = 0;  // the file could not be opened, or a write failed
    char* buffer = nullptr;  // the file's stdio buffer, owned by the driver
};

void sink_open_late(stream_output& out);

// Every write to an output file goes through here: writes `n` bytes (none to a null file)
// and counts them.
inline void sink_write(stream_output& out, const void* data, size_t n) {
    if (n == 0) return;
    if (out.file == nullptr) {
        if (out.open_late == nullptr) return;
        sink_open_late(out);
        if (out.file == nullptr) return;
    }
    fwrite(data, 1, n, out.file);
    out.written += n;
}
