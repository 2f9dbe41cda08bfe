// PAT parser: the payload of PID 0 into the program list and `pmt_pid`.
//
// Sections are gathered whole and used only when intact: a CRC_32 that does not match, a
// table_id other than 0, or a section not yet current drops it (counted). A section over
// 1021 bytes is reported and passed over. The sections of a table are joined from section
// 0 on, and the table is taken when its last section is in.
#include "core/context.h"

namespace {

constexpr uint16_t fixed_bytes = 5;  // transport_stream_id to last_section_number
constexpr uint8_t pat_table_id = 0x00;
constexpr uint32_t head_and_fixed = 3 + fixed_bytes;
constexpr uint32_t crc_bytes = 4;

void take_section(context& ctx, const uint8_t* d, uint32_t size) {
    pat_parser& p = ctx.pat;
    const uint8_t section_number = d[6], last_section_number = d[7];
    if (section_number == 0) p.entries = 0;
    for (uint32_t k = head_and_fixed; k + 4 + crc_bytes <= size && p.entries < 256; k += 4) {
        p.program[p.entries] = psi_be16(d + k);
        p.pmt_pid[p.entries] = psi_be16(d + k + 2) & 0x1FFF;
        ++p.entries;
    }
    if (section_number != last_section_number) return;
    for (uint32_t i = 0; i < p.entries; ++i) {
        const uint16_t program = p.program[i], pid = p.pmt_pid[i];
        if (p.print_pending)
            fprintf(ctx.report, "Program Number = %d (0x%04x), Program Map PID = %d (0x%04x)\n", program,
                    program, pid, pid);
        if (int32_t(program) == ctx.selection.program_number) ctx.selection.pmt_pid = pid;
    }
    p.print_pending = 0;
}

}  // namespace

void pat_unit_start(context& ctx) { ctx.pat.g.pointer_pending = 1; }

uint32_t feed_pat(context& ctx, uint8_t* data, uint32_t available) {
    pat_parser& p = ctx.pat;
    bool complete = false;
    const uint32_t taken = gather_section(p.g, data, available, fixed_bytes, ctx.report, "PAT", complete);
    if (complete) {
        if (section_usable(p.g, pat_table_id, fixed_bytes)) take_section(ctx, p.g.data, p.g.need);
    }
    return taken;
}
