// End to end: damage stays inside its transport packet. Two kinds seen on real captures,
// made on a clean one (test-025, MPEG-2 video on 0x1000, MPEG audio on 0x1001): a lost
// audio packet in the middle of a PES packet, and an adaptation_field_length that runs
// past its packet.
#include <gtest/gtest.h>

#include <algorithm>

#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

uint16_t pid_of(const uint8_t* p) { return uint16_t(((p[1] & 0x1F) << 8) | p[2]); }

// The index of the `n`th packet (from 1) on `pid` without unit start and adaptation field.
size_t nth_plain_packet(const bytes& ts, uint16_t pid, int n) {
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const uint8_t* p = &ts[at];
        if (pid_of(p) == pid && !(p[1] & 0x40) && (p[3] & 0x30) == 0x10 && --n == 0) return at;
    }
    return ts.size();
}

bool ends_with(const bytes& whole, const bytes& tail) {
    return tail.size() <= whole.size() && std::equal(tail.begin(), tail.end(), whole.end() - long(tail.size()));
}

}  // namespace

TEST(DamageE2E, LostAudioPacketEndsItsPesPacketAndTheAudioIsFfmpegsCopy) {
    const std::string sample = shared_sample("test-025.ts");
    if (!file_exists(sample)) GTEST_SKIP() << "test-025.ts absent";
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    bytes ts = read_file(sample);
    // Drop the 301st packet without unit start of the audio PID (mid-PES: its PES packet
    // is cut short).
    int plain = 0;
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const uint8_t* p = &ts[at];
        if (pid_of(p) == 0x1001 && !(p[1] & 0x40) && ++plain == 301) {
            ts.erase(ts.begin() + long(at), ts.begin() + long(at + 188));
            break;
        }
    }
    temp_dir dir;
    write_file(dir.file("drop.ts"), ts);
    ASSERT_EQ(run_shell("cd '" + dir.path() + "' && ffmpeg -v quiet -nostdin -i drop.ts -map 0:a -c copy -f data ff.mpa")
                  .status,
              0);
    const bytes copy = read_file(dir.file("ff.mpa"));
    // Reading begins after the first PAT and PMT, and with video 1 at the audio frame of
    // the first video time stamp: the output is the end of FFmpeg's copy, and no PES header
    // (00 00 01 C0) went into it.
    for (const char* video : {"0", "1"}) {
        run_kavel({"-s", dir.file("drop.ts"), "2064", video, "1"}, dir.path());
        const bytes audio = read_file(dir.file("bits0001.mpa"));
        EXPECT_GT(audio.size(), copy.size() / 2) << video;
        EXPECT_TRUE(ends_with(copy, audio)) << video;
        const bytes header = {0x00, 0x00, 0x01, 0xC0};
        EXPECT_EQ(std::search(audio.begin(), audio.end(), header.begin(), header.end()), audio.end()) << video;
    }
}

TEST(DamageE2E, OverlongAdaptationFieldLosesOnlyItsOwnPacket) {
    const std::string sample = shared_sample("test-025.ts");
    if (!file_exists(sample)) GTEST_SKIP() << "test-025.ts absent";
    const bytes clean = read_file(sample);
    bytes ts = clean;
    // One video packet made adaptation_field_control 3 with a length of 215: its first
    // payload byte becomes the length, and all 184 bytes of payload are lost.
    const size_t at = nth_plain_packet(ts, 0x1000, 3000);
    ASSERT_LT(at, ts.size());
    const bytes lost(ts.begin() + long(at + 4), ts.begin() + long(at + 188));
    ts[at + 3] |= 0x30;
    ts[at + 4] = 215;
    temp_dir dir;
    write_file(dir.file("clean.ts"), clean);
    write_file(dir.file("damaged.ts"), ts);
    run_kavel({"-s", dir.file("clean.ts"), "2064", "1", "1"}, dir.path());
    const bytes whole = read_file(dir.file("bits0001.mpv"));
    const bytes audio = read_file(dir.file("bits0001.mpa"));
    run_kavel({"-s", dir.file("damaged.ts"), "2064", "1", "1"}, dir.path());
    const bytes video = read_file(dir.file("bits0001.mpv"));
    // The video is the clean run's with exactly the lost payload cut out; the audio is untouched.
    const auto found = std::search(whole.begin(), whole.end(), lost.begin(), lost.end());
    ASSERT_NE(found, whole.end());
    bytes expected(whole.begin(), found);
    expected.insert(expected.end(), found + long(lost.size()), whole.end());
    EXPECT_TRUE(video == expected);
    EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == audio);
}
