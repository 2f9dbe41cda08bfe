// Transport packet layer: framing of 188-byte packets (or 192-byte HDMV units), the
// transport header, per-PID statistics, continuity checking, routing of payload by PID,
// adaptation fields, PCRs and the live rate display.
#pragma once

#include <cstdint>

struct context;

struct ts_state {
    // Packet framing.
    uint32_t in_packet = 0;
    uint32_t ts_header_countdown = 0;  // header bytes left after the sync byte (3, 2, 1)
    uint32_t packet_bytes_left = 0;    // bytes of the packet after its sync byte not yet consumed
    uint16_t current_pid = 0;
    uint8_t unit_start = 0;
    uint8_t scrambling_control = 0;
    uint8_t adaptation_control = 0;
    uint32_t sync_skipped = 0;
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
    uint64_t next_rate_flush = 0;      // monotonic nanoseconds before which no rate line is flushed
};

// Brings the demultiplexer into its starting state; called once before the first block.
// Returns false when the section collector of the PSIP base PID cannot be allocated.
bool demux_init(context& ctx);

// Consumes one block of input; every piece of state survives to the next call.
void demux_buffer(context& ctx, uint32_t length, uint8_t* block);

// The same, with every transport header byte taken one at a time even when the header lies
// whole in the block. Gives identical results; kept to prove that.
void demux_buffer_per_byte(context& ctx, uint32_t length, uint8_t* block);

// Adaptation field bytes, one at a time (the length byte first). Used by demux_buffer.
void feed_adaptation_length(context& ctx, uint8_t b);
void feed_adaptation_byte(context& ctx, uint8_t b);
