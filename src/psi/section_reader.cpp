// Section reader: the framing of long-form sections that the PAT, the PMT and the PSIP
// collectors share. Header bytes are taken one per step so that the owner can act on
// each; body bytes, pointer gaps and bytes outside any section move in runs.
#include <algorithm>

#include "psi/psi.h"

namespace {

// Positions of the standard fields among the fixed bytes after section_length.
constexpr uint32_t version_position = 2;
constexpr uint32_t section_number_position = 3;
constexpr uint32_t last_section_number_position = 4;

bool in_progress(const section_reader& r) {
    return r.head_countdown > 0 || r.extension_countdown > 0 || r.collecting;
}

void head_byte(section_reader& r, uint8_t b, section_step& s) {
    r.head_countdown -= 1;
    switch (r.head_countdown) {
    case 2:
        r.table_id = b;
        s.event = section_event::table_id;
        break;
    case 1: r.section_remaining = uint16_t((b & 0x0F) << 8); break;
    default:
        r.section_remaining |= b;  // section_length, 12 bits
        s.event = section_event::length;
        break;
    }
}

void fixed_byte(section_reader& r, uint8_t b, section_step& s) {
    r.section_remaining -= 1;
    r.extension_countdown -= 1;
    switch (r.fixed_bytes - 1 - r.extension_countdown) {
    case version_position: r.version = (b >> 1) & 0x1F; break;
    case section_number_position: r.section_number = b; break;
    case last_section_number_position: r.last_section_number = b; break;
    default: break;
    }
    if (r.extension_countdown == 0) r.collecting = 1;
    s.event = section_event::field;
}

}  // namespace

section_step section_read(section_reader& r, uint32_t& pointer_pending, const uint8_t* data, uint32_t available) {
    section_step s;
    if (pointer_pending) {
        pointer_pending = 0;
        r.pointer_skip = *data;
        r.start_armed = 1;
        return s;
    }
    if (r.start_armed && r.pointer_skip == 0) {
        // The announced section begins here; one still in progress has lost its end.
        s.dropped = in_progress(r);
        section_ignore(r);
        r.start_armed = 0;
        r.head_countdown = 3;
    }
    if (r.collecting) {
        s.taken = std::min<uint32_t>(available, r.section_remaining);
        if (r.start_armed) s.taken = std::min(s.taken, r.pointer_skip);
        r.section_remaining = uint16_t(r.section_remaining - s.taken);
        s.event = section_event::body;
    } else if (r.head_countdown > 0) {
        head_byte(r, *data, s);
    } else if (r.extension_countdown > 0) {
        fixed_byte(r, *data, s);
    } else {
        // Between sections: the gap before an announced one, or bytes up to the next
        // pointer_field (stuffing, a further section that no pointer_field points at).
        s.taken = r.start_armed ? std::min(available, r.pointer_skip) : available;
    }
    if (r.start_armed) r.pointer_skip -= s.taken;
    return s;
}

bool section_accept(section_reader& r, uint16_t fixed_bytes) {
    if (r.section_remaining < fixed_bytes) {  // counting the fixed bytes down would wrap
        section_ignore(r);
        return false;
    }
    r.fixed_bytes = fixed_bytes;
    r.extension_countdown = fixed_bytes;
    return true;
}

void section_ignore(section_reader& r) {
    r.head_countdown = 0;
    r.extension_countdown = 0;
    r.collecting = 0;
    r.section_remaining = 0;
}

bool section_ended(section_reader& r) {
    if (!r.collecting || r.section_remaining != 0) return false;
    r.collecting = 0;
    return true;
}
