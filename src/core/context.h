// The run-wide context: the records that the subsystems share, the chosen streams, and the
// state of the layers above the streams (transport, program tables, PSIP). main() owns the
// single instance; tests build a fresh one per case. Nothing is allocated per byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/records.h"
#include "core/stream.h"
#include "pes/pes.h"
#include "psi/psi.h"
#include "psip/psip.h"
#include "ts/ts.h"

constexpr uint32_t max_streams = 16;       // one video stream and up to 15 audio streams
constexpr uint32_t max_audio_requests = 15;
constexpr uint8_t no_stream = 0xFF;

// What the user asked for and what the PAT/PMT resolved it to.
struct stream_selection {
    int32_t program_number = 1;
    int32_t video_index = 1;
    // The audio numbers asked for, in the order given (a single number, a comma list), or
    // every audio stream of the program (`all`). `audio_index` is the first number, 0 for
    // none; with `all` it is 1.
    int32_t audio_index = 1;
    uint32_t audio_request_count = 1;
    int32_t audio_requests[max_audio_requests] = {1};
    uint8_t audio_all = 0;
    uint16_t pmt_pid = no_pid;
    uint16_t pcr_pid = no_pid;
};

struct pid_table {
    uint32_t packet_count[pid_count] = {};
    uint32_t first_packet[pid_count] = {};  // packet_number of the first packet, 0 = none
    uint32_t last_packet[pid_count] = {};
    uint32_t continuity_errors[pid_count] = {};
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

struct run_statistics {
    uint32_t packet_number = 0;  // counted from 1 when a packet's PID has been read
};

struct context {
    FILE* report = stdout;  // every diagnostic line goes here
    const char* input_path = "";
    // Whether the report goes to a terminal, decided once at start: the live rate display
    // is then flushed now and then, since its lines end in a carriage return only.
    uint32_t report_is_terminal = 0;

    run_options options;
    stream_selection selection;
    pid_table pids;
    psip_routing psip_routes;
    shared_timing timing;
    run_statistics stats;

    // The chosen streams: the video stream (if one was asked for) and the audio streams, in
    // the order the PMT resolved them, and which of them each PID carries.
    chosen_stream streams[max_streams];
    uint32_t stream_count = 0;
    uint8_t stream_of_pid[pid_count];

    // Where a chosen stream's output and report lines go, decided when the PMT first
    // resolves it: by the driver through `attach_stream` (file names, several audio
    // streams), else the video stream writes to `video_file` and the first audio stream to
    // `audio_file`, and both report to `report`. Returns false when a file cannot be opened.
    bool (*attach_stream)(context& ctx, chosen_stream& s) = nullptr;
    FILE* video_file = nullptr;
    FILE* audio_file = nullptr;
    char* file_buffers[2] = {};  // their stdio buffers, owned by the driver
    uint32_t output_failed = 0;  // an output file could not be opened

    // Private state of each subsystem.
    ts_state ts;
    pat_parser pat;
    pmt_parser pmt;
    psip_state psip;
    // The program listing (allocated by the driver): with option l the whole run, beside a
    // JSON report its programs; null in every other run.
    program_listing* listing = nullptr;

    context() {
        for (auto& k : stream_of_pid) k = no_stream;
    }
    ~context() {
        for (chosen_stream& s : streams) stream_handler_release(s);
        std::free(ts.early.slots);
    }
    context(const context&) = delete;
    context& operator=(const context&) = delete;
};
