// The run-wide context: every record that the subsystems share, plus each subsystem's
// private state. main() owns the single instance; tests build a fresh one per case.
// Nothing here is ever reset during a run, and nothing is allocated per byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "audio/audio.h"
#include "pes/pes.h"
#include "psi/psi.h"
#include "psi/stream_types.h"
#include "psip/psip.h"
#include "ts/ts.h"
#include "video/video.h"

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
};

// What the user asked for and what the PAT/PMT resolved it to.
struct stream_selection {
    int32_t program_number = 1;
    int32_t video_index = 1;
    int32_t audio_index = 1;
    uint16_t pmt_pid = no_pid;
    uint16_t pcr_pid = no_pid;
    uint16_t video_pid = no_pid;
    uint16_t audio_pid = no_pid;
    uint8_t video_stream_type = 0;
    uint8_t audio_stream_type = 0;
    // What the PMT resolved the chosen streams to: the handler of their bytes, and
    // whether the audio may come under the MPEG audio stream_ids.
    stream_handler video_handler = stream_handler::raw;
    stream_handler audio_handler = stream_handler::raw;
    uint8_t audio_mpeg_ids = 0;
    // The audio's handler waits for its first payload bytes (a 0x06 stream that no
    // descriptor names); once they told it, the PID and the handler they told.
    uint8_t audio_undecided = 0;
    uint16_t audio_told_pid = no_pid;
    stream_handler audio_told_handler = stream_handler::raw;
    // The chosen streams' codecs in words.
    const char* video_codec = "";
    const char* audio_codec = "";
};

// The two output files; both null with parse_only. Beside each, the bytes handed to it
// so far (a move back over bytes already written does not subtract them), so that a
// writer can tell whether someone else wrote in between without asking the file.
struct output_sinks {
    FILE* video_out = nullptr;  // bits0001.mpv
    FILE* audio_out = nullptr;  // bits0001.mpa
    uint64_t video_written = 0;
    uint64_t audio_written = 0;
};

// Every write to an output file goes through here: writes `n` bytes (none to a null file)
// and counts them in `written`.
inline void sink_write(FILE* out, uint64_t& written, const void* data, size_t n) {
    if (out == nullptr || n == 0) return;
    fwrite(data, 1, n, out);
    written += n;
}

struct pid_table {
    uint32_t packet_count[pid_count] = {};
    uint32_t first_packet[pid_count] = {};  // packet_number of the first packet, 0 = none
    uint32_t last_packet[pid_count] = {};
    uint8_t last_cc[pid_count];             // 0xFF = no counter seen yet

    pid_table() {
        for (auto& cc : last_cc) cc = 0xFF;
    }
};

// Where PSIP sections are collected: the base PID and the PIDs the MGT announces, one slot
// per table type it records (only the base and the first seven slots take part in
// routing), the table_type each announced PID was announced with, and the collector of
// each PID that has one.
struct psip_routing {
    static constexpr uint16_t base = 0x1FFB;
    static constexpr int slot_total = 9;
    static constexpr int routed_slots = 7;
    uint16_t slot[slot_total] = {no_pid, no_pid, no_pid, no_pid, no_pid,
                                 no_pid, no_pid, no_pid, no_pid};
    uint16_t table_type[pid_count] = {};
    section_collector* collector[pid_count] = {};  // malloc'd; replaced or freed only by the MGT printer

    psip_routing() = default;
    ~psip_routing() {
        for (section_collector* c : collector) std::free(c);
    }
    psip_routing(const psip_routing&) = delete;
    psip_routing& operator=(const psip_routing&) = delete;

    // The base PID and the PIDs in the routed slots that the MGT filled. Empty slots hold
    // 0xFFFF, which no 13-bit PID equals.
    bool routes(uint16_t pid) const {
        if (pid == base) return true;
        for (int i = 0; i < routed_slots; ++i)
            if (slot[i] == pid) return true;
        return false;
    }
};

// Time stamps in 90 kHz ticks, shared by the PES layer, the handlers and the final report.
struct shared_timing {
    uint64_t first_video_pts = pts_unknown;
    uint64_t max_video_pts = 0;
    uint64_t last_video_pts_step = 0;
    uint64_t max_audio_pts = 0;
    uint64_t last_audio_pts_step = 0;
};

struct run_statistics {
    uint32_t packet_number = 0;  // counted from 1 when a packet's PID has been read
    uint32_t coded_pictures = 0;
    uint32_t display_count = 0;  // fields, or frames for progressive video
    uint32_t progressive_flag = 0;
    uint32_t video_rate = 0;     // bits per second from the estimator, 0 = none yet
};

struct context {
    FILE* report = stdout;  // every diagnostic line goes here
    // Whether the report goes to a terminal, decided once at start: the live rate display
    // is then flushed now and then, since its lines end in a carriage return only.
    uint32_t report_is_terminal = 0;

    run_options options;
    stream_selection selection;
    output_sinks sinks;
    pid_table pids;
    psip_routing psip_routes;
    shared_timing timing;
    run_statistics stats;

    // Private state of each subsystem.
    ts_state ts;
    pat_parser pat;
    pmt_parser pmt;
    psip_state psip;
    pes_parser video_pes;
    pes_parser audio_pes;
    mpeg2_state mpeg2;
    vc1_state vc1;
    h264_state h264;
    hevc_state hevc;
    audio_aligner ac3_aligner;
    audio_aligner mpeg_aligner;
    audio_aligner aac_aligner;
    audio_aligner latm_aligner;
    audio_aligner dts_aligner;
    lpcm_state lpcm;
    // Option l: the program listing (allocated by the driver); null in every other run.
    program_listing* listing = nullptr;
    // The frames the audio aligner holds back. No initializer, so that constructing a
    // context does not write over its two megabytes: every slot is written before it is
    // read, and a context that the driver makes (from zeroed pages) or that is
    // value-initialized holds zeros here anyway.
    audio_frame_ring audio_ring;
};
