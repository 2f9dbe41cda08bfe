#include "ts_builder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace kt {

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes repeat(uint8_t value, size_t count) { return bytes(count, value); }

bytes from_string(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes slice(const bytes& b, size_t from, size_t to) {
    return bytes(b.begin() + long(from), b.begin() + long(std::min(to, b.size())));
}

std::vector<size_t> offsets_of(const bytes& hay, const bytes& needle) {
    std::vector<size_t> out;
    for (auto it = hay.begin(); (it = std::search(it, hay.end(), needle.begin(), needle.end())) != hay.end(); ++it)
        out.push_back(size_t(it - hay.begin()));
    return out;
}

std::string strf(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

bytes pcr_bytes(uint64_t pcr) {
    const uint64_t base = pcr / 300;
    const uint64_t ext = pcr % 300;
    return {uint8_t(base >> 25), uint8_t(base >> 17), uint8_t(base >> 9), uint8_t(base >> 1),
            uint8_t(((base & 1) << 7) | 0x7E | (ext >> 8)), uint8_t(ext)};
}

bytes ts_packet(const packet_layout& layout) {
    bytes af;
    const bool want_af = layout.pcr || !layout.af_extra.empty() || layout.force_af || layout.payload.size() < 184;
    if (want_af) {
        bytes body;
        if (layout.pcr || !layout.af_extra.empty() || layout.force_af || layout.payload.size() < 183) {
            body.push_back(layout.pcr ? 0x10 : 0x00);
            if (layout.pcr) body = body + pcr_bytes(*layout.pcr);
            body = body + layout.af_extra;
        }
        if (1 + body.size() + layout.payload.size() > 184) throw std::invalid_argument("payload does not fit");
        while (1 + body.size() + layout.payload.size() < 184) body.push_back(0xFF);
        af.push_back(uint8_t(body.size()));
        af = af + body;
    }
    if (af.size() + layout.payload.size() != 184) throw std::invalid_argument("payload does not fit");
    uint8_t control = (want_af ? 2 : 0) | (layout.payload.empty() ? 0 : 1);
    if (layout.adaptation_control) control = *layout.adaptation_control;
    bytes p = {0x47, uint8_t((layout.unit_start ? 0x40 : 0) | ((layout.pid >> 8) & 0x1F)), uint8_t(layout.pid),
               uint8_t((layout.scrambling << 6) | (control << 4) | (layout.cc & 0x0F))};
    return p + af + layout.payload;
}

uint32_t crc32_mpeg(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= uint32_t(data[i]) << 24;
        for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

bytes psi_section(uint8_t table_id, uint16_t extension, uint8_t section_number,
                  uint8_t last_section_number, const bytes& body, uint8_t version) {
    const size_t length = 5 + body.size() + 4;
    bytes s = {table_id, uint8_t(0xB0 | ((length >> 8) & 0x0F)), uint8_t(length), uint8_t(extension >> 8),
               uint8_t(extension), uint8_t(0xC1 | ((version & 0x1F) << 1)), section_number,
               last_section_number};
    s = s + body;
    const uint32_t crc = crc32_mpeg(s.data(), s.size());
    return s + bytes{uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
}

bytes pat_section(const std::vector<pat_entry>& entries, uint8_t section_number,
                  uint8_t last_section_number, uint16_t transport_stream_id) {
    bytes body;
    for (const auto& e : entries)
        body = body + bytes{uint8_t(e.program_number >> 8), uint8_t(e.program_number),
                            uint8_t(0xE0 | (e.pid >> 8)), uint8_t(e.pid)};
    return psi_section(0x00, transport_stream_id, section_number, last_section_number, body);
}

bytes pmt_section(uint16_t program_number, uint16_t pcr_pid, const std::vector<es_entry>& streams,
                  const bytes& program_descriptors, uint8_t section_number, uint8_t last_section_number) {
    bytes body = {uint8_t(0xE0 | (pcr_pid >> 8)), uint8_t(pcr_pid),
                  uint8_t(0xF0 | (program_descriptors.size() >> 8)), uint8_t(program_descriptors.size())};
    body = body + program_descriptors;
    for (const auto& s : streams) {
        body = body + bytes{s.stream_type, uint8_t(0xE0 | (s.pid >> 8)), uint8_t(s.pid),
                            uint8_t(0xF0 | (s.descriptors.size() >> 8)), uint8_t(s.descriptors.size())};
        body = body + s.descriptors;
    }
    return psi_section(0x02, program_number, section_number, last_section_number, body);
}

bytes section_packets(uint16_t pid, const bytes& data, uint8_t& cc, uint8_t pointer) {
    bytes unit = bytes{pointer} + repeat(0xFF, pointer) + data;
    bytes out;
    size_t at = 0;
    bool first = true;
    while (at < unit.size() || first) {
        const size_t n = std::min<size_t>(184, unit.size() - at);
        bytes payload(unit.begin() + at, unit.begin() + at + n);
        payload.resize(184, 0xFF);  // sections pad with 0xFF, not adaptation stuffing
        packet_layout layout;
        layout.pid = pid;
        layout.unit_start = first;
        layout.cc = cc;
        layout.payload = payload;
        out = out + ts_packet(layout);
        cc = (cc + 1) & 0x0F;
        at += n;
        first = false;
    }
    return out;
}

bytes timestamp_field(uint8_t prefix, uint64_t ts) {
    return {uint8_t((prefix << 4) | ((ts >> 29) & 0x0E) | 1), uint8_t(ts >> 22), uint8_t(((ts >> 14) & 0xFE) | 1),
            uint8_t(ts >> 7), uint8_t(((ts << 1) & 0xFE) | 1)};
}

bytes pes_packet(const pes_layout& layout) {
    bytes header_data;
    uint8_t flags = 0;
    if (layout.pts && layout.dts) {
        flags = 0xC0;
        header_data = timestamp_field(3, *layout.pts) + timestamp_field(1, *layout.dts);
    } else if (layout.pts) {
        flags = 0x80;
        header_data = timestamp_field(2, *layout.pts);
    }
    header_data = header_data + layout.extra_header;
    const size_t length = 3 + header_data.size() + layout.payload.size();
    const size_t field = layout.zero_length ? 0 : length;
    if (field > 0xFFFF) throw std::invalid_argument("PES packet too long");
    bytes p = {0x00, 0x00, 0x01, layout.stream_id, uint8_t(field >> 8), uint8_t(field), 0x80, flags,
               uint8_t(header_data.size())};
    return p + header_data + layout.payload;
}

bytes lpcm_private_header(uint8_t channel_assignment, uint8_t sampling_frequency, uint8_t bits_per_sample,
                          uint16_t payload_size) {
    return {uint8_t(payload_size >> 8), uint8_t(payload_size),
            uint8_t((channel_assignment << 4) | (sampling_frequency & 0x0F)), uint8_t((bits_per_sample & 3) << 6)};
}

bytes packetize(uint16_t pid, const bytes& unit, uint8_t& cc, std::optional<uint64_t> pcr) {
    bytes out;
    size_t at = 0;
    bool first = true;
    while (at < unit.size() || first) {
        packet_layout layout;
        layout.pid = pid;
        layout.unit_start = first;
        layout.cc = cc;
        if (first && pcr) layout.pcr = pcr;
        const size_t room = (first && pcr) ? 184 - 8 : 184;
        const size_t n = std::min(room, unit.size() - at);
        layout.payload.assign(unit.begin() + at, unit.begin() + at + n);
        out = out + ts_packet(layout);
        cc = (cc + 1) & 0x0F;
        at += n;
        first = false;
    }
    return out;
}

bytes hdmv_units(const bytes& packets, uint32_t first_ats, uint32_t ats_step) {
    bytes out;
    uint32_t ats = first_ats;
    for (size_t at = 0; at + 188 <= packets.size(); at += 188) {
        const uint32_t a = ats & 0x3FFFFFFF;
        out = out + bytes{uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
        out.insert(out.end(), packets.begin() + at, packets.begin() + at + 188);
        ats += ats_step;
    }
    return out;
}

void ts_writer::pat(const std::vector<pat_entry>& entries) {
    out = out + section_packets(0, pat_section(entries), cc[0]);
}

void ts_writer::pmt(uint16_t pmt_pid, uint16_t program_number, uint16_t pcr_pid,
                    const std::vector<es_entry>& streams, const bytes& program_descriptors) {
    out = out + section_packets(pmt_pid, pmt_section(program_number, pcr_pid, streams, program_descriptors),
                                cc[pmt_pid]);
}

void ts_writer::pes(uint16_t pid, const pes_layout& layout, std::optional<uint64_t> pcr) {
    out = out + packetize(pid, pes_packet(layout), cc[pid], pcr);
}

void ts_writer::raw(uint16_t pid, const bytes& unit, std::optional<uint64_t> pcr) {
    out = out + packetize(pid, unit, cc[pid], pcr);
}

void ts_writer::pcr_only(uint16_t pid, uint64_t pcr) {
    packet_layout layout;
    layout.pid = pid;
    layout.cc = cc[pid];  // no payload: the counter does not advance
    layout.pcr = pcr;
    out = out + ts_packet(layout);
}

void ts_writer::null_packet() {
    packet_layout layout;
    layout.pid = 0x1FFF;
    layout.payload = repeat(0xFF, 184);
    out = out + ts_packet(layout);
}

}  // namespace kt
