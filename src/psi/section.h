// Section framing shared by the PAT and PMT parsers: the section_length check and the copy
// of a body run. Both parsers keep the same fields for it (section_remaining,
// section_number, last_section_number, body, stored).
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "psi/psi.h"

namespace psi {

constexpr uint16_t longest_section = 1021;
constexpr uint32_t crc_bytes = 4;

// The pointer_field after a unit start, and the gap of that many bytes before the section.
// Returns whether the byte was one of them; *head_starts says the next byte is a table_id.
template <class Parser>
bool pointer_byte(Parser& p, uint32_t& pointer_pending, uint8_t b, bool* head_starts) {
    if (pointer_pending) {
        pointer_pending = 0;
        p.pointer_skip = b;
        *head_starts = b == 0;
        return true;
    }
    if (p.pointer_skip > 0) {
        p.pointer_skip -= 1;
        *head_starts = p.pointer_skip == 0;
        return true;
    }
    return false;
}

// At the second section_length byte: a section of 1022 bytes or more is reported and
// ignored, one too short for the fixed fields after the length is ignored silently; both
// wait for the next pointer_field. Returns whether the section is read.
template <class Parser>
bool accept_section_length(FILE* report, Parser& p, const char* table, uint16_t fixed_bytes) {
    if (p.section_remaining > longest_section) {
        fprintf(report, "%s Section length = %d\r\n", table, p.section_remaining);
        p.section_remaining = 0;
        return false;
    }
    if (p.section_remaining < fixed_bytes) {
        p.section_remaining = 0;
        return false;
    }
    return true;
}

// Copies a run of the body into `body`, at most psi_body_capacity bytes in all (the
// excess is dropped). A section that is not the last of its table keeps its CRC_32 out,
// so that the joined body holds entries only, then the last CRC_32. Returns the bytes
// consumed; the section is complete when section_remaining is 0.
template <class Parser>
uint32_t copy_body_run(Parser& p, const uint8_t* data, uint32_t available) {
    const uint32_t n = std::min<uint32_t>(available, p.section_remaining);
    uint32_t wanted = n;
    if (p.section_number != p.last_section_number)
        wanted = p.section_remaining > crc_bytes ? std::min<uint32_t>(n, p.section_remaining - crc_bytes) : 0;
    const uint32_t copied = std::min(wanted, psi_body_capacity - p.stored);
    std::memcpy(p.body + p.stored, data, copied);
    p.stored += copied;
    p.section_remaining = uint16_t(p.section_remaining - n);
    return n;
}

}  // namespace psi
