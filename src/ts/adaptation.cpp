// Adaptation field, PCR and the live rate display.
//
// Only the PCR_flag and the 6-byte PCR are read: a 33-bit base at 90 kHz, 6 reserved bits
// and a 9-bit extension, together the 27 MHz clock. The PCR countdown is not tied to its
// packet, so a PCR cut short by a too-short adaptation field goes on in later ones.
#include <ctime>

#include "core/context.h"

namespace {

// The PCR is a 33-bit base at 90 kHz times 300 plus the extension: it wraps at 2^33 x 300.
constexpr uint64_t pcr_wrap = (uint64_t{1} << 33) * 300;
constexpr uint64_t clock_27mhz = 27000000;
constexpr uint64_t rate_flush_interval = 100000000;  // ns: about ten a second

// A rate line ends in a carriage return, so on a terminal nothing would show until the
// buffer fills. There it is flushed, but at most about ten times a second: a clock look
// per PCR, not per packet. Into a file or a pipe nothing changes.
void show_rate_line(context& ctx) {
    if (!ctx.report_is_terminal) return;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ns = uint64_t(now.tv_sec) * 1000000000 + uint64_t(now.tv_nsec);
    if (ns < ctx.ts.next_rate_flush) return;
    fflush(ctx.report);
    ctx.ts.next_rate_flush = ns + rate_flush_interval;
}

void print_rate(context& ctx, uint32_t rate) {
    if (ctx.timing.video_rate != 0)
        fprintf(ctx.report, "ts rate = %9d, video rate = %9d\r", int32_t(rate), int32_t(ctx.timing.video_rate));
    else
        fprintf(ctx.report, "ts rate = %9d\r", int32_t(rate));
}

// Transport rate over the bytes since the previous PCR of pcr_pid, and the display.
void show_rate(context& ctx, uint64_t adjusted, uint64_t delta) {
    ts_state& ts = ctx.ts;
    uint64_t quotient;
    if (ts.packet_size != hdmv_packet_size) {
        quotient = ts.bytes_since_pcr * clock_27mhz / delta;
    } else {
        // HDMV: measured against the packet's own arrival time stamp.
        const uint64_t d = (adjusted & 0x3FFFFFFF) - uint64_t(ts.arrival_time_stamp);
        if (d == 0) {
            if (ctx.timing.video_rate != 0)
                fprintf(ctx.report, "ts rate = unspecified, video rate = %9d\r", int32_t(ctx.timing.video_rate));
            else
                fprintf(ctx.report, "ts rate = unspecified\r");
            show_rate_line(ctx);
            return;
        }
        quotient = ((ts.bytes_since_pcr - ts.sync_byte_count) * clock_27mhz - 2 * clock_27mhz) / d;
    }
    print_rate(ctx, uint32_t(quotient) * 8u);
    show_rate_line(ctx);
}

void process_pcr(context& ctx) {
    ts_state& ts = ctx.ts;
    const uint64_t base = ts.pcr_register >> 15;
    if (ctx.options.dump_pcr)
        fprintf(ctx.report, "pcr = %d at packet number %d\n", int32_t(uint32_t(base)), ctx.stats.packet_number);
    const uint64_t pcr = base * 300 + (ts.pcr_register & 0x1FF);
    const uint64_t adjusted = pcr < ts.last_pcr ? pcr + pcr_wrap : pcr;
    const uint64_t delta = adjusted - ts.last_pcr;
    // A discontinuity_indicator with a PCR that steps well beyond the 100 ms between two
    // PCRs: the time base changed. Receivers set the indicator after a dropout too, where
    // the PCR goes on by the time lost; the audio tells those apart by its lost packets.
    const int64_t step = pts_diff(base, ts.last_pcr / 300);
    if (ts.discontinuity && ts.pcr_seen && (step > 90000 || step < -90000)) {
        ctx.timing.pcr_jumped = 1;
        ctx.timing.pcr_jump = step;
        ctx.timing.pcr_jump_to = base;
    }
    ts.pcr_seen = 1;
    if (delta != 0 && !ctx.options.suppress_rate) show_rate(ctx, adjusted, delta);
    ts.last_pcr = pcr;
    ts.bytes_since_pcr = 0;
}

}  // namespace

void feed_adaptation_length(context& ctx, uint8_t b) {
    ts_state& ts = ctx.ts;
    // A length beyond the packet (a damaged one) ends with it, so that the next packet's
    // payload is not taken as adaptation field. packet_bytes_left already counts this byte.
    const uint32_t length = b < ts.packet_bytes_left ? b : ts.packet_bytes_left;
    ts.af_bytes_left = length;
    ts.af_length = length;
    ts.af_length_pending = 0;
}

void feed_adaptation_byte(context& ctx, uint8_t b) {
    ts_state& ts = ctx.ts;
    ts.af_bytes_left -= 1;
    if (ts.af_length - ts.af_bytes_left == 1) {
        ts.discontinuity = b >> 7;
        if (b & 0x10) {  // PCR_flag
            ts.pcr_countdown = 6;
            ts.pcr_register = 0;
        }
    } else if (ts.pcr_countdown > 0) {
        ts.pcr_register = (ts.pcr_register << 8) | b;
        ts.pcr_countdown -= 1;
        if (ts.pcr_countdown == 0 && ts.current_pid == ctx.selection.pcr_pid) process_pcr(ctx);
    }
}
