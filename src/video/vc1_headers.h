// Pieces of the VC-1 video handler that read header fields once their bytes are in: the
// sequence header and its display extension, the frame rate, and the display count of a
// picture.
#pragma once

#include <cstdint>

struct stream_call;
struct vc1_state;

// One byte of a sequence header after its type byte 0F. `k` is the countdown value before
// it was decreased (6 for the 1st byte, 1 for the 6th); `window` holds the latest four
// bytes, the current one lowest.
void vc1_sequence_header_byte(stream_call& sc, uint32_t k, uint32_t window);

// One byte of the display extension (bytes 7 to 10 of the sequence header), `k` from 4.
void vc1_display_extension_byte(stream_call& sc, uint32_t k, uint32_t window);

// Byte 13 of the sequence header: the frame rate from bytes 11 to 13 in `window`.
void vc1_frame_rate(stream_call& sc, uint32_t window);

// Frames (progressive) or fields (interlaced) a picture is displayed for, from the first
// three bytes of its frame header, most significant first, in `header`.
uint32_t vc1_display_count(const vc1_state& st, uint32_t header);

// The fourth byte after a frame start code: the frame header's first three bytes are in
// (`header`). Counts the displayed frames or fields, feeds the estimator and, at the
// first two frames of the output, the first video PTS.
void vc1_account_picture(stream_call& sc, uint32_t header, uint64_t pts);
