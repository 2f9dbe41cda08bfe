// Run driver: the command line, the read loop and the final report.
#pragma once

#include <cstdint>
#include <cstdio>

struct context;
struct input_source;

constexpr unsigned read_block_size = 16384;

// Result of reading the command line.
enum class command_line_result { run, usage };

// Fills the options and the requested numbers. Unsupported option letters are reported on
// `err` and skipped. On success *input_path names the stream to read.
command_line_result parse_command_line(context& ctx, int argc, char** argv, FILE* err,
                                       const char** input_path);

void print_usage(FILE* err);

// The report printed after the last block: packets per PID, picture counts and the
// audio-to-video ending difference.
void print_final_report(context& ctx);

// Reads `input` in blocks and feeds them to the demultiplexer. Returns false when a read
// failed before the end of the input.
bool read_stream(context& ctx, input_source& input);

// The progress line on standard error (progress.cpp).
struct progress_meter {
    bool on = false;
    bool drawn = false;
    uint32_t blocks = 0;
    uint64_t total = 0;
    uint64_t start = 0;
    uint64_t next_draw = 0;
};
// On only when standard error is a terminal and the size is known (not 0).
void progress_start(progress_meter& m, uint64_t total_size);
// After each block, with the bytes read so far.
void progress_update(progress_meter& m, uint64_t done);
// Clears the line.
void progress_end(progress_meter& m);

// The whole program: returns the process exit status.
int kavel_main(int argc, char** argv);
