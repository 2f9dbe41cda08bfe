// Builders for test streams: transport packets, PSI sections split over packets, PES
// packets with time stamps, HDMV 192-byte units and the LPCM private header.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kt {

using bytes = std::vector<uint8_t>;

bytes operator+(bytes a, const bytes& b);
bytes repeat(uint8_t value, size_t count);
bytes from_string(const std::string& s);
// Bytes `from` up to `to` (or the end) of `b`.
bytes slice(const bytes& b, size_t from, size_t to = SIZE_MAX);
// Every place where `needle` begins in `hay`.
std::vector<size_t> offsets_of(const bytes& hay, const bytes& needle);
// printf into a string of up to 255 characters.
std::string strf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The PID of a 188-byte packet.
inline uint16_t packet_pid(const uint8_t* p) { return uint16_t((p[1] & 0x1F) << 8 | p[2]); }

struct packet_layout {
    uint16_t pid = 0;
    bool unit_start = false;
    uint8_t cc = 0;
    uint8_t scrambling = 0;
    std::optional<uint64_t> pcr = {};  // 27 MHz value; forces an adaptation field
    // Adaptation field bytes after the flags byte and any PCR (OPCR, private data, stuffing).
    bytes af_extra = {};
    // Force an adaptation field even without PCR or stuffing.
    bool force_af = false;
    // Set adaptation_field_control explicitly (0..3); by default it follows what is present.
    std::optional<uint8_t> adaptation_control = {};
    // Payload; a shorter one is padded with adaptation-field stuffing to fill the packet.
    bytes payload = {};
};

// One 188-byte packet. Throws std::invalid_argument when the payload does not fit.
bytes ts_packet(const packet_layout& layout);

// The 6 PCR bytes of an adaptation field for a 27 MHz value.
bytes pcr_bytes(uint64_t pcr_27mhz);

// CRC_32 of MPEG-2 sections (polynomial 0x04C11DB7, no reflection).
uint32_t crc32_mpeg(const uint8_t* data, size_t length);

// A long-form section: table_id, section_length, `extension` id, version, section numbers,
// `body`, CRC_32. The length is computed.
bytes psi_section(uint8_t table_id, uint16_t extension, uint8_t section_number,
                  uint8_t last_section_number, const bytes& body, uint8_t version = 0);

struct pat_entry {
    uint16_t program_number;
    uint16_t pid;
};
bytes pat_section(const std::vector<pat_entry>& entries, uint8_t section_number = 0,
                  uint8_t last_section_number = 0, uint16_t transport_stream_id = 1);

struct es_entry {
    uint8_t stream_type;
    uint16_t pid;
    bytes descriptors;
};
bytes pmt_section(uint16_t program_number, uint16_t pcr_pid, const std::vector<es_entry>& streams,
                  const bytes& program_descriptors = {}, uint8_t section_number = 0,
                  uint8_t last_section_number = 0);

// Puts `data` (sections, with whatever lies between them) into packets on `pid`. The first
// packet has the unit start and a pointer_field of `pointer`, followed by `pointer` gap
// bytes. The last packet is filled with 0xFF. `cc` is advanced per packet.
bytes section_packets(uint16_t pid, const bytes& data, uint8_t& cc, uint8_t pointer = 0);

struct pes_layout {
    uint8_t stream_id = 0xE0;
    std::optional<uint64_t> pts = {};
    std::optional<uint64_t> dts = {};  // only together with pts
    bytes extra_header = {};           // further PES header data bytes after the time stamps
    bytes payload = {};
    bool zero_length = false;     // PES_packet_length 0 (unbounded video)
};

// A PES packet: 00 00 01, stream_id, PES_packet_length, the two flag bytes, the header
// data length, PTS/DTS, extra header bytes, payload.
bytes pes_packet(const pes_layout& layout);

// The 5-byte PTS/DTS field with prefix nibble `prefix` and marker bits.
bytes timestamp_field(uint8_t prefix, uint64_t ts);

// HDMV LPCM private header: two bytes of audio_data_payload_size, then the 16-bit field
// channel_assignment(4) sampling_frequency(4) bits_per_sample(2) start flag/reserved(6).
bytes lpcm_private_header(uint8_t channel_assignment, uint8_t sampling_frequency,
                          uint8_t bits_per_sample, uint16_t payload_size = 0);

// Splits a PES packet (or any unit) over packets on `pid`, with the unit start on the
// first; an optional PCR goes into the first packet's adaptation field.
bytes packetize(uint16_t pid, const bytes& unit, uint8_t& cc, std::optional<uint64_t> pcr = {});

// Prefixes every 188-byte packet with a 4-byte arrival-time header.
bytes hdmv_units(const bytes& packets, uint32_t first_ats = 0, uint32_t ats_step = 1000);

// A small multiplexer for building whole streams in tests, keeping a counter per PID.
struct ts_writer {
    bytes out;
    std::map<uint16_t, uint8_t> cc;

    void pat(const std::vector<pat_entry>& entries);
    void pmt(uint16_t pmt_pid, uint16_t program_number, uint16_t pcr_pid,
             const std::vector<es_entry>& streams, const bytes& program_descriptors = {});
    void pes(uint16_t pid, const pes_layout& layout, std::optional<uint64_t> pcr = {});
    void raw(uint16_t pid, const bytes& unit, std::optional<uint64_t> pcr = {});
    void pcr_only(uint16_t pid, uint64_t pcr);
    void null_packet();
};

}  // namespace kt
