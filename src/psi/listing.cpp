// Option l: the programs of the first complete PAT, and for each the streams of its PMT
// with the numbers that choose them, counted as the PMT parser counts them.
//
// Each PMT PID (and PID 0) gathers its sections byte by byte from the pointer_field of a
// unit start; a section that is not the one wanted (another table or program, or a table
// of several sections past the first) is passed over until the next unit start. The
// listing is complete once the PAT and every PMT it lists have been read.
#include <algorithm>
#include <cstring>

#include "psi/psi.h"

namespace {

constexpr uint8_t pat_table_id = 0x00, pmt_table_id = 0x02;
constexpr uint32_t crc_bytes = 4;
constexpr uint16_t pat_fixed = 5, pmt_fixed = 9;  // after section_length
constexpr uint32_t pat_entries_at = 8;

// Whether the gathered section is the one `s` waits for: intact and current, the first of
// its table, and for a PMT the program's own (programs may share a PMT PID).
bool wanted(listing_section& s, bool is_pat) {
    const uint8_t* d = s.g.data;
    if (!section_usable(s.g, is_pat ? pat_table_id : pmt_table_id, is_pat ? pat_fixed : pmt_fixed)) return false;
    if (d[6] != 0) return false;  // section_number: the first section only
    return is_pat || psi_be16(d + 3) == s.program;
}

void take_pat(program_listing& l) {
    const listing_section& s = l.pat;
    const uint32_t end = s.g.need - crc_bytes;
    for (uint32_t k = pat_entries_at; k + 4 <= end && l.programs < listing_program_capacity; k += 4) {
        const uint16_t program = psi_be16(s.g.data + k);
        if (program == 0) continue;  // the network PID
        if (l.only_program >= 0 && program != l.only_program) continue;
        listing_section& p = l.pmts[l.programs++];
        p = listing_section{};
        p.pid = psi_be16(s.g.data + k + 2) & 0x1FFF;
        p.program = program;
    }
    l.pending = l.programs;
    l.complete = l.pending == 0;
}

void gather(program_listing& l, listing_section& s, const uint8_t* data, uint32_t n) {
    const bool is_pat = &s == &l.pat;
    for (uint32_t i = 0; i < n && !s.done;) {
        bool complete = false;
        i += gather_section(s.g, data + i, n - i, is_pat ? pat_fixed : pmt_fixed, nullptr, "", complete);
        if (!complete || !wanted(s, is_pat)) continue;
        s.done = 1;
        if (is_pat)
            take_pat(l);
        else if (--l.pending == 0)
            l.complete = true;
    }
}

// ---- Printing. ----

void print_fourcc(FILE* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        const int c = int((v >> shift) & 0xFF);
        fputc(c >= 0x20 && c < 0x7F ? c : '?', out);
    }
}

void print_language(FILE* out, const uint8_t* descriptors, uint32_t length) {
    bool printed = false;
    each_descriptor(descriptors, length, [&](uint8_t tag, const uint8_t* data, uint32_t n) {
        if (tag != 0x0A || n < 3 || printed) return;  // ISO 639 language
        fputs(", ", out);
        for (int i = 0; i < 3; ++i) fputc(data[i] >= 0x20 && data[i] < 0x7F ? data[i] : '?', out);
        printed = true;
    });
}

void print_program(const listing_section& s, bool hdmv_input, program_map& m, FILE* out) {
    fprintf(out, "program %d: PMT PID %4d <0x%04x>", s.program, s.pid, s.pid);
    if (!s.done) {
        fputs(", no PMT read\n", out);
        return;
    }
    decode_pmt(s.g.data, s.g.need, hdmv_input, m);
    fprintf(out, ", PCR PID %4d <0x%04x>\n", m.pcr_pid, m.pcr_pid);
    each_descriptor(m.info, m.info_length, [&](uint8_t, const uint8_t* data, uint32_t) {
        if (const uint32_t format = registration_of(data - 2)) {
            fputs("  registration ", out);
            print_fourcc(out, format);
            fputc('\n', out);
        }
    });
    for (uint32_t i = 0; i < m.count; ++i) {
        const pmt_entry& e = m.entries[i];
        if (e.what.kind == stream_kind::video)
            fprintf(out, "  video %d: ", e.number);
        else if (e.what.kind == stream_kind::audio)
            fprintf(out, "  audio %d: ", e.number);
        else
            fputs("  not counted: ", out);
        fprintf(out, "PID %4d <0x%04x>, type 0x%02x, %s", e.pid, e.pid, e.type, e.what.codec);
        print_language(out, e.descriptors, e.length);
        fputc('\n', out);
    }
}

}  // namespace

void listing_init(program_listing& l, int32_t only_program, bool hdmv_input) {
    l.only_program = only_program;
    l.hdmv_input = hdmv_input;
    l.complete = false;
    l.pat = listing_section{};
    l.programs = 0;
    l.pending = 0;
}

void listing_unit_start(program_listing& l, uint16_t pid) {
    if (pid == 0 && !l.pat.done) l.pat.g.pointer_pending = 1;
    for (uint32_t i = 0; i < l.programs; ++i)
        if (l.pmts[i].pid == pid && !l.pmts[i].done) l.pmts[i].g.pointer_pending = 1;
}

uint32_t feed_listing(program_listing& l, uint16_t pid, const uint8_t* data, uint32_t available) {
    if (pid == 0 && !l.pat.done) gather(l, l.pat, data, available);
    for (uint32_t i = 0; i < l.programs; ++i)
        if (l.pmts[i].pid == pid && !l.pmts[i].done) gather(l, l.pmts[i], data, available);
    return available;
}

bool print_listing(program_listing& l, FILE* out) {
    if (!l.pat.done) {
        fputs("no complete PAT read\n", out);
        return false;
    }
    for (uint32_t i = 0; i < l.programs; ++i) print_program(l.pmts[i], l.hdmv_input, l.map, out);
    return l.only_program < 0 || l.programs > 0;
}
