// End to end: damage stays inside its transport packet, on a clean capture (test-025,
// MPEG-2 video on 0x1000, MPEG audio on 0x1001) damaged as real ones are.
#include <gtest/gtest.h>

#include <algorithm>

#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

// Where the `n`th packet (from 1) on `pid` without unit start (and, with `payload_only`,
// without adaptation field) is.
size_t nth_plain_packet(const bytes& ts, uint16_t pid, int n, bool payload_only) {
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const uint8_t* p = &ts[at];
        if (((p[1] & 0x1F) << 8 | p[2]) == pid && !(p[1] & 0x40) && (!payload_only || (p[3] & 0x30) == 0x10) && --n == 0)
            return at;
    }
    return ts.size();
}

}  // namespace

TEST(DamageE2E, LostAudioPacketEndsItsPesPacketAndTheAudioIsFfmpegsCopy) {
    bytes ts = read_file(shared_sample("test-025.ts"));
    if (ts.empty() || !have_tool("ffmpeg")) GTEST_SKIP() << "test-025.ts or ffmpeg absent";
    // The 301st packet without unit start of the audio PID is lost: its PES packet is cut short.
    const size_t at = nth_plain_packet(ts, 0x1001, 301, false);
    ts.erase(ts.begin() + long(at), ts.begin() + long(at + 188));
    temp_dir dir;
    write_file(dir.file("drop.ts"), ts);
    run_shell("cd '" + dir.path() + "' && ffmpeg -v quiet -nostdin -i drop.ts -map 0:a -c copy -f data ff.mpa");
    const bytes copy = read_file(dir.file("ff.mpa"));
    // Reading begins after the first PAT and PMT, and with video 1 at the audio frame of
    // the first video time stamp: the output is the end of FFmpeg's copy (before, the next
    // PES header went into it).
    for (const char* video : {"0", "1"}) {
        run_kavel({"-s", dir.file("drop.ts"), "2064", video, "1"}, dir.path());
        const bytes audio = read_file(dir.file("bits0001.mpa"));
        ASSERT_GT(audio.size(), copy.size() / 2) << video;
        EXPECT_TRUE(std::equal(audio.begin(), audio.end(), copy.end() - long(audio.size()))) << video;
    }
}

TEST(DamageE2E, OverlongAdaptationFieldLosesOnlyItsOwnPacket) {
    const bytes clean = read_file(shared_sample("test-025.ts"));
    if (clean.empty()) GTEST_SKIP() << "test-025.ts absent";
    // A video packet made adaptation_field_control 3 with a length of 215: all 184 bytes
    // of its payload are lost, and no more.
    bytes ts = clean;
    const size_t at = nth_plain_packet(ts, 0x1000, 3000, true);
    const bytes lost(ts.begin() + long(at + 4), ts.begin() + long(at + 188));
    ts[at + 3] |= 0x30;
    ts[at + 4] = 215;
    temp_dir dir;
    write_file(dir.file("clean.ts"), clean);
    write_file(dir.file("damaged.ts"), ts);
    run_kavel({"-s", dir.file("clean.ts"), "2064", "1", "1"}, dir.path());
    const bytes whole = read_file(dir.file("bits0001.mpv")), audio = read_file(dir.file("bits0001.mpa"));
    run_kavel({"-s", dir.file("damaged.ts"), "2064", "1", "1"}, dir.path());
    const auto found = std::search(whole.begin(), whole.end(), lost.begin(), lost.end());
    ASSERT_NE(found, whole.end());
    bytes expected(whole.begin(), found);
    expected.insert(expected.end(), found + long(lost.size()), whole.end());
    EXPECT_TRUE(read_file(dir.file("bits0001.mpv")) == expected);
    EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == audio);
}
