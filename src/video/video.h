// Video elementary streams: the MPEG-2, H.264, VC-1 and HEVC video handlers and the bit-rate
// estimator.
#pragma once

#include <cstdint>

#include "video/es_output.h"

struct stream_call;

constexpr uint32_t rate_ring_size = 1024;
constexpr uint32_t rate_window = 300;

struct rate_estimator {
    uint32_t bits[rate_ring_size] = {};
    uint32_t fields[rate_ring_size] = {};
    uint32_t head = 0;
    uint32_t tail = 0;
    uint32_t filled = 0;
    uint32_t warm = 0;
};

void rate_estimator_bits(stream_call& sc, rate_estimator& est, uint32_t bits);
void rate_estimator_fields(stream_call& sc, rate_estimator& est, uint32_t n);
void rate_estimator_step(stream_call& sc, rate_estimator& est, uint32_t factor, long double frame_rate);

// MPEG-1/MPEG-2 video (ISO/IEC 13818-2): finds the start codes, starts the output at the
// first sequence header, inserts GOP headers where a sequence header lacks one, renumbers
// the temporal references behind such an insertion, cuts out sequence end codes, counts
// pictures and fields and fixes the first video PTS.
struct mpeg2_state {
    uint32_t sync_window = 0;
    uint32_t started = 0;
    uint32_t sequence_header_countdown = 0;
    uint32_t sequence_extension_seen = 0;
    uint32_t extension_pending = 0;
    uint32_t sequence_extension_pending = 0;
    uint32_t coding_extension_countdown = 0;
    uint32_t picture_header_countdown = 0;
    uint32_t gop_needed = 0;
    uint32_t gop_seen = 0;
    uint32_t held_back = 0;
    uint32_t reference_temporal_reference = 0;
    uint32_t temporal_reference_base = 0;
    // No picture came before the latest sequence header: its GOP has nothing to be
    // renumbered against and keeps its temporal references.
    uint32_t keep_temporal_references = 0;
    uint32_t picture_seen = 0;
    uint32_t bytes_since_picture = 0;
    uint32_t frames_before_sequence = 0;
    uint32_t timecode_fields = 0;
    uint32_t progressive_sequence = 0;
    first_pts_choice first_pts;  // armed at the first sequence header
    uint32_t frame_rate_integer = 1;
    long double frame_rate_exact = 1.0L;
    uint8_t gop_template[12] = {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
    rate_estimator estimator;

    es_cut_state cut;  // sequence end codes that straddle calls
};

// One run of elementary-stream bytes. `pts` is the PTS of the latest video PES header that
// carried one, `dts_flag` 1 when that header also carried a DTS. The run may be changed in
// place (temporal references).
void handle_mpeg2_video(stream_call& sc, uint8_t* bytes, uint32_t count);

// The same machine without the skip over bytes that cannot end a start code: every byte
// goes through the full rule chain. Gives identical results; kept to prove that.
void handle_mpeg2_video_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count);

// H.264 (Annex B byte stream): starts the output at the first access unit a decoder can
// start from (a delimiter announcing I slices only, an IDR slice, or a recovery point
// with an I first slice), with the latest SPS and PPS where that unit has none; reports
// profile and level, counts access units, turns end-of-sequence and end-of-stream units
// into filler data and fixes the first video PTS.
struct h264_state {
    uint32_t sync_window = 0;
    uint32_t started = 0;                // the start access unit was found; output runs
    uint32_t sps_reported = 0;
    uint32_t sps_countdown = 0;          // sequence parameter set bytes still to look at
    uint32_t constraint_set3 = 0;
    uint8_t profile_idc = 0, level_idc = 0;
    uint32_t sps_report_due = 0;         // read while an access unit was held; not yet printed
    uint32_t pictures_before_start = 0;  // access units begun before the current one
    first_pts_choice first_pts;          // armed at the start access unit
    uint8_t nal_header = 0;              // header byte of the NAL unit being read
    uint32_t nal_bytes = 0;              // 1 while the byte after that header is due
    uint32_t au_open = 0;                // an access unit has begun
    uint32_t delimited = 0;              // a delimiter was seen: only they begin units now
    uint32_t slice_seen = 0;             // the current access unit has a slice
    uint64_t au_pts = 0;                 // PTS current where the access unit began
    // Before the start: the current access unit is held until its first slice decides.
    uint32_t holding = 0;
    uint32_t decide_countdown = 0;       // bytes of that slice still to gather
    uint32_t collect_from = 0;           // first byte of the call not yet held
    es_hold hold;
    es_parameter_set sps, pps;           // the latest seen before the start
};

// One run of elementary-stream bytes; `pts` is the PTS of the latest video PES header that
// carried one. End-of-sequence and end-of-stream type bytes are changed in place.
void handle_h264_video(stream_call& sc, uint8_t* bytes, uint32_t count);

// The same without the skip to the next possible start code; kept to prove them equal.
void handle_h264_video_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count);

// VC-1 advanced profile (SMPTE 421M): starts the output at the first sequence header,
// reports it, counts frames and the frames or fields each one is displayed for, feeds its
// own rate estimator, fixes the first video PTS and cuts out end-of-sequence codes.
struct vc1_state {
    uint32_t sync_window = 0;
    uint32_t started = 0;
    uint32_t sequence_reported = 0;      // one sequence header was read through its frame rate
    uint32_t frame_header_countdown = 0;
    uint32_t sequence_countdown = 0;
    uint32_t display_countdown = 0;
    uint32_t aspect_pending = 0;
    uint32_t frame_rate_countdown = 0;
    // Sequence flags that shape the picture headers.
    uint32_t pulldown = 0;
    uint32_t interlace = 0;
    uint32_t tfcntr_flag = 0;
    uint32_t psf = 0;
    long double frame_rate_numerator = 0.0L;
    long double frame_rate_denominator = 0.0L;
    long double frame_rate = 1.0L;       // for the estimator; only ever a valid rate
    uint32_t pictures_before_start = 0;
    uint32_t bytes_since_frame = 0;
    first_pts_choice first_pts;  // armed at the first sequence header
    rate_estimator estimator;    // apart from the MPEG-2 handler's
    es_cut_state cut;            // end-of-sequence codes that straddle calls
};

// One run of elementary-stream bytes; `pts` is the PTS of the latest video PES header that
// carried one.
void handle_vc1_video(stream_call& sc, uint8_t* bytes, uint32_t count);

// The same machine taking every byte through the full rule chain, without the skip to the
// next possible start code. Gives identical results; kept to prove that.
void handle_vc1_video_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count);

// HEVC (Annex B byte stream): starts the output at the first access unit whose picture is
// IRAP (BLA, IDR, CRA), with the latest VPS, SPS and PPS where that unit lacks one; after a
// CRA start leaves out the RASL pictures that follow it; reports the first SPS's profile,
// tier and level; counts pictures, turns end-of-bitstream units into filler and fixes the
// first video PTS.
struct hevc_state {
    uint32_t sync_window = 0;
    uint32_t started = 0;
    uint8_t header[2] = {};              // the two header bytes of the unit being read
    uint32_t nal_bytes = 0;              // bytes of that unit seen, while fewer than 3
    uint32_t au_open = 0;                // an access unit has begun
    uint32_t slice_seen = 0;             // the current access unit has a slice segment
    uint64_t au_pts = 0;                 // PTS current where the access unit began
    uint32_t holding = 0;                // the current access unit is held until its picture decides
    uint32_t collect_from = 0;           // first byte of the call not yet held
    uint32_t dropping = 0;               // the current access unit is a RASL picture left out
    uint32_t rasl_after_start = 0;       // started at a CRA; no trailing or IRAP picture since
    uint32_t pictures_before_start = 0;
    uint32_t pictures_kept = 0;
    uint32_t pts_open = 0;               // the first video PTS is still being chosen
    uint64_t pts_earliest = 0;
    uint32_t sps_read = 0;
    uint32_t profile_idc = 0, tier = 0, level_idc = 0;
    es_cut_state cut;                    // start codes of held units taken back from the output
    es_hold hold;
    es_parameter_set sets[3];            // the latest VPS, SPS and PPS seen before the start
};

// One run of elementary-stream bytes; `pts` is the PTS of the latest video PES header that
// carried one. End-of-bitstream header bytes are changed in place.
void handle_hevc_video(stream_call& sc, uint8_t* bytes, uint32_t count);

// The same without the skip to the next start code; kept to prove them equal.
void handle_hevc_video_per_byte(stream_call& sc, uint8_t* bytes, uint32_t count);
