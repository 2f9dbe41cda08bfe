// PMT parser: the payload of `pmt_pid` into the PCR PID and the chosen streams.
//
// Sections are gathered whole and used only when intact and meant for the program asked
// for: a CRC_32 that does not match drops the section (counted), and so does a table_id
// other than 2, a section not yet current, or another program's section (programs may
// share a PMT PID). Every usable section is applied: a new version may move a chosen
// stream to another PID or change its type (choose.cpp). The first one is printed: the
// program descriptors, the chosen streams and every stream's descriptors.
#include "core/context.h"

namespace {

constexpr uint16_t fixed_bytes = 9;  // program_number to program_info_length
constexpr uint8_t pmt_table_id = 0x02;

// A descriptor loop as lines of "<title> = 0x.., 0x.., ...": tag, length, data bytes. A
// descriptor cut short by the end of the loop leaves its line open, as its bytes ran out.
void print_descriptors(FILE* out, const uint8_t* d, uint32_t length, int stream_type) {
    uint32_t k = 0;
    while (k < length) {
        if (stream_type < 0)
            fprintf(out, "program descriptor = 0x%02x", d[k]);
        else
            fprintf(out, "ES descriptor for stream type 0x%02x = 0x%02x", stream_type, d[k]);
        if (k + 1 >= length) return;
        const uint32_t n = d[k + 1];
        fprintf(out, ", 0x%02x", n);
        for (uint32_t i = 0; i < n; ++i) {
            if (k + 2 + i >= length) return;
            fprintf(out, ", 0x%02x", d[k + 2 + i]);
        }
        fputc('\n', out);
        k += 2 + n;
    }
}

void print_chosen(FILE* out, const pmt_entry& e) {
    fprintf(out, e.what.kind == stream_kind::video ? "Video PID = %4d <0x%04x>, type = 0x%02x\r\n"
                                                   : "Audio PID = %4d <0x%04x>, type = 0x%02x\r\n",
            e.pid, e.pid, e.type);
}

// The first PMT of the program: its descriptors and the chosen streams, in PMT order for
// the types counted first, then those of each later round.
void print_program(context& ctx, const program_map& m, const bool* chosen) {
    FILE* out = ctx.report;
    print_descriptors(out, m.info, m.info_length, -1);
    for (uint32_t i = 0; i < m.count; ++i) {
        const pmt_entry& e = m.entries[i];
        if (chosen[i] && e.what.count_round == 0) print_chosen(out, e);
        print_descriptors(out, e.descriptors, e.length, e.type);
    }
    for (uint8_t round : {1, 2})
        for (uint32_t i = 0; i < m.count; ++i)
            if (chosen[i] && m.entries[i].what.count_round == round) print_chosen(out, m.entries[i]);
}

void take_section(context& ctx, const uint8_t* d, uint32_t size) {
    pmt_parser& p = ctx.pmt;
    program_map& m = p.map;
    decode_pmt(d, size, ctx.options.hdmv_input, m);
    ctx.selection.pcr_pid = m.pcr_pid;
    bool chosen[max_pmt_entries] = {};
    choose_streams(ctx, m, chosen);
    if (p.print_pending) print_program(ctx, m, chosen);
    p.print_pending = 0;
    // What came of the chosen streams before this PMT goes to them now.
    early_release(ctx);
}

}  // namespace

void pmt_unit_start(context& ctx) { ctx.pmt.g.pointer_pending = 1; }

uint32_t feed_pmt(context& ctx, uint8_t* data, uint32_t available) {
    pmt_parser& p = ctx.pmt;
    bool complete = false;
    const uint32_t taken = gather_section(p.g, data, available, fixed_bytes, ctx.report, "PMT", complete);
    if (complete) {
        const uint8_t* d = p.g.data;
        // A program's PMT is one section, numbered 0.
        if (section_usable(p.g, pmt_table_id, fixed_bytes) && d[6] == 0 &&
            int32_t(psi_be16(d + 3)) == ctx.selection.program_number)
            take_section(ctx, d, p.g.need);
    }
    return taken;
}
