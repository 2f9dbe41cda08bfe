// Packets that come before the program's PMT.
//
// A stream is read from its PID only once the PMT has named it, but a capture, a clip or
// an HLS segment often begins with pictures and audio frames before the first PMT: a clip
// cut at an I picture, or a PMT that is sent once every half second. Until the program's
// PMT has been applied, the payload of every packet that nothing else reads is kept here,
// in a ring of the latest packets (about 4 MiB); when the PMT names the streams, the kept
// packets of their PIDs are handed to their PES parsers in the order they came, as if
// they came now, and the rest is dropped. Framing, the PAT and the PMT, the per-PID counts
// and the continuity checks have seen every packet once, as it came; only the payload of
// the chosen streams is late.
//
// The ring keeps the latest packets rather than the first, so that what it hands on runs
// straight into the packets that follow the PMT. A slot is taken per packet, at its
// header, so that a unit start without payload is kept too.
#include <cstdlib>
#include <cstring>

#include "core/context.h"

namespace {

constexpr uint8_t unit_start_flag = 1;
constexpr uint8_t scrambled_flag = 2;

bool kept(const context& ctx, uint16_t pid) {
    return pid != 0 && pid != 0x1FFF && pid != ctx.selection.pmt_pid && ctx.stream_of_pid[pid] == no_stream &&
           !ctx.psip_routes.routes(pid);
}

}  // namespace

void early_start(context& ctx) {
    early_store& e = ctx.ts.early;
    std::free(e.slots);
    e = early_store{};
    // Not for the listing, nor when the streams were chosen before the first byte (tests
    // that give them directly). Without memory for it, the packets are not kept.
    if (ctx.options.list_programs || ctx.stream_count > 0) return;
    e.slots = static_cast<early_packet*>(std::malloc(sizeof(early_packet) * early_capacity));
}

void early_packet_begin(context& ctx, uint16_t pid, bool has_payload) {
    early_store& e = ctx.ts.early;
    e.open = nullptr;
    if ((!has_payload && !ctx.ts.unit_start) || !kept(ctx, pid)) return;
    if (e.count == early_capacity) {  // full: the oldest goes
        e.first = e.first + 1 == early_capacity ? 0 : e.first + 1;
        e.count -= 1;
    }
    uint32_t at = e.first + e.count;
    if (at >= early_capacity) at -= early_capacity;
    e.count += 1;
    early_packet& p = e.slots[at];
    p.pid = pid;
    p.flags = uint8_t((ctx.ts.unit_start ? unit_start_flag : 0) | (ctx.ts.scrambling_control ? scrambled_flag : 0));
    p.length = 0;
    e.open = &p;
}

void early_payload(context& ctx, const uint8_t* data, uint32_t available) {
    early_packet& p = *ctx.ts.early.open;
    // A packet's payload is at most 184 bytes; the check keeps a damaged count in bounds.
    const uint32_t n = available < sizeof p.payload - p.length ? available : uint32_t(sizeof p.payload - p.length);
    std::memcpy(p.payload + p.length, data, n);
    p.length = uint8_t(p.length + n);
}

void early_release(context& ctx) {
    early_store& e = ctx.ts.early;
    if (!e.slots) return;
    early_packet* slots = e.slots;
    const uint32_t first = e.first, count = e.count;
    e = early_store{};  // from here on, nothing more is kept
    for (uint32_t i = 0, at = first; i < count; ++i, at = at + 1 == early_capacity ? 0 : at + 1) {
        early_packet& p = slots[at];
        const uint8_t k = ctx.stream_of_pid[p.pid];
        if (k == no_stream) continue;
        chosen_stream& s = ctx.streams[k];
        if (p.flags & unit_start_flag) pes_unit_start(s);
        if (p.flags & scrambled_flag) continue;
        stream_call sc{s, ctx.timing};
        for (uint32_t done = 0; done < p.length;) done += feed_pes(sc, p.payload + done, p.length - done);
    }
    std::free(slots);
}
