#include "pes_streams.h"

#include <algorithm>

namespace kt {

namespace {

// The payload of a 188-byte packet, after any adaptation field.
bytes packet_payload(const uint8_t* p) {
    if (!(p[3] & 0x10)) return {};
    const size_t at = (p[3] & 0x20) ? 5 + size_t(p[4]) : 4;
    return at < 188 ? bytes(p + at, p + 188) : bytes{};
}

uint64_t read_timestamp(const uint8_t* t) {
    return uint64_t(t[0] >> 1 & 7) << 30 | uint64_t(t[1]) << 22 | uint64_t(t[2] >> 1) << 15 | uint64_t(t[3]) << 7 |
           uint64_t(t[4] >> 1);
}

}  // namespace

carried_stream read_carried_stream(const bytes& ts, uint16_t pid) {
    carried_stream s;
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const uint8_t* p = &ts[at];
        if (packet_pid(p) != pid) continue;
        bytes payload = packet_payload(p);
        if (p[1] & 0x40) {  // a PES packet starts: 00 00 01 id length flags flags header_length
            s.stream_id = payload[3];
            s.starts.push_back(s.es.size());
            s.pts.push_back((payload[7] & 0x80) ? std::optional(read_timestamp(&payload[9])) : std::nullopt);
            payload.erase(payload.begin(), payload.begin() + 9 + payload[8]);
        }
        s.es = s.es + payload;
    }
    return s;
}

std::vector<uint64_t> frame_times(const std::vector<size_t>& frame_starts, const std::vector<size_t>& pes_starts,
                                  const std::vector<std::optional<uint64_t>>& pes_pts, uint64_t duration) {
    std::vector<uint64_t> times;
    size_t pes = 0;
    for (size_t k = 0; k < frame_starts.size(); ++k) {
        std::optional<uint64_t> own;
        for (; pes < pes_starts.size() && pes_starts[pes] <= frame_starts[k]; ++pes)
            if (pes_pts[pes]) own = pes_pts[pes];
        times.push_back(own ? *own : k == 0 ? 0 : times.back() + duration);
    }
    return times;
}

bytes recarry(const bytes& ts, uint16_t pid, uint8_t stream_id, const std::vector<audio_unit>& units) {
    bytes packets;
    uint8_t cc = 0;
    for (const audio_unit& u : units)
        packets = packets + packetize(pid, pes_packet({.stream_id = stream_id, .pts = u.pts, .payload = u.data}), cc);
    bytes out;
    size_t next = 0;
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const bool ours = packet_pid(&ts[at]) == pid;
        if (ours && next >= packets.size()) continue;
        const uint8_t* p = ours ? &packets[next] : &ts[at];
        out.insert(out.end(), p, p + 188);
        if (ours) next += 188;
    }
    return out + bytes(packets.begin() + long(next), packets.end());
}

}  // namespace kt
