// Builders for MPEG-1/MPEG-2 video elementary-stream units (ISO/IEC 13818-2), and a way to
// hand such a stream to the MPEG-2 video handler in calls of chosen sizes.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "feeder.h"
#include "ts_builder.h"

namespace kt {

// 00 00 01 B3 and 8 bytes: sizes, aspect_ratio_information, frame_rate_code,
// bit_rate_value (units of 400 bit/s), marker, vbv_buffer_size 112, no matrices.
bytes mpeg2_sequence_header(uint16_t width, uint16_t height, uint8_t aspect, uint8_t frame_rate_code,
                            uint32_t bit_rate_value);

// 00 00 01 B5 and 6 bytes: Main profile at Main level, 4:2:0.
bytes mpeg2_sequence_extension(bool progressive);

// 00 00 01 B8 and 4 bytes: the time code, closed_gop, broken_link.
bytes mpeg2_gop_header(uint8_t hours = 0, uint8_t minutes = 0, uint8_t seconds = 0, uint8_t pictures = 0,
                       bool closed = true);

// 00 00 01 00 and 4 bytes: temporal_reference, picture_coding_type, vbv_delay 0xFFFF.
bytes mpeg2_picture_header(uint16_t temporal_reference, uint8_t picture_coding_type);

// 00 00 01 B5 and 5 bytes: a frame picture (structure 3) with the two display flags.
bytes mpeg2_picture_coding_extension(bool top_field_first, bool repeat_first_field);

// A slice start code and `size` bytes of slice data that hold no 00 00 01.
bytes mpeg2_slice(uint32_t size, uint8_t slice_number = 1);

bytes mpeg2_sequence_end();

// A whole picture: header, coding extension (unless `mpeg1`), one slice.
struct picture_layout {
    uint16_t temporal_reference = 0;
    uint8_t type = 1;  // I
    bool top_field_first = false;
    bool repeat_first_field = false;
    uint32_t slice_size = 40;
    bool mpeg1 = false;
};
bytes mpeg2_picture(const picture_layout& p);

// Sequence header (720x576, 4:3, 25 Hz, 1 Mbit/s unless changed) with its extension.
bytes mpeg2_sequence(bool progressive = false, uint8_t frame_rate_code = 3);

// A stretch of elementary stream handed over with one PTS and dts_flag, as the PES
// layer would after one PES header.
struct es_segment {
    bytes data;
    uint64_t pts = 0;
    uint8_t dts_flag = 0;
};

// How the segments are cut into handler calls: all of `size` bytes, or random sizes from
// 1 to `size` when `random`.
struct call_split {
    uint32_t size = 184;
    bool random = false;
    uint32_t seed = 1;
    std::string name() const;
};

// 1, 2, 3, 184 and random splits.
std::vector<call_split> standard_call_splits();

using mpeg2_entry = void (*)(context&, uint8_t*, uint32_t, uint64_t, uint8_t);

// Hands each segment to `entry` (by default the MPEG-2 video handler) in calls cut as `how`
// says, each call on its own copy of the bytes.
void feed_mpeg2(context& ctx, const std::vector<es_segment>& segments, const call_split& how,
                mpeg2_entry entry = nullptr);

// What one run of the handler produced.
struct mpeg2_result {
    std::string report = {};
    bytes video = {};
    uint32_t coded_pictures = 0;
    uint32_t display_count = 0;
    uint32_t progressive_flag = 0;
    uint32_t video_rate = 0;
    uint64_t first_video_pts = 0;
    bool operator==(const mpeg2_result&) const = default;
};

// A fresh capture (outputs unless `parse_only`), `setup`, the segments, the result.
mpeg2_result run_mpeg2(const std::vector<es_segment>& segments, const call_split& how = {},
                       const setup_fn& setup = {}, bool parse_only = false, mpeg2_entry entry = nullptr);

// Checks that every standard split gives the same result as whole segments (through `entry`,
// by default the MPEG-2 video handler), and, unless `parse_only`, that parse only gives it too
// without the output; returns the result.
mpeg2_result expect_mpeg2_split_invariant(const std::vector<es_segment>& segments, const setup_fn& setup = {},
                                          bool parse_only = false, mpeg2_entry entry = nullptr);

// The stream with every GOP header (00 00 01 B8 and its 4 bytes) taken out.
bytes mpeg2_without_gop_headers(const bytes& es);

// The stream carried in TS: PAT, PMT (program 1, stream_type 0x02 on PID 0x100), one PES
// packet per picture (beginning at the sequence header before it, if any), I and P
// pictures with PTS and DTS, B pictures with a PTS only, time stamps 3600 apart.
bytes mpeg2_in_ts(const bytes& es);

// Random elementary stream for comparing a handler's skip with its per-byte machine: until
// `size` bytes, each step draws pick = 0..99 and appends `unit(pick)` when that is not
// empty, else a byte of `alphabet` (pick below 50) or a random byte. Then cut into
// segments of 1000 bytes with random PTS and DTS flags.
using soup_unit = std::function<bytes(uint32_t pick)>;
std::vector<es_segment> soup_segments(std::mt19937& rng, size_t size, const std::vector<uint8_t>& alphabet,
                                      const soup_unit& unit);

}  // namespace kt
