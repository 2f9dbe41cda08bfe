// Runs the built kavel program in a temporary folder, for end-to-end tests.
#pragma once

#include <string>
#include <vector>

#include "ts_builder.h"

namespace kt {

struct program_result {
    int status = 0;  // exit status as the shell sees it (0..255)
    std::string out;
    std::string err;
};

// A fresh, empty temporary folder, removed with the object.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs the program with `args` in `dir`.
program_result run_kavel(const std::vector<std::string>& args, const std::string& dir);

// Runs a shell command; returns its exit status and standard output.
program_result run_shell(const std::string& command);

bool have_tool(const std::string& name);

// What FFmpeg prints when it decodes `path` (read as `format`), with the decoders'
// addresses taken out so that two runs compare; empty when it decodes cleanly (or FFmpeg
// is not installed).
std::string decode_messages(const std::string& path, const std::string& format);

// The lines of `report` that begin with one of `prefixes`, each with its newline.
std::string lines_starting_with(const std::string& report, std::initializer_list<const char*> prefixes);

void write_file(const std::string& path, const bytes& data);

// start_pts of the first stream of `type` ("video" or "audio") in a fixture's .probe.txt.
uint64_t probe_start_pts(const std::string& fixture, const std::string& type);

// FFmpeg (when installed) decodes the file, read as `format`, with no error message.
void expect_decodes(const std::string& path, const std::string& format);

// The final report's "packets for pid" lines, counted by walking the 188-byte packets.
std::string pid_count_lines(const bytes& ts);

// Paths of the fixtures and of the shared real captures (which may be absent).
std::string test_data(const std::string& name);
std::string shared_sample(const std::string& name);

}  // namespace kt
