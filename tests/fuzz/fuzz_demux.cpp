// Fuzz entry: four leading bytes choose the options, the requested numbers, the block
// sizes and whether the rest is the stream itself or records that are wrapped into a
// valid program (see README.md for the layout). Builds as a libFuzzer target with clang
// -fsanitize=fuzzer, and otherwise as a plain function that the corpus replayer and the
// unit tests call.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/context.h"
#include "driver/driver.h"
#include "fuzz_input.h"

namespace {

// The outputs go to three memory files of their own, each seekable like a real file (the
// video handler moves back over a cut end code), so a run writes what a real run writes.
// A file that fills up fails its writes, as a full disk would.
constexpr size_t report_capacity = 1 << 20;
constexpr size_t output_capacity = 4 << 20;
char report_buffer[report_capacity];
char video_buffer[output_capacity];
char audio_buffer[output_capacity];
// The context is over a megabyte; built afresh in the same place each run rather than on
// the heap, where the sanitizer's allocator would map and unmap it every time.
alignas(context) unsigned char context_storage[sizeof(context)];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kavel_fuzz::fuzz_input in = kavel_fuzz::decode(data, size);
    context* ctx = new (context_storage) context{};
    ctx->options = in.options;
    ctx->selection.program_number = in.program_number;
    ctx->selection.video_index = in.video_index;
    ctx->selection.audio_index = in.audio_index;
    ctx->report = fmemopen(report_buffer, report_capacity, "w+");
    if (!ctx->options.parse_only) {
        ctx->video_file = fmemopen(video_buffer, output_capacity, "w+");
        ctx->audio_file = fmemopen(audio_buffer, output_capacity, "w+");
    }
    if (demux_init(*ctx)) {
        // Each block in a heap buffer of exactly its size, so that AddressSanitizer sees a
        // read past the block's end.
        kavel_fuzz::block_sizes sizes(in.chunk_pattern, in.chunk_seed);
        size_t at = 0;
        while (at < in.stream.size()) {
            const size_t n = std::min(in.stream.size() - at, sizes.next());
            auto block = std::make_unique<uint8_t[]>(n);
            std::memcpy(block.get(), in.stream.data() + at, n);
            demux_buffer(*ctx, uint32_t(n), block.get());
            at += n;
        }
        demux_end(*ctx);
        print_final_report(*ctx);
    }
    for (FILE* f : {ctx->report, ctx->video_file, ctx->audio_file})
        if (f) fclose(f);
    ctx->~context();
    return 0;
}
