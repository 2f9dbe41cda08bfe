// MPEG-2 video handler: report, output start, GOP insertion, renumbering, end-code cuts,
// picture and field counts, first PTS. Streams are built from units and handed to the
// handler directly, in calls of several sizes.
#include <gtest/gtest.h>

#include <algorithm>

#include "mpeg2_units.h"

using namespace kt;

namespace {

const bytes inserted_gop_zero = {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};

bytes pic(uint16_t tr, uint8_t type = 1, bool tff = false, bool rff = false) {
    return mpeg2_picture({.temporal_reference = tr, .type = type, .top_field_first = tff, .repeat_first_field = rff});
}

// Position of `needle` in `hay` from `from`, or npos.
size_t find(const bytes& hay, const bytes& needle, size_t from = 0) {
    auto it = std::search(hay.begin() + long(from), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? std::string::npos : size_t(it - hay.begin());
}

// temporal_reference of every picture header in `es`, in stream order.
std::vector<uint16_t> temporal_references(const bytes& es) {
    std::vector<uint16_t> out;
    for (size_t at = find(es, {0, 0, 1, 0}); at != std::string::npos; at = find(es, {0, 0, 1, 0}, at + 4))
        out.push_back(uint16_t(es[at + 4] << 2 | es[at + 5] >> 6));
    return out;
}

}  // namespace

mpeg2_state& mpeg2_of(context& ctx) { return state_of<mpeg2_state>(test_stream(ctx, stream_handler::mpeg2_video)); }

TEST(Mpeg2Video, FirstSequenceHeaderReportedOnceAndOutputUnchanged) {
    const bytes es = mpeg2_sequence() + mpeg2_gop_header() + pic(0) + pic(1, 3) + mpeg2_sequence() +
                     mpeg2_gop_header() + pic(0) + pic(1, 2);
    const mpeg2_result r = expect_mpeg2_split_invariant({{es, 129600, 1}});
    EXPECT_EQ(r.report,
              "Sequence Header found\n"
              "0 frames before first Sequence Header\n"
              "Horizontal size = 720\n"
              "Vertical size = 576\n"
              "Aspect ratio = 4:3\n"
              "Frame rate = 25\n"
              "Sequence header bitrate = 1000000 bps\n"
              "Progressive Sequence = 0\n"
              "First Video PTS = 0x0001fa40\n");
    EXPECT_TRUE(r.video == es);
    EXPECT_EQ(r.coded_pictures, 4u);
    EXPECT_EQ(r.display_count, 8u);
    EXPECT_EQ(r.progressive_flag, 0u);
    EXPECT_EQ(r.first_video_pts, 129600u);
}

TEST(Mpeg2Video, AspectAndFrameRateLines) {
    // Without a sequence extension every sequence header is reported (MPEG-1).
    struct row {
        uint8_t aspect, rate;
        const char* aspect_line;
        const char* rate_line;
        uint32_t integer;
    };
    const row rows[] = {
        {0, 0, "forbidden", "forbidden", 1}, {1, 1, "square samples", "23.976", 24},
        {3, 4, "16:9", "29.97", 30},         {4, 7, "2.21:1", "59.94", 60},
        {5, 8, "reserved", "60", 60},        {15, 9, "reserved", "reserved", 60},
        {2, 6, "4:3", "50", 50},             {2, 15, "4:3", "reserved", 50},
    };
    capture cap;
    std::string expected = "Sequence Header found\n0 frames before first Sequence Header\n";
    for (const row& w : rows) {
        const bytes es = mpeg2_sequence_header(352, 288, w.aspect, w.rate, 0x3FFFF);
        feed_mpeg2(cap.ctx(), {{es}}, {5});
        expected += std::string("Horizontal size = 352\nVertical size = 288\nAspect ratio = ") + w.aspect_line +
                    "\nFrame rate = " + w.rate_line + "\nSequence header bitrate = 104857200 bps\n";
        EXPECT_EQ(mpeg2_of(cap.ctx()).frame_rate_integer, w.integer) << int(w.rate);
    }
    EXPECT_EQ(cap.report(), expected);
    EXPECT_EQ(mpeg2_of(cap.ctx()).frame_rate_exact, static_cast<long double>(50.0));
}

TEST(Mpeg2Video, OutputStartsAtTheFirstSequenceHeader) {
    // A capture from mid-GOP: two pictures with coding extensions and a stray start code
    // come first; they are counted as frames before the header, not as pictures.
    const bytes head = bytes{0x42, 0x00, 0x00, 0x01, 0x42} + pic(4, 3) + pic(5, 3);
    const bytes rest = mpeg2_sequence() + mpeg2_gop_header() + pic(2) + pic(0, 3) + pic(1, 3);
    const mpeg2_result r = expect_mpeg2_split_invariant({{head, 1000, 0}, {rest, 2000, 1}});
    EXPECT_EQ(r.report.rfind("Sequence Header found\n2 frames before first Sequence Header\n", 0), 0u);
    EXPECT_TRUE(r.video == rest);
    EXPECT_EQ(r.coded_pictures, 3u);
    EXPECT_EQ(r.display_count, 6u);
    EXPECT_EQ(r.first_video_pts, 2000u);

    // Without a sequence header nothing is written, reported or counted.
    const mpeg2_result none = run_mpeg2({{head + mpeg2_sequence_end(), 5}}, {3});
    EXPECT_EQ(none.report, "");
    EXPECT_TRUE(none.video.empty());
    EXPECT_EQ(none.coded_pictures + none.display_count, 0u);
    EXPECT_EQ(none.first_video_pts, ~uint64_t{0});
}

TEST(Mpeg2Video, GopInsertedWhereSequenceHeaderLacksOne) {
    // No GOP after the first sequence header: a 00:00:00:00 GOP header goes before the
    // first picture. No picture came before, so there is nothing to renumber against:
    // the pictures keep their temporal references.
    const bytes seq = mpeg2_sequence();
    const bytes es = seq + pic(0) + pic(2, 2) + pic(1, 3);
    const mpeg2_result r = expect_mpeg2_split_invariant({{es, 0, 0}});
    EXPECT_TRUE(bytes(r.video.begin(), r.video.begin() + long(seq.size())) == seq);
    EXPECT_TRUE(bytes(r.video.begin() + long(seq.size()), r.video.begin() + long(seq.size() + 12)) ==
                inserted_gop_zero);
    EXPECT_EQ(r.video.size(), es.size() + 8);
    EXPECT_EQ(temporal_references(r.video), (std::vector<uint16_t>{0, 2, 1}));

    // A capture that starts with a picture before its first sequence header: the GOP is
    // renumbered against base 0 (tr - 1, mod 1024).
    const mpeg2_result late = expect_mpeg2_split_invariant({{pic(7, 3) + es, 0, 0}});
    EXPECT_EQ(temporal_references(late.video), (std::vector<uint16_t>{1023, 1, 0}));

    // With a GOP header after the sequence header nothing is inserted or renumbered.
    const bytes with_gop = seq + mpeg2_gop_header() + pic(0) + pic(2, 2) + pic(1, 3);
    EXPECT_TRUE(run_mpeg2({{with_gop}}).video == with_gop);
}

TEST(Mpeg2Video, RenumberingAgainstTheLatestReferencePicture) {
    // A reference picture (PES header with DTS) with temporal_reference 5 makes 5 the
    // base at the next sequence header; pictures then count from base + 1.
    const bytes first = mpeg2_sequence() + mpeg2_gop_header() + pic(5, 1);
    const bytes second = mpeg2_sequence() + pic(8, 2);
    const bytes after = pic(6, 3) + pic(7, 3);
    const bytes third = pic(11, 2);
    const bytes last = pic(9, 3) + pic(10, 3) + pic(3, 3);
    const mpeg2_result r = expect_mpeg2_split_invariant(
        {{first, 10, 1}, {second, 20, 1}, {after, 30, 0}, {third, 40, 1}, {last, 50, 0}});
    EXPECT_EQ(temporal_references(r.video), (std::vector<uint16_t>{5, 2, 0, 1, 5, 3, 4, 1021}));

    // The base follows the original numbers: the next insertion counts from 11.
    capture cap;
    feed_mpeg2(cap.ctx(), {{first, 10, 1}, {second, 20, 1}, {after, 30, 0}, {third, 40, 1}}, {7});
    EXPECT_EQ(mpeg2_of(cap.ctx()).reference_temporal_reference, 11u);
    feed_mpeg2(cap.ctx(), {{mpeg2_sequence() + pic(13, 2) + pic(12, 3), 60, 1}}, {7});
    EXPECT_EQ(temporal_references(cap.video()), (std::vector<uint16_t>{5, 2, 0, 1, 5, 1, 0}));
}

TEST(Mpeg2Video, InsertedTimeCodes) {
    // The time code counts the fields of the pictures since the first sequence header.
    struct row {
        uint8_t rate_code;
        uint32_t frames;
        bytes code;
    };
    const row rows[] = {
        {5, 59 * 60 * 30 + 56 * 30 + 12, {0x03, 0xBF, 0x06, 0x00}},  // 00:59:56:12
        {5, 30 * 3600, {0x04, 0x08, 0x00, 0x00}},                    // 01:00:00:00
        {2, 97, {0x00, 0x08, 0x80, 0x80}},                           // 00:00:04:01
        {2, 24 * 3600 * 25 + 24 * 61 + 1, {0x04, 0x18, 0x20, 0x80}}, // 25 h wraps: 01:01:01:01
    };
    for (const row& w : rows) {
        capture cap;
        const bytes first = mpeg2_sequence(false, w.rate_code) + mpeg2_gop_header() + pic(0);
        feed_mpeg2(cap.ctx(), {{first}}, {184});
        mpeg2_of(cap.ctx()).timecode_fields = 2 * w.frames;
        feed_mpeg2(cap.ctx(), {{mpeg2_sequence(false, w.rate_code) + pic(1)}}, {184});
        const bytes out = cap.video();
        const size_t at = find(out, {0, 0, 1, 0xB8}, first.size());
        ASSERT_NE(at, std::string::npos);
        EXPECT_TRUE(bytes(out.begin() + long(at) + 4, out.begin() + long(at) + 8) == w.code) << w.frames;
    }
}

TEST(Mpeg2Video, HeldBackTemporalReferenceFollowsPesHeader) {
    // The call ends with the first temporal_reference byte: it is written, renumbered,
    // at the start of the next call's output, so after anything written in between. (The
    // picture before the sequence header makes the GOP one to renumber.)
    const bytes a = pic(3) + mpeg2_sequence() + bytes{0, 0, 1, 0, 0x00};
    const bytes b = bytes{0x0F} + mpeg2_slice(10);  // tr 0, type 1
    capture cap;
    bytes ca = a, cb = b;
    handler_call<stream_handler::mpeg2_video>(cap.ctx(), ca.data(), uint32_t(ca.size()), 0, 0);
    EXPECT_TRUE(mpeg2_of(cap.ctx()).held_back);
    sink_write(test_stream(cap.ctx(), stream_handler::mpeg2_video).out, "PES", 3);
    handler_call<stream_handler::mpeg2_video>(cap.ctx(), cb.data(), uint32_t(cb.size()), 0, 0);
    const bytes seq = mpeg2_sequence();
    const bytes expected = seq + inserted_gop_zero + from_string("PES") + bytes{0xFF, 0xCF} + mpeg2_slice(10);
    EXPECT_TRUE(cap.video() == expected);
    EXPECT_EQ(test_stream(cap.ctx(), stream_handler::mpeg2_video).counts.coded_pictures, 1u);
}

TEST(Mpeg2Video, SequenceEndCodesCutOut) {
    const bytes head = mpeg2_sequence() + mpeg2_gop_header() + pic(0);
    const bytes tail = mpeg2_sequence() + mpeg2_gop_header() + pic(0);
    const bytes es = head + mpeg2_sequence_end() + tail + mpeg2_sequence_end() + mpeg2_sequence_end() + pic(1);
    const bytes want = head + tail + pic(1);
    EXPECT_TRUE(expect_mpeg2_split_invariant({{es}}).video == want);

    // Straddling two calls at each place: 1|3, 2|2, 3|1.
    const size_t at = head.size();
    for (size_t cut = 1; cut <= 3; ++cut) {
        capture cap;
        bytes x(es.begin(), es.begin() + long(at + cut)), y(es.begin() + long(at + cut), es.end());
        handler_call<stream_handler::mpeg2_video>(cap.ctx(), x.data(), uint32_t(x.size()), 0, 0);
        handler_call<stream_handler::mpeg2_video>(cap.ctx(), y.data(), uint32_t(y.size()), 0, 0);
        EXPECT_TRUE(cap.video() == want) << cut;
    }
}

TEST(Mpeg2Video, SequenceEndInterruptedByPesHeaderIsKept) {
    // Another writer puts a PES header between calls that hold an end code: moving back
    // would overwrite it, so the code stays whole around it. Calls are given as pieces of
    // the stream; "|" marks where the header is written.
    const bytes head = mpeg2_sequence() + mpeg2_gop_header() + pic(0);
    const bytes hdr = from_string("HDR");
    auto run = [&](const std::vector<bytes>& calls, size_t header_after) {
        capture cap;
        for (size_t k = 0; k < calls.size(); ++k) {
            bytes call = calls[k];
            handler_call<stream_handler::mpeg2_video>(cap.ctx(), call.data(), uint32_t(call.size()), 0, 0);
            if (k == header_after)
                sink_write(test_stream(cap.ctx(), stream_handler::mpeg2_video).out, hdr.data(), hdr.size());
        }
        return cap.video();
    };
    // The end code's pieces: its first 1, 2 or 3 bytes and the rest.
    const bytes z1 = {0}, z2 = {0, 0}, z3 = {0, 0, 1}, e3 = {0, 1, 0xB7}, e2 = {1, 0xB7}, e1 = {0xB7};
    const bytes rest = pic(1);
    EXPECT_TRUE(run({head + z1, e3 + rest}, 0) == head + z1 + hdr + e3 + rest);
    EXPECT_TRUE(run({head + z2, e2 + rest}, 0) == head + z2 + hdr + e2 + rest);
    EXPECT_TRUE(run({head + z3, e1 + rest}, 0) == head + z3 + hdr + e1 + rest);
    // head 00 | 00 | 01 | B7: the header two calls before the end still counts.
    EXPECT_TRUE(run({head + z1, z1, {1}, e1 + rest}, 0) == head + z1 + hdr + e3 + rest);
    // A header before the code, or before a call that holds three of its bytes, does
    // not stop the cut.
    EXPECT_TRUE(run({head, mpeg2_sequence_end() + rest}, 0) == head + hdr + rest);
    EXPECT_TRUE(run({head + z1, bytes{0x55} + z3, e1 + rest}, 0) == head + z1 + hdr + bytes{0x55} + rest);
}

TEST(Mpeg2Video, IllegalPictureCodingType) {
    const bytes es = mpeg2_sequence() + mpeg2_gop_header() + pic(0, 0) + pic(1, 4) + pic(2, 7) + pic(3, 3);
    const mpeg2_result r = expect_mpeg2_split_invariant({{es}});
    const std::string lines = "illegal picture_coding_type = 0\n"
                              "illegal picture_coding_type = 4\n"
                              "First Video PTS = 0x00000000\n"
                              "illegal picture_coding_type = 7\n";
    EXPECT_NE(r.report.find(lines), std::string::npos) << r.report;
    EXPECT_EQ(r.coded_pictures, 4u);
}

TEST(Mpeg2Video, FirstPtsIsTheSmallerOfTheFirstTwoPictures) {
    const bytes seq = mpeg2_sequence() + mpeg2_gop_header();
    mpeg2_result r = run_mpeg2({{seq + pic(2), 7200, 1}, {pic(0, 3), 3600, 0}, {pic(1, 3), 10, 0}});
    EXPECT_EQ(r.first_video_pts, 3600u);
    EXPECT_NE(r.report.find("First Video PTS = 0x00000e10\n"), std::string::npos);
    r = run_mpeg2({{seq + pic(0), 0x1FFFFFFFFull, 1}, {pic(1, 2), 0x1FFFFFFFEull, 1}});
    EXPECT_EQ(r.first_video_pts, 0x1FFFFFFFEull);
    EXPECT_NE(r.report.find("First Video PTS = 0xfffffffe\n"), std::string::npos);
}

TEST(Mpeg2Video, FieldAndFrameCountsWithAndWithoutOptionT) {
    // The time code of the GOP header inserted at the end counts 2 fields per picture,
    // or, with option t, what repeat_first_field (and top_field_first) say.
    auto run = [](bool progressive, const std::vector<std::pair<bool, bool>>& flags, bool option_t) {
        bytes es = mpeg2_sequence(progressive, 4) + mpeg2_gop_header();
        for (const auto& [tff, rff] : flags) es = es + pic(0, 1, tff, rff);
        es = es + mpeg2_sequence(progressive, 4) + pic(0);
        return expect_mpeg2_split_invariant(
            {{es}}, [option_t](context& c) { c.options.gop_timecode_mode = option_t; });
    };
    auto inserted = [](const mpeg2_result& r, uint8_t byte6, uint8_t byte7) {
        return find(r.video, {0, 0, 1, 0xB8, 0x00, 0x08, byte6, byte7}) != std::string::npos;
    };
    // Interlaced 3:2 pulldown at 29.97 Hz: 5 fields per 2 pictures; then 2 more.
    const std::vector<std::pair<bool, bool>> pulldown = {{true, false}, {true, true}, {true, false}, {true, true}};
    const mpeg2_result plain = run(false, pulldown, false), with_t = run(false, pulldown, true);
    EXPECT_EQ(plain.display_count, 12u);
    EXPECT_EQ(with_t.display_count, 12u);
    EXPECT_TRUE(inserted(plain, 0x02, 0x00));   // 8 fields: picture 4
    EXPECT_TRUE(inserted(with_t, 0x02, 0x80));  // 10 fields: picture 5

    // Progressive (tff, rff): (0,0) 1 frame, (0,1) 2, (1,1) 3, (1,0) none; with option t
    // 2, 4, 6 and 0 time-code fields.
    const std::vector<std::pair<bool, bool>> frames = {{false, false}, {false, true}, {true, true}, {true, false}};
    const mpeg2_result p_plain = run(true, frames, false), p_t = run(true, frames, true);
    EXPECT_EQ(p_plain.progressive_flag, 1u);
    EXPECT_NE(p_plain.report.find("Progressive Sequence = 1\n"), std::string::npos);
    EXPECT_EQ(p_plain.display_count, 7u);
    EXPECT_EQ(p_t.display_count, 7u);
    EXPECT_TRUE(inserted(p_plain, 0x02, 0x00));  // 8 fields: picture 4
    EXPECT_TRUE(inserted(p_t, 0x03, 0x00));      // 12 fields: picture 6
}

TEST(Mpeg2Video, Mpeg1VideoWithoutExtensions) {
    picture_layout s;
    s.mpeg1 = true;
    const bytes seq = mpeg2_sequence_header(352, 240, 1, 4, 1150000 / 400);
    bytes es = seq + mpeg2_gop_header() + mpeg2_picture(s) + mpeg2_picture(s) + seq + mpeg2_gop_header() +
               mpeg2_picture(s);
    const mpeg2_result r = expect_mpeg2_split_invariant({{es, 90000, 1}});
    const std::string one = "Horizontal size = 352\nVertical size = 240\nAspect ratio = square samples\n"
                            "Frame rate = 29.97\nSequence header bitrate = 1150000 bps\n";
    EXPECT_EQ(r.report, "Sequence Header found\n0 frames before first Sequence Header\n" + one +
                            "First Video PTS = 0x00015f90\n" + one);
    EXPECT_TRUE(r.video == es);
    // Each picture a progressive frame; the first PTS set at the second picture.
    EXPECT_EQ(r.coded_pictures, 3u);
    EXPECT_EQ(r.display_count, 3u);
    EXPECT_EQ(r.video_rate, 0u);
    EXPECT_EQ(r.first_video_pts, 90000u);
}

TEST(Mpeg2Video, ParseOnlyReportsAndCountsButWritesNothing) {
    bytes es = bytes{0xAA} + pic(9) + mpeg2_sequence() + pic(0) + pic(1, 3) + mpeg2_sequence_end();
    es = es + mpeg2_sequence() + mpeg2_gop_header() + pic(0, 5) + pic(1, 2, true, true);
    const std::vector<es_segment> segs = {{es, 1234, 1}};
    const mpeg2_result written = run_mpeg2(segs);
    const mpeg2_result parsed = expect_mpeg2_split_invariant(segs, {}, true);
    EXPECT_TRUE(parsed.video.empty());
    EXPECT_FALSE(written.video.empty());
    mpeg2_result same = parsed;
    same.video = written.video;
    EXPECT_TRUE(same == written);
}

TEST(Mpeg2Video, HandlerFeedsTheRateEstimator) {
    // Every picture has the same size: after 301 pictures the estimate is 25 x its bits.
    bytes es = mpeg2_sequence() + mpeg2_gop_header();
    const bytes one = pic(0);
    for (int k = 0; k < 300; ++k) es = es + one;
    mpeg2_result r = run_mpeg2({{es}});
    EXPECT_EQ(r.video_rate, 0u);
    r = expect_mpeg2_split_invariant({{es + one}});
    EXPECT_EQ(r.video_rate, 25u * 8u * uint32_t(one.size()));
}
