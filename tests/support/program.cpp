#include "program.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "feeder.h"

namespace kt {

namespace {

std::string quote(const std::string& s) {
    std::string q(1, '\'');
    for (char c : s) {
        if (c == '\'')
            q.append("'\\''");
        else
            q.push_back(c);
    }
    q.push_back('\'');
    return q;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int shell_status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

}  // namespace

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kavel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

program_result run_kavel(const std::vector<std::string>& args, const std::string& dir) {
    const std::string out = dir + "/.stdout", err = dir + "/.stderr";
    std::string cmd("cd ");
    cmd.append(quote(dir)).append(" && ").append(quote(KAVEL_BINARY));
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(out) + " 2>" + quote(err) + " </dev/null";
    program_result r;
    r.status = shell_status(std::system(cmd.c_str()));
    r.out = slurp(out);
    r.err = slurp(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

program_result run_shell(const std::string& command) {
    temp_dir scratch;
    const std::string out = scratch.file("out");
    program_result r;
    r.status = shell_status(std::system((command + " >" + quote(out) + " 2>&1").c_str()));
    r.out = slurp(out);
    return r;
}

bool have_tool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string decode_messages(const std::string& path, const std::string& format) {
    if (!have_tool("ffmpeg")) return "";
    const program_result r =
        run_shell("ffmpeg -hide_banner -nostdin -v error -f " + format + " -i " + quote(path) + " -f null -");
    std::string text;
    for (size_t i = 0; i < r.out.size();) {
        if (r.out.compare(i, 5, " @ 0x") == 0) {
            i += 5;
            while (i < r.out.size() && isxdigit(static_cast<unsigned char>(r.out[i]))) ++i;
            continue;
        }
        text.push_back(r.out[i++]);
    }
    return r.status == 0 ? text : text + "exit status " + std::to_string(r.status) + "\n";
}

std::string lines_starting_with(const std::string& report, std::initializer_list<const char*> prefixes) {
    std::istringstream in(report);
    std::string out, line;
    while (std::getline(in, line))
        for (const char* prefix : prefixes)
            if (line.rfind(prefix, 0) == 0) {
                out += line + "\n";
                break;
            }
    return out;
}

void write_file(const std::string& path, const bytes& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

std::string test_data(const std::string& name) { return std::string(KAVEL_TEST_DATA) + "/" + name; }

std::string shared_sample(const std::string& name) {
    return std::string(KAVEL_SOURCE_DIR) + "/../shared/samples/" + name;
}

uint64_t probe_start_pts(const std::string& fixture, const std::string& type) {
    std::ifstream in(test_data(fixture + ".probe.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("type=" + type) == std::string::npos) continue;
        const size_t at = line.find("start_pts=");
        if (at != std::string::npos) return std::stoull(line.substr(at + 10));
    }
    ADD_FAILURE() << "no " << type << " start_pts for " << fixture;
    return 0;
}

void expect_decodes(const std::string& path, const std::string& format) {
    EXPECT_EQ(decode_messages(path, format), "") << path;
}

std::string pid_count_lines(const bytes& ts) {
    std::map<unsigned, std::array<unsigned, 3>> count;  // packets, first, last
    for (size_t at = 0, n = 1; at + 188 <= ts.size(); at += 188, ++n) {
        if (ts[at] != 0x47) ADD_FAILURE() << "no sync byte at packet " << n;
        auto& c = count[packet_pid(&ts[at])];
        if (c[0]++ == 0) c[1] = unsigned(n);
        c[2] = unsigned(n);
    }
    std::string out;
    for (const auto& [pid, c] : count)
        out += strf("packets for pid %4u <0x%04x> = %u, first = %u, last = %u\n", pid, pid, c[0], c[1], c[2]);
    return out;
}

}  // namespace kt
