// Throughput of demux_buffer on a synthetic stream held in memory, against plain memchr
// and memcpy passes over the same bytes. Prints MB/s and the ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/context.h"

namespace {

// A stream of packets on a few PIDs with random payload: the framing cost alone.
std::vector<uint8_t> make_stream(size_t packets) {
    std::vector<uint8_t> s(packets * 188);
    std::mt19937 rng(5);
    uint8_t cc[4] = {};
    for (size_t p = 0; p < packets; ++p) {
        uint8_t* pk = &s[p * 188];
        const uint16_t pid = 0x100 + p % 4;
        pk[0] = 0x47;
        pk[1] = uint8_t(pid >> 8);
        pk[2] = uint8_t(pid);
        pk[3] = uint8_t(0x10 | (cc[p % 4]++ & 0x0F));
        for (int i = 4; i < 188; ++i) pk[i] = uint8_t(rng());
    }
    return s;
}

template <class F>
double mbps(const std::vector<uint8_t>& data, int rounds, F&& body) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) body();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return double(data.size()) * rounds / s / 1e6;
}

}  // namespace

int main() {
    const auto data = make_stream(200000);  // about 37 MB
    std::vector<uint8_t> block(16384), sink(data.size());
    FILE* devnull = fopen("/dev/null", "w");

    const double framing = mbps(data, 5, [&] {
        auto ctx = std::make_unique<context>();
        ctx->report = devnull;
        demux_init(*ctx);
        for (size_t at = 0; at < data.size(); at += 16384) {
            const size_t n = std::min<size_t>(16384, data.size() - at);
            std::memcpy(block.data(), &data[at], n);
            demux_buffer(*ctx, uint32_t(n), block.data());
        }
    });
    size_t hits = 0;
    const double scan = mbps(data, 5, [&] {
        const uint8_t* p = data.data();
        const uint8_t* end = p + data.size();
        while ((p = static_cast<const uint8_t*>(std::memchr(p, 0x01, size_t(end - p))))) { ++hits; ++p; }
        asm volatile("" : : "r"(hits));
    });
    const double copy = mbps(data, 5, [&] { std::memcpy(sink.data(), data.data(), data.size()); });

    printf("framing and routing: %8.1f MB/s\n", framing);
    printf("memchr scan:         %8.1f MB/s  (framing / scan = %.2f)\n", scan, framing / scan);
    printf("memcpy:              %8.1f MB/s  (framing / copy = %.2f)\n", copy, framing / copy);
    fclose(devnull);
    return 0;
}
