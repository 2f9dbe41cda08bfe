// Damaged input must never crash the demultiplexer or make it write out of bounds: random
// bytes, and real streams with bytes flipped, cut and repeated, under every option mix.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "feeder.h"
#include "fuzz_input.h"
#include "program.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
int fuzz_handlers_one_input(const uint8_t* data, size_t size);

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

TEST(Fuzz, WrappedRecordsReachEveryStreamTypeAndThePsipPids) {
    // Choice bytes: byte 0 (h, option g), byte 1 (wrapped records), byte 2 (numbers).
    // Records: a PES packet on each elementary stream, a TVCT on the base PID and an EIT
    // on EIT-0's PID.
    kt::bytes records;
    for (uint8_t target : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10}) records = records + kt::bytes{uint8_t(0x10 | target), 2, 0xAB, 0xCD};
    const kt::bytes sections = {0x29, 4, 0xC8, 1, 0, 0, 0x2B, 4, 0xCB, 1, 0, 0};
    const struct {
        uint8_t option_byte, numbers;  // video number - 1 and audio number - 1
        const char* selected;
    } cases[] = {
        {0x40, 0 | 0 << 3, "type = 0x01\r\nAudio PID =  262 <0x0106>, type = 0x81"},
        {0x40, 1 | 1 << 3, "type = 0x02\r\nAudio PID =  263 <0x0107>, type = 0x06"},
        {0x40, 2 | 2 << 3, "type = 0x1b\r\nAudio PID =  264 <0x0108>, type = 0x03"},
        {0x40, 3 | 3 << 3, "type = 0xea\r\nAudio PID =  265 <0x0109>, type = 0x04"},
        {0x40, 4 | 4 << 3, "type = 0x80\r\nAudio PID =  266 <0x010a>, type = 0x82"},
        {0x41, 0 | 0 << 3, "type = 0x01\r\nAudio PID =  261 <0x0105>, type = 0x80"},
    };
    for (const auto& c : cases) {
        const kt::bytes input = kt::bytes{c.option_byte, 0x80, c.numbers, 0} + sections + records;
        const kavel_fuzz::fuzz_input in = kavel_fuzz::decode(input.data(), input.size());
        const std::string report = kt::run_demux(in.stream, {}, [&](context& ctx) {
            ctx.options = in.options;
            ctx.selection.video_index = in.video_index;
            ctx.selection.audio_index = in.audio_index;
        }).report;
        EXPECT_NE(report.find(c.selected), std::string::npos) << report;
        EXPECT_NE(report.find("TVCT number of channels = 0\n"), std::string::npos);
        EXPECT_NE(report.find("EIT0 events defined = 0\n"), std::string::npos);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
}

TEST(Fuzz, HandlersFastAndReferenceAgreeOnRandomCalls) {
    // Calls of random size over bytes rich in start codes and sync words, each handler
    // under every option mix; the entry aborts on any difference. The seeds are whole
    // streams, cut into calls of up to 255 bytes.
    std::mt19937 rng(7);
    const uint8_t alphabet[] = {0x00, 0x00, 0x00, 0x01, 0x01, 0xB3, 0xB5, 0xB8, 0xB7, 0x09, 0x67, 0x0A, 0x0B,
                                0x0D, 0x0F, 0x0E, 0x0C, 0x0B, 0x77, 0xFF, 0xFD, 0xFC, 0x80, 0x44,
                                0xF1, 0xFB, 0x56, 0xE0, 0x7F, 0xFE, 0x64, 0x58, 0x20, 0x25};
    for (int round = 0; round < 320; ++round) {
        kt::bytes data{uint8_t(round)};
        for (int calls = rng() % 60; calls > 0; --calls) {
            const uint8_t n = uint8_t(rng());
            data = data + kt::bytes{n, uint8_t(rng())};
            for (int i = 0; i < n; ++i) data.push_back(rng() % 3 ? alphabet[rng() % sizeof alphabet] : uint8_t(rng()));
        }
        fuzz_handlers_one_input(data.data(), data.size());
    }
    for (const char* es : {"mpeg2_ac3_51.m2v", "h264_ac3_720.h264", "mpeg2_ac3_51.ac3", "mpeg2_mp2_2997.mp2",
                           "codecs.a3.mp3", "codecs.a5.dts", "codecs.a6.aac", "codecs.a8.eac3", "codecs_latm.a1.latm"}) {
        const kt::bytes stream = kt::slice(kt::read_file(kt::test_data(es)), 0, 60000);
        for (uint8_t handler = 0; handler < 9; ++handler) {
            kt::bytes data{uint8_t((handler & 7) | (handler >> 3) << 7 | (rng() & 0x78))};
            for (size_t at = 0; at < stream.size(); at += 255)
                data = data + kt::bytes{255, uint8_t(rng())} + kt::slice(stream, at, at + 255);
            fuzz_handlers_one_input(data.data(), data.size());
        }
    }
}
