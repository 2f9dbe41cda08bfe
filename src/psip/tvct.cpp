// Terrestrial Virtual Channel Table (table_id 0xC8): per channel its short name, the
// major.minor number viewers tune, modulation, transport stream, program and source, and
// the service location descriptor that lists its elementary streams.
#include "psip/table_reader.h"

namespace {

constexpr uint32_t short_name_bytes = 14;  // seven UTF-16 code units
constexpr uint32_t language_bytes = 3;

bool not_zero(uint8_t b) { return b != 0; }

// Service location descriptor: the PCR PID, then each element's stream type, PID and
// language. The elements are read by their count, whatever the descriptor's length says.
bool print_service_location(FILE* out, psip::table_cursor& t) {
    uint32_t pcr_pid, elements;
    if (!t.read(2, pcr_pid)) return false;
    fprintf(out, "SLD PCR pid = 0x%04x\n", pcr_pid & 0x1FFF);
    if (!t.read(1, elements)) return false;
    for (uint32_t i = 0; i < elements; ++i) {
        uint32_t stream_type, pid;
        if (!t.read(1, stream_type)) return false;
        fprintf(out, "SLD stream type = 0x%02x\n", stream_type);
        if (!t.read(2, pid)) return false;
        fprintf(out, "SLD elementary pid = 0x%04x\n", pid & 0x1FFF);
        if (!t.has(language_bytes)) return false;
        fputs("SLD language code = ", out);
        psip::print_bytes(out, t, language_bytes, not_zero);
        fputs("\n\n", out);
    }
    return true;
}

bool print_descriptors(FILE* out, psip::table_cursor& t, uint32_t left) {
    uint32_t tag, length;
    bool cut = false;
    while (psip::next_descriptor(t, left, tag, length, &cut)) {
        if (tag == 0xA0) {  // extended channel name, printed raw
            if (!t.has(length)) return false;
            fputs("Extended Channel Name = ", out);
            fwrite(t.here(), 1, length, out);
            t.skip(length);
            fputs("\n\n", out);
        } else if (tag == 0xA1) {
            if (!print_service_location(out, t)) return false;
        } else if (!t.skip(length)) {
            return false;
        }
    }
    return !cut;
}

bool print_channel(FILE* out, psip::table_cursor& t) {
    uint32_t numbers, modulation, tsid, program, service_type, source_id, descriptors;
    if (!t.has(short_name_bytes)) return false;
    fputs("TVCT short name = ", out);
    psip::print_bytes(out, t, short_name_bytes, not_zero);
    fputc('\n', out);
    // 4 reserved bits, major_channel_number (10 bits), minor_channel_number (10 bits).
    if (!t.read(3, numbers)) return false;
    fprintf(out, "TVCT channel number = %d.%d\n", int((numbers >> 10) & 0x3FF), int(numbers & 0x3FF));
    if (!t.read(1, modulation)) return false;
    fprintf(out, "TVCT modulation mode = 0x%02x\n", modulation);
    if (!t.skip(4) || !t.read(2, tsid)) return false;  // carrier_frequency
    fprintf(out, "TVCT channel TSID = 0x%04x\n", tsid);
    if (!t.read(2, program)) return false;
    fprintf(out, "TVCT program number = 0x%04x\n", program);
    if (!t.skip(1) || !t.read(1, service_type)) return false;  // ETM_location and access flags
    fprintf(out, "TVCT service type = 0x%04x\n", service_type & 0x3F);
    if (!t.read(2, source_id)) return false;
    fprintf(out, "TVCT source id = 0x%04x\n", source_id);
    if (!t.read(2, descriptors)) return false;
    descriptors &= 0x3FF;
    fprintf(out, "TVCT desc bytes = 0x%04x\n\n", descriptors);
    return print_descriptors(out, t, descriptors);
}

void print_fields(FILE* out, psip::table_cursor& t) {
    uint32_t channels;
    if (!t.read(1, channels)) return;
    fprintf(out, "TVCT number of channels = %d\n\n", channels);
    for (uint32_t i = 0; i < channels; ++i)
        if (!print_channel(out, t)) return;
    psip::print_closing(out, t, "TVCT", "additional desc bytes", 0x03FF);
}

}  // namespace

namespace psip {

void print_tvct(context& ctx, section_collector& c) {
    psip_state& s = ctx.psip;
    if (s.tvct_version == s.tvct_version_seen) return;
    s.tvct_version_seen = s.tvct_version;
    c.read_position = 0;
    table_cursor t{c};
    print_fields(ctx.report, t);
}

}  // namespace psip
