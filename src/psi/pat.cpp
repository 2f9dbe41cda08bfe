// PAT parser: the payload of PID 0, byte by byte, into the program list and `pmt_pid`.
//
// Outside a body one byte is taken per call; a body is copied in runs. A section too long
// (1022 or more) is reported and ignored, one too short for its five extension bytes is
// ignored silently; both wait for the next pointer_field. Bodies of a multi-section table
// are joined without the CRC_32 of any section but the last, and at most psi_body_capacity
// bytes are kept: the excess is dropped and the table parsed from what was stored.

#include "driver/context.h"
#include "psi/section.h"

namespace {

constexpr uint16_t extension_bytes = 5;

// Starts the three head bytes, forgetting any countdown left by an interrupted section.
void begin_head(pat_parser& p) {
    p.head_countdown = 3;
    p.extension_countdown = 0;
}

void parse_table(context& ctx) {
    pat_parser& p = ctx.pat;
    for (uint32_t k = 0; k + psi::crc_bytes < p.stored; k += 4) {
        const uint8_t* e = p.body + k;
        const uint16_t program = uint16_t((e[0] << 8) | e[1]);
        const uint16_t pid = uint16_t(((e[2] & 0x1F) << 8) | e[3]);
        if (p.print_pending)
            fprintf(ctx.report, "Program Number = %d (0x%04x), Program Map PID = %d (0x%04x)\n", program,
                    program, pid, pid);
        if (int32_t(program) == ctx.selection.program_number) ctx.selection.pmt_pid = pid;
    }
    p.print_pending = 0;
}

void section_complete(context& ctx) {
    pat_parser& p = ctx.pat;
    p.collecting = 0;
    if (p.section_number != p.last_section_number) return;  // the next section is joined on
    parse_table(ctx);
}

void head_byte(pat_parser& p, context& ctx, uint8_t b) {
    p.head_countdown -= 1;
    switch (p.head_countdown) {
    case 2: break;  // table_id, taken as a PAT whatever it holds
    case 1: p.section_remaining = uint16_t((b & 0x0F) << 8); break;
    default:
        p.section_remaining |= b;
        if (psi::accept_section_length(ctx.report, p, "PAT", extension_bytes))
            p.extension_countdown = extension_bytes;
        break;
    }
}

void extension_byte(pat_parser& p, context& ctx, uint8_t b) {
    p.section_remaining -= 1;
    p.extension_countdown -= 1;
    switch (p.extension_countdown) {
    case 1:
        p.section_number = b;
        if (b == 0) p.stored = 0;
        break;
    case 0:
        p.last_section_number = b;
        p.collecting = 1;
        if (p.section_remaining == 0) section_complete(ctx);
        break;
    default: break;  // transport_stream_id, version
    }
}

uint32_t body_run(context& ctx, const uint8_t* data, uint32_t available) {
    const uint32_t n = psi::copy_body_run(ctx.pat, data, available);
    if (ctx.pat.section_remaining == 0) section_complete(ctx);
    return n;
}

}  // namespace

uint32_t feed_pat(context& ctx, uint8_t* data, uint32_t available) {
    pat_parser& p = ctx.pat;
    if (p.collecting) return body_run(ctx, data, available);

    const uint8_t b = *data;
    bool head_starts = false;
    if (psi::pointer_byte(p, p.pat_pointer_pending, b, &head_starts)) {
        if (head_starts) begin_head(p);
    } else if (p.head_countdown > 0) {
        head_byte(p, ctx, b);
    } else if (p.extension_countdown > 0) {
        extension_byte(p, ctx, b);
    }
    return 1;
}
