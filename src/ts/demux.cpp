// Packet framing and the transport header.
//
// A plain stream is a run of 188-byte packets that start with the sync byte 0x47; an HDMV
// stream (AVCHD, Blu-ray) puts a 4-byte header with a 30-bit arrival_time_stamp before
// each packet, and a stream stored with its Reed-Solomon parity has 16 more bytes after
// each packet, which are skipped. Which of the three it is, the first bytes decide
// (packet_size.cpp) unless option h says 192. The packet length is fixed by counting, never by looking ahead, so a lost
// byte makes the packet borrow the next sync byte and the search then runs to the next
// 0x47. All state lives in the context so that any field may straddle blocks.
#include <algorithm>
#include <cstring>

#include "core/context.h"

namespace {

constexpr uint8_t sync_byte = 0x47;
constexpr uint16_t null_pid = 0x1FFF;
// How far ahead of the packet being framed its successors are fetched into the cache. A
// mapped file's pages lie anywhere in memory, so the processor's own prefetch stops at
// every page end, and the sync byte and the payload scan would each wait for memory
// there. Two fetches a packet, 128 bytes apart, for the packet this far on (the
// processor brings a line's neighbour with it) hide that: a third less time on a
// 1080i MPEG-2 capture held in memory.
constexpr uint32_t prefetch_distance = 2048;

void start_packet(context& ctx) {
    ts_state& ts = ctx.ts;
    ts.in_packet = 1;
    ts.bytes_since_pcr += 1;
    ts.packet_bytes_left = 187;
    ts.ts_header_countdown = 3;
    if (ts.sync_skipped > 0) {
        fprintf(ctx.report, "Transport Sync Error, skipped %d bytes, at %d\n", ts.sync_skipped,
                ctx.stats.packet_number);
        ts.sync_losses += 1;
        ts.sync_skipped = 0;
    }
}

// HDMV arrival-time header byte; `left` is the countdown after this byte.
void arrival_time_byte(context& ctx, uint8_t b, uint32_t left) {
    ts_state& ts = ctx.ts;
    switch (left) {
    case 3: ts.arrival_time_stamp = uint32_t(b & 0x3F) << 24; break;  // top two bits dropped
    case 2: ts.arrival_time_stamp |= uint32_t(b) << 16; break;
    case 1: ts.arrival_time_stamp |= uint32_t(b) << 8; break;
    default:
        ts.arrival_time_stamp |= b;
        if (ctx.options.dump_ats_delta)
            fprintf(ctx.report, "arrival_time_stamp delta = %d\n",
                    int32_t(ts.arrival_time_stamp - ts.last_arrival_time_stamp));
        ts.last_arrival_time_stamp = ts.arrival_time_stamp;
        break;
    }
}

// The third header byte: scrambling, adaptation control, continuity and unit starts.
// Once per packet: kept inline in both framing loops, this and route_payload below.
[[gnu::always_inline]] inline void header_flags_byte(context& ctx, uint8_t b) {
    ts_state& ts = ctx.ts;
    const uint16_t pid = ts.current_pid;
    ts.scrambling_control = b >> 6;
    ts.adaptation_control = (b >> 4) & 3;
    const uint8_t received = b & 0x0F;
    const uint8_t last = ctx.pids.last_cc[pid];
    const uint8_t expected = (last + 1) & 0x0F;
    const bool has_payload = ts.adaptation_control & 1;

    // Packets without payload do not advance the counter; PID 0 is never tracked.
    if (received != expected && has_payload && pid != null_pid && last != 0xFF) {
        fprintf(ctx.report, "Discontinuity!, pid = %d <0x%04x>, received = %2d, expected = %2d, at %d\n",
                pid, pid, received, expected, ctx.stats.packet_number);
        ctx.pids.continuity_errors[pid] += 1;
        if (ctx.stream_of_pid[pid] != no_stream) stream_lost_data(ctx.streams[ctx.stream_of_pid[pid]], ts.unit_start);
    }
    // A stream's first packet that continues a PES packet: its start was lost, or the
    // recording began after it. Its bytes wait for a PES header as ever. A later one after
    // an audio PES packet ended by its length: packets were lost unseen (a multiple of 16,
    // which the counter cannot tell), the next one's header with them.
    if (has_payload && !ts.unit_start && ctx.stream_of_pid[pid] != no_stream) {
        chosen_stream& s = ctx.streams[ctx.stream_of_pid[pid]];
        if (last == 0xFF)
            s.pes.data_lost = 1;
        else if (s.pes.ended && received == expected) {
            stream_call sc{s, ctx.timing};
            pes_continues_headerless(sc);
        }
    }
    if (pid != 0 && has_payload) ctx.pids.last_cc[pid] = received;
    if (ts.adaptation_control & 2) ts.af_length_pending = 1;
    if (ts.early.slots) early_packet_begin(ctx, pid, has_payload);

    if (ts.unit_start) {
        if (ctx.listing) listing_unit_start(*ctx.listing, pid);  // option l, or beside a JSON report
        if (pid == 0) pat_unit_start(ctx);
        if (pid == ctx.selection.pmt_pid) pmt_unit_start(ctx);
        if (ctx.psip_routes.routes(pid)) collector_unit_start(ctx, pid);
        if (ctx.stream_of_pid[pid] != no_stream) pes_unit_start(ctx.streams[ctx.stream_of_pid[pid]]);
    }
}

// The PID is complete: the packet is counted.
void count_packet(context& ctx, uint16_t pid) {
    ctx.ts.current_pid = pid;
    ctx.stats.packet_number += 1;
    ctx.pids.packet_count[pid] += 1;
    if (ctx.pids.first_packet[pid] == 0) ctx.pids.first_packet[pid] = ctx.stats.packet_number;
    ctx.pids.last_packet[pid] = ctx.stats.packet_number;
    if (ctx.options.dump_all_pids) fprintf(ctx.report, "  PID=%4x", pid);
}

void header_byte(context& ctx, uint8_t b) {
    ts_state& ts = ctx.ts;
    const uint32_t position = ts.ts_header_countdown;
    ts.ts_header_countdown -= 1;
    ts.packet_bytes_left -= 1;
    ts.bytes_since_pcr += 1;
    if (position == 3) {
        ts.unit_start = (b >> 6) & 1;
        ts.current_pid = uint16_t((b & 0x1F) << 8);
    } else if (position == 2) {
        count_packet(ctx, ts.current_pid | b);
    } else {
        header_flags_byte(ctx, b);
    }
}

// The three header bytes after the sync byte at h[0], all in the block: the same steps as
// header_byte on each, in one go.
void whole_header(context& ctx, const uint8_t* h) {
    ts_state& ts = ctx.ts;
    ts.ts_header_countdown = 0;
    ts.packet_bytes_left -= 3;
    ts.bytes_since_pcr += 3;
    ts.unit_start = (h[1] >> 6) & 1;
    count_packet(ctx, uint16_t((h[1] & 0x1F) << 8 | h[2]));
    header_flags_byte(ctx, h[3]);
}

// Offers the payload run at `data` to the consumer of the current PID; returns the bytes
// consumed. Payload of PIDs nobody reads is skipped in one step.
[[gnu::always_inline]] inline uint32_t route_payload(context& ctx, uint8_t* data, uint32_t available) {
    const uint16_t pid = ctx.ts.current_pid;
    const bool clear = ctx.ts.scrambling_control == 0;
    if (ctx.listing) {
        feed_listing(*ctx.listing, pid, data, available);
        if (ctx.options.list_programs) return available;
    }
    if (pid == 0) return feed_pat(ctx, data, available);
    if (pid == ctx.selection.pmt_pid) return feed_pmt(ctx, data, available);
    const uint8_t k = ctx.stream_of_pid[pid];
    if (k != no_stream && clear) {
        stream_call sc{ctx.streams[k], ctx.timing};
        return feed_pes(sc, data, available);
    }
    if (ctx.psip_routes.routes(pid)) return feed_collector(ctx, pid, data, available);
    if (ctx.ts.early.open) early_payload(ctx, data, available);
    return available;
}

}  // namespace

bool demux_init(context& ctx) {
    ts_state& ts = ctx.ts;
    ts.in_packet = 0;
    ts.ts_header_countdown = 0;
    ts.af_length_pending = 0;
    ts.af_bytes_left = 0;
    ts.pcr_countdown = 0;
    ts.ats_countdown = 4;
    ts.packet_size = ctx.options.hdmv_input ? hdmv_packet_size : 0;
    ts.probe_filled = 0;
    ts.parity_left = 0;
    ctx.pat = pat_parser{};
    ctx.pmt = pmt_parser{};
    std::memset(ctx.pids.last_cc, 0xFF, sizeof ctx.pids.last_cc);
    std::memset(ctx.pids.packet_count, 0, sizeof ctx.pids.packet_count);
    std::memset(ctx.pids.first_packet, 0, sizeof ctx.pids.first_packet);
    early_start(ctx);
    return psip_new_collector(ctx, psip_routing::base);
}

namespace {

// With `whole_headers`, a transport header that lies whole in the block is read in one
// step; without, every header byte goes through header_byte, as it must when a header
// straddles two blocks. The two give the same results (demux_buffer_per_byte proves it).
template <bool whole_headers>
void demux(context& ctx, uint32_t length, uint8_t* block) {
    ts_state& ts = ctx.ts;
    uint32_t i = 0;
    while (i < length) {
        if (!ts.in_packet) {
            if (ts.parity_left > 0) {
                const uint32_t skipped = std::min(ts.parity_left, length - i);
                ts.parity_left -= skipped;
                i += skipped;
                continue;
            }
            if (ts.packet_size == hdmv_packet_size && ts.ats_countdown > 0) {
                ts.ats_countdown -= 1;
                arrival_time_byte(ctx, block[i], ts.ats_countdown);
                ++i;
                continue;
            }
            // Search for the sync byte; whatever lies before it is counted as skipped. In
            // step it is the very next byte.
            if (block[i] != sync_byte) {
                auto* found = static_cast<uint8_t*>(std::memchr(block + i, sync_byte, length - i));
                if (!found) {
                    ts.sync_skipped += length - i;
                    return;
                }
                ts.sync_skipped += uint32_t(found - (block + i));
                i = uint32_t(found - block);
            }
            if (ts.packet_size == hdmv_packet_size) {
                ts.sync_byte_count = ts.bytes_since_pcr;
                ts.ats_countdown = 4;
            }
            start_packet(ctx);
            // Beyond the block it touches nothing: a prefetch never faults.
            __builtin_prefetch(block + i + prefetch_distance);
            __builtin_prefetch(block + i + prefetch_distance + 128);
            if (whole_headers && length - i >= 4) {
                whole_header(ctx, block + i);
                i += 4;
            } else {
                ++i;
            }
            continue;
        }

        if (ts.ts_header_countdown > 0) {
            // The header bytes that this block holds, in a row.
            do header_byte(ctx, block[i++]);
            while (ts.ts_header_countdown > 0 && i < length);
            continue;
        }

        uint32_t taken;
        if (ts.af_length_pending) {
            // Never the packet's last byte: the header leaves 184 bytes.
            ts.packet_bytes_left -= 1;
            ts.bytes_since_pcr += 1;
            feed_adaptation_length(ctx, block[i++]);
            continue;
        } else if (ts.af_bytes_left > 0) {
            if (ts.pcr_countdown == 0 && ts.af_length != ts.af_bytes_left) {
                // Past the flags byte with no PCR to read: the rest of the field (OPCR,
                // splice countdown, private data, stuffing) has no effect; take it whole.
                taken = std::min({ts.af_bytes_left, ts.packet_bytes_left, length - i});
                ts.af_bytes_left -= taken;
                ts.packet_bytes_left -= taken;
                ts.bytes_since_pcr += taken;
            } else {
                // The PCR sees bytes_since_pcr with this byte counted.
                ts.packet_bytes_left -= 1;
                ts.bytes_since_pcr += 1;
                feed_adaptation_byte(ctx, block[i]);
                taken = 1;
            }
        } else {
            const uint32_t available = std::min(length - i, ts.packet_bytes_left);
            taken = route_payload(ctx, block + i, available);
            ts.packet_bytes_left -= taken;
            ts.bytes_since_pcr += taken;
        }
        i += taken;
        if (ts.packet_bytes_left == 0) {
            ts.in_packet = 0;
            if (ts.packet_size == parity_packet_size) ts.parity_left = parity_packet_size - plain_packet_size;
        }
    }
}

void announce_packet_size(context& ctx, uint32_t size) {
    ctx.ts.packet_size = size;
    if (size == hdmv_packet_size)
        fprintf(ctx.report, "Packet size = 192 bytes: a 4-byte arrival time header before each packet\n");
    else if (size == parity_packet_size)
        fprintf(ctx.report, "Packet size = 204 bytes: 16 parity bytes after each packet, skipped\n");
}

// Until the packet size is known the bytes wait in the probe; a block that decides it on
// its own is framed in place. Once decided, what waited is framed first, then the rest.
template <bool whole_headers>
void demux_entry(context& ctx, uint32_t length, uint8_t* block) {
    ts_state& ts = ctx.ts;
    if (ts.packet_size == 0) {
        if (ts.probe_filled == 0) {
            if (const uint32_t size = find_packet_size(block, length, false)) {
                announce_packet_size(ctx, size);
                demux<whole_headers>(ctx, length, block);
                return;
            }
        }
        const uint32_t taken = std::min(length, packet_size_probe - ts.probe_filled);
        std::memcpy(ts.probe + ts.probe_filled, block, taken);
        ts.probe_filled += taken;
        const uint32_t size = find_packet_size(ts.probe, ts.probe_filled, false);
        if (size == 0) return;
        announce_packet_size(ctx, size);
        demux<whole_headers>(ctx, ts.probe_filled, ts.probe);
        ts.probe_filled = 0;
        block += taken;
        length -= taken;
    }
    demux<whole_headers>(ctx, length, block);
}

}  // namespace

void demux_buffer(context& ctx, uint32_t length, uint8_t* block) { demux_entry<true>(ctx, length, block); }

void demux_buffer_per_byte(context& ctx, uint32_t length, uint8_t* block) {
    demux_entry<false>(ctx, length, block);
}

void demux_end(context& ctx) {
    ts_state& ts = ctx.ts;
    if (ts.packet_size == 0 && ts.probe_filled != 0) {
        announce_packet_size(ctx, find_packet_size(ts.probe, ts.probe_filled, true));
        demux<true>(ctx, ts.probe_filled, ts.probe);
        ts.probe_filled = 0;
    }
    // Audio whose first bytes are still held or watched is decided with what came; then
    // each handler gives out what it still holds.
    for (uint32_t k = 0; k < ctx.stream_count; ++k) {
        stream_call sc{ctx.streams[k], ctx.timing};
        end_audio_start(sc);
        stream_handler_finish(sc);
    }
}
