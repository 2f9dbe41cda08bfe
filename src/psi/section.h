// What the PAT and PMT parsers do alike around the section reader: the section_length
// check, where a section's body goes in the joined table, and the copy of a body run.
// Both parsers keep the same fields for it (reader, body, stored, section_start).
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "psi/psi.h"

namespace psi {

constexpr uint16_t longest_section = 1021;
constexpr uint32_t crc_bytes = 4;

// At the second section_length byte: a section of 1022 bytes or more is reported and
// ignored, one too short for the fixed fields after the length is ignored silently; both
// wait for the next pointer_field. Returns whether the section is read.
inline bool accept_section_length(FILE* report, section_reader& r, const char* table, uint16_t fixed_bytes) {
    if (r.section_remaining > longest_section) {
        fprintf(report, "%s Section length = %d\r\n", table, r.section_remaining);
        section_ignore(r);
        return false;
    }
    return section_accept(r, fixed_bytes);
}

// At the section_number byte: section 0 starts a new table, any other is joined on after
// the bodies collected so far.
template <class Parser>
void start_section_body(Parser& p) {
    if (p.reader.section_number == 0) p.stored = 0;
    p.section_start = p.stored;
}

// A section cut short by lost packets leaves nothing of itself in the table.
template <class Parser>
void drop_section_body(Parser& p) {
    p.stored = p.section_start;
}

// Keeps a run of `n` body bytes that the reader has just taken, at most psi_body_capacity
// bytes in all (the excess is dropped). A section that is not the last of its table keeps
// its CRC_32 out, so that the joined body holds entries only, then the last CRC_32.
template <class Parser>
void store_body_run(Parser& p, const uint8_t* data, uint32_t n) {
    const section_reader& r = p.reader;
    const uint32_t remaining_before = r.section_remaining + n;
    uint32_t wanted = n;
    if (r.section_number != r.last_section_number)
        wanted = remaining_before > crc_bytes ? std::min<uint32_t>(n, remaining_before - crc_bytes) : 0;
    const uint32_t copied = std::min(wanted, psi_body_capacity - p.stored);
    std::memcpy(p.body + p.stored, data, copied);
    p.stored += copied;
}

}  // namespace psi
