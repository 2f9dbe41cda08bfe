// Damaged input must never crash the demultiplexer or make it write out of bounds: random
// bytes, and real streams with bytes flipped, cut and repeated, under every option mix.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "feeder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

using kt::operator+;

namespace {

kt::bytes mutate(const kt::bytes& in, std::mt19937& rng) {
    kt::bytes out = in;
    const int edits = 1 + rng() % 40;
    for (int e = 0; e < edits && !out.empty(); ++e) {
        const size_t at = rng() % out.size();
        switch (rng() % 4) {
        case 0: out[at] = uint8_t(rng()); break;
        case 1: out.erase(out.begin() + at, out.begin() + std::min(out.size(), at + 1 + rng() % 200)); break;
        case 2: out.insert(out.begin() + at, uint8_t(rng())); break;
        default: {
            const size_t n = std::min<size_t>(out.size() - at, 1 + rng() % 400);
            kt::bytes copy(out.begin() + at, out.begin() + at + n);
            out.insert(out.begin() + at, copy.begin(), copy.end());
        }
        }
    }
    return out;
}

}  // namespace

TEST(Fuzz, RandomBytesUnderEveryOptionMix) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 256; ++round) {
        kt::bytes data(1 + rng() % 5000);
        for (auto& b : data) b = uint8_t(rng() % 3 == 0 ? 0x47 : rng() % 4 == 0 ? 0 : rng());
        data[0] = uint8_t(round);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
}

TEST(Fuzz, MutatedFixturesAndCorpus) {
    std::mt19937 rng(99);
    int replayed = 0;
    for (const char* dir : {KAVEL_TEST_DATA, KAVEL_SOURCE_DIR "/tests/fuzz/corpus"}) {
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const auto ext = entry.path().extension();
            if (ext != ".ts" && ext != ".m2ts" && ext != ".bin") continue;
            kt::bytes data = kt::read_file(entry.path().string());
            if (data.size() > 400000) data.resize(400000);
            // A fixture is the stream itself: four choice bytes go before it, the one of
            // wrapped records cleared. A seed keeps its own choices, under another option mix.
            const bool seed = ext == ".bin" && data.size() >= 4;
            const kt::bytes head = seed ? kt::slice(data, 0, 4) : kt::bytes(4);
            if (seed) data = kt::slice(data, 4);
            for (int round = 0; round < 6; ++round) {
                kt::bytes h = head;
                h[0] ^= uint8_t(rng());
                if (!seed) h[1] = uint8_t(rng() & 0x7F), h[2] = uint8_t(rng()), h[3] = uint8_t(rng());
                kt::bytes m = h + mutate(data, rng);
                LLVMFuzzerTestOneInput(m.data(), m.size());
                ++replayed;
            }
        }
    }
    SUCCEED() << replayed << " inputs replayed";
}
