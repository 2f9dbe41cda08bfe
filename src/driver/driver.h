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
// The audio's end against the video's (largest PTS and one step more), the shorter way
// round the 2^33 wrap, in `ticks`; or which of the two has no time stamps to compare
// ("audio", "video").
struct chosen_stream;
const char* ending_difference(const chosen_stream* audio, const chosen_stream* video, int64_t& ticks);

// After the outputs are closed, with option n or several audio streams: each output file
// with its size.
void print_output_files(const context& ctx);

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

struct chosen_stream;

// Outputs (outputs.cpp). Opens bits0001.mpv and bits0001.mpa unless parse_only or option n;
// false after saying which file could not be opened.
bool open_default_outputs(context& ctx);
// Decides where a chosen stream writes and reports (set as the context's attach_stream).
bool attach_stream(context& ctx, chosen_stream& s);
// Closes one stream's file (not the default files); false on a write error.
bool close_stream_output(context& ctx, chosen_stream& s);
// Closes every output file, saying which had a write error; false then.
bool close_outputs(context& ctx);
// The output files have names of their own (option n, or several audio streams): the
// report then lists them.
bool outputs_named(const context& ctx);
// Flushes and closes an output file, cut at its position; false on any error.
bool close_output(FILE* f);

// Option j (json_report.cpp): the whole report, and with option l the listing, as one JSON
// document, written from the records once the run is over and its outputs closed.
void print_json_report(context& ctx, FILE* out);
void print_json_listing(context& ctx, FILE* out);

// The whole program: returns the process exit status.
int kavel_main(int argc, char** argv);
