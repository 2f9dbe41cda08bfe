// Command line: argument forms, option letters and the three numbers.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/driver.h"
#include "feeder.h"

namespace {

struct parsed {
    command_line_result result;
    std::string err;
    std::string input;
    std::unique_ptr<context> ctx;
};

parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "kavel");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    parsed p;
    p.ctx = std::make_unique<context>();
    char* buf = nullptr;
    size_t len = 0;
    FILE* err = open_memstream(&buf, &len);
    const char* input = nullptr;
    p.result = parse_command_line(*p.ctx, int(argv.size()), argv.data(), err, &input);
    fclose(err);
    p.err.assign(buf, len);
    free(buf);
    if (input) p.input = input;
    return p;
}

}  // namespace

TEST(CommandLine, FourArgumentsAreAlwaysPathAndNumbers) {
    parsed p = parse({"-p", "1", "2", "3"});
    ASSERT_EQ(p.result, command_line_result::run);
    EXPECT_EQ(p.input, "-p");
    EXPECT_EQ(p.ctx->options.parse_only, 0u);
    EXPECT_EQ(p.ctx->selection.program_number, 1);
    EXPECT_EQ(p.ctx->selection.video_index, 2);
    EXPECT_EQ(p.ctx->selection.audio_index, 3);
}

TEST(CommandLine, WrongFormsAskForUsage) {
    EXPECT_EQ(parse({}).result, command_line_result::usage);
    EXPECT_EQ(parse({"a.ts", "1", "1"}).result, command_line_result::usage);
    EXPECT_EQ(parse({"p", "a.ts", "1", "1", "1"}).result, command_line_result::usage);
    EXPECT_EQ(parse({"-p", "a.ts", "1", "1", "1", "1"}).result, command_line_result::usage);
}

TEST(CommandLine, EveryLetterInEitherCaseAndStrayCharacters) {
    parsed p = parse({"-PpAvTdSzGhErR2x-9", "in.ts", "3", "0", "-2"});
    ASSERT_EQ(p.result, command_line_result::run);
    const run_options& o = p.ctx->options;
    for (uint32_t flag : {o.parse_only, o.dump_audio_pts, o.dump_video_pts, o.gop_timecode_mode, o.dump_all_pids,
                          o.suppress_rate, o.pes_output, o.dump_psip, o.hdmv_input, o.dump_ats_delta, o.dump_pcr,
                          o.lpcm_two_channels})
        EXPECT_EQ(flag, 1u);
    EXPECT_EQ(p.err, "Unsupported Option: x\nUnsupported Option: -\nUnsupported Option: 9\n");
    EXPECT_EQ(p.ctx->selection.audio_index, -2);
}

TEST(CommandLine, LoneDashSetsNothingAndTextNumbersAreZero) {
    parsed p = parse({"-", "in.ts", "abc", "7x", ""});
    ASSERT_EQ(p.result, command_line_result::run);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.ctx->options.parse_only, 0u);
    EXPECT_EQ(p.ctx->selection.program_number, 0);
    EXPECT_EQ(p.ctx->selection.video_index, 7);
    EXPECT_EQ(p.ctx->selection.audio_index, 0);
}

TEST(CommandLine, NumbersReadAsAtoiWithOverflowClampedToTheIntRange) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"0", 0}, {"42", 42}, {"+7", 7}, {"-1", -1}, {" \t 12", 12}, {"12abc", 12}, {"0x10", 0}, {"010", 10},
        {"", 0}, {"abc", 0}, {"-", 0}, {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"2147483648", INT32_MAX}, {"-2147483649", INT32_MIN}, {"99999999999999999999999", INT32_MAX},
        {"-99999999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        parsed p = parse({"in.ts", c.text, c.text, c.text});
        ASSERT_EQ(p.result, command_line_result::run);
        for (int32_t n : {p.ctx->selection.program_number, p.ctx->selection.video_index, p.ctx->selection.audio_index})
            EXPECT_EQ(n, c.value) << '"' << c.text << '"';
        // Within the int range the result is atoi's.
        const long long wide = std::strtoll(c.text, nullptr, 10);
        if (wide >= INT32_MIN && wide <= INT32_MAX) {
            EXPECT_EQ(c.value, atoi(c.text)) << c.text;
        }
    }
}

TEST(CommandLine, OptionLListsWithOrWithoutNumbersAndItsDash) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-l", "a.ts"}, {"l", "a.ts"}, {"lh", "a.ts"}, {"-l", "a.ts", "7", "1", "1"}, {"L", "a.ts", "7", "1", "1"}}) {
        const parsed p = parse(args);
        ASSERT_EQ(p.result, command_line_result::run) << args[0];
        EXPECT_EQ(p.input, "a.ts");
        EXPECT_EQ(p.ctx->options.list_programs, 1u);
        EXPECT_EQ(p.ctx->selection.program_number, args.size() == 2 ? -1 : 7);
    }
    EXPECT_EQ(parse({"lh", "a.ts"}).ctx->options.hdmv_input, 1u);
    // Without l, two arguments and a bare options argument are no form.
    EXPECT_EQ(parse({"-p", "a.ts"}).result, command_line_result::usage);
    EXPECT_EQ(parse({"p", "a.ts", "1", "1", "1"}).result, command_line_result::usage);
}
