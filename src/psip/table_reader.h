// What the MGT, TVCT and EIT printers share: a cursor over a collected table that never
// reads past what was stored, and the walk over a descriptor loop.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/context.h"

namespace psip {

// Reads the fields of the table in `c.data`, big-endian, from `c.read_position` on. The
// printers trust the lengths and counts inside the table, so a table may claim more than
// was collected: the first field that would reach past `stored` fails, and the printer
// stops that table there, printing nothing more of it.
struct table_cursor {
    section_collector& c;

    bool has(uint32_t n) const { return n <= c.stored - c.read_position; }
    // A field of 1 to 4 bytes into `value`.
    bool read(uint32_t n, uint32_t& value);
    bool skip(uint32_t n);
    const uint8_t* here() const { return c.data + c.read_position; }
};

// The next descriptor of a loop that has `left` bytes: reads its tag and length and takes
// them and its data off `left`. Returns false at the loop's end: when no bytes are left,
// when the descriptor is longer than the bytes left (then the rest of the loop is skipped),
// or when the table was cut short (then *cut is set).
bool next_descriptor(table_cursor& t, uint32_t& left, uint32_t& tag, uint32_t& length, bool* cut);

// Prints `n` bytes at the cursor: each that `keep` lets through as a character.
template <class Filter>
void print_bytes(FILE* out, table_cursor& t, uint32_t n, Filter keep) {
    for (uint32_t i = 0; i < n; ++i)
        if (keep(t.here()[i])) fputc(t.here()[i], out);
    t.skip(n);
}

// The descriptors and the CRC_32 that close an MGT or a TVCT: "<table> <label> = 0x%04x"
// with the loop's length (its low `length_mask` bits), the loop skipped, then
// "<table> CRC = 0x%08x, %d, %d" with the CRC_32, the bytes collected and the bytes the
// table's own lengths account for (equal for a sound table), and a blank line.
void print_closing(FILE* out, table_cursor& t, const char* table, const char* label, uint32_t length_mask);

void print_mgt(context& ctx, uint16_t pid, section_collector& c);
void print_tvct(context& ctx, section_collector& c);
void print_eit(context& ctx, uint16_t pid, section_collector& c);

}  // namespace psip
