// How the fuzz entry reads its input: four leading bytes of choices, then either the
// stream itself or records that are wrapped into a valid program. Shared by the libFuzzer
// build, the corpus replayer and the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/context.h"

namespace kavel_fuzz {

struct fuzz_input {
    run_options options;
    int32_t program_number = 1;
    int32_t video_index = 1;
    int32_t audio_index = 1;
    uint8_t chunk_pattern = 0;
    uint8_t chunk_seed = 0;
    std::vector<uint8_t> stream;  // what is fed to the demultiplexer
};

// Byte 0: h, z, p, 2, t, v and a, r and g, video stream 0.
// Byte 1: d, s, e, a toggled, g toggled, block pattern (2 bits), wrapped records.
// Byte 2: video number (3 bits), audio number (3 bits), program number (2 bits).
// Byte 3: seed of the random block sizes.
// Missing leading bytes count as zero: a zero byte keeps the choices of byte 0 alone.
fuzz_input decode(const uint8_t* data, size_t size);

// The PIDs of the wrapped program, in the order of the record's target nibble: nine
// elementary streams of the PMT, the PSIP base, a tenth elementary stream (of a type
// without a handler), three PIDs the MGT announces (EIT-0, EIT-1, ETT-0), PMT, PAT.
constexpr int wrapped_streams = 10;
extern const uint16_t wrapped_pids[16];
extern const uint8_t wrapped_stream_types[wrapped_streams];

// Builds the wrapped stream: PAT, PMT and MGT, then one packet run per record of `data`
// (a header byte, a length byte, that many bytes; see README.md).
std::vector<uint8_t> wrap_records(const uint8_t* data, size_t size, bool hdmv);

// Block sizes: 0 growing by 7 and wrapping, 1 random from the seed (half of them under
// 400 bytes), 2 the cycle 1, 187, 188, 189, 3 the program's own 16384.
struct block_sizes {
    uint8_t pattern;
    uint32_t state;
    size_t step = 1;
    block_sizes(uint8_t p, uint8_t seed) : pattern(p), state(seed * 2654435761u + 1) {}
    size_t next();
};

}  // namespace kavel_fuzz
