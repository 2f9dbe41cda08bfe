// Throughput of handle_mpeg2_video on a synthetic MPEG-2 video stream held in memory,
// handed over in 184-byte runs as the PES layer would: parse only, with output to
// /dev/null, and the per-byte machine for comparison. Prints MB/s.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/context.h"

namespace {

void append(std::vector<uint8_t>& s, std::initializer_list<uint8_t> b) { s.insert(s.end(), b); }

// Slice data is random, with any 00 00 01 broken up, as the coded syntax guarantees.
void append_slice(std::vector<uint8_t>& s, std::mt19937& rng, uint8_t number, size_t size) {
    append(s, {0x00, 0x00, 0x01, number});
    for (size_t k = 0; k < size; ++k) {
        uint8_t b = uint8_t(rng());
        const size_t n = s.size();
        if (b == 0x01 && s[n - 1] == 0 && s[n - 2] == 0) b = 0x02;
        s.push_back(b);
    }
}

// 720x576 25 Hz interlaced, a sequence header and GOP header every 12 pictures, 36 slices
// of about 500 bytes per picture (about 5 Mbit/s).
std::vector<uint8_t> make_stream(size_t pictures) {
    std::vector<uint8_t> s;
    std::mt19937 rng(11);
    for (size_t p = 0; p < pictures; ++p) {
        if (p % 12 == 0) {
            append(s, {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0x02, 0x71, 0x03, 0x80});
            append(s, {0x00, 0x00, 0x01, 0xB5, 0x14, 0x82, 0x00, 0x01, 0x00, 0x00});
            append(s, {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x40});
        }
        const uint16_t tr = uint16_t(p % 12);
        append(s, {0x00, 0x00, 0x01, 0x00, uint8_t(tr >> 2), uint8_t((tr & 3) << 6 | (p % 3 + 1) << 3), 0xFF, 0xF8});
        append(s, {0x00, 0x00, 0x01, 0xB5, 0x8F, 0xFF, 0xF3, 0xC1, 0x80});
        for (uint8_t slice = 1; slice <= 36; ++slice) append_slice(s, rng, slice, 400 + rng() % 200);
    }
    return s;
}

using entry_fn = void (*)(stream_call&, uint8_t*, uint32_t);

double run(std::vector<uint8_t>& data, int rounds, entry_fn entry, FILE* out, FILE* report) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
        auto ctx = std::make_unique<context>();
        ctx->report = report;
        ctx->options.parse_only = out ? 0 : 1;
        ctx->video_file = out;
        pmt_entry e;
        e.pid = 0x100;
        e.what.kind = stream_kind::video;
        e.what.handler = stream_handler::mpeg2_video;
        chosen_stream& s = *add_chosen_stream(*ctx, stream_kind::video, 1, e);
        s.pes.current_pts = 90000;
        s.pes.header_had_dts = 1;
        stream_call sc{s, ctx->timing};
        for (size_t at = 0; at < data.size(); at += 184) {
            const size_t n = std::min<size_t>(184, data.size() - at);
            entry(sc, &data[at], uint32_t(n));
        }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return double(data.size()) * rounds / s / 1e6;
}

}  // namespace

int main() {
    // The stream has a GOP header after every sequence header, so nothing is renumbered
    // and the buffer stays as it is from round to round.
    auto data = make_stream(2000);  // about 40 MB
    FILE* devnull = fopen("/dev/null", "w");
    if (!devnull) return 1;

    const double parse = run(data, 5, handle_mpeg2_video, nullptr, devnull);
    const double write = run(data, 5, handle_mpeg2_video, devnull, devnull);
    const double per_byte = run(data, 2, handle_mpeg2_video_per_byte, nullptr, devnull);

    printf("stream: %zu bytes in 184-byte runs\n", data.size());
    printf("parse only:            %8.1f MB/s\n", parse);
    printf("output to /dev/null:   %8.1f MB/s\n", write);
    printf("per-byte, parse only:  %8.1f MB/s  (skip speed-up %.1fx)\n", per_byte, parse / per_byte);
    fclose(devnull);
    return 0;
}
