// Packet size from the first bytes of a stream.
//
// Three framings share the 0x47 sync byte: plain 188-byte packets; 192-byte units of HDMV
// recordings (Blu-ray, AVCHD), a 4-byte arrival time header before each packet; and
// 204-byte packets as DVB cards and ISDB recorders store them, with the 16 Reed-Solomon
// parity bytes still behind each packet. A sync byte that four more follow at one of
// these intervals is taken as the first packet: five in a row do not happen by chance in
// payload. Capture garbage before it is stepped over, so a stream cut in mid-packet is
// still told.
//
// The answer depends on the bytes alone, never on how they were cut into blocks: each
// try either completes on the bytes at hand or waits for more, in the same order.
#include "core/context.h"

namespace {

constexpr uint8_t sync_byte = 0x47;
constexpr uint32_t sizes[] = {plain_packet_size, hdmv_packet_size, parity_packet_size};
constexpr uint32_t packets_in_a_row = 5;

enum class match { yes, no, wait };

match sync_run(const uint8_t* b, uint32_t n, uint32_t at, uint32_t size) {
    for (uint32_t k = 1; k < packets_in_a_row; ++k) {
        const uint32_t next = at + k * size;
        if (next >= n) return match::wait;
        if (b[next] != sync_byte) return match::no;
    }
    return match::yes;
}

}  // namespace

uint32_t find_packet_size(const uint8_t* b, uint32_t n, bool at_end) {
    // Every start whose longest run fits in the probe is tried, whatever `n`.
    const uint32_t last_start = packet_size_probe - (packets_in_a_row - 1) * parity_packet_size - 1;
    for (uint32_t at = 0; at <= last_start; ++at) {
        if (at >= n) return at_end ? plain_packet_size : 0;
        if (b[at] != sync_byte) continue;
        for (const uint32_t size : sizes) {
            const match m = sync_run(b, n, at, size);
            if (m == match::yes) return size;
            if (m == match::wait && !at_end) return 0;
        }
    }
    return plain_packet_size;
}
