// AC-3 and MPEG audio frame builders, and a runner that hands PES payloads straight to an
// audio handler, cut into calls of a chosen size as the PES layer would cut them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "feeder.h"

namespace kt {

// 0B 77, crc1 00 00, the fscod/frmsizecod byte, bsid/bsmod, the acmod byte, then `fill`.
// An AC-3 or E-AC-3 frame's last word made its CRC, as after a change to its bytes.
void seal_ac3(bytes& frame);
bytes ac3_frame(uint32_t size, uint8_t rate_byte, uint8_t bsid_bsmod, uint8_t acmod_byte, uint8_t fill);
// FF FD, the bit-rate/sampling/padding byte, the mode byte, then `fill`.
bytes mp2_frame(uint32_t size, uint8_t rate_byte, uint8_t mode_byte, uint8_t fill);
// `count` frames with fills 0x20, 0x21, ...: AC-3 48 kHz 384 kbit/s 3/2 (1536 bytes);
// Layer II 48 kHz 192 kbit/s stereo (576 bytes).
bytes ac3_frames(uint32_t count);
bytes mp2_frames(uint32_t count);

setup_fn with_video(int32_t video_index);
// The report's line for the first audio frame written, at `pts`, with the first video PTS
// or, when the audio does not wait for video, without.
std::string first_audio_pts(uint64_t pts, std::optional<uint64_t> video = {});

// One PES payload: its PTS if the header had one, the first video PTS that a video handler
// has set by the time it arrives, and the LPCM header field.
struct audio_unit {
    bytes data = {};
    std::optional<uint64_t> pts = {};
    std::optional<uint64_t> video_pts = {};
    uint16_t lpcm_header = 0;
};

// Cuts an elementary stream into PES payloads at `cuts` (ascending offsets after 0). Each
// carries the time stamp of the first frame that starts in it, if one does; frame k starts
// at starts[k] and has time stamp times[k].
std::vector<audio_unit> pes_cut(const bytes& es, const std::vector<size_t>& starts, const std::vector<size_t>& cuts,
                                const std::vector<uint64_t>& times);

using audio_call = std::function<void(context&, uint8_t*, uint32_t, uint64_t, uint8_t, uint16_t)>;
extern const audio_call ac3_call, mpeg_call, lpcm_call, aac_call, latm_call, dts_call;
// The aligners taking every byte singly.
extern const audio_call ac3_per_byte_call, mpeg_per_byte_call, aac_per_byte_call, latm_per_byte_call,
    dts_per_byte_call;

struct audio_result {
    std::string report;
    bytes audio;
};

// Feeds the units on a fresh capture (parse_only when `outputs` is false), each cut into
// calls of `split` bytes (0: random sizes up to 184). A unit's first call carries its PTS;
// a unit without bytes is one empty call.
audio_result run_audio(const audio_call& call, const std::vector<audio_unit>& units, uint32_t split = 184,
                       const setup_fn& setup = {}, bool outputs = true);
// The same with splits 184, 1, 2, 7 and random: expects one result and returns it.
audio_result audio_split_invariant(const audio_call& call, const std::vector<audio_unit>& units,
                                   const setup_fn& setup = {}, bool outputs = true);

}  // namespace kt
