// End to end: audio that loses packets keeps every other frame at its clean place, on
// FFmpeg-made streams of every aligned syntax damaged at run time; time stamps that move as
// a whole, and lost video, leave the audio as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

// The stream without the packets at `drop`, or with their payload zeroed.
bytes without(const bytes& ts, std::vector<size_t> drop, bool zero = false) {
    bytes out;
    for (size_t at = 0, d = 0; at + 188 <= ts.size(); at += 188) {
        const bool hit = d < drop.size() && drop[d] == at;
        d += hit;
        if (hit && !zero) continue;
        out.insert(out.end(), ts.begin() + long(at), ts.begin() + long(at + 188));
        if (hit) std::fill(out.end() - (ts[at + 3] & 0x20 ? 183 - std::min<long>(ts[at + 4], 183) : 184), out.end(), uint8_t{0});
    }
    return out;
}

// Moves every PCR, PTS and DTS from packet offset `from` on by `ticks`; with `marked` from
// the first PCR there on, which comes with the discontinuity_indicator.
bytes shifted(bytes ts, size_t from, uint64_t ticks, bool marked = false) {
    while (marked && !(ts[from + 3] & 0x20 && ts[from + 4] >= 7 && ts[from + 5] & 0x10)) from += 188;
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
                p[5] |= uint8_t(marked ? 0x80 : 0);
                marked = false;
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
    const char* format;  // to read it (ffprobe) and to write FFmpeg's copy
    const char* muxer;
    int map;             // FFmpeg's audio stream index
    double seconds;      // long enough for dropouts of seconds; else 0
};

const stream_case streams[] = {
    {"long_audio.ts", "1", 0x101, "mp3", "mp2", 0, 7},   {"long_audio.ts", "2", 0x102, "mp3", "mp3", 1, 7},
    {"long_audio.ts", "3", 0x103, "dts", "dts", 2, 7},   {"long_audio.ts", "5", 0x104, "aac", "adts", 3, 7},
    {"long_audio.ts", "4", 0x105, "ac3", "ac3", 4, 7},   {"long_audio.ts", "6", 0x106, "eac3", "eac3", 5, 7},
    {"long_latm.ts", "1", 0x101, "loas", "latm", 0, 7},  {"mpeg2_ac3_51_late_video.ts", "1", 0x101, "ac3", "ac3", 0, 0},
    {"codecs.ts", "5", 0x105, "dts", "dts", 4, 0}};

}  // namespace

TEST(SyncE2E, LostAudioCostsOnlyTheFramesItTouchedAndTheRestKeepsItsPlace) {
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "FFmpeg not installed";
    for (const stream_case& c : streams) {
        const bytes clean = read_file(test_data(c.fixture));
        temp_dir dir;
        write_file(dir.file("clean.ts"), clean);
        run_kavel({"-s", dir.file("clean.ts"), "1", "1", c.audio}, dir.path());
        std::rename(dir.file("bits0001.mpa").c_str(), dir.file("clean.es").c_str());
        // The clean output is the end of FFmpeg's copy of the stream.
        run_shell("ffmpeg -v error -i " + dir.file("clean.ts") + " -map 0:a:" + std::to_string(c.map) +
                  " -c copy -write_xing 0 -id3v2_version 0 -f " + c.muxer + " " + dir.file("copy.es"));
        const bytes es = read_file(dir.file("clean.es")), copy = read_file(dir.file("copy.es"));
        ASSERT_TRUE(es.size() > 1000 && es.size() <= copy.size() &&
                    std::equal(es.begin(), es.end(), copy.end() - long(es.size())))
            << c.fixture << " audio " << c.audio;
        const std::vector<bytes> want = frames_of(dir.file("clean.es"), c.format);
        const std::vector<size_t> plain = packets_of(clean, c.pid, true), all = packets_of(clean, c.pid, false);
        // One packet before the start, the one with the output's first byte, one in the
        // middle; 0.1 s of packets there, or 0.5 s and 3 s, and four payloads zeroed.
        const size_t middle = plain[plain.size() * 3 / 5];
        const auto carried = [&clean](size_t at) {  // bytes of the stream in the packet
            const size_t payload = clean[at + 3] & 0x20 ? 5 + clean[at + 4] : 4;
            return int64_t(188 - payload - (clean[at + 1] & 0x40 ? 9 + clean[at + payload + 8] : 0));
        };
        // Where each packet's bytes begin in the output (before it: negative), and the
        // packet with the output's first byte.
        std::map<size_t, int64_t> at_out;
        int64_t pos = -int64_t(copy.size() - es.size());
        size_t at_start = 0;
        for (size_t at : all) {
            at_start = pos <= 0 ? at : at_start;
            at_out[at] = pos;
            pos += carried(at);
        }
        const auto stretch = [&](double from, double seconds) {
            const size_t n = c.seconds ? size_t(double(all.size()) * seconds / c.seconds) : all.size() / 12;
            return std::vector<size_t>(all.begin() + long(all.size() / 2 - size_t(double(n) * from)),
                                       all.begin() + long(all.size() / 2 - size_t(double(n) * from) + n));
        };
        const std::vector<size_t> four(all.begin() + long(all.size() / 2), all.begin() + long(all.size() / 2 + 4));
        std::vector<std::pair<std::string, std::vector<size_t>>> damages = {
            {"before", {plain[1]}}, {"at the start", {at_start}}, {"middle", {middle}}};
        if (c.seconds)
            damages.insert(damages.end(), {{"0.5 s", stretch(0, 0.5)}, {"3 s", stretch(0.5, 3)}, {"zeroed", four}});
        else
            damages.push_back({"stretch", stretch(0, 0)});
        for (const auto& [name, drop] : damages) {
            // LATM begins at a frame with its StreamMuxConfig; that one lost, at the video.
            if (drop[0] == at_start && std::string(c.format) == "loas") continue;
            SCOPED_TRACE(std::string(c.fixture) + " audio " + c.audio + ", lost " + name);
            write_file(dir.file("lost.ts"), without(clean, drop, name == "zeroed"));
            const program_result r = run_kavel({"-s", dir.file("lost.ts"), "1", "1", c.audio}, dir.path());
            const std::vector<bytes> got = frames_of(dir.file("bits0001.mpa"), c.format);
            ASSERT_FALSE(got.empty());
            // As many frames as the clean run (within one after a stretch); those that
            // differ stand together, and every frame after them at its clean index.
            EXPECT_NEAR(double(got.size()), double(want.size()), drop.size() > 1 ? 1.0 : 0.0) << r.out;
            // The frames whose bytes were lost may differ, no other.
            size_t first = want.size(), last = 0, lo = got.size(), hi = 0;
            for (size_t at : drop)
                for (size_t k = 0, b = 0; k < want.size(); b += want[k++].size())
                    if (int64_t(b) < at_out[at] + carried(at) && int64_t(b + want[k].size()) > at_out[at])
                        first = std::min(first, k), last = std::max(last, k);
            for (size_t k = 0; k < std::min(got.size(), want.size()); ++k)
                if (!(got[k] == want[k])) lo = std::min(lo, k), hi = k;
            EXPECT_TRUE(lo > hi || (lo >= first && hi <= last))
                << "frames " << lo << " to " << hi << " differ, " << first << " to " << last << " lost\n" << r.out;
            EXPECT_EQ(decode_messages(dir.file("bits0001.mpa"), c.format), "");
        }

        // Every time stamp an hour later from the middle on: the same audio, one jump.
        write_file(dir.file("late.ts"), shifted(clean, clean.size() / 376 * 188, 90000ull * 3600));
        const program_result late = run_kavel({"-s", dir.file("late.ts"), "1", "1", c.audio}, dir.path());
        EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == read_file(dir.file("clean.es"))) << c.fixture << late.out;
        EXPECT_NE(late.out.find("Audio time stamps jump by 324000000 ticks"), std::string::npos) << late.out;

        // Five seconds later with the discontinuity_indicator at the PCR: audio alone, with
        // no video to tell, takes the PCR's jump as a new time base.
        run_kavel({"-s", dir.file("clean.ts"), "1", "0", c.audio}, dir.path());
        const bytes alone = read_file(dir.file("bits0001.mpa"));
        write_file(dir.file("late.ts"), shifted(clean, clean.size() / 376 * 188, 90000ull * 5, true));
        const program_result moved = run_kavel({"-s", dir.file("late.ts"), "1", "0", c.audio}, dir.path());
        EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == alone) << c.fixture << moved.out;

        // Lost video: counted, the audio untouched.
        const std::vector<size_t> video = packets_of(clean, 0x100, true);
        write_file(dir.file("novideo.ts"), without(clean, {video[video.size() / 2]}));
        run_kavel({"-s", dir.file("novideo.ts"), "1", "1", c.audio}, dir.path());
        EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == read_file(dir.file("clean.es"))) << c.fixture;
    }
}

TEST(SyncE2E, AFrameThatFailsItsCrcIsFilled) {
    // One bit flipped in the bit allocation of a frame in the middle: AC-3 always carries a
    // CRC, the MP2 of this DVB capture one too (protection_bit 0).
    const struct { std::string path, program, audio; uint16_t pid; uint8_t sync[2]; const char* format; } cases[] = {
        {test_data("long_audio.ts"), "1", "4", 0x105, {0x0B, 0x77}, "ac3"},
        {shared_sample("test-108.ts"), "3403", "1", 652, {0xFF, 0xFC}, "mp3"}};
    for (const auto& c : cases) {
        if (!file_exists(c.path) || !have_tool("ffprobe")) continue;
        temp_dir dir;
        run_kavel({"-s", c.path, c.program, "1", c.audio}, dir.path());
        const size_t frames = frames_of(dir.file("bits0001.mpa"), c.format).size();
        bytes ts = read_file(c.path);
        const std::vector<size_t> plain = packets_of(ts, c.pid, true);
        for (size_t k = plain.size() / 2, at = ts.size(); at == ts.size(); ++k) {
            const auto from = ts.begin() + long(plain[k] + 4), to = from + 172;
            at = size_t(std::search(from, to, c.sync, c.sync + 2) - ts.begin());
            if (at < size_t(to - ts.begin())) ts[at + 7] ^= 0x10; else at = ts.size();
        }
        write_file(dir.file("flipped.ts"), ts);
        const program_result r = run_kavel({"-s", dir.file("flipped.ts"), c.program, "1", c.audio}, dir.path());
        EXPECT_EQ(frames_of(dir.file("bits0001.mpa"), c.format).size(), frames) << c.path;
        EXPECT_NE(r.out.find(" 1 frames filled"), std::string::npos) << r.out;
    }
}
