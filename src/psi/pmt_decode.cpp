// The one reader of PMT sections, for the run and for option l alike: the PCR PID, the
// program descriptors, and every elementary stream with what it is and the number that
// chooses it.
//
//   TS_program_map_section: table_id 8, section_syntax_indicator 1, '0', reserved 2,
//   section_length 12, program_number 16, reserved 2, version_number 5,
//   current_next_indicator 1, section_number 8, last_section_number 8, reserved 3,
//   PCR_PID 13, reserved 4, program_info_length 12, descriptors;
//   then per stream: stream_type 8, reserved 3, elementary_PID 13, reserved 4,
//   ES_info_length 12, descriptors; CRC_32.
#include <algorithm>

#include "psi/psi.h"

namespace {

constexpr uint32_t head_and_fixed = 12;  // table_id to program_info_length
constexpr uint32_t crc_bytes = 4;
constexpr uint32_t entry_fixed_bytes = 5;
constexpr uint8_t language_tag = 0x0A;  // ISO 639 language descriptor

void read_language(pmt_entry& e) {
    each_descriptor(e.descriptors, e.length, [&](uint8_t tag, const uint8_t* data, uint32_t n) {
        if (tag != language_tag || n < 3 || e.language[0]) return;
        for (int i = 0; i < 3; ++i) e.language[i] = char(data[i]);
    });
}

}  // namespace

void decode_pmt(const uint8_t* d, uint32_t size, bool hdmv_option, program_map& m) {
    const uint32_t end = size - crc_bytes;
    m.program_number = psi_be16(d + 3);
    m.version = (d[5] >> 1) & 0x1F;
    m.pcr_pid = psi_be16(d + 8) & 0x1FFF;
    m.info = d + head_and_fixed;
    m.info_length = std::min<uint32_t>(psi_be16(d + 10) & 0x0FFF, end - head_and_fixed);
    m.facts = read_program_facts(m.info, m.info_length, hdmv_option);
    m.count = 0;
    for (uint32_t k = head_and_fixed + m.info_length; k + entry_fixed_bytes <= end && m.count < max_pmt_entries;) {
        const uint32_t length = psi_be16(d + k + 3) & 0x0FFF;
        if (k + entry_fixed_bytes + length > end) break;
        pmt_entry& e = m.entries[m.count++];
        e = pmt_entry{};
        e.type = d[k];
        e.pid = psi_be16(d + k + 1) & 0x1FFF;
        e.descriptors = d + k + entry_fixed_bytes;
        e.length = length;
        e.what = resolve_stream(e.type, e.descriptors, e.length, m.facts);
        read_language(e);
        k += entry_fixed_bytes + length;
    }
    // The numbers: the types counted first, in PMT order, then those of each later round.
    int32_t videos = 0, audios = 0;
    for (uint8_t round : {0, 1, 2}) {
        for (uint32_t i = 0; i < m.count; ++i) {
            pmt_entry& e = m.entries[i];
            if (e.what.count_round != round) continue;
            if (e.what.kind == stream_kind::video) e.number = ++videos;
            if (e.what.kind == stream_kind::audio) e.number = ++audios;
        }
    }
}
