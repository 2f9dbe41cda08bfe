// One elementary stream as a transport stream carries it: its PES packets, where each
// payload begins in the stream and which time stamp it has; and the same stream re-cut
// into PES packets at other places, in the packet slots of the original.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "audio_frames.h"

namespace kt {

struct carried_stream {
    uint8_t stream_id = 0;
    std::vector<size_t> starts;                // offset in `es` of each PES payload
    std::vector<std::optional<uint64_t>> pts;  // and its PTS
    bytes es;                                  // the payloads, concatenated
};

// The PES packets of `pid` in a stream of 188-byte packets.
carried_stream read_carried_stream(const bytes& ts, uint16_t pid);

// The time stamp of each frame (starting at frame_starts[k]) as an audio decoder keeps
// them: a PES time stamp belongs to the first frame starting at or after its payload's
// first byte; a frame without one follows its predecessor by `duration`.
std::vector<uint64_t> frame_times(const std::vector<size_t>& frame_starts, const std::vector<size_t>& pes_starts,
                                  const std::vector<std::optional<uint64_t>>& pes_pts, uint64_t duration);

// `ts` with the packets of `pid` replaced, slot for slot, by `units` as PES packets of
// `stream_id`; those left over follow at the end.
bytes recarry(const bytes& ts, uint16_t pid, uint8_t stream_id, const std::vector<audio_unit>& units);

}  // namespace kt
