#include "fuzz_input.h"

#include <climits>

#include "ts_builder.h"

namespace kavel_fuzz {

namespace {

// The stream numbers a 3-bit choice asks for: the first five, none, and two that no
// program has.
constexpr int32_t stream_numbers[8] = {1, 2, 3, 4, 5, 0, -1, INT32_MAX};
constexpr int32_t program_numbers[4] = {1, 0, 2, 0x10001};

constexpr uint16_t pmt_pid = 0x100;
constexpr uint16_t mgt_pid = 0x1FFB;

using kt::bytes;

void append(bytes& out, const bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// The stream_id a PES packet of elementary stream `i` is sent under.
// Type 0x80 is video in broadcast streams and LPCM audio under h.
uint8_t stream_id_of(int target, bool hdmv) {
    switch (target == 10 ? 0x82 : target < 9 ? wrapped_stream_types[target] : 0x02) {
    case 0x03: case 0x04: return 0xC0;
    case 0x06: case 0x81: case 0x82: return 0xBD;
    case 0x80: return hdmv ? 0xBD : 0xE0;
    default: return 0xE0;
    }
}

// The MGT that announces the TVCT on the base PID, EIT-0, EIT-1 and ETT-0 on the PSIP
// PIDs of wrapped_pids, and a channel ETT on a PID of its own.
bytes wrapped_mgt() {
    const uint16_t tables[][2] = {{0x0000, mgt_pid}, {0x0004, 0x1D04}, {0x0100, wrapped_pids[11]},
                                  {0x0101, wrapped_pids[12]}, {0x0200, wrapped_pids[13]}};
    bytes body = {0, 0, uint8_t(std::size(tables))};  // protocol_version, tables_defined
    for (const auto& t : tables)
        append(body, {uint8_t(t[0] >> 8), uint8_t(t[0]), uint8_t(0xE0 | t[1] >> 8), uint8_t(t[1]), 0xE0, 0, 0, 1, 0,
                      0xF0, 0});
    append(body, {0xF0, 0});
    return kt::psi_section(0xC7, 0, 0, 0, body);
}

}  // namespace

const uint16_t wrapped_pids[16] = {0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108,
                                   0x109, 0x1FFB, 0x10A, 0x1D00, 0x1D01, 0x1D02, pmt_pid, 0};
const uint8_t wrapped_stream_types[wrapped_streams] = {0x01, 0x02, 0x1B, 0xEA, 0x80, 0x81, 0x06, 0x03, 0x04, 0x82};

namespace {

// The index into wrapped_pids of elementary stream `i` of the PMT.
int target_of_stream(int i) { return i < 9 ? i : 10; }

}  // namespace

fuzz_input decode(const uint8_t* data, size_t size) {
    uint8_t head[4] = {};
    for (size_t i = 0; i < 4 && i < size; ++i) head[i] = data[i];
    fuzz_input in;
    run_options& o = in.options;
    o.hdmv_input = head[0] & 1;
    o.pes_output = head[0] >> 1 & 1;
    o.parse_only = head[0] >> 2 & 1;
    o.lpcm_two_channels = head[0] >> 3 & 1;
    o.gop_timecode_mode = head[0] >> 4 & 1;
    o.dump_video_pts = head[0] >> 5 & 1;
    o.dump_audio_pts = (head[0] >> 5 ^ head[1] >> 3) & 1;
    o.dump_pcr = head[0] >> 6 & 1;
    o.dump_psip = (head[0] >> 6 ^ head[1] >> 4) & 1;
    o.dump_all_pids = head[1] & 1;
    o.suppress_rate = head[1] >> 1 & 1;
    o.dump_ats_delta = head[1] >> 2 & 1;
    in.chunk_pattern = head[1] >> 5 & 3;
    in.chunk_seed = head[3];
    in.video_index = (head[0] >> 7) ? 0 : stream_numbers[head[2] & 7];
    in.audio_index = stream_numbers[head[2] >> 3 & 7];
    in.program_number = program_numbers[head[2] >> 6];
    const uint8_t* rest = data + std::min<size_t>(size, 4);
    const size_t rest_size = size - std::min<size_t>(size, 4);
    if (head[1] >> 7)
        in.stream = wrap_records(rest, rest_size, o.hdmv_input);
    else
        in.stream.assign(rest, rest + rest_size);
    return in;
}

// A record is a header byte, a length byte and that many bytes (fewer at the end of the
// input). Header: target (4 bits, an index into wrapped_pids), form (2 bits), a flag, and
// a break in the continuity counter. The forms:
//   0  one packet with the bytes as payload (at most 184); the flag sets unit start;
//   1  a PES packet around the bytes, with a PTS (and a DTS under the flag), split over
//      packets; video streams get PES_packet_length 0;
//   2  a section: the first byte is its table_id, the second its version, the rest its
//      body, with a correct CRC_32; the flag puts one gap byte before it;
//   3  one packet with a PCR and the bytes as payload (at most 176); the flag sets unit
//      start.
std::vector<uint8_t> wrap_records(const uint8_t* data, size_t size, bool hdmv) {
    uint8_t cc[16] = {};
    bytes out;
    append(out, kt::section_packets(0, kt::pat_section({{1, pmt_pid}, {2, 0x200}}), cc[15]));
    std::vector<kt::es_entry> streams;
    for (int i = 0; i < wrapped_streams; ++i)
        streams.push_back({wrapped_stream_types[i], wrapped_pids[target_of_stream(i)], {}});
    append(out, kt::section_packets(pmt_pid, kt::pmt_section(1, wrapped_pids[0], streams), cc[14]));
    append(out, kt::section_packets(mgt_pid, wrapped_mgt(), cc[9]));

    uint64_t clock = 0;
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t header = data[at];
        const size_t n = std::min<size_t>(data[at + 1], size - at - 2);
        const bytes body(data + at + 2, data + at + 2 + n);
        at += 2 + n;
        const int target = header & 15;
        const uint16_t pid = wrapped_pids[target];
        const bool flag = header >> 6 & 1;
        if (header >> 7) cc[target] = (cc[target] + 1) & 15;
        clock += 3003;
        switch (header >> 4 & 3) {
        case 0: case 3: {
            kt::packet_layout p;
            p.pid = pid;
            p.unit_start = flag;
            p.cc = cc[target]++;
            cc[target] &= 15;
            if (header >> 4 & 1) p.pcr = clock * 300;
            const size_t room = p.pcr ? 176 : 184;
            p.payload.assign(body.begin(), body.begin() + long(std::min(room, body.size())));
            append(out, kt::ts_packet(p));
            break;
        }
        case 1: {
            kt::pes_layout pes;
            pes.stream_id = stream_id_of(target, hdmv);
            pes.pts = clock;
            if (flag) pes.dts = clock - 3003;
            pes.payload = body;
            pes.zero_length = pes.stream_id == 0xE0;
            append(out, kt::packetize(pid, kt::pes_packet(pes), cc[target]));
            break;
        }
        default: {
            const uint8_t table_id = body.empty() ? 0xFF : body[0];
            const uint8_t version = body.size() < 2 ? 0 : body[1] & 31;
            const bytes section_body = body.size() < 2 ? bytes{} : kt::slice(body, 2);
            append(out, kt::section_packets(pid, kt::psi_section(table_id, 1, 0, 0, section_body, version), cc[target],
                                            flag ? 1 : 0));
            break;
        }
        }
    }
    return hdmv ? kt::hdmv_units(out) : out;
}

size_t block_sizes::next() {
    static constexpr size_t cycle[4] = {1, 187, 188, 189};
    switch (pattern) {
    case 0: {
        const size_t n = step;
        step = step * 7 % 16384 + 1;
        return n;
    }
    case 1:
        state = state * 1103515245u + 12345u;
        return 1 + (state >> 9) % ((state >> 8 & 1) ? 16384 : 400);
    case 2: return cycle[step++ % 4];
    default: return 16384;
    }
}

}  // namespace kavel_fuzz
