// MPEG-2 video handler on real encoder output (the FFmpeg-made fixtures, checked against
// their oracle files) and on random byte soup: the start-code skip must give exactly what
// the per-byte machine gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "mpeg2_units.h"
#include "program.h"

using namespace kt;

namespace {

// The key/value lines of an .es.txt oracle, from the section "== <section>" when the
// file has sections, else the whole file.
std::map<std::string, std::string> es_facts(const std::string& file, const std::string& section) {
    std::ifstream in(test_data(file));
    std::map<std::string, std::string> facts;
    std::string line;
    bool mine = true;
    while (std::getline(in, line)) {
        if (line.rfind("== ", 0) == 0) {
            mine = line.substr(3) == section;
            continue;
        }
        const size_t space = line.find(' ');
        if (mine && space != std::string::npos && !facts.count(line.substr(0, space)))
            facts[line.substr(0, space)] = line.substr(space + 1);
    }
    return facts;
}

int fact(const std::map<std::string, std::string>& facts, const std::string& key) {
    return std::stoi(facts.at(key), nullptr, 0);
}

uint32_t picture_total(const std::map<std::string, std::string>& facts) {
    std::istringstream s(facts.at("pictures"));
    std::string tag;
    uint32_t n = 0, total = 0;
    while (s >> tag >> n) total += n;
    return total;
}

const char* const aspect_lines[] = {"forbidden", "square samples", "4:3", "16:9", "2.21:1"};
const char* const rate_lines[] = {"forbidden", "23.976", "24", "25", "29.97", "30", "50", "59.94", "60"};

struct fixture {
    const char* m2v;
    const char* es_txt;
};

const fixture fixtures[] = {
    {"mpeg2_ac3_51.m2v", "mpeg2_ac3_51.es.txt"},
    {"mpeg2_mp2_2997.m2v", "mpeg2_mp2_2997.es.txt"},
    {"mpeg2_ac3_44k.m2v", "mpeg2_ac3_44k.es.txt"},
    {"m2ts_lpcm_51_24.m2v", "m2ts_lpcm_51_24.es.txt"},
    {"multi_program.pid257.m2v", "multi_program.es.txt"},
};

// The handler's counters and its estimator's rings, for comparing two runs.
std::vector<uint64_t> state_digest(context& c) {
    chosen_stream& vs = test_stream(c, stream_handler::mpeg2_video);
    const mpeg2_state& st = state_of<mpeg2_state>(vs);
    std::vector<uint64_t> d = {st.sync_window, st.bytes_since_picture, st.timecode_fields,
                               st.frames_before_sequence, st.reference_temporal_reference,
                               st.held_back, st.estimator.head, st.estimator.tail, st.estimator.filled,
                               vs.counts.coded_pictures, vs.counts.display_count, c.timing.video_rate,
                               c.timing.first_video_pts};
    d.insert(d.end(), std::begin(st.estimator.bits), std::end(st.estimator.bits));
    d.insert(d.end(), std::begin(st.estimator.fields), std::end(st.estimator.fields));
    return d;
}

}  // namespace

TEST(Mpeg2Streams, FixturesPassThroughAndReportTheirHeaders) {
    int checked = 0;
    for (const fixture& fx : fixtures) {
        if (!file_exists(test_data(fx.m2v)) || !file_exists(test_data(fx.es_txt))) continue;
        ++checked;
        const bytes es = read_file(test_data(fx.m2v));
        const auto facts = es_facts(fx.es_txt, fx.m2v);
        const int progressive = fact(facts, "progressive_sequence");
        const uint32_t pictures = picture_total(facts);
        ASSERT_EQ(fact(facts, "gop_headers"), fact(facts, "sequence_headers")) << fx.m2v;

        // Every sequence header has its GOP header: with no end codes in the stream the
        // output is the input from the first sequence header on.
        const auto first = offsets_of(es, {0, 0, 1, 0xB3}).at(0);
        const bytes want(es.begin() + long(first), es.end());
        const mpeg2_result r = run_mpeg2({{es, 129600, 1}}, {184});
        EXPECT_TRUE(r.video == want) << fx.m2v;

        std::ostringstream report;
        report << "Sequence Header found\n0 frames before first Sequence Header\n"
               << "Horizontal size = " << fact(facts, "horizontal_size") << "\n"
               << "Vertical size = " << fact(facts, "vertical_size") << "\n"
               << "Aspect ratio = " << aspect_lines[fact(facts, "aspect_ratio_information")] << "\n"
               << "Frame rate = " << rate_lines[fact(facts, "frame_rate_code")] << "\n"
               << "Sequence header bitrate = " << fact(facts, "bit_rate_value") * 400 << " bps\n"
               << "Progressive Sequence = " << progressive << "\n"
               << "First Video PTS = 0x0001fa40\n";
        EXPECT_EQ(r.report, report.str()) << fx.m2v;
        EXPECT_EQ(r.coded_pictures, pictures) << fx.m2v;
        EXPECT_EQ(r.progressive_flag, uint32_t(progressive)) << fx.m2v;
        // FFmpeg repeats no fields: two fields or one frame per picture.
        EXPECT_EQ(r.display_count, pictures * (progressive ? 1 : 2)) << fx.m2v;

        // End codes spliced in before each later sequence header are cut out again.
        bytes spliced(es.begin(), es.begin() + long(first) + 4);
        size_t from = first + 4;
        for (size_t at : offsets_of(es, {0, 0, 1, 0xB3})) {
            if (at < from) continue;
            spliced.insert(spliced.end(), es.begin() + long(from), es.begin() + long(at));
            spliced = spliced + mpeg2_sequence_end();
            from = at;
        }
        spliced.insert(spliced.end(), es.begin() + long(from), es.end());
        EXPECT_TRUE(run_mpeg2({{spliced, 129600, 1}}, {184}).video == want) << fx.m2v;
        EXPECT_TRUE(run_mpeg2({{spliced, 129600, 1}}, {64, true, 9}).video == want) << fx.m2v;
    }
    if (checked == 0) GTEST_SKIP() << "no MPEG-2 video fixtures";
}

TEST(Mpeg2Streams, RateEstimateOnARepeatedFixture) {
    const std::string name = "mpeg2_ac3_51.m2v";  // 25 Hz interlaced, 2 fields per picture
    if (!file_exists(test_data(name))) GTEST_SKIP() << name << " absent";
    const bytes one = read_file(test_data(name));
    bytes es;
    for (int k = 0; k < 8; ++k) es = es + one;  // 400 pictures
    const mpeg2_result r = run_mpeg2({{es, 0, 1}}, {184});
    // The last estimate pairs the sizes of the 300 pictures before the last one (start
    // code to start code) with 2 fields each.
    const auto starts = offsets_of(es, {0, 0, 1, 0});
    ASSERT_EQ(starts.size(), 400u);
    const long double b = 8.0L * static_cast<long double>(starts[399] - starts[99]);
    EXPECT_EQ(r.video_rate, uint32_t(int64_t((b / 300) * (25.0L * (600.0L / 600.0L)))));
    // The window is six whole copies of the 2-second file: its size over 2 seconds.
    EXPECT_EQ(r.video_rate, uint32_t(one.size() * 8 / 2));
}

TEST(Mpeg2Streams, SkipMatchesThePerByteMachine) {
    // Random bytes rich in 00 and 01 and in the start values and extension identifiers
    // that the handler acts on, with real units mixed in; random call sizes.
    const std::vector<uint8_t> alphabet = {0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0xB3, 0xB5, 0xB7, 0xB8,
                                           0x14, 0x1C, 0x8F, 0x83, 0x00, 0x01, 0xC0, 0x3F, 0x47, 0xFF};
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        const std::vector<es_segment> segs = soup_segments(rng, 30000, alphabet, [&rng](uint32_t pick) {
            if (pick < 3) return mpeg2_sequence(rng() % 2, uint8_t(rng() % 9));
            if (pick >= 6) return bytes{};
            return mpeg2_picture({.temporal_reference = uint16_t(rng() % 1024), .type = uint8_t(rng() % 8),
                                  .top_field_first = rng() % 2 == 1, .repeat_first_field = rng() % 2 == 1,
                                  .slice_size = uint32_t(rng() % 300)});
        });
        const setup_fn setup = [seed](context& c) { c.options.gop_timecode_mode = seed % 2; };
        const bool parse_only = seed % 4 == 3;
        const call_split how{200, true, seed};
        capture fast(!parse_only), plain(!parse_only);
        setup(fast.ctx());
        setup(plain.ctx());
        feed_mpeg2(fast.ctx(), segs, how);
        feed_mpeg2(plain.ctx(), segs, how, handler_call<stream_handler::mpeg2_video, true>);
        EXPECT_EQ(fast.report(), plain.report()) << seed;
        EXPECT_TRUE(fast.video() == plain.video()) << seed;
        EXPECT_EQ(state_digest(fast.ctx()), state_digest(plain.ctx())) << seed;
        EXPECT_GT(test_stream(fast.ctx(), stream_handler::mpeg2_video).counts.coded_pictures, 0u);
    }
    for (const fixture& fx : fixtures) {
        if (!file_exists(test_data(fx.m2v))) continue;
        const std::vector<es_segment> segs = {{read_file(test_data(fx.m2v)), 5, 0}};
        EXPECT_TRUE(run_mpeg2(segs, {184}) == run_mpeg2(segs, {184}, {}, false, handler_call<stream_handler::mpeg2_video, true>))
            << fx.m2v;
    }
}

TEST(Mpeg2Streams, FirstGopWithoutGopHeaderKeepsItsOrder) {
    // An FFmpeg stream without its GOP headers: GOP headers are inserted at every sequence
    // header; the first GOP keeps its temporal references, the later ones are counted from
    // the reference picture before their sequence header.
    const std::string name = "mpeg2_ac3_51.m2v";
    if (!file_exists(test_data(name))) GTEST_SKIP() << name << " absent";
    const bytes es = mpeg2_without_gop_headers(read_file(test_data(name)));
    const run_result r = expect_split_invariant(mpeg2_in_ts(es), [](context& c) { c.options.suppress_rate = 1; });
    auto gops = [](const bytes& b) {
        // Temporal references per GOP, a GOP starting at each sequence header.
        std::vector<std::vector<uint16_t>> out;
        for (size_t i = 0; i + 6 <= b.size(); ++i) {
            if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
            if (b[i + 3] == 0xB3) out.emplace_back();
            if (b[i + 3] == 0x00 && !out.empty()) out.back().push_back(uint16_t(b[i + 4] << 2 | b[i + 5] >> 6));
        }
        return out;
    };
    const auto in = gops(es), written = gops(r.video);
    ASSERT_GT(in.size(), 2u);
    ASSERT_EQ(written.size(), in.size());
    EXPECT_EQ(written[0], in[0]);
    EXPECT_EQ(offsets_of(r.video, {0, 0, 1, 0xB8}).size(), in.size());
    // In display order the later GOPs keep their order too: renumbering moves all of a
    // GOP's references by the same amount.
    for (size_t g = 1; g < in.size(); ++g) {
        ASSERT_EQ(written[g].size(), in[g].size());
        const uint16_t shift = uint16_t((written[g][0] - in[g][0]) & 0x3FF);
        for (size_t p = 0; p < in[g].size(); ++p) EXPECT_EQ((written[g][p] - in[g][p]) & 0x3FF, shift) << g;
    }
}
