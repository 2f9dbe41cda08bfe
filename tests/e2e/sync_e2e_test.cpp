// End to end: audio that loses packets keeps every other frame at its clean place, on
// FFmpeg-made streams of every aligned syntax damaged at run time; time stamps that move as
// a whole, and lost video, leave the audio as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

uint16_t pid_at(const bytes& ts, size_t at) { return uint16_t((ts[at + 1] & 0x1F) << 8 | ts[at + 2]); }

// Offsets of the packets of `pid`; with `plain` only those without unit start.
std::vector<size_t> packets_of(const bytes& ts, uint16_t pid, bool plain) {
    std::vector<size_t> out;
    for (size_t at = 0; at + 188 <= ts.size(); at += 188)
        if (pid_at(ts, at) == pid && !(plain && (ts[at + 1] & 0x40))) out.push_back(at);
    return out;
}

bytes without(const bytes& ts, std::vector<size_t> drop) {
    bytes out;
    for (size_t at = 0, d = 0; at + 188 <= ts.size(); at += 188) {
        if (d < drop.size() && drop[d] == at) { ++d; continue; }
        out.insert(out.end(), ts.begin() + long(at), ts.begin() + long(at + 188));
    }
    return out;
}

// Moves every PCR, PTS and DTS from packet offset `from` on by `ticks`.
bytes shifted(bytes ts, size_t from, uint64_t ticks) {
    const auto move = [ticks](uint8_t* f) {  // a 5-byte PTS/DTS field
        uint64_t t = uint64_t(f[0] >> 1 & 7) << 30 | uint64_t(f[1]) << 22 | uint64_t(f[2] >> 1) << 15 |
                     uint64_t(f[3]) << 7 | f[4] >> 1;
        t = (t + ticks) & ((uint64_t{1} << 33) - 1);
        f[0] = uint8_t((f[0] & 0xF1) | (t >> 29 & 0x0E));
        f[1] = uint8_t(t >> 22), f[2] = uint8_t(t >> 14 | 1), f[3] = uint8_t(t >> 7), f[4] = uint8_t(t << 1 | 1);
    };
    for (size_t at = from; at + 188 <= ts.size(); at += 188) {
        uint8_t* p = &ts[at];
        size_t payload = 4;
        if (p[3] & 0x20) {
            if (p[4] >= 7 && (p[5] & 0x10)) {  // PCR base: 33 bits from byte 6
                uint64_t base = uint64_t(p[6]) << 25 | uint64_t(p[7]) << 17 | uint64_t(p[8]) << 9 | uint64_t(p[9]) << 1 | p[10] >> 7;
                base = (base + ticks) & ((uint64_t{1} << 33) - 1);
                p[6] = uint8_t(base >> 25), p[7] = uint8_t(base >> 17), p[8] = uint8_t(base >> 9), p[9] = uint8_t(base >> 1);
                p[10] = uint8_t((p[10] & 0x7F) | (base & 1) << 7);
            }
            payload = 5 + p[4];
        }
        uint8_t* h = p + payload;
        if (!(p[1] & 0x40) || payload + 19 > 188 || h[0] || h[1] || h[2] != 1) continue;
        if (h[7] & 0x80) move(h + 9);
        if (h[7] & 0x40) move(h + 14);
    }
    return ts;
}

// The frames of an elementary stream as FFmpeg reads them.
std::vector<bytes> frames_of(const std::string& path, const std::string& format) {
    const program_result r =
        run_shell("ffprobe -v error -f " + format + " -show_entries packet=size -of csv=p=0 " + path + " 2>/dev/null");
    const bytes all = read_file(path);
    std::vector<bytes> frames;
    std::istringstream in(r.out);
    size_t at = 0;
    for (std::string line; std::getline(in, line) && !line.empty(); at += std::stoul(line))
        frames.push_back(slice(all, at, at + std::stoul(line)));
    return frames;
}

struct stream_case {
    const char* fixture;
    const char* audio;
    uint16_t pid;
    const char* format;
};

const stream_case streams[] = {
    {"mpeg2_ac3_51_late_video.ts", "1", 0x101, "ac3"}, {"codecs.ts", "8", 0x108, "eac3"},
    {"mpeg1_mp2.ts", "1", 0x101, "mp3"},               {"codecs.ts", "1", 0x101, "mp3"},
    {"codecs.ts", "6", 0x106, "aac"},                  {"codecs_latm.ts", "1", 0x101, "loas"},
    {"codecs.ts", "5", 0x105, "dts"}};

}  // namespace

TEST(SyncE2E, LostAudioCostsOnlyTheFramesItTouchedAndTheRestKeepsItsPlace) {
    if (!have_tool("ffprobe")) GTEST_SKIP() << "ffprobe not installed";
    for (const stream_case& c : streams) {
        const bytes clean = read_file(test_data(c.fixture));
        temp_dir dir;
        write_file(dir.file("clean.ts"), clean);
        run_kavel({"-s", dir.file("clean.ts"), "1", "1", c.audio}, dir.path());
        std::rename(dir.file("bits0001.mpa").c_str(), dir.file("clean.es").c_str());
        const std::vector<bytes> want = frames_of(dir.file("clean.es"), c.format);
        ASSERT_GT(want.size(), 20u) << c.fixture;
        const std::vector<size_t> plain = packets_of(clean, c.pid, true), all = packets_of(clean, c.pid, false);
        // One packet before the start, the one with the PES header of the frame the output
        // starts with (found by its bytes), one in the middle, and 0.1 s of packets there.
        const size_t middle = plain[plain.size() * 3 / 5];
        const size_t first = size_t(std::search(clean.begin(), clean.end(), want[0].begin() + 16, want[0].begin() + 32) - clean.begin());
        size_t at_start = 0;
        for (size_t at : all) at_start = at <= first && (clean[at + 1] & 0x40) ? at : at_start;
        std::vector<size_t> stretch(all.begin() + long(all.size() / 2), all.begin() + long(all.size() * 7 / 12));
        const std::pair<const char*, std::vector<size_t>> damages[] = {
            {"before", {plain[1]}}, {"at the start", {at_start}}, {"middle", {middle}}, {"stretch", stretch}};
        for (const auto& [name, drop] : damages) {
            // LATM begins at a frame with its StreamMuxConfig; that one lost, at the video.
            if (drop[0] == at_start && std::string(c.format) == "loas") continue;
            SCOPED_TRACE(std::string(c.fixture) + " audio " + c.audio + ", lost " + name);
            write_file(dir.file("lost.ts"), without(clean, drop));
            const program_result r = run_kavel({"-s", dir.file("lost.ts"), "1", "1", c.audio}, dir.path());
            const std::vector<bytes> got = frames_of(dir.file("bits0001.mpa"), c.format);
            ASSERT_FALSE(got.empty());
            // As many frames as the clean run (within one after a stretch); those that
            // differ stand together, and every frame after them at its clean index.
            EXPECT_NEAR(double(got.size()), double(want.size()), drop.size() > 1 ? 1.0 : 0.0) << r.out;
            const size_t touched = drop.size() > 1 ? want.size() / 4 + 3 : 2;
            size_t lo = got.size(), hi = 0;
            for (size_t k = 0; k < std::min(got.size(), want.size()); ++k)
                if (!(got[k] == want[k])) lo = std::min(lo, k), hi = k;
            EXPECT_TRUE(lo > hi || hi - lo < touched) << "frames " << lo << " to " << hi << " differ\n" << r.out;
            EXPECT_EQ(decode_messages(dir.file("bits0001.mpa"), c.format), "");
        }

        // Every time stamp an hour later from the middle on: the same audio, one jump.
        write_file(dir.file("late.ts"), shifted(clean, clean.size() / 376 * 188, 90000ull * 3600));
        const program_result late = run_kavel({"-s", dir.file("late.ts"), "1", "1", c.audio}, dir.path());
        EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == read_file(dir.file("clean.es"))) << c.fixture << late.out;
        EXPECT_NE(late.out.find("Audio time stamps jump by 324000000 ticks"), std::string::npos) << late.out;

        // Lost video: counted, the audio untouched.
        const std::vector<size_t> video = packets_of(clean, 0x100, true);
        write_file(dir.file("novideo.ts"), without(clean, {video[video.size() / 2]}));
        run_kavel({"-s", dir.file("novideo.ts"), "1", "1", c.audio}, dir.path());
        EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == read_file(dir.file("clean.es"))) << c.fixture;
    }
}
