// PAT parser: the payload of PID 0 into the program list and `pmt_pid`.
//
// The section reader frames the sections; this parser keeps their bodies. A section too
// long (1022 or more) is reported and ignored, one too short for its five extension bytes
// is ignored silently; both wait for the next pointer_field. Bodies of a multi-section
// table are joined without the CRC_32 of any section but the last, and at most
// psi_body_capacity bytes are kept: the excess is dropped and the table parsed from what
// was stored.

#include "core/context.h"
#include "psi/section.h"

namespace {

constexpr uint16_t extension_bytes = 5;
constexpr uint32_t section_number_countdown = 1;  // extension bytes left after section_number

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

}  // namespace

void pat_unit_start(context& ctx) { ctx.pat.pat_pointer_pending = 1; }

uint32_t feed_pat(context& ctx, uint8_t* data, uint32_t available) {
    pat_parser& p = ctx.pat;
    section_reader& r = p.reader;
    const section_step s = section_read(r, p.pat_pointer_pending, data, available);
    if (s.dropped) psi::drop_section_body(p);
    switch (s.event) {
    case section_event::length: psi::accept_section_length(ctx.report, r, "PAT", extension_bytes); break;
    case section_event::field:
        if (r.extension_countdown == section_number_countdown) psi::start_section_body(p);
        break;
    case section_event::body: psi::store_body_run(p, data, s.taken); break;
    default: break;  // the table_id is taken as a PAT whatever it holds
    }
    // A table is parsed when its last section is complete; earlier ones are joined on.
    if (section_ended(r) && r.section_number == r.last_section_number) parse_table(ctx);
    return s.taken;
}
