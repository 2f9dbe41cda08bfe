// The whole job on a real stream: the sample (or a stream named on the command line)
// repeated in memory to about 200 MB, fed to demux_buffer in 16384-byte blocks as the
// driver does, with both outputs going to /dev/null and with parse only. Prints MB/s,
// and the ratio to a plain copy of the same bytes into the read block.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "core/context.h"

namespace {

double run(const std::vector<uint8_t>& data, bool parse_only, bool demux) {
    std::vector<uint8_t> block(16384);
    FILE* sink = fopen("/dev/null", "w");
    auto ctx = std::make_unique<context>();
    ctx->report = sink;
    ctx->options.suppress_rate = 1;
    ctx->options.parse_only = parse_only;
    if (!parse_only) ctx->video_file = ctx->audio_file = sink;
    demux_init(*ctx);
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t at = 0; at < data.size(); at += block.size()) {
        const size_t n = std::min(block.size(), data.size() - at);
        std::memcpy(block.data(), &data[at], n);
        if (demux) demux_buffer(*ctx, uint32_t(n), block.data());
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    fclose(sink);
    return double(data.size()) / s / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "samples/sample.ts";
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> one((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (one.empty()) {
        fprintf(stderr, "cannot read %s (run from the repository root, or name a stream)\n", path);
        return 1;
    }
    std::vector<uint8_t> data;
    while (data.size() < 200000000) data.insert(data.end(), one.begin(), one.end());

    const double copy = run(data, true, false);
    const double parse = run(data, true, true);
    const double demux = run(data, false, true);
    printf("%s x %zu (%.0f MB)\n", path, data.size() / one.size(), data.size() / 1e6);
    printf("block copy only:      %8.1f MB/s\n", copy);
    printf("parse only:           %8.1f MB/s  (%.2f of copy)\n", parse, parse / copy);
    printf("demux to /dev/null:   %8.1f MB/s  (%.2f of copy)\n", demux, demux / copy);
    return 0;
}
