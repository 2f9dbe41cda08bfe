// Runs the demultiplexer (or a single handler) on a fresh context with the report and the
// two outputs captured, and feeds byte strings in chosen chunk sizes.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/context.h"
#include "ts_builder.h"

namespace kt {

// A fresh context whose report goes to memory and whose outputs go to temporary files
// (none with `outputs` false, as with parse_only).
class capture {
public:
    explicit capture(bool outputs = true);
    ~capture();
    capture(const capture&) = delete;
    capture& operator=(const capture&) = delete;

    context& ctx() { return *ctx_; }
    std::string report();  // everything reported so far
    bytes video();         // bits0001.mpv so far
    bytes audio();         // bits0001.mpa so far

private:
    std::unique_ptr<context> ctx_;
    FILE* report_ = nullptr;
    char* report_buffer_ = nullptr;
    size_t report_size_ = 0;
};

// How a byte string is cut into blocks for demux_buffer.
struct chunking {
    uint32_t size = 16384;  // fixed block size, or the largest block when random
    bool random = false;
    uint32_t seed = 1;
    bool per_byte = false;  // through demux_buffer_per_byte, the plain reference
    std::string name() const;
};

// 1, 187, 188, 189, random and 16384-byte blocks.
std::vector<chunking> standard_chunkings();

// Feeds `input` to demux_buffer in blocks cut as `how` says, then ends the input
// (demux_end) as the driver does. Each block is copied into a
// scratch buffer first, as the driver's read block would be, since handlers may change it.
void feed(context& ctx, const bytes& input, const chunking& how);

struct run_result {
    std::string report;
    bytes video;
    bytes audio;
    bool operator==(const run_result&) const = default;
};

using setup_fn = std::function<void(context&)>;

// A whole run: fresh context, `setup` (options and requested numbers), demux_init, the
// input in blocks, and, with `final_report`, the driver's final report.
run_result run_demux(const bytes& input, const chunking& how = {}, const setup_fn& setup = {},
                     bool final_report = false);

// As run_demux without the final report; the returned capture keeps the context as the
// last block left it, for a look at the selection, the parsers' state and shared_timing.
std::unique_ptr<capture> run_capture(const bytes& input, const chunking& how = {}, const setup_fn& setup = {});

// Checks that every standard chunking gives the same report and outputs as 16384-byte
// blocks, and returns that result.
run_result expect_split_invariant(const bytes& input, const setup_fn& setup = {}, bool final_report = true);

// Chooses the streams as a PMT would have: PIDs, types and their handlers.
void choose_streams(context& ctx, uint16_t video_pid, uint8_t video_type, uint16_t audio_pid, uint8_t audio_type);

// The stream a handler test feeds: made on first use as the PMT would make it, with
// handler `h` (a video stream for the video handlers, an audio stream for the others).
chosen_stream& test_stream(context& ctx, stream_handler h);

// One run through the entry of handler `h` (its byte-at-a-time reference with `per_byte`),
// with the time stamp, the PTS (audio) or DTS (video) flag and the LPCM header that the
// PES layer would have left in the stream's parser.
void call_handler(context& ctx, stream_handler h, bool per_byte, uint8_t* bytes, uint32_t n, uint64_t pts,
                  uint8_t flag, uint16_t lpcm_header = 0);

// call_handler in the shape of a function pointer.
template <stream_handler h, bool per_byte = false>
void handler_call(context& ctx, uint8_t* bytes, uint32_t n, uint64_t pts, uint8_t flag) {
    call_handler(ctx, h, per_byte, bytes, n, pts, flag);
}

// The chosen video stream, or the first audio stream (a record that is all defaults when
// there is none); their PID (no_pid when none) and stream_type (0 when none).
chosen_stream& chosen(context& ctx, stream_kind kind);
uint16_t chosen_pid(context& ctx, stream_kind kind);
uint8_t chosen_type(context& ctx, stream_kind kind);

bytes read_file(const std::string& path);
bool file_exists(const std::string& path);

}  // namespace kt
