// Pieces of the MPEG-2 video handler that read header fields once their bytes are in:
// the sequence header report, the GOP time code, and the per-picture accounting.
#pragma once

#include <cstdint>

struct stream_call;

// One byte of a sequence header after its start code. `k` is the countdown value before
// it was decreased (7 for the 1st byte, 1 for the 7th); `window` holds the latest four
// bytes, the current one lowest.
void mpeg2_sequence_header_byte(stream_call& sc, uint32_t k, uint32_t window);

// Sets bytes 4 to 7 of the GOP template to the time code of the pictures counted so far.
void mpeg2_fill_gop_timecode(stream_call& sc);

// A picture coding extension has delivered its flag byte (top_field_first in bit 7,
// repeat_first_field in bit 1): time-code fields, displayed fields or frames, the rate
// estimate, and the first video PTS.
void mpeg2_account_picture(stream_call& sc, uint8_t flags, uint64_t pts);
