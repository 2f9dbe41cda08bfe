// Input as users have it: packet sizes found without option h, standard input, parts of a
// split recording joined with '+', and the progress line on a terminal. Each run is
// checked whole (report, messages, status, both outputs) against the plain run it must
// equal; those plain runs are checked against FFmpeg's copies elsewhere.
#include <gtest/gtest.h>

#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

struct whole_run {
    program_result result;
    bytes video, audio;
};

// `command` run by the shell in a fresh folder, with `kavel` standing for the program. The
// input's name in the pointer to the listing is taken out, as it differs between forms.
whole_run run_line(const std::string& command, const std::string& input) {
    temp_dir dir;
    std::string line = command;
    const size_t at = line.find("kavel ");
    line.replace(at, 5, KAVEL_BINARY);
    whole_run r;
    const program_result shell = run_shell("(cd " + dir.path() + " && " + line + " 2>" + dir.file("err") + "; echo \"status $?\")");
    r.result.out = shell.out;
    const bytes err = read_file(dir.file("err"));
    r.result.err.assign(err.begin(), err.end());
    const std::string hint = "kavel -l " + input + "\n";
    if (const size_t at = r.result.err.find(hint); at != std::string::npos) r.result.err.replace(at, hint.size(), "kavel -l\n");
    r.video = read_file(dir.file("bits0001.mpv"));
    r.audio = read_file(dir.file("bits0001.mpa"));
    return r;
}

// Equal in all but the report lines `extra` (whole lines, in order, anywhere).
void expect_same_but(const whole_run& got, const whole_run& want, const std::string& extra, const std::string& what) {
    std::string out = got.result.out;
    for (size_t from = 0, end; (end = extra.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string line = extra.substr(from, end + 1 - from);
        const size_t at = out.find(line);
        ASSERT_NE(at, std::string::npos) << what << ": no line " << line;
        out.erase(at, line.size());
    }
    EXPECT_EQ(out, want.result.out) << what;
    EXPECT_EQ(got.result.err, want.result.err) << what;
    EXPECT_TRUE(got.video == want.video) << what << ": video differs";
    EXPECT_TRUE(got.audio == want.audio) << what << ": audio differs";
}

// The option sets of the end-to-end tests and of compare_builds.sh.
const std::vector<std::string> option_sets = {"-s %s 1 1 1", "-sz %s 1 1 1", "-s %s 1 1 2", "-s %s 1 0 1",
                                              "-pavtdgres2 %s 1 1 1", "-l %s"};

whole_run run_with(const std::string& options, const std::string& input, const std::string& before = "",
                   const std::string& after = "") {
    const size_t at = options.find("%s");
    return run_line(before + "kavel " + options.substr(0, at) + input + options.substr(at + 2) + after, input);
}

}  // namespace

TEST(InputE2E, PacketSizeFoundWithoutOptionH) {
    const std::string m2ts = test_data("h264_ac3_720.m2ts");
    const std::string plain = test_data("mpeg2_ac3_44k.ts"), parity = test_data("mpeg2_ac3_44k_parity.ts");
    for (const std::string& options : option_sets) {
        const bool listing = options[1] == 'l';
        std::string h = options;
        h.insert(options.find(' '), "h");
        expect_same_but(run_with(options, m2ts), run_with(h, m2ts),
                        listing ? "" : "Packet size = 192 bytes: a 4-byte arrival time header before each packet\n", options);
        expect_same_but(run_with(options, parity), run_with(options, plain),
                        listing ? "" : "Packet size = 204 bytes: 16 parity bytes after each packet, skipped\n", options);
    }
}

TEST(InputE2E, StandardInputGivesWhatTheFileGives) {
    for (const std::string name : {"mpeg2_ac3_51.ts", "h264_ac3_720.m2ts", "multi_program.ts"}) {
        for (const std::string& options : option_sets)
            expect_same_but(run_with(options, "-", "cat " + test_data(name) + " | "),
                            run_with(options, test_data(name), "", " </dev/null"), "", name + " " + options);
    }
}

TEST(InputE2E, PartsReadAsOneStreamWithoutTheirRepeatedPackets) {
    std::string parts;
    for (const char* n : {"1", "2", "3"}) parts += (parts.empty() ? "" : "+") + test_data(std::string("mpeg2_mp2_2997.split") + n + ".ts");
    const std::string whole = test_data("mpeg2_mp2_2997.ts");
    for (const std::string& options : option_sets) {
        const whole_run joined = run_with(options, parts);
        EXPECT_EQ(joined.result.out.find("Discontinuity"), std::string::npos);
        expect_same_but(joined, run_with(options, whole),
                        options[1] == 'l' ? "" : "Part 2 repeats the last 100 packets of part 1: skipped, at 412\n", options);
    }
    // A missing part is named; a name that exists is that file, '+' or not.
    temp_dir dir;
    write_file(dir.file("a+b.ts"), read_file(whole));
    const program_result missing = run_kavel({"-p", whole + "+nothing.ts", "1", "1", "1"}, dir.path());
    EXPECT_EQ(missing.err, "Cannot open bitstream file <nothing.ts>\n");
    EXPECT_EQ(run_kavel({"-ps", "a+b.ts", "1", "1", "1"}, dir.path()).out,
              run_kavel({"-ps", whole, "1", "1", "1"}, dir.path()).out);
}

TEST(InputE2E, ProgressOnATerminalOnly) {
    if (!have_tool("script")) GTEST_SKIP() << "no script(1)";
    const std::string input = test_data("audio_sync.ts");  // more than 16 blocks
    const std::string run = std::string(KAVEL_BINARY) + " -ps " + input + " 1 1 1";
    // Under a pseudo-terminal standard error shows it, and clears it at the end.
    const program_result tty = run_shell("script -qec '" + run + " >/dev/null' /dev/null");
    EXPECT_NE(tty.out.find(" %  "), std::string::npos) << tty.out;
    EXPECT_NE(tty.out.find(" left "), std::string::npos) << tty.out;
    // Captured, it never shows; a terminal on standard input is no stream.
    EXPECT_EQ(run_shell("(" + run + " >/dev/null)").out, "");
    const program_result stdin_tty = run_shell("script -qec '" + std::string(KAVEL_BINARY) + " -p - 1 1 1; echo status $?' /dev/null");
    EXPECT_NE(stdin_tty.out.find("Cannot open bitstream file <->"), std::string::npos) << stdin_tty.out;
    EXPECT_NE(stdin_tty.out.find("status 255"), std::string::npos);
}

TEST(InputE2E, CapturesStartAtTheirFirstPictureEvenBeforeThePmt) {
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    // FFmpeg's copy holds the video from the file's first packet on; both captures begin
    // with a sequence header or an IRAP picture ahead of their program's first PMT. HEVC
    // output begins with a 4-byte start code where FFmpeg's has three bytes.
    struct capture_case { const char* file; const char* program; const char* format; size_t zeros; };
    for (const capture_case& c : {capture_case{"test-108.ts", "3403", "mpeg2video", 0},
                                  capture_case{"test-137.ts", "3012", "hevc", 1}}) {
        if (!file_exists(shared_sample(c.file))) continue;
        temp_dir dir;
        run_shell("ffmpeg -v error -i " + shared_sample(c.file) + " -map 0:p:" + c.program + ":v:0 -c copy -f " +
                  c.format + " " + dir.file("ref"));
        run_kavel({"-s", shared_sample(c.file), c.program, "1", "0"}, dir.path());
        EXPECT_TRUE(read_file(dir.file("bits0001.mpv")) == bytes(c.zeros, 0) + read_file(dir.file("ref"))) << c.file;
    }
}
