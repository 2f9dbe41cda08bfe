// Whole runs on FFmpeg-made streams of every codec (tests/data/codecs*) and real captures: the
// audio is FFmpeg's copy from the frame that holds the first video PTS (LATM: the next with
// its config), or all of it with video 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

struct frame { uint64_t pts; size_t at; };

// Every packet of audio stream n (PID 0x100 + n) in a .probe.txt, with its offset in the ES.
std::vector<frame> probed_frames(const std::string& fixture, int n) {
    std::ifstream in(test_data(fixture + ".probe.txt"));
    std::vector<frame> frames;
    bool ours = false;
    size_t at = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("stream ", 0) == 0) ours = line.find(strf(" pid=0x%x ", 0x100 + n)) != std::string::npos;
        if (!ours || line.find("packet pts=") == std::string::npos) continue;
        frames.push_back({std::stoull(line.substr(line.find("pts=") + 4)), at});
        at += std::stoull(line.substr(line.find("size=") + 5));
    }
    return frames;
}

uint64_t hex_after(const std::string& r, const std::string& key) {
    return r.find(key) == std::string::npos ? 0 : std::stoull(r.substr(r.find(key) + key.size()), nullptr, 16);
}

}  // namespace

TEST(CodecsE2E, AudioStartsAtTheFrameThatContainsTheFirstPicture) {
    struct codec_case { const char* fixture; int n; const char* ext; const char* format; const char* mode; };
    const codec_case cases[] = {
        {"codecs", 1, "mp3", "mp3", "Audio Emphasis = None, copyright = 0, original = 1\nAudio Layer = III, MPEG-1\n"},
        {"codecs", 2, "mp3", "mp3", "Audio Mode = Single Channel, mode_extension = 0\n"},
        {"codecs", 3, "mp3", "mp3", "Audio Layer = III, MPEG-2\n"},
        {"codecs", 4, "mp3", "mp3", "Audio Bitrate = 32000, Audio Sampling Rate = 22050\n"},
        {"codecs", 5, "dts", "dts", "Audio Bitrate = 768000, Audio Sampling Rate = 48000\nAudio Mode = 3/2+LFE, DTS\n"},
        {"codecs", 6, "aac", "aac", "Audio Sampling Rate = 44100\nAudio Mode = 2/0, AAC LC\n"},
        {"codecs", 7, "aac", "aac", "Audio Mode = 1/0, AAC LC\n"},
        {"codecs", 8, "eac3", "eac3", "Audio Bitrate = 96000, Audio Sampling Rate = 48000\nAudio Mode = 2/0, E-AC-3, bsid = 16\n"},
        {"codecs_latm", 1, "latm", "loas", "Audio Mode = 2/0, AAC LC, LATM\n"},
        {"codecs_latm", 2, "latm", "loas", "Audio Mode = 1/0, AAC LC, LATM\n"},
        {"codecs_dvb", 1, "eac3", "eac3", "Audio Mode = 3/2+LFE, E-AC-3, bsid = 16\n"}};
    for (const codec_case& c : cases) {
        const std::string ts = test_data(std::string(c.fixture) + ".ts"), n = std::to_string(c.n);
        SCOPED_TRACE(ts + " " + n);
        const bytes es = read_file(test_data(std::string(c.fixture) + ".a" + n + "." + c.ext));
        const std::vector<frame> frames = probed_frames(c.fixture, c.n);
        ASSERT_GT(frames.size(), 20u);
        temp_dir dir;
        program_result r = run_kavel({"-s", ts, "1", "1", n}, dir.path());
        EXPECT_NE(r.out.find(c.mode), std::string::npos) << r.out;
        const uint64_t video = hex_after(r.out, "First Video PTS = 0x");
        size_t first = 0;
        while (frames[first + 1].pts <= video) ++first;
        // LATM: the first frame at or after it whose AudioMuxElement carries its config.
        const bool latm = c.format == std::string("loas");
        while (latm && (es[frames[first].at + 3] & 0x80)) ++first;
        EXPECT_NEAR(double(hex_after(r.out, "First Audio PTS = 0x")), double(frames[first].pts), 1.0) << r.out;
        EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == slice(es, frames[first].at)) << "expected from frame " << first;
        // LATM decodes from its first byte with no probing at all.
        const program_result d = run_shell("ffmpeg -v error -probesize 32 -analyzeduration 0 -f loas -i " +
                                           dir.file("bits0001.mpa") + " -f s16le - | wc -c");
        EXPECT_TRUE(!latm || !have_tool("ffmpeg") || std::stoul(d.out) > 60000u);
        if (!latm) expect_decodes(dir.file("bits0001.mpa"), c.format);
        r = run_kavel({"-s", ts, "1", "0", n}, dir.path());
        EXPECT_NE(r.out.find(strf("First Audio PTS = 0x%08x\n", uint32_t(frames[0].pts))), std::string::npos);
        EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == es);
    }
}

TEST(CodecsE2E, RealCaptures) {
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    // E-AC-3 under 0x06 and 0x87 (audio ending before the first I picture), DTS-HD under
    // HDMV 0x86 (re-framed in 192-byte units), MPEG audio whose time stamps wrap past 2^33
    // and run 6.5 hours after the video's (FFmpeg's copy begins with bytes before its first frame).
    struct capture_case { const char* file; const char* args[4]; const char* pid; const char* format; const char* lines;
                          const char* decoder; };
    const capture_case cases[] = {
        {"test-026.ts", {"-s", "257", "0", "1"}, "0x82", "eac3", "Audio Mode = 2/0, E-AC-3, bsid = 16\n", nullptr},
        {"test-151.ts", {"-s", "1", "0", "3"}, "0x103", "eac3", "Audio Mode = 2/0, E-AC-3, bsid = 16\n", "eac3"},
        {"test-139.ts", {"-sh", "1", "1", "1"}, "0x1100", "dts", "3/2+LFE, DTS\nFirst Audio PTS = 0x1687da00, 1920\n", "dts"},
        {"test-108.ts", {"-s", "3403", "1", "2"}, "0x2b9", "mp2", "First Audio PTS = 0x7451c325, 2105171973\n", "mp3"}};
    for (const capture_case& c : cases) {
        SCOPED_TRACE(c.file);
        if (!file_exists(shared_sample(c.file))) continue;
        temp_dir dir;
        std::string input = shared_sample(c.file);
        if (c.args[0] == std::string("-sh")) {
            const bytes plain = read_file(input);
            bytes units;
            for (size_t at = 0; at + 188 <= plain.size(); at += 188) units = units + bytes(4, 0) + slice(plain, at, at + 188);
            write_file(input = dir.file("in.m2ts"), units);
        }
        run_shell("ffmpeg -v error -i " + input + " -map 0:i:" + c.pid + " -c copy -f " + c.format + " " + dir.file("ref"));
        const program_result r = run_kavel({c.args[0], input, c.args[1], c.args[2], c.args[3]}, dir.path());
        EXPECT_NE(r.out.find(c.lines), std::string::npos) << r.out;
        const bytes written = read_file(dir.file("bits0001.mpa")), ref = read_file(dir.file("ref"));
        EXPECT_FALSE(written.empty());
        EXPECT_TRUE(written.size() <= ref.size() && written == slice(ref, ref.size() - written.size()));
        if (c.decoder) expect_decodes(dir.file("bits0001.mpa"), c.decoder);
    }
}

TEST(CodecsE2E, EveryAudioStreamInOnePassWritesWhatEachRunOfItsOwnWrites) {
    // Eight audio streams of every syntax: `all` and a list write, for each stream, the
    // file its own run writes, and the video unchanged; numbers after the first get files
    // named by their number.
    const std::string ts = test_data("codecs.ts");
    temp_dir all, list;
    const program_result r = run_kavel({"-s", ts, "1", "1", "all"}, all.path());
    EXPECT_EQ(r.status, 0) << r.err;
    run_kavel({"-s", ts, "1", "1", "3,1"}, list.path());
    for (int n = 1; n <= 8; ++n) {
        temp_dir one;
        run_kavel({"-s", ts, "1", "1", std::to_string(n)}, one.path());
        const std::string name = n == 1 ? "/bits0001.mpa" : strf("/bits0001.audio%d.mpa", n);
        const bytes own = read_file(one.path() + "/bits0001.mpa");
        EXPECT_FALSE(own.empty()) << n;
        EXPECT_TRUE(read_file(all.path() + name) == own) << n;
        EXPECT_TRUE(read_file(all.path() + "/bits0001.mpv") == read_file(one.path() + "/bits0001.mpv")) << n;
        // With "3,1" the first listed keeps bits0001.mpa.
        if (n == 1) {
            EXPECT_TRUE(read_file(list.path() + "/bits0001.audio1.mpa") == own);
        }
        if (n == 3) {
            EXPECT_TRUE(read_file(list.path() + "/bits0001.mpa") == own);
        }
        EXPECT_NE(r.out.find(strf("audio %d: Ending audio to video PTS difference", n)), std::string::npos) << n;
    }
    EXPECT_FALSE(file_exists(list.path() + "/bits0001.audio2.mpa"));
}

TEST(ReportE2E, JsonReportAgreesWithFfprobeAndTheFilesWritten) {
    if (!have_tool("ffprobe") || !have_tool("python3")) GTEST_SKIP() << "needs ffprobe and python3";
    std::vector<std::string> inputs = {test_data("codecs.ts"), test_data("multi_program.ts"),
                                       test_data("m2ts_lpcm_51_24.m2ts"), test_data("test-026.ts")};
    // Every shared capture but test-143: no PMT copy of it has a CRC_32 that matches, and
    // its first copy, which the listing takes, names other PIDs than the later ones
    // ffprobe keeps.
    const std::filesystem::path samples = shared_sample("");
    if (std::filesystem::is_directory(samples))
        for (const auto& e : std::filesystem::directory_iterator(samples))
            if (e.path().extension() == ".ts" && e.path().filename() != "test-143.ts") inputs.push_back(e.path());
    for (const std::string& in : inputs) {
        temp_dir dir;
        const program_result r = run_shell("python3 " + std::string(KAVEL_SOURCE_DIR) + "/tests/e2e/json_report_check.py " +
                                           std::string(KAVEL_BINARY) + " " + in + " " + dir.path());
        EXPECT_EQ(r.status, 0) << r.out;
    }
}

TEST(ReportE2E, OptionNNamesFilesAfterTheStreamAndWritesLpcmAsWav) {
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "needs ffmpeg";
    struct lpcm_case { const char* fixture; const char* format; };
    for (const lpcm_case& c : {lpcm_case{"m2ts_lpcm_51_24", "s24le"}, lpcm_case{"m2ts_lpcm_16", "s16le"}}) {
        temp_dir dir;
        const std::string m2ts = test_data(std::string(c.fixture) + ".m2ts");
        const program_result r = run_kavel({"-sn", m2ts, "1", "1", "1"}, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(file_exists(dir.file(std::string(c.fixture) + ".4113.m2v"))) << r.out;
        // The WAV decodes to the samples FFmpeg decodes from the stream itself.
        const std::string wav = dir.file(std::string(c.fixture) + ".4352.wav");
        const program_result ours = run_shell("ffmpeg -v error -i " + wav + " -f " + c.format + " - | md5sum");
        const program_result theirs =
            run_shell("ffmpeg -v error -i " + m2ts + " -map 0:a:0 -f " + std::string(c.format) + " - | md5sum");
        EXPECT_EQ(ours.out, theirs.out) << c.fixture;
        EXPECT_NE(r.out.find("Output file <" + std::string(c.fixture) + ".4352.wav>"), std::string::npos);
    }
}

namespace {

// A copy of a transport stream whose PMT gives every stream of type `from` the type `to`,
// its CRC_32 made anew.
bytes retyped(bytes ts, uint8_t from, uint8_t to) {
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        uint8_t* p = &ts[at];
        if (!(p[1] & 0x40) || !(p[3] & 0x10)) continue;
        uint8_t* s = p + 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
        s += 1 + s[0];
        if (s[0] != 0x02) continue;
        const size_t end = 3 + size_t((s[1] & 0x0F) << 8 | s[2]) - 4;
        for (size_t k = 12 + size_t((s[10] & 0x0F) << 8 | s[11]); k + 5 <= end; k += 5 + size_t((s[k + 3] & 0x0F) << 8 | s[k + 4]))
            if (s[k] == from) s[k] = to;
        const uint32_t crc = crc32_mpeg(s, end);
        for (int i = 0; i < 4; ++i) s[end + i] = uint8_t(crc >> (24 - 8 * i));
    }
    return ts;
}

}  // namespace

TEST(CodecsE2E, ContentThatIsNotWhatItsTypeSaysIsReadAsWhatItIs) {
    // Real captures with AAC in ADTS under 0x04, and HE-AAC in ADTS under LATM's 0x11: the
    // audio is the end of FFmpeg's copy, and decodes as that does.
    struct capture_case { const char* file; const char* args[4]; const char* pid; const char* line; };
    const capture_case captures[] = {
        {"test-072.ts", {"-s", "1", "1", "1"}, "0x64", "carries AAC in ADTS, not MPEG audio as its type 0x04 says"},
        {"dvbt2-hevc-heaac-latm.ts", {"-s", "1572", "1", "2"}, "0x1f97", "not AAC in LATM as its type 0x11 says"},
        {"dvbt2-hevc-heaac-latm.ts", {"-s", "1572", "0", "1"}, "0x1f96", "not AAC in LATM as its type 0x11 says"}};
    for (const capture_case& c : captures) {
        SCOPED_TRACE(c.file);
        if (!have_tool("ffmpeg") || !file_exists(shared_sample(c.file))) continue;
        temp_dir dir;
        run_shell("ffmpeg -v error -i " + shared_sample(c.file) + " -map 0:i:" + c.pid + " -c copy -f adts " + dir.file("ref"));
        const program_result r = run_kavel({c.args[0], shared_sample(c.file), c.args[1], c.args[2], c.args[3]}, dir.path());
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        const bytes written = read_file(dir.file("bits0001.mpa")), ref = read_file(dir.file("ref"));
        EXPECT_GT(written.size(), 100000u);
        if (r.out.find("frames filled") == std::string::npos) {
            EXPECT_TRUE(written.size() <= ref.size() && written == slice(ref, ref.size() - written.size()));
            EXPECT_EQ(decode_messages(dir.file("bits0001.mpa"), "aac"), decode_messages(dir.file("ref"), "aac"));
        } else {
            // Audio lost in the capture was filled: what follows the gap is the stream's own.
            const size_t tail = 32768;
            EXPECT_TRUE(written.size() > tail && slice(written, written.size() - tail) == slice(ref, ref.size() - tail));
        }
    }
    // FFmpeg-made streams whose PMT names another syntax (LATM under 0x0F, AC-3 under
    // 0x04) write what they write under their own type, with and without video.
    struct retype_case { const char* fixture; uint8_t from, to; const char* line; };
    const retype_case fixtures[] = {
        {"codecs_latm", 0x11, 0x0F, "carries AAC in LATM, not AAC in ADTS as its type 0x0f says: read as AAC in LATM\n"},
        {"mpeg2_ac3_51", 0x81, 0x04, "carries AC-3, not MPEG audio as its type 0x04 says: read as AC-3\n"}};
    for (const retype_case& c : fixtures) {
        temp_dir dir;
        const std::string right = test_data(std::string(c.fixture) + ".ts"), wrong = dir.file("in.ts");
        write_file(wrong, retyped(read_file(right), c.from, c.to));
        for (const char* video : {"0", "1"}) {
            SCOPED_TRACE(std::string(c.fixture) + " " + video);
            run_kavel({"-s", right, "1", video, "1"}, dir.path());
            const bytes expected = read_file(dir.file("bits0001.mpa"));
            const program_result r = run_kavel({"-s", wrong, "1", video, "1"}, dir.path());
            EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
            EXPECT_FALSE(expected.empty());
            EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == expected);
        }
    }
}
