// H.264 programs end to end. The video output is checked against the elementary stream
// that FFmpeg copies out (-c copy) from the first access unit whose delimiter announces
// I slices only; the report against the SPS bytes and the packet time stamps ffprobe
// lists; the audio against FFmpeg's copy from the frame that the first video PTS calls
// for. Fixtures carry these oracles in tests/data; for the shared real captures they are
// made here with FFmpeg (the tests skip without it).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "audio_frames.h"
#include "h264_units.h"
#include "pes_streams.h"
#include "program.h"

using namespace kt;

namespace {

struct es_packet {
    uint64_t pts;
    size_t size;
};

// The packets of the stream `pid` ("0x100") in a listing by scripts/probe_facts.py that
// lists every packet. A packet without a PTS keeps the one before, as the PES layer does.
std::vector<es_packet> probe_packets(const std::string& listing, const std::string& pid) {
    std::ifstream in(listing);
    std::vector<es_packet> out;
    std::string line;
    bool mine = false;
    uint64_t pts = 0;
    while (std::getline(in, line)) {
        if (line.rfind("stream ", 0) == 0) mine = line.find(" pid=" + pid + " ") != std::string::npos;
        if (!mine || line.rfind("  packet ", 0) != 0) continue;
        const std::string p = line.substr(line.find("pts=") + 4);
        if (isdigit(p[0])) pts = std::stoull(p);
        out.push_back({pts, std::stoul(line.substr(line.find("size=") + 5))});
    }
    return out;
}

struct h264_case {
    std::string name;
    std::string file;   // the stream
    std::string opts;
    int program;
    std::string video_pid, audio_pid;
    std::string audio_format;  // "ac3", "mp2", or empty when the audio is not aligned
    bool exact = true;     // the output equals FFmpeg's copy from the I access unit
    bool damaged = false;  // lost packets: only what damage cannot move is compared
    // Starts at an IDR picture, so FFmpeg decodes it without a message; a capture that
    // starts at another I picture may lack references.
    bool clean_decode = true;
};

struct oracle {
    bytes video, audio;
    std::vector<es_packet> video_packets, audio_packets;
};

// Fixtures have their oracles in tests/data; for other streams FFmpeg makes them in `dir`
// (-copyinkf keeps the access units before the first key frame).
oracle load_oracle(const h264_case& c, const temp_dir& dir, bool fixture) {
    std::string base = test_data(c.name);
    if (!fixture) {
        base = dir.file(c.name);
        run_shell("(python3 " + std::string(KAVEL_SOURCE_DIR) + "/scripts/probe_facts.py --first 100000 --pids " +
                  c.video_pid + "," + c.audio_pid + " '" + c.file + "' > '" + base + ".probe.txt')");
        std::string copy = "ffmpeg -v error -nostdin -y -i '" + c.file + "' -map 0:i:" + c.video_pid +
                           " -c copy -copyinkf -f h264 '" + base + ".h264'";
        if (!c.audio_format.empty())
            copy += " -map 0:i:" + c.audio_pid + " -c copy -f " + c.audio_format + " '" + base + "." + c.audio_format + "'";
        run_shell(copy);
    }
    oracle o{read_file(base + ".h264"), {}, probe_packets(base + ".probe.txt", c.video_pid), {}};
    if (!c.audio_format.empty()) {
        o.audio = read_file(base + "." + c.audio_format);
        o.audio_packets = probe_packets(base + ".probe.txt", c.audio_pid);
    }
    return o;
}

size_t total_size(const std::vector<es_packet>& packets) {
    size_t n = 0;
    for (const es_packet& p : packets) n += p.size;
    return n;
}

// PTS of the packet that holds byte `at` of the stream.
uint64_t pts_at(const std::vector<es_packet>& packets, size_t at) {
    for (const es_packet& p : packets) {
        if (at < p.size) return p.pts;
        at -= p.size;
    }
    return 0;
}

std::string sps_lines(const bytes& es, size_t from) {
    const bytes sps = {0x00, 0x00, 0x01, 0x67}, sps1 = {0x00, 0x00, 0x01, 0x27};
    auto at = std::search(es.begin() + long(from), es.end(), sps.begin(), sps.end());
    at = std::min(at, std::search(es.begin() + long(from), es.end(), sps1.begin(), sps1.end()));
    if (es.end() - at < 7) return "no SPS";
    const int profile = at[4], level = at[6];
    const std::pair<int, const char*> names[] = {{66, "Baseline"}, {77, "Main"}, {88, "Extended"}, {100, "High"},
                                                 {110, "High 10"},  {122, "High 4:2:2"}, {144, "High 4:4:4"}};
    std::string name = "Unknown";
    for (const auto& [idc, text] : names)
        if (idc == profile) name = text;
    if (level == 11 && (at[5] & 0x10)) return name + " Profile\nLevel = 1b\n";
    return name + " Profile\n" + strf("Level = %d.%d\n", level / 10, level % 10);
}

// Access unit `k` (from delimiter k to the next) is one a decoder can start from: its
// delimiter announces I slices only, or it holds an IDR slice or a recovery point SEI
// (as x264 writes it: a NAL unit of its own, 06 06 01).
bool decoder_can_start(const bytes& es, const std::vector<size_t>& auds, size_t k) {
    if (es[auds[k] + 4] <= 0x1F) return true;
    const size_t end = k + 1 < auds.size() ? auds[k + 1] : es.size();
    for (size_t at = auds[k] + 4; at + 5 < end; ++at) {
        if (es[at] != 0 || es[at + 1] != 0 || es[at + 2] != 1) continue;
        if ((es[at + 3] & 0x1F) == 5) return true;
        if (es[at + 3] == 0x06 && es[at + 4] == 0x06 && es[at + 5] == 0x01) return true;
    }
    return false;
}

// Runs kavel on `c` (its file replaced by `input` when given) and compares with the
// oracle, whose packets before `skip` are not in the input.
void check(const h264_case& c, const oracle& o, size_t skip = 0, const std::string& input = "") {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(o.video.empty());
    ASSERT_EQ(total_size(o.video_packets), o.video.size());
    temp_dir dir;
    const program_result r = run_kavel({c.opts, input.empty() ? c.file : input, std::to_string(c.program), "1", "1"},
                                       dir.path());
    ASSERT_EQ(r.status, 0);

    size_t from = 0;
    for (size_t k = 0; k < skip; ++k) from += o.video_packets[k].size;
    std::vector<size_t> auds;  // access unit delimiters
    for (size_t at : offsets_of(o.video, {0x00, 0x00, 0x01, 0x09}))
        if (at >= from && at + 4 < o.video.size()) auds.push_back(at);
    size_t k = 0;
    while (k < auds.size() && !decoder_can_start(o.video, auds, k)) ++k;
    ASSERT_LT(k + 1, auds.size()) << "no start access unit with one after it";
    const uint64_t first_pts = std::min(pts_at(o.video_packets, auds[k]), pts_at(o.video_packets, auds[k + 1]));

    // The output: a 4-byte start code and the delimiter type, then the stream from the
    // I access unit's primary_pic_type byte, end units turned into filler.
    const bytes want = h264_ends_as_filler(bytes{0x00, 0x00, 0x00, 0x01, 0x09} + slice(o.video, auds[k] + 4));
    const bytes video = read_file(dir.file("bits0001.mpv"));
    if (c.exact) {
        EXPECT_TRUE(video == want) << "video differs: " << video.size() << " bytes, expected " << want.size();
    } else {
        ASSERT_GE(video.size(), 64u);
        EXPECT_TRUE(bytes(video.begin(), video.begin() + 64) == bytes(want.begin(), want.begin() + 64));
    }

    const auto has = [&r](const std::string& text) { return r.out.find(text) != std::string::npos; };
    EXPECT_TRUE(has(sps_lines(o.video, from))) << r.out;
    EXPECT_TRUE(has(strf("First Video PTS = 0x%08x\n", uint32_t(first_pts)))) << r.out;
    if (!c.damaged) {
        EXPECT_TRUE(has(strf("%zu frames before first I-frame\n", k))) << r.out;
        EXPECT_TRUE(has(strf("coded pictures = %zu, video fields = 0\n", auds.size()))) << r.out;
        // FFmpeg decodes the output as it decodes its own copy from the same access unit.
        write_file(dir.file("own.h264"), want);
        const std::string own = decode_messages(dir.file("own.h264"), "h264");
        if (video != want) {
            EXPECT_EQ(decode_messages(dir.file("bits0001.mpv"), "h264"), own);
        }
        if (c.clean_decode) {
            EXPECT_EQ(own, "");
        }
    }

    // The audio starts at the first frame that begins less than one frame's threshold
    // before the first video PTS.
    if (c.audio_format.empty()) return;
    ASSERT_EQ(total_size(o.audio_packets), o.audio.size());
    const uint64_t threshold = c.audio_format == "ac3" ? 2800 : 2160;
    size_t offset = 0, j = 0;
    for (; j < o.audio_packets.size() && o.audio_packets[j].pts + threshold <= first_pts; ++j)
        offset += o.audio_packets[j].size;
    const bytes audio = read_file(dir.file("bits0001.mpa"));
    EXPECT_TRUE(audio == bytes(o.audio.begin() + long(offset), o.audio.end()))
        << "audio differs: " << audio.size() << " bytes, expected from byte " << offset;
    if (j == o.audio_packets.size()) return;
    EXPECT_TRUE(has(first_audio_pts(o.audio_packets[j].pts, first_pts))) << r.out;
    EXPECT_EQ(decode_messages(dir.file("bits0001.mpa"), c.audio_format == "mp2" ? "mp3" : "ac3"), "");
}

const h264_case fixtures[] = {
    {"h264_mp2_1080", test_data("h264_mp2_1080.ts"), "-s", 1, "0x100", "0x101", "mp2"},
    {"h264_ac3_720", test_data("h264_ac3_720.m2ts"), "-sh", 1, "0x1011", "0x1100", "ac3"},
};

// The video PID's packets before its `units`-th unit start are left out, so the stream
// begins with the access units that follow (P and B ones, in the middle of a GOP).
bytes without_leading_units(const bytes& ts, uint16_t pid, int units) {
    bytes out;
    int seen = 0;
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const uint8_t* p = &ts[at];
        const bool mine = packet_pid(p) == pid;
        if (mine && (p[1] & 0x40)) ++seen;
        if (!mine || seen > units) out.insert(out.end(), p, p + 188);
    }
    return out;
}

}  // namespace

TEST(H264E2E, FixturesFromTheirFirstIAccessUnit) {
    temp_dir scratch;
    for (const h264_case& c : fixtures) check(c, load_oracle(c, scratch, true));
}

TEST(H264E2E, StreamBeginningWithPAndBAccessUnits) {
    const h264_case& c = fixtures[0];
    temp_dir scratch;
    const oracle o = load_oracle(c, scratch, true);
    const std::string cut = scratch.file("cut.ts");
    write_file(cut, without_leading_units(read_file(c.file), 0x100, 2));
    check(c, o, 2, cut);
}

TEST(H264E2E, SharedCaptures) {
    if (!have_tool("ffmpeg") || !have_tool("python3")) GTEST_SKIP() << "needs ffmpeg and python3";
    // test-026 starts 27 access units before an I picture that is not IDR; its audio is
    // E-AC-3 and ends before that picture. test-072's PES packets declare one byte less
    // than they carry (one declares 921 less), a trailing zero byte that FFmpeg's copy
    // drops at six PES boundaries; its audio is AAC.
    // test-143 has lost packets (kavel and FFmpeg lose different access units); its
    // audio ends before the first video PTS, so none is written.
    const h264_case captures[] = {
        {"test-026", shared_sample("test-026.ts"), "-s", 257, "0x78", "0x82", "", true, false, false},
        {"test-072", shared_sample("test-072.ts"), "-s", 1, "0x65", "0x64", "", false},
        {"test-143", shared_sample("test-143.ts"), "-s", 60, "0x3d", "0x40", "mp2", false, true},
        // Delimiters from FFmpeg's muxer (09 F0: any slice), as in test-064: the output
        // starts at the first IDR access unit all the same, and the audio with it.
        {"test-064", shared_sample("test-064.ts"), "-s", 1, "0x100", "0x101", "mp2"},
        {"start_h264_muxer_aud", test_data("start_h264_muxer_aud.ts"), "-s", 1, "0x100", "0x101", "mp2"},
    };
    int seen = 0;
    temp_dir scratch;
    for (const h264_case& c : captures) {
        if (!file_exists(c.file)) continue;
        ++seen;
        check(c, load_oracle(c, scratch, false));
    }
    if (seen == 0) GTEST_SKIP() << "shared captures absent";
    // test-072's output holds every byte of its PES payloads from the I access unit on.
    if (!file_exists(captures[1].file)) return;
    const bytes es = read_carried_stream(read_file(captures[1].file), 0x65).es;
    const program_result r = run_kavel({"-s", captures[1].file, "1", "1", "1"}, scratch.path());
    const bytes want = bytes{0x00, 0x00, 0x00, 0x01, 0x09} + slice(es, offsets_of(es, {0x00, 0x00, 0x01, 0x09})[0] + 4);
    EXPECT_TRUE(read_file(scratch.file("bits0001.mpv")) == want);
}

TEST(H264E2E, RecoveryPointStartInAStreamCutInTheMiddleOfAGop) {
    // An open-GOP stream without delimiters from the encoder (the muxer's say any slice),
    // cut to begin five access units after the IDR picture: the output starts at the next
    // I picture, a non-IDR one with a recovery point.
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "needs ffmpeg";
    temp_dir dir;
    write_file(dir.file("cut.ts"), without_leading_units(read_file(test_data("start_h264_open_gop.ts")), 0x100, 5));
    run_shell("ffmpeg -v error -nostdin -y -i '" + test_data("start_h264_open_gop.ts") +
              "' -map 0:v -c copy -f h264 '" + dir.file("whole.h264") + "'");
    const bytes whole = read_file(dir.file("whole.h264"));
    const std::vector<size_t> sei = offsets_of(whole, {0x00, 0x00, 0x01, 0x06, 0x06, 0x01});
    ASSERT_FALSE(sei.empty());
    size_t aud = 0;  // the delimiter of the access unit with the first recovery point
    for (size_t at : offsets_of(whole, {0x00, 0x00, 0x01, 0x09}))
        if (at < sei[0]) aud = at;

    const program_result r = run_kavel({"-s", dir.file("cut.ts"), "1", "1", "1"}, dir.path());
    ASSERT_EQ(r.status, 0);
    const bytes video = read_file(dir.file("bits0001.mpv"));
    const bytes want = bytes{0x00, 0x00, 0x00, 0x01, 0x09} + slice(whole, aud + 4);
    EXPECT_TRUE(video == want) << video.size() << " bytes, expected " << want.size();
    EXPECT_NE(r.out.find("frames before first I-frame"), std::string::npos);
    // FFmpeg decodes it; only the leading B pictures, which reference pictures before the
    // start, may be reported.
    const std::string messages = decode_messages(dir.file("bits0001.mpv"), "h264");
    EXPECT_EQ(messages.find("non-existing PPS"), std::string::npos) << messages;
    EXPECT_GT(read_file(dir.file("bits0001.mpa")).size(), 0u);
}
