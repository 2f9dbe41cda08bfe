// Whole sections for the tables decoded only once complete and intact (PAT, PMT): each
// byte the section reader frames as the section's own (head, fixed fields, body) is kept,
// and the CRC_32 is checked over the whole.
#include <cstring>

#include "psi/psi.h"

namespace {

constexpr uint32_t head_bytes = 3;
constexpr uint32_t crc_bytes = 4;
constexpr uint16_t longest_section = 1021;

// CRC-32 of the MPEG-2 systems layer: polynomial 0x04C11DB7, most significant bit first,
// initial value all ones, no final inversion. Over a section with its CRC_32 it gives 0.
struct crc_table {
    uint32_t t[256];
    constexpr crc_table() : t{} {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            t[i] = c;
        }
    }
};
constexpr crc_table crc;

}  // namespace

bool section_crc_ok(const uint8_t* section, uint32_t size) {
    uint32_t c = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < size; ++i) c = (c << 8) ^ crc.t[(c >> 24) ^ section[i]];
    return c == 0;
}

bool section_usable(section_gatherer& g, uint8_t table_id, uint32_t fixed_bytes) {
    const uint8_t* d = g.data;
    const uint32_t size = g.need;
    if (size < head_bytes + fixed_bytes + crc_bytes || d[0] != table_id) return false;
    if ((d[5] & 0x01) == 0) return false;  // current_next_indicator
    if (section_crc_ok(d, size)) {
        g.crc_matched = 1;
        return true;
    }
    if (g.crc_matched) g.damaged += 1;
    return !g.crc_matched;
}

uint32_t gather_section(section_gatherer& g, const uint8_t* data, uint32_t available, uint16_t fixed_bytes,
                        FILE* report, const char* table, bool& complete) {
    section_reader& r = g.reader;
    const section_step step = section_read(r, g.pointer_pending, data, available);
    switch (step.event) {
    case section_event::table_id: g.have = 0; break;
    case section_event::length:
        g.need = head_bytes + r.section_remaining;
        if (r.section_remaining > longest_section) {
            if (report) fprintf(report, "%s Section length = %d\r\n", table, r.section_remaining);
            section_ignore(r);
        } else {
            section_accept(r, fixed_bytes);
        }
        break;
    default: break;
    }
    // The section's own bytes: its head (the second byte brings no event), its fixed
    // fields and its body.
    const bool own = step.event != section_event::none || r.head_countdown == 1;
    if (own && g.have + step.taken <= psi_section_capacity) {
        std::memcpy(g.data + g.have, data, step.taken);
        g.have += step.taken;
    }
    complete = section_ended(r) && g.have == g.need;
    return step.taken;
}
