// Event Information Table (table_id 0xCB): the events of one source in a three-hour slot,
// with start time (GPS seconds), duration, title and a note of the descriptors that say
// what the event carries. k is the EIT index of the PID (0 to 3), from the MGT.
#include "psip/table_reader.h"

namespace {

// The title is a multiple_string_structure; its printable bytes are shown, header bytes
// that happen to be printable (the language code, a byte count) included.
bool printable(uint8_t b) { return b >= 0x20 && b <= 0x7E; }

bool print_descriptors(FILE* out, psip::table_cursor& t, uint32_t left) {
    uint32_t tag, length;
    bool cut = false;
    while (psip::next_descriptor(t, left, tag, length, &cut)) {
        if (!t.has(length)) return false;
        switch (tag) {
        case 0x81: fputs("AC-3 Audio Descriptor\n", out); break;
        case 0x86: fputs("Caption Service Descriptor\n", out); break;
        case 0x87: fputs("Content Advisory Descriptor\n", out); break;
        case 0xAA:  // redistribution control
            fputs("RCD information = ", out);
            for (uint32_t i = 0; i < length; ++i) fprintf(out, "0x%02x, ", t.here()[i]);
            fputc('\n', out);
            break;
        default: break;
        }
        t.skip(length);
    }
    return !cut;
}

bool print_event(FILE* out, psip::table_cursor& t) {
    uint32_t event_id, start_time, duration, title_length, descriptors;
    if (!t.read(2, event_id)) return false;
    fprintf(out, "EIT event id = 0x%04x\n", event_id & 0x3FFF);
    if (!t.read(4, start_time)) return false;
    fprintf(out, "EIT start time = 0x%08x\n", start_time);
    // 2 reserved bits, ETM_location (2 bits), length_in_seconds (20 bits).
    if (!t.read(3, duration)) return false;
    fprintf(out, "EIT length in seconds = %d\n", int(duration & 0xFFFFF));
    if (!t.read(1, title_length)) return false;
    fprintf(out, "EIT title length = 0x%02x\n", title_length);
    if (!t.has(title_length)) return false;
    psip::print_bytes(out, t, title_length, printable);
    fputc('\n', out);
    if (!t.read(2, descriptors)) return false;
    descriptors &= 0x0FFF;
    fprintf(out, "EIT desc bytes = 0x%04x\n", descriptors);
    if (!print_descriptors(out, t, descriptors)) return false;
    fputc('\n', out);
    return true;
}

void print_fields(FILE* out, psip::table_cursor& t, int index) {
    uint32_t events;
    if (!t.read(1, events)) return;
    fprintf(out, "EIT%d events defined = %d\n\n", index, events);
    for (uint32_t i = 0; i < events; ++i)
        if (!print_event(out, t)) return;
    fputc('\n', out);  // the CRC_32 is not shown
}

}  // namespace

namespace psip {

void print_eit(context& ctx, uint16_t pid, section_collector& c) {
    const int index = ctx.psip_routes.table_type[pid] & 3;
    psip_state& s = ctx.psip;
    if (s.eit_version == s.eit_version_seen[index]) return;
    s.eit_version_seen[index] = s.eit_version;
    c.read_position = 0;
    table_cursor t{c};
    print_fields(ctx.report, t, index);
}

}  // namespace psip
