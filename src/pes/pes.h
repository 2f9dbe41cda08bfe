// PES layer: one byte-driven parser per chosen stream (video and audio) that follows the
// PES header, assembles PTS/DTS, keeps the shared time-stamp bookkeeping and hands each
// run of elementary-stream bytes to the stream handler of the stream type.
#pragma once

#include <array>
#include <cstdint>

struct context;

// Stream types: what kind of stream each is, for the PMT's counting of a program's video
// and audio streams, and what the PES layer does with its elementary-stream bytes. Types
// not listed are neither video nor audio and are passed over by the PMT.
enum class stream_kind : uint8_t { none, video, audio };

enum class stream_handler : uint8_t {
    raw,  // written unchanged
    mpeg2_video,
    h264_video,
    vc1_video,
    mpeg_audio,
    ac3_audio,
    lpcm_audio,
};

// Which input a row holds for: 0x80 is MPEG-2 video in broadcast streams and LPCM audio
// in HDMV ones (option h).
enum class stream_input : uint8_t { any, plain, hdmv };

struct stream_type_row {
    uint8_t type;
    stream_input input;
    stream_kind kind;
    stream_handler handler;
    // Audio PES packets of this type may come under the MPEG audio stream_ids C0..DF
    // (besides BD, FA and FD).
    bool mpeg_audio_ids;
};

inline constexpr stream_type_row stream_types[] = {
    {0x01, stream_input::any, stream_kind::video, stream_handler::mpeg2_video, false},
    {0x02, stream_input::any, stream_kind::video, stream_handler::mpeg2_video, false},
    {0x1B, stream_input::any, stream_kind::video, stream_handler::h264_video, false},
    {0xEA, stream_input::any, stream_kind::video, stream_handler::vc1_video, false},
    {0x80, stream_input::plain, stream_kind::video, stream_handler::mpeg2_video, false},
    {0x80, stream_input::hdmv, stream_kind::audio, stream_handler::lpcm_audio, false},
    {0x03, stream_input::any, stream_kind::audio, stream_handler::mpeg_audio, true},
    {0x04, stream_input::any, stream_kind::audio, stream_handler::mpeg_audio, true},
    {0x06, stream_input::any, stream_kind::audio, stream_handler::ac3_audio, true},
    {0x11, stream_input::any, stream_kind::audio, stream_handler::raw, false},
    {0x81, stream_input::any, stream_kind::audio, stream_handler::ac3_audio, false},
    {0x82, stream_input::any, stream_kind::audio, stream_handler::raw, false},
    {0x83, stream_input::any, stream_kind::audio, stream_handler::raw, false},
    {0x84, stream_input::any, stream_kind::audio, stream_handler::raw, false},
    {0x85, stream_input::any, stream_kind::audio, stream_handler::raw, false},
    {0x86, stream_input::any, stream_kind::audio, stream_handler::raw, false},
    {0xA1, stream_input::any, stream_kind::audio, stream_handler::raw, false},
    {0xA2, stream_input::any, stream_kind::audio, stream_handler::raw, false},
};

// The kind of a PMT entry's stream_type on this input.
constexpr stream_kind stream_kind_of(uint8_t type, bool hdmv_input) {
    for (const stream_type_row& r : stream_types) {
        const bool input_fits = r.input == stream_input::any || (r.input == stream_input::hdmv) == hdmv_input;
        if (r.type == type && input_fits) return r.kind;
    }
    return stream_kind::none;
}

// The row of `type` as a stream of `kind` (whatever the input), or null. The PES layer
// asks by the instance: a type the PMT chose as video is handled as video.
constexpr const stream_type_row* stream_type_as(uint8_t type, stream_kind kind) {
    for (const stream_type_row& r : stream_types)
        if (r.type == type && r.kind == kind) return &r;
    return nullptr;
}

// The handler of every stream type for one instance, indexed by the type.
constexpr std::array<stream_handler, 256> stream_handlers_for(stream_kind kind) {
    std::array<stream_handler, 256> out{};  // raw for every type not listed
    for (const stream_type_row& r : stream_types)
        if (r.kind == kind) out[r.type] = r.handler;
    return out;
}

// A PES header is at most 9 fixed bytes plus 255 header data bytes.
constexpr uint32_t pes_header_capacity = 265;

struct pes_parser {
    uint32_t start_register = 0;
    uint32_t length_phase = 0;
    uint32_t packet_remaining = 0;  // video: 32 bits, all ones = unbounded; audio: wraps at 16 bits
    uint32_t flags_countdown = 0;
    uint8_t pts_dts_flags = 0;
    uint8_t header_remaining = 0;
    uint32_t pts_only_countdown = 0;
    uint32_t pts_dts_countdown = 0;
    uint32_t lpcm_countdown = 0;
    uint32_t in_payload = 0;
    uint64_t pts_accumulator = 0;
    uint64_t dts_accumulator = 0;
    uint64_t current_pts = 0;
    uint8_t pts_flag = 0;
    uint16_t lpcm_header = 0;
    uint8_t header_buffer[pes_header_capacity] = {};
    uint32_t header_length = 0;
    uint64_t previous_timestamp = 0;
    uint64_t timestamp_count = 0;
};

uint32_t feed_video_pes(context& ctx, uint8_t* data, uint32_t available);
uint32_t feed_audio_pes(context& ctx, uint8_t* data, uint32_t available);

// One payload run of `count` bytes at `bytes` (count may be 0), handed to the handler of
// the instance's stream type, or written unchanged to its output file (unless parse_only)
// when the type has no handler.
void dispatch_video_run(context& ctx, uint8_t* bytes, uint32_t count);
void dispatch_audio_run(context& ctx, uint8_t* bytes, uint32_t count);
