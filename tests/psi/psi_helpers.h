// Helpers shared by the PAT, PMT and PSIP tests: packets with hand-made payloads, sections
// with a chosen section_length, and lines of the report.
#pragma once

#include <string>

#include "feeder.h"

namespace kt::psi {

// One packet on `pid` whose 184 payload bytes are `payload`, padded with 0xFF.
inline bytes payload_packet(uint16_t pid, bool unit_start, uint8_t cc, bytes payload) {
    payload.resize(184, 0xFF);
    return ts_packet({.pid = pid, .unit_start = unit_start, .cc = cc, .payload = payload});
}

// Splits `unit` (pointer_field included) over packets on `pid`, with the unit start on
// the first; further packets have no unit start.
inline bytes spread(uint16_t pid, const bytes& unit, uint8_t& cc, bool first_unit_start = true) {
    bytes out;
    for (size_t at = 0; at < unit.size() || at == 0; at += 184) {
        const size_t n = std::min<size_t>(184, unit.size() - at);
        out =
            out + payload_packet(pid, at == 0 && first_unit_start, cc, bytes(unit.begin() + at, unit.begin() + at + n));
        cc = (cc + 1) & 0x0F;
        if (unit.empty()) break;
    }
    return out;
}

// Each section in its own packets on `pid` (unit start, pointer_field 0), one after
// the other, with the continuity counter running on from 0.
inline bytes on_pid(uint16_t pid, const std::vector<bytes>& sections) {
    bytes out;
    uint8_t cc = 0;
    for (const bytes& s : sections) out = out + section_packets(pid, s, cc);
    return out;
}

// table_id, a section_length field of `length`, then `rest` as given (nothing computed).
inline bytes section_with_length(uint8_t table_id, uint16_t length, const bytes& rest) {
    return bytes{table_id, uint8_t(0xB0 | ((length >> 8) & 0x0F)), uint8_t(length)} + rest;
}

inline bytes pat_entries(const std::vector<pat_entry>& entries) {
    bytes body;
    for (const auto& e : entries)
        body = body + bytes{uint8_t(e.program_number >> 8), uint8_t(e.program_number), uint8_t(0xE0 | (e.pid >> 8)),
                            uint8_t(e.pid)};
    return body;
}

inline std::string program_line(uint16_t program, uint16_t pid) {
    return strf("Program Number = %d (0x%04x), Program Map PID = %d (0x%04x)\n", program, program, pid, pid);
}

// "<table> CRC = ..." as option g prints it: the section's CRC_32, then twice the length
// after the 3-byte head and the 6 fixed bytes.
inline std::string crc_line(const char* table, const bytes& section) {
    const uint8_t* c = section.data() + section.size() - 4;
    const int stored = int(section.size()) - 9;
    return strf("%s CRC = 0x%02x%02x%02x%02x, %d, %d\n", table, c[0], c[1], c[2], c[3], stored, stored);
}

inline size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

}  // namespace kt::psi
