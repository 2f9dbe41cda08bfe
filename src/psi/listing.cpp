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
constexpr uint32_t head_bytes = 3, crc_bytes = 4;
constexpr uint32_t pat_fixed = 5, pmt_fixed = 9;  // after section_length
constexpr uint16_t longest_section = 1021;

uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// Whether the gathered section is the one `s` waits for.
bool wanted(const listing_section& s, uint8_t table_id, uint32_t fixed) {
    const uint8_t* d = s.data;
    if (d[0] != table_id || s.need < head_bytes + fixed + crc_bytes) return false;
    if (d[6] != 0) return false;  // section_number: the first section only
    return table_id == pat_table_id || be16(d + 3) == s.program;
}

void take_pat(program_listing& l) {
    const listing_section& s = l.pat;
    const uint32_t end = s.need - crc_bytes;
    for (uint32_t k = head_bytes + pat_fixed; k + 4 <= end && l.programs < listing_program_capacity; k += 4) {
        const uint16_t program = be16(s.data + k);
        if (program == 0) continue;  // the network PID
        if (l.only_program >= 0 && program != l.only_program) continue;
        listing_section& p = l.pmts[l.programs++];
        p = listing_section{};
        p.pid = be16(s.data + k + 2) & 0x1FFF;
        p.program = program;
    }
    l.pending = l.programs;
    l.complete = l.pending == 0;
}

void section_complete(program_listing& l, listing_section& s) {
    const bool is_pat = &s == &l.pat;
    if (!wanted(s, is_pat ? pat_table_id : pmt_table_id, is_pat ? pat_fixed : pmt_fixed)) return;
    s.done = 1;
    if (is_pat) {
        take_pat(l);
    } else if (--l.pending == 0) {
        l.complete = true;
    }
}

// Keeps every byte of the section the reader frames, from its table_id on; sections too
// long, or too short for their fixed fields, are passed over up to the next pointer_field.
void gather(program_listing& l, listing_section& s, const uint8_t* data, uint32_t n) {
    const bool is_pat = &s == &l.pat;
    section_reader& r = s.reader;
    for (uint32_t i = 0; i < n && !s.done;) {
        const section_step step = section_read(r, s.pointer_pending, data + i, n - i);
        switch (step.event) {
        case section_event::table_id: s.have = 0; break;
        case section_event::length:
            s.need = head_bytes + r.section_remaining;
            if (r.section_remaining > longest_section) section_ignore(r);
            else section_accept(r, is_pat ? pat_fixed : pmt_fixed);
            break;
        default: break;
        }
        // The section's own bytes: its head (the second byte brings no event), its fixed
        // fields and its body.
        const bool own = step.event != section_event::none || r.head_countdown == 1;
        if (own && s.have + step.taken <= listing_section_capacity) {
            std::memcpy(s.data + s.have, data + i, step.taken);
            s.have += step.taken;
        }
        i += step.taken;
        if (section_ended(r)) section_complete(l, s);
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

struct entry {
    uint8_t type;
    uint16_t pid;
    const uint8_t* descriptors;
    uint32_t length;
};

void print_program(const listing_section& s, bool hdmv_input, FILE* out) {
    fprintf(out, "program %d: PMT PID %4d <0x%04x>", s.program, s.pid, s.pid);
    if (!s.done) {
        fputs(", no PMT read\n", out);
        return;
    }
    const uint8_t* d = s.data;
    const uint32_t end = s.need - crc_bytes;
    const uint16_t pcr = be16(d + 8) & 0x1FFF;
    fprintf(out, ", PCR PID %4d <0x%04x>\n", pcr, pcr);
    const uint32_t info_length = std::min<uint32_t>(be16(d + 10) & 0x0FFF, end - (head_bytes + pmt_fixed));
    const uint8_t* info = d + head_bytes + pmt_fixed;
    each_descriptor(info, info_length, [&](uint8_t, const uint8_t* data, uint32_t) {
        if (const uint32_t format = registration_of(data - 2)) {
            fputs("  registration ", out);
            print_fourcc(out, format);
            fputc('\n', out);
        }
    });
    const program_facts program = read_program_facts(info, info_length, hdmv_input);

    entry entries[listing_section_capacity / 5];
    uint32_t count = 0;
    for (uint32_t k = head_bytes + pmt_fixed + info_length; k + 5 <= end;) {
        const uint32_t length = be16(d + k + 3) & 0x0FFF;
        if (k + 5 + length > end) break;
        entries[count++] = {d[k], uint16_t(be16(d + k + 1) & 0x1FFF), d + k + 5, length};
        k += 5 + length;
    }
    // The numbers: the types counted first, in PMT order, then the ones counted late.
    stream_resolution kinds[listing_section_capacity / 5];
    int number[listing_section_capacity / 5] = {};
    int videos = 0, audios = 0;
    for (uint32_t i = 0; i < count; ++i)
        kinds[i] = resolve_stream(entries[i].type, entries[i].descriptors, entries[i].length, program);
    for (bool late : {false, true}) {
        for (uint32_t i = 0; i < count; ++i) {
            if (kinds[i].counted_late != late) continue;
            if (kinds[i].kind == stream_kind::video) number[i] = ++videos;
            if (kinds[i].kind == stream_kind::audio) number[i] = ++audios;
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        const entry& e = entries[i];
        if (kinds[i].kind == stream_kind::video)
            fprintf(out, "  video %d: ", number[i]);
        else if (kinds[i].kind == stream_kind::audio)
            fprintf(out, "  audio %d: ", number[i]);
        else
            fputs("  not counted: ", out);
        fprintf(out, "PID %4d <0x%04x>, type 0x%02x, %s", e.pid, e.pid, e.type, kinds[i].codec);
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
    if (pid == 0 && !l.pat.done) l.pat.pointer_pending = 1;
    for (uint32_t i = 0; i < l.programs; ++i)
        if (l.pmts[i].pid == pid && !l.pmts[i].done) l.pmts[i].pointer_pending = 1;
}

uint32_t feed_listing(program_listing& l, uint16_t pid, const uint8_t* data, uint32_t available) {
    if (pid == 0 && !l.pat.done) gather(l, l.pat, data, available);
    for (uint32_t i = 0; i < l.programs; ++i)
        if (l.pmts[i].pid == pid && !l.pmts[i].done) gather(l, l.pmts[i], data, available);
    return available;
}

bool print_listing(const program_listing& l, FILE* out) {
    if (!l.pat.done) {
        fputs("no complete PAT read\n", out);
        return true;
    }
    for (uint32_t i = 0; i < l.programs; ++i) print_program(l.pmts[i], l.hdmv_input, out);
    return l.only_program < 0 || l.programs > 0;
}
