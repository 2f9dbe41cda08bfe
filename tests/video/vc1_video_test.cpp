// VC-1 video handler: the sequence header report, the output from the first sequence
// header without end-of-sequence codes, picture and display counts, the first PTS, the
// rate estimate, and the start-code skip against the per-byte machine.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "vc1_units.h"

using namespace kt;

namespace {

mpeg2_result run_vc1(const std::vector<es_segment>& segments) {
    return expect_mpeg2_split_invariant(segments, {}, false, vc1_entry);
}

// The handler's counters and its estimator's rings, for comparing two runs.
std::vector<uint64_t> state_digest(context& c) {
    chosen_stream& vs = test_stream(c, stream_handler::vc1_video);
    const vc1_state& st = state_of<vc1_state>(vs);
    std::vector<uint64_t> d = {st.sync_window, st.bytes_since_frame, st.pictures_before_start,
                               st.estimator.head, st.estimator.tail, st.estimator.filled,
                               vs.counts.coded_pictures, vs.counts.display_count, c.timing.first_video_pts};
    d.insert(d.end(), std::begin(st.estimator.bits), std::end(st.estimator.bits));
    d.insert(d.end(), std::begin(st.estimator.fields), std::end(st.estimator.fields));
    return d;
}

bytes frame(const vc1_sequence_layout& s, vc1_picture type = vc1_picture::I, uint32_t size = 40) {
    return vc1_frame(s, {.type = type, .size = size});
}

}  // namespace

TEST(Vc1Video, SequenceHeaderReport) {
    // Each layout twice in a stream; a header that is not read through its frame rate is
    // reported again by the next one.
    const std::string plain = "Advanced Profile\nLevel = 3\nChroma Format = 4:2:0\n"
                              "Horizontal size = 1920\nVertical size = 1080\nPulldown = 0\nInterlace = 0\n";
    const std::string display = "Display Horizontal size = 1920\nDisplay Vertical size = 1080\n";
    const std::string square = plain + display + "Aspect ratio = 1:1 (square samples)\n";
    struct row {
        std::function<void(vc1_sequence_layout&)> change;
        std::string lines;
        bool again;
    };
    const row rows[] = {
        {[](auto&) {}, square + "Frame Rate = 23.976\n", false},
        {[](auto& s) {
             s.width_code = 359, s.height_code = 239, s.display_width = 704, s.display_height = 480;
             s.pulldown = s.interlace = true, s.aspect = 3, s.frame_rate_ind = true, s.frame_rate_exp = 767;
         },
         "Advanced Profile\nLevel = 3\nChroma Format = 4:2:0\nHorizontal size = 720\nVertical size = 480\n"
         "Pulldown = 1\nInterlace = 1\nDisplay Horizontal size = 704\nDisplay Vertical size = 480\n"
         "Aspect ratio = 10:11 (704x480 4:3)\nFrame Rate = 24.000\n",
         false},
        {[](auto& s) {
             s.profile = 2, s.level = 5, s.chroma = 2, s.aspect = 13, s.frame_rate_ind = 1, s.frame_rate_exp = 958;
         },
         "Reserved Profile\nLevel = Reserved\nChroma Format = Reserved\n" + plain.substr(plain.find("Hor")) +
             display + "Aspect ratio = 160:99 (528x480 16:9)\nFrame Rate = 29.969\n",
         false},
        // A forbidden or reserved code leaves 0 in its place: 0/n, or n/0.
        {[](auto& s) { s.frame_rate_nr = 0; }, square + "Forbidden Frame Rate!\nFrame Rate = 0.000\n", false},
        {[](auto& s) { s.frame_rate_dr = 5; }, square + "Reserved Frame Rate!\nFrame Rate = inf\n", false},
        // No frame rate read: no display extension, no aspect ratio flag, no frame rate
        // flag, or an explicit aspect ratio whose first bit is read as the flag.
        {[](auto& s) { s.display_ext = false; }, plain, true},
        {[](auto& s) { s.aspect_flag = false; }, plain + display, true},
        {[](auto& s) { s.frame_rate_flag = false; }, square, true},
        {[](auto& s) { s.aspect = 15; }, plain + display, true},
    };
    for (const row& r : rows) {
        vc1_sequence_layout s;
        r.change(s);
        const bytes unit = vc1_sequence_header(s) + vc1_entry_point() + frame(s);
        const mpeg2_result got = run_vc1({{unit + unit, 0x123456789, 0}});
        EXPECT_EQ(got.report, "Sequence Header found\n0 frames before first I-frame\n" + r.lines +
                                  (r.again ? "Sequence Header found\n" + r.lines : "") +
                                  "First Video PTS = 0x23456789\n")
            << "row " << (&r - rows);
        EXPECT_EQ(got.progressive_flag, s.interlace ? 0u : 1u);
    }
}

TEST(Vc1Video, OutputFromTheFirstSequenceHeaderWithoutEndOfSequenceCodes) {
    using enum vc1_picture;
    const vc1_sequence_layout s;
    const bytes seq = vc1_sequence_header(s) + vc1_entry_point();
    const bytes eos = vc1_end_of_sequence();
    // Entered mid-sequence: a stray start code, two frames and an end code come first.
    const bytes head = bytes{0x42, 0x00, 0x00, 0x01, 0x42} + frame(s, P) + frame(s, B) + eos;
    const std::vector<es_segment> segs = {
        {head, 1000}, {seq + frame(s, I), 7200}, {frame(s, P) + eos + seq, 3600},
        {frame(s, I, 500) + eos + eos, 10800}, {frame(s, B) + eos + frame(s, P), 9000},
    };
    const bytes want = seq + frame(s, I) + frame(s, P) + seq + frame(s, I, 500) + frame(s, B) + frame(s, P);
    const mpeg2_result r = run_vc1(segs);
    EXPECT_TRUE(r.video == want);
    EXPECT_EQ(r.report.rfind("Sequence Header found\n2 frames before first I-frame\n", 0), 0u) << r.report;
    EXPECT_NE(r.report.find("First Video PTS = 0x00000e10\n"), std::string::npos) << r.report;
    EXPECT_EQ(r.first_video_pts, 3600u);
    EXPECT_EQ(r.coded_pictures, 5u);
    EXPECT_EQ(r.display_count, 5u);

    // Without a sequence header nothing is written, reported or counted.
    EXPECT_TRUE(run_vc1({{head + head, 5}}) == mpeg2_result{.first_video_pts = ~uint64_t{0}});
}

TEST(Vc1Video, EndOfSequenceAcrossPesPackets) {
    // An end code split over two PES packets is cut from the elementary stream; with
    // option z a PES header lies inside it, and it is kept whole.
    const vc1_sequence_layout s;
    const bytes first = vc1_sequence_header(s) + vc1_entry_point() + frame(s) + bytes{0x00, 0x00};
    const bytes second = bytes{0x01, 0x0A} + vc1_sequence_header(s) + frame(s, vc1_picture::P);
    const pes_layout a{0xFD, 90000, {}, {}, first}, b{0xFD, 93003, {}, {}, second};
    ts_writer w;
    vc1_program_tables(w);
    w.pes(vc1_video_pid, a);
    w.pes(vc1_video_pid, b);
    const run_result plain = expect_split_invariant(w.out, {}, false);
    EXPECT_TRUE(plain.video == slice(first, 0, first.size() - 2) + slice(second, 2));
    const run_result z = expect_split_invariant(w.out, [](context& c) { c.options.pes_output = 1; }, false);
    EXPECT_TRUE(z.video == pes_packet(a) + pes_packet(b));
}

TEST(Vc1Video, DisplayCountsAndRateEstimate) {
    // Each picture's display count pairs with the previous picture's size; all frames
    // alike, the estimate is the frame rate times the frame's bits times 2 (fields) or 1
    // (frames) over the mean count.
    struct row {
        std::function<void(vc1_sequence_layout&, vc1_frame_layout&, int)> change;
        uint32_t display_per_two;  // display count of two pictures
        long double rate_per_bit;  // video_rate over the bits of one frame
    };
    const row rows[] = {
        // 3:2 pulldown on interlaced 29.97 Hz: 5 fields per two pictures.
        {[](auto& s, auto& f, int k) {
             s.pulldown = s.interlace = true, s.frame_rate_nr = 3;
             f.fcm = 2, f.rff = k % 2;
         },
         5, 30000.0L / 1001 * 600 / 750},
        // Progressive with RPTFRM 0 and 2: 4 frames per two pictures.
        {[](auto& s, auto& f, int k) {
             s.pulldown = s.tfcntr = true, s.frame_rate_nr = 5, s.frame_rate_dr = 1;
             f.rptfrm = uint8_t(2 * (k % 2));
         },
         4, 60.0L * 300 / 600},
        // A forbidden frame rate code: the estimate runs on 1 frame per second.
        {[](auto& s, auto&, int) { s.frame_rate_dr = 0; }, 2, 1.0L},
    };
    for (const row& r : rows) {
        vc1_sequence_layout s;
        vc1_frame_layout f;
        r.change(s, f, 0);
        bytes es = vc1_sequence_header(s) + vc1_entry_point();
        bytes one;
        for (int k = 0; k < 302; ++k) {
            r.change(s, f, k);
            one = vc1_frame(s, f);
            es = es + one;
        }
        const mpeg2_result got = run_vc1({{es}});
        EXPECT_EQ(got.coded_pictures, 302u);
        EXPECT_EQ(got.display_count, 151 * r.display_per_two) << "row " << (&r - rows);
        EXPECT_EQ(got.video_rate, uint32_t(int64_t(8 * one.size() * r.rate_per_bit))) << "row " << (&r - rows);
    }
}

TEST(Vc1Video, SkipMatchesThePerByteMachine) {
    // Random bytes rich in 00, 01 and the unit types, runs of zeros, and real units of
    // every kind, some 400 frames so that the estimator runs; calls of random size split
    // start codes anywhere.
    const std::vector<uint8_t> alphabet = {0x00, 0x00, 0x00, 0x01, 0x01, 0x0A, 0x0D, 0x0F, 0x0E, 0x0C, 0xFF, 0x80};
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        std::mt19937 rng(seed);
        vc1_sequence_layout s;
        const std::vector<es_segment> segs = soup_segments(rng, 80000, alphabet, [&](uint32_t pick) {
            if (pick < 3) {
                s.pulldown = rng() % 2, s.interlace = rng() % 2, s.tfcntr = rng() % 2, s.psf = rng() % 2;
                s.display_ext = rng() % 4, s.frame_rate_ind = rng() % 2, s.frame_rate_nr = uint8_t(rng() % 9);
                return vc1_sequence_header(s);
            }
            if (pick < 10) {
                vc1_frame_layout f;
                f.type = vc1_picture(rng() % 5);
                f.fcm = uint8_t(rng() % 4), f.rptfrm = uint8_t(rng() % 4), f.rff = rng() % 2;
                f.size = rng() % 300;
                return vc1_frame(s, f);
            }
            return pick < 11 ? repeat(0, rng() % 40) + vc1_end_of_sequence() : bytes{};
        });
        const bool parse_only = seed % 4 == 3;
        const call_split how{200, true, seed};
        capture fast(!parse_only), plain(!parse_only);
        feed_mpeg2(fast.ctx(), segs, how, vc1_entry);
        feed_mpeg2(plain.ctx(), segs, how, vc1_entry_per_byte);
        EXPECT_EQ(fast.report(), plain.report()) << seed;
        EXPECT_TRUE(fast.video() == plain.video()) << seed;
        EXPECT_EQ(state_digest(fast.ctx()), state_digest(plain.ctx())) << seed;
        EXPECT_GT(state_of<vc1_state>(test_stream(fast.ctx(), stream_handler::vc1_video)).estimator.filled, 0u);
    }
}
