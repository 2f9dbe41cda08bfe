// Fuzz entry: the first byte chooses the options, the rest is the stream. Builds as a
// libFuzzer target with clang -fsanitize=fuzzer, and otherwise as a plain function that
// the corpus replayer and the unit tests call.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "driver/context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto ctx = std::make_unique<context>();
    const uint8_t choice = data[0];
    ctx->options.hdmv_input = choice & 1;
    ctx->options.pes_output = (choice >> 1) & 1;
    ctx->options.parse_only = (choice >> 2) & 1;
    ctx->options.lpcm_two_channels = (choice >> 3) & 1;
    ctx->options.gop_timecode_mode = (choice >> 4) & 1;
    ctx->options.dump_video_pts = (choice >> 5) & 1;
    ctx->options.dump_audio_pts = (choice >> 5) & 1;
    ctx->options.dump_pcr = (choice >> 6) & 1;
    ctx->options.dump_psip = (choice >> 6) & 1;
    ctx->selection.video_index = (choice >> 7) ? 0 : 1;
    FILE* sink = fopen("/dev/null", "w");
    ctx->report = sink;
    if (!ctx->options.parse_only) {
        ctx->sinks.video_out = sink;
        ctx->sinks.audio_out = sink;
    }
    demux_init(*ctx);
    // Feed in uneven blocks so that state crosses block boundaries.
    std::vector<uint8_t> block;
    size_t at = 1, step = 1;
    while (at < size) {
        const size_t n = std::min(size - at, step);
        block.assign(data + at, data + at + n);
        demux_buffer(*ctx, uint32_t(n), block.data());
        at += n;
        step = step * 7 % 16384 + 1;
    }
    fclose(sink);
    return 0;
}
