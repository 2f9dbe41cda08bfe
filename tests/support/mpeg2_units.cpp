#include "mpeg2_units.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

namespace kt {

namespace {

bytes start_code(uint8_t value) { return {0x00, 0x00, 0x01, value}; }

}  // namespace

bytes mpeg2_sequence_header(uint16_t width, uint16_t height, uint8_t aspect, uint8_t frame_rate_code,
                            uint32_t bit_rate_value) {
    const uint32_t vbv = 112;
    bytes b = start_code(0xB3);
    b.push_back(uint8_t(width >> 4));
    b.push_back(uint8_t((width & 0x0F) << 4 | (height >> 8 & 0x0F)));
    b.push_back(uint8_t(height));
    b.push_back(uint8_t(aspect << 4 | (frame_rate_code & 0x0F)));
    // bit_rate_value(18) marker(1) vbv_buffer_size_value(10) constrained(1) two load flags.
    const uint32_t tail = (bit_rate_value & 0x3FFFF) << 14 | 1u << 13 | vbv << 3;
    b.push_back(uint8_t(tail >> 24));
    b.push_back(uint8_t(tail >> 16));
    b.push_back(uint8_t(tail >> 8));
    b.push_back(uint8_t(tail));
    return b;
}

bytes mpeg2_sequence_extension(bool progressive) {
    bytes b = start_code(0xB5);
    // id 1, profile_and_level 0x48, progressive_sequence, chroma_format 1, size and rate
    // extensions 0, marker, vbv extension 0, low_delay 0, frame rate extensions 0.
    b.push_back(0x14);
    b.push_back(uint8_t(0x80 | (progressive ? 0x08 : 0) | 0x02));
    b.push_back(0x00);
    b.push_back(0x01);
    b.push_back(0x00);
    b.push_back(0x00);
    return b;
}

bytes mpeg2_gop_header(uint8_t hours, uint8_t minutes, uint8_t seconds, uint8_t pictures, bool closed) {
    bytes b = start_code(0xB8);
    b.push_back(uint8_t(hours << 2 | minutes >> 4));
    b.push_back(uint8_t((minutes & 0x0F) << 4 | 0x08 | seconds >> 3));
    b.push_back(uint8_t((seconds & 0x07) << 5 | pictures >> 1));
    b.push_back(uint8_t((pictures & 1) << 7 | (closed ? 0x40 : 0)));
    return b;
}

bytes mpeg2_picture_header(uint16_t temporal_reference, uint8_t picture_coding_type) {
    bytes b = start_code(0x00);
    b.push_back(uint8_t(temporal_reference >> 2));
    b.push_back(uint8_t((temporal_reference & 3) << 6 | (picture_coding_type & 7) << 3 | 0x07));
    b.push_back(0xFF);
    b.push_back(0xF8);
    return b;
}

bytes mpeg2_picture_coding_extension(bool top_field_first, bool repeat_first_field) {
    bytes b = start_code(0xB5);
    // id 8 and f_codes 15 (unused), intra_dc_precision 0, picture_structure 3, then
    // top_field_first frame_pred_frame_dct ... repeat_first_field chroma_420_type,
    // progressive_frame and padding.
    b.push_back(0x8F);
    b.push_back(0xFF);
    b.push_back(0xF3);
    b.push_back(uint8_t((top_field_first ? 0x80 : 0) | 0x40 | (repeat_first_field ? 0x02 : 0) | 0x01));
    b.push_back(0x80);
    return b;
}

bytes mpeg2_slice(uint32_t size, uint8_t slice_number) {
    bytes b = start_code(slice_number);
    for (uint32_t k = 0; k < size; ++k) b.push_back(uint8_t(0x11 + k % 0xE0));
    return b;
}

bytes mpeg2_sequence_end() { return start_code(0xB7); }

bytes mpeg2_picture(const picture_layout& p) {
    bytes b = mpeg2_picture_header(p.temporal_reference, p.type);
    if (!p.mpeg1) b = b + mpeg2_picture_coding_extension(p.top_field_first, p.repeat_first_field);
    return b + mpeg2_slice(p.slice_size);
}

bytes mpeg2_sequence(bool progressive, uint8_t frame_rate_code) {
    return mpeg2_sequence_header(720, 576, 2, frame_rate_code, 2500) + mpeg2_sequence_extension(progressive);
}

std::string call_split::name() const { return random ? "random" + std::to_string(seed) : std::to_string(size); }

std::vector<call_split> standard_call_splits() { return {{1}, {2}, {3}, {184}, {200, true, 3}}; }

void feed_mpeg2(context& ctx, const std::vector<es_segment>& segments, const call_split& how, mpeg2_entry entry) {
    if (!entry) entry = handler_call<stream_handler::mpeg2_video>;
    std::mt19937 rng(how.seed);
    bytes call;
    for (const es_segment& seg : segments) {
        size_t at = 0;
        while (at < seg.data.size()) {
            size_t n = how.random ? 1 + rng() % how.size : how.size;
            n = std::min(n, seg.data.size() - at);
            call.assign(seg.data.begin() + at, seg.data.begin() + at + n);
            entry(ctx, call.data(), uint32_t(n), seg.pts, seg.dts_flag);
            at += n;
        }
    }
}

mpeg2_result run_mpeg2(const std::vector<es_segment>& segments, const call_split& how, const setup_fn& setup,
                       bool parse_only, mpeg2_entry entry) {
    auto cap = std::make_unique<capture>(!parse_only);
    context& ctx = cap->ctx();
    if (setup) setup(ctx);
    feed_mpeg2(ctx, segments, how, entry);
    const video_counts counts = ctx.stream_count ? ctx.streams[0].counts : video_counts{};
    return {cap->report(),           cap->video(),          counts.coded_pictures,
            counts.display_count, counts.progressive_flag, ctx.timing.video_rate,
            ctx.timing.first_video_pts};
}

mpeg2_result expect_mpeg2_split_invariant(const std::vector<es_segment>& segments, const setup_fn& setup,
                                          bool parse_only, mpeg2_entry entry) {
    const call_split whole{UINT32_MAX};
    const mpeg2_result ref = run_mpeg2(segments, whole, setup, parse_only, entry);
    for (const call_split& how : standard_call_splits()) {
        const mpeg2_result part = run_mpeg2(segments, how, setup, parse_only, entry);
        EXPECT_EQ(part.report, ref.report) << "report differs with calls of " << how.name();
        EXPECT_TRUE(part.video == ref.video) << "video output differs with calls of " << how.name();
        EXPECT_TRUE(part == ref) << "counters differ with calls of " << how.name();
    }
    if (!parse_only) {  // parse only: the same report and counts, nothing written
        mpeg2_result parsed = expect_mpeg2_split_invariant(segments, setup, true, entry);
        EXPECT_TRUE(parsed.video.empty()) << "video written in parse only";
        parsed.video = ref.video;
        EXPECT_TRUE(parsed == ref) << "parse only differs";
    }
    return ref;
}

std::vector<es_segment> soup_segments(std::mt19937& rng, size_t size, const std::vector<uint8_t>& alphabet,
                                      const soup_unit& unit) {
    bytes soup;
    while (soup.size() < size) {
        const uint32_t pick = rng() % 100;
        const bytes u = unit(pick);
        if (!u.empty())
            soup = soup + u;
        else if (pick < 50)
            soup.push_back(alphabet[rng() % alphabet.size()]);
        else
            soup.push_back(uint8_t(rng()));
    }
    std::vector<es_segment> segs;
    for (size_t at = 0; at < soup.size(); at += 1000)
        segs.push_back({bytes(soup.begin() + long(at), soup.begin() + long(std::min(at + 1000, soup.size()))),
                        rng() % 1000000, uint8_t(rng() % 2)});
    return segs;
}

bytes mpeg2_without_gop_headers(const bytes& es) {
    bytes out = es;
    const std::vector<size_t> gops = offsets_of(es, {0x00, 0x00, 0x01, 0xB8});
    for (auto at = gops.rbegin(); at != gops.rend(); ++at)
        if (*at + 8 <= es.size()) out.erase(out.begin() + long(*at), out.begin() + long(*at + 8));
    return out;
}

bytes mpeg2_in_ts(const bytes& es) {
    // Each unit runs from a cut to the next: at a sequence header, or at a picture start
    // code when a picture has come since the last cut.
    std::vector<size_t> cuts;
    bool picture_since_cut = true;
    for (size_t i = 0; i + 4 <= es.size(); ++i) {
        if (es[i] != 0 || es[i + 1] != 0 || es[i + 2] != 1) continue;
        if (es[i + 3] == 0xB3 || (es[i + 3] == 0x00 && picture_since_cut)) cuts.push_back(i);
        if (es[i + 3] == 0xB3) picture_since_cut = false;
        if (es[i + 3] == 0x00) picture_since_cut = true;
    }
    ts_writer w;
    w.pat({{1, 0x1000}});
    w.pmt(0x1000, 1, 0x100, {{0x02, 0x100, {}}});
    uint64_t pts = 90000;
    for (size_t k = 0; k < cuts.size(); ++k) {
        const bytes unit(es.begin() + long(cuts[k]), k + 1 < cuts.size() ? es.begin() + long(cuts[k + 1]) : es.end());
        const bytes picture = {0x00, 0x00, 0x01, 0x00};
        const auto at = std::search(unit.begin(), unit.end(), picture.begin(), picture.end());
        const uint8_t type = unit.end() - at > 5 ? (at[5] >> 3) & 7 : 0;
        const std::optional<uint64_t> dts = type == 1 || type == 2 ? std::optional(pts) : std::nullopt;
        w.pes(0x100, {.pts = pts += 3600, .dts = dts, .payload = unit, .zero_length = true});
    }
    return w.out;
}

}  // namespace kt
