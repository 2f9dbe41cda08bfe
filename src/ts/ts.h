// Transport packet layer: framing of 188-byte packets (192-byte HDMV units, 204-byte
// packets with parity), the
// transport header, per-PID statistics, continuity checking, routing of payload by PID,
// adaptation fields, PCRs and the live rate display.
#pragma once

#include <cstdint>

struct context;

// The packet sizes that framing knows, and how many bytes the first packet size decision
// may look at (see packet_size.cpp).
constexpr uint32_t plain_packet_size = 188;
constexpr uint32_t hdmv_packet_size = 192;    // a 4-byte arrival time header first
constexpr uint32_t parity_packet_size = 204;  // 16 Reed-Solomon parity bytes after
constexpr uint32_t packet_size_probe = 4096;

// A packet kept until the program's PMT is known (early.cpp): its PID, whether it starts a
// payload unit or is scrambled, and its payload. 188 bytes, so that the ring of them
// holds about 4 MiB of packets.
struct early_packet {
    uint16_t pid;
    uint8_t flags;
    uint8_t length;
    uint8_t payload[184];
};
constexpr uint32_t early_capacity = (uint32_t{4} << 20) / sizeof(early_packet);

struct early_store {
    early_packet* slots = nullptr;  // malloc'd by demux_init; null once the PMT has come
    uint32_t first = 0;             // the oldest kept packet
    uint32_t count = 0;
    early_packet* open = nullptr;   // the current packet's slot, while its payload is kept
};

struct ts_state {
    // Packet framing. packet_size is 0 until the first bytes have decided it (option h
    // fixes it at 192 from the start); until then they wait in `probe`.
    uint32_t packet_size = 0;
    uint32_t probe_filled = 0;
    uint32_t parity_left = 0;          // 204: parity bytes after the packet still to skip
    uint32_t in_packet = 0;
    uint32_t ts_header_countdown = 0;  // header bytes left after the sync byte (3, 2, 1)
    uint32_t packet_bytes_left = 0;    // bytes of the packet after its sync byte not yet consumed
    uint16_t current_pid = 0;
    uint8_t unit_start = 0;
    uint8_t scrambling_control = 0;
    uint8_t adaptation_control = 0;
    uint32_t sync_skipped = 0;
    uint32_t sync_losses = 0;          // times the sync byte was searched for
    uint64_t bytes_since_pcr = 0;      // packet bytes consumed since the last PCR of pcr_pid
    uint32_t ats_countdown = 4;        // HDMV: arrival-time header bytes still to read
    uint32_t arrival_time_stamp = 0;
    uint32_t last_arrival_time_stamp = 0;
    uint64_t sync_byte_count = 0;      // HDMV: bytes_since_pcr just before this packet's sync byte

    // Adaptation field and PCR.
    uint32_t af_length_pending = 0;
    uint32_t af_bytes_left = 0;
    uint32_t af_length = 0;
    uint32_t pcr_countdown = 0;
    uint64_t pcr_register = 0;
    uint64_t last_pcr = 0;
    uint32_t pcr_seen = 0;
    uint32_t discontinuity = 0;  // the adaptation field's discontinuity_indicator
    uint64_t next_rate_flush = 0;      // monotonic nanoseconds before which no rate line is flushed

    early_store early;
    uint8_t probe[packet_size_probe];
};

// Brings the demultiplexer into its starting state; called once before the first block.
// Returns false when the section collector of the PSIP base PID cannot be allocated.
bool demux_init(context& ctx);

// Consumes one block of input; every piece of state survives to the next call. The first
// bytes of a stream may be held back until they have decided the packet size.
void demux_buffer(context& ctx, uint32_t length, uint8_t* block);

// The input has ended: bytes still held back for the packet size decision are decided on
// as they are, and framed.
void demux_end(context& ctx);

// The packet size that the stream's first `n` bytes show: the first sync byte from which
// four more follow at one of the intervals 188, 192 or 204 (tried in that order). 0 when
// more bytes are needed to tell; with `at_end` (no more will come) or when `n` reaches
// packet_size_probe, 188 in place of 0.
uint32_t find_packet_size(const uint8_t* b, uint32_t n, bool at_end);

// The same, with every transport header byte taken one at a time even when the header lies
// whole in the block. Gives identical results; kept to prove that.
void demux_buffer_per_byte(context& ctx, uint32_t length, uint8_t* block);

// Packets before the program's PMT (early.cpp). early_start makes the store (demux_init);
// early_packet_begin takes a slot for the current packet when its PID is one that nothing
// reads yet, and early_payload adds its payload bytes; early_release, once the PMT has
// chosen the streams, hands the kept packets of their PIDs to their PES parsers and ends
// the keeping. The store is freed there, or with the context.
void early_start(context& ctx);
void early_packet_begin(context& ctx, uint16_t pid, bool has_payload);
void early_payload(context& ctx, const uint8_t* data, uint32_t available);
void early_release(context& ctx);

// Adaptation field bytes, one at a time (the length byte first). Used by demux_buffer.
void feed_adaptation_length(context& ctx, uint8_t b);
void feed_adaptation_byte(context& ctx, uint8_t b);
