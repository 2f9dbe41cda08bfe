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

TEST(DamageE2E, LostAudioPacketCostsOnlyTheFramesItTouched) {
    const bytes clean = read_file(shared_sample("test-025.ts"));
    if (clean.empty()) GTEST_SKIP() << "test-025.ts absent";
    // The 301st packet without unit start of the audio PID is lost: the frames it cut
    // are filled with silent ones, and the output keeps the clean run's length, every
    // other frame in its place.
    bytes ts = clean;
    const size_t at = nth_plain_packet(ts, 0x1001, 301, false);
    ts.erase(ts.begin() + long(at), ts.begin() + long(at + 188));
    temp_dir dir;
    write_file(dir.file("clean.ts"), clean);
    write_file(dir.file("drop.ts"), ts);
    for (const char* video : {"0", "1"}) {
        run_kavel({"-s", dir.file("clean.ts"), "2064", video, "1"}, dir.path());
        const bytes want = read_file(dir.file("bits0001.mpa"));
        const program_result r = run_kavel({"-s", dir.file("drop.ts"), "2064", video, "1"}, dir.path());
        const bytes audio = read_file(dir.file("bits0001.mpa"));
        ASSERT_EQ(audio.size(), want.size()) << video;
        size_t first = 0, last = audio.size();
        while (first < last && audio[first] == want[first]) ++first;
        while (last > first && audio[last - 1] == want[last - 1]) --last;
        EXPECT_LE(last - first, 2 * 768u) << video;  // two frames at most
        EXPECT_NE(r.out.find("frames filled (silent)"), std::string::npos) << r.out;
        expect_decodes(dir.file("bits0001.mpa"), "mp3");
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
