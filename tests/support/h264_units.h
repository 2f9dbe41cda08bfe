// Builders for H.264 byte-stream units (ISO/IEC 14496-10 Annex B), handed to the H.264
// handler through the same call splitting as the MPEG-2 video units.
#pragma once

#include "mpeg2_units.h"
#include "video/video.h"

namespace kt {

// 00 00 01 09 and the primary_pic_type byte (0 = I slices only, 1 = I/P, 2 = I/P/B, ...).
bytes h264_aud(uint8_t primary_pic_type);

// 00 00 01, the NAL header (nal_ref_idc 3, type 7 unless changed), profile_idc, the
// constraint flags (constraint_set3_flag as asked), level_idc, and a few more bytes.
bytes h264_sps(uint8_t profile_idc, bool constraint_set3, uint8_t level_idc, uint8_t header = 0x67);

// A coded slice NAL unit (IDR for an I access unit) of `size` bytes that hold no 00 00 01.
bytes h264_slice(bool idr, uint32_t size = 30);

// An access unit: delimiter and one slice.
bytes h264_access_unit(uint8_t primary_pic_type, uint32_t size = 30);

// End of sequence (type 10) or end of stream (type 11).
bytes h264_end_unit(bool end_of_stream);

// `es` with the start codes of end units (type 10 and 11) made filler (type 12).
bytes h264_ends_as_filler(bytes es);

// handle_h264_video, with and without the skip, in the shape the MPEG-2 feeders call.
constexpr mpeg2_entry h264_entry = handler_call<stream_handler::h264_video>;
constexpr mpeg2_entry h264_entry_per_byte = handler_call<stream_handler::h264_video, true>;

}  // namespace kt
