// The printers' cursor and descriptor walk, and the hand-over of a complete table to
// the printer of its kind.
#include "psip/table_reader.h"

namespace psip {

bool table_cursor::read(uint32_t n, uint32_t& value) {
    if (!has(n)) return false;
    value = 0;
    for (uint32_t i = 0; i < n; ++i) value = (value << 8) | c.data[c.read_position + i];
    c.read_position += n;
    return true;
}

bool table_cursor::skip(uint32_t n) {
    if (!has(n)) return false;
    c.read_position += n;
    return true;
}

bool next_descriptor(table_cursor& t, uint32_t& left, uint32_t& tag, uint32_t& length, bool* cut) {
    if (left == 0) return false;
    if (left < 2) {
        *cut = !t.skip(left);
        return false;
    }
    if (!t.read(1, tag) || !t.read(1, length)) {
        *cut = true;
        return false;
    }
    if (length + 2 > left) {  // longer than its loop: the loop ends here
        *cut = !t.skip(left - 2);
        return false;
    }
    left -= length + 2;
    return true;
}

void print_closing(FILE* out, table_cursor& t, const char* table, const char* label, uint32_t length_mask) {
    uint32_t length, crc;
    if (!t.read(2, length)) return;
    length &= length_mask;
    fprintf(out, "%s %s = 0x%04x\n", table, label, length);
    if (!t.skip(length) || !t.read(4, crc)) return;
    fprintf(out, "%s CRC = 0x%08x, %d, %d\n", table, crc, t.c.stored, t.c.read_position);
    fputc('\n', out);
}

}  // namespace psip

void psip_print_table(context& ctx, uint16_t pid) {
    section_collector& c = *ctx.psip_routes.collector[pid];
    switch (c.reader.table_id) {
    case psip_table_id::mgt: psip::print_mgt(ctx, pid, c); break;
    case psip_table_id::tvct: psip::print_tvct(ctx, c); break;
    case psip_table_id::eit: psip::print_eit(ctx, pid, c); break;
    default: break;
    }
}
