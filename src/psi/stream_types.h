// The one table of stream types: what kind of stream each PMT stream_type is (video, audio
// or neither), which handler its elementary-stream bytes go to, and which PES stream_ids
// its audio may come under. The PMT resolves the chosen streams through it once; the PES
// layer and the dispatch read the result from `stream_selection`.
#pragma once

#include <cstdint>

enum class stream_kind : uint8_t { none, video, audio };

enum class stream_handler : uint8_t {
    raw,  // written unchanged
    mpeg2_video,
    h264_video,
    vc1_video,
    hevc_video,
    mpeg_audio,      // MPEG-1/2 audio, every layer
    ac3_audio,       // AC-3 and E-AC-3
    aac_adts_audio,  // AAC in ADTS frames
    aac_latm_audio,  // AAC in LATM/LOAS frames
    dts_audio,
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
    // In which round the streams of its kind are counted: 0 first, in PMT order, then 1
    // and 2, so that the numbers chosen before the types of a later round were counted
    // still choose the same streams.
    uint8_t count_round;
    const char* codec;  // in words, for the listing
};

inline constexpr stream_type_row stream_types[] = {
    {0x01, stream_input::any, stream_kind::video, stream_handler::mpeg2_video, false, 0, "MPEG-1 video"},
    {0x02, stream_input::any, stream_kind::video, stream_handler::mpeg2_video, false, 0, "MPEG-2 video"},
    {0x1B, stream_input::any, stream_kind::video, stream_handler::h264_video, false, 0, "H.264"},
    {0xEA, stream_input::any, stream_kind::video, stream_handler::vc1_video, false, 0, "VC-1"},
    {0x80, stream_input::plain, stream_kind::video, stream_handler::mpeg2_video, false, 0, "MPEG-2 video"},
    {0x24, stream_input::any, stream_kind::video, stream_handler::hevc_video, false, 1, "HEVC"},
    {0x80, stream_input::hdmv, stream_kind::audio, stream_handler::lpcm_audio, false, 0, "LPCM"},
    {0x03, stream_input::any, stream_kind::audio, stream_handler::mpeg_audio, true, 0, "MPEG-1 audio"},
    {0x04, stream_input::any, stream_kind::audio, stream_handler::mpeg_audio, true, 0, "MPEG-2 audio"},
    {0x06, stream_input::any, stream_kind::audio, stream_handler::ac3_audio, true, 0, "private data"},
    {0x11, stream_input::any, stream_kind::audio, stream_handler::aac_latm_audio, true, 0, "AAC (LATM)"},
    {0x81, stream_input::any, stream_kind::audio, stream_handler::ac3_audio, false, 0, "AC-3"},
    {0x82, stream_input::any, stream_kind::audio, stream_handler::dts_audio, false, 0, "DTS"},
    {0x83, stream_input::any, stream_kind::audio, stream_handler::raw, false, 0, "Dolby TrueHD"},
    {0x84, stream_input::any, stream_kind::audio, stream_handler::ac3_audio, false, 0, "E-AC-3"},
    {0x85, stream_input::any, stream_kind::audio, stream_handler::dts_audio, false, 0, "DTS-HD"},
    // SCTE-35 splice information outside HDMV; DTS-HD master audio on HDMV input.
    {0x86, stream_input::plain, stream_kind::none, stream_handler::raw, false, 0, "splice information"},
    {0x86, stream_input::hdmv, stream_kind::audio, stream_handler::dts_audio, false, 0, "DTS-HD master audio"},
    {0xA1, stream_input::any, stream_kind::audio, stream_handler::raw, false, 0, "E-AC-3 (secondary)"},
    {0xA2, stream_input::any, stream_kind::audio, stream_handler::dts_audio, false, 0, "DTS-HD (secondary)"},
    {0x0F, stream_input::any, stream_kind::audio, stream_handler::aac_adts_audio, true, 1, "AAC"},
    {0x87, stream_input::any, stream_kind::audio, stream_handler::ac3_audio, false, 1, "E-AC-3"},
    // MPEG-H 3D audio (MHAS packets), written as it came.
    {0x2D, stream_input::any, stream_kind::audio, stream_handler::raw, true, 2, "MPEG-H 3D audio"},
    // Neither video nor audio: named in the listing only.
    {0x05, stream_input::any, stream_kind::none, stream_handler::raw, false, 0, "private sections"},
    {0x0B, stream_input::any, stream_kind::none, stream_handler::raw, false, 0, "DSM-CC sections"},
    {0x0C, stream_input::any, stream_kind::none, stream_handler::raw, false, 0, "DSM-CC descriptors"},
    {0x0D, stream_input::any, stream_kind::none, stream_handler::raw, false, 0, "DSM-CC data"},
    {0x10, stream_input::any, stream_kind::none, stream_handler::raw, false, 0, "MPEG-4 video"},
    {0x15, stream_input::any, stream_kind::none, stream_handler::raw, false, 0, "metadata"},
    {0x2E, stream_input::any, stream_kind::none, stream_handler::raw, false, 0, "MPEG-H 3D audio, auxiliary"},
};

// The row of a PMT entry's stream_type on this input, or null for a type the table does
// not name.
constexpr const stream_type_row* stream_type_row_of(uint8_t type, bool hdmv_input) {
    for (const stream_type_row& r : stream_types) {
        const bool input_fits = r.input == stream_input::any || (r.input == stream_input::hdmv) == hdmv_input;
        if (r.type == type && input_fits) return &r;
    }
    return nullptr;
}

// The kind of a PMT entry's stream_type on this input.
constexpr stream_kind stream_kind_of(uint8_t type, bool hdmv_input) {
    const stream_type_row* r = stream_type_row_of(type, hdmv_input);
    return r ? r->kind : stream_kind::none;
}

// The row of `type` as a stream of `kind`, whatever the input, or null.
constexpr const stream_type_row* stream_type_as(uint8_t type, stream_kind kind) {
    for (const stream_type_row& r : stream_types)
        if (r.type == type && r.kind == kind) return &r;
    return nullptr;
}
