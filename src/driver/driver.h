// Run driver: the command line, the read loop and the final report.
#pragma once

#include <cstdio>

struct context;

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
// failed before the end of the file.
bool read_stream(context& ctx, FILE* input);

// The whole program: returns the process exit status.
int kavel_main(int argc, char** argv);
