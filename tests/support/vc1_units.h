// Builders for VC-1 advanced-profile elementary streams (SMPTE 421M): sequence headers,
// entry points, frames with their picture headers, end-of-sequence codes, each as an
// encapsulated unit (start code, then the payload with emulation prevention bytes), and
// the program tables that carry such a stream in a transport stream.
#pragma once

#include <cstdint>

#include "mpeg2_units.h"
#include "ts_builder.h"
#include "video/video.h"

namespace kt {

// The fields of a sequence header. A display extension carries the display size, the
// aspect ratio and the frame rate; without it none of these is written.
struct vc1_sequence_layout {
    uint8_t profile = 3, level = 3, chroma = 1;    // advanced, level 3, 4:2:0
    uint16_t width_code = 959, height_code = 539;  // MAX_CODED_WIDTH, _HEIGHT: size = 2 * code + 2
    bool pulldown = false, interlace = false;
    bool tfcntr = false;  // TFCNTRFLAG: pictures carry an 8-bit frame counter
    bool psf = false;     // progressive segmented frames
    bool display_ext = true;
    uint16_t display_width = 1920, display_height = 1080;
    bool aspect_flag = true;
    uint8_t aspect = 1;  // 15: two explicit 8-bit sizes follow
    bool frame_rate_flag = true;
    bool frame_rate_ind = false;                   // 0: FRAMERATENR/FRAMERATEDR; 1: FRAMERATEEXP
    uint8_t frame_rate_nr = 1, frame_rate_dr = 2;  // 24000 / 1001
    uint16_t frame_rate_exp = 0;                   // rate = (exp + 1) / 32
};

bytes vc1_sequence_header(const vc1_sequence_layout& s);

// An entry point header: closed entry, no coded size, no range mapping.
bytes vc1_entry_point();

enum class vc1_picture : uint8_t { I, P, B, BI, skipped };

// A frame: start code 0D, the picture header as the sequence's flags shape it, then
// `size` filler bytes. A field-interlaced frame (fcm 3) carries FPTYPE instead of the
// picture type and a second field behind a field start code 0C.
struct vc1_frame_layout {
    vc1_picture type = vc1_picture::I;
    uint8_t fcm = 0;       // with INTERLACE: 0 progressive, 2 frame-interlaced, 3 field-interlaced
    uint8_t fptype = 0;    // field pair types, fcm 3 only
    uint8_t tfcntr = 0x5A;
    uint8_t rptfrm = 0;    // PULLDOWN with INTERLACE 0 or PSF 1
    bool tff = true;       // PULLDOWN with INTERLACE 1 and PSF 0
    bool rff = false;
    uint32_t size = 40;
};

bytes vc1_frame(const vc1_sequence_layout& s, const vc1_frame_layout& f);

bytes vc1_end_of_sequence();

// handle_vc1_video, with and without the skip, in the shape the MPEG-2 feeders call.
constexpr mpeg2_entry vc1_entry = handler_call<stream_handler::vc1_video>;
constexpr mpeg2_entry vc1_entry_per_byte = handler_call<stream_handler::vc1_video, true>;

// The transport of a program 1 with VC-1 video (stream_type 0xEA, PES stream_id 0xFD,
// PCR) and AC-3 audio (0x81, stream_id 0xBD).
constexpr uint16_t vc1_pmt_pid = 0x0100;
constexpr uint16_t vc1_video_pid = 0x1011;
constexpr uint16_t vc1_audio_pid = 0x1100;
void vc1_program_tables(ts_writer& w);

}  // namespace kt
