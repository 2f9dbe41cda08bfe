// The checks that audio frames carry, for the aligner to tell damaged frames whose sync
// words survived. Both are CRC-16 with the polynomial x^16 + x^15 + x^2 + 1, most
// significant bit first:
//
//   AC-3, E-AC-3  crc1 and crc2 (AC-3) or crc2 alone (E-AC-3): the CRC from 0 of every
//                 byte after the sync word, the CRC words included, is 0
//   MPEG audio    protection_bit 0: the 16-bit CRC after the header is the CRC from
//                 0xFFFF of the header's last two bytes and the fields after the CRC word
//                 that a decoder cannot do without: Layer I the bit allocation, Layer II
//                 the bit allocation and scale factor selection, Layer III the side info
#include "audio/frame_headers.h"

namespace {

struct crc16_table {
    uint16_t t[256];
    constexpr crc16_table() : t{} {
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t c = b << 8;
            for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1;
            t[b] = uint16_t(c);
        }
    }
};
constexpr crc16_table crc16;

// Frame bits from bit `at` (of the frame, from its first sync byte), never past `end`.
struct frame_bits {
    const uint8_t* slot;  // frame byte 1
    uint32_t end;
    uint32_t at;
    uint32_t crc = 0xFFFF;
    uint32_t get(uint32_t n) {  // read and taken into the CRC
        uint32_t v = 0;
        for (; n > 0 && at < end; --n, ++at) {
            const uint32_t bit = slot[(at >> 3) - 1] >> (7 - (at & 7)) & 1;
            v = v << 1 | bit;
            crc = ((crc << 1) ^ (((crc >> 15) ^ bit) ? 0x8005 : 0)) & 0xFFFF;
        }
        return v;
    }
};

// Layer II: the allocation table that the bit rate per channel and the sample rate
// select (0 to 3 for MPEG-1, 4 for the lower rates of MPEG-2), its subbands and the
// bits of each subband's allocation.
uint32_t layer2_table(const uint8_t* h, uint32_t channels) {
    if ((h[-1] & 0x08) == 0) return 4;
    const uint32_t per_channel = mpeg_kbits[1][h[0] >> 4] / channels, rate = (h[0] >> 2) & 3;  // 0 44.1, 1 48, 2 32 kHz
    if (per_channel >= 56 && (per_channel <= 80 || rate == 1)) return 0;
    if (per_channel >= 96) return 1;
    return rate == 2 ? 3 : 2;
}
constexpr uint32_t layer2_subbands[5] = {27, 30, 8, 12, 30};
uint32_t layer2_allocation_bits(uint32_t table, uint32_t sb) {
    if (table < 2) return sb < 11 ? 4 : sb < 23 ? 3 : 2;
    if (table < 4) return sb < 2 ? 4 : 3;
    return sb < 4 ? 4 : sb < 11 ? 3 : 2;
}

frame_crc check_mpeg(const uint8_t* slot, uint32_t size) {
    const uint8_t* h = slot + 1;  // frame byte 2
    if ((slot[0] & 1) || size < 6 || (h[0] >> 4) == 0) return frame_crc::none;  // no CRC; free format
    const uint32_t layer = 4 - ((slot[0] >> 1) & 3), mode = h[1] >> 6, channels = mode == 3 ? 1 : 2;
    frame_bits b{slot, size * 8, 16};
    b.get(16);
    b.at = 48;
    if (layer == 3) {
        const bool mpeg1 = slot[0] & 0x08;
        b.get((mpeg1 ? (channels == 1 ? 17 : 32) : (channels == 1 ? 9 : 17)) * 8);
    } else {
        const uint32_t table = layer == 1 ? 0 : layer2_table(h, channels);
        const uint32_t subbands = layer == 1 ? 32 : layer2_subbands[table];
        uint32_t bound = mode == 1 ? ((h[1] >> 4 & 3) + 1) * 4 : subbands;
        if (bound > subbands) bound = subbands;
        uint8_t allocated[2][32] = {};
        for (uint32_t sb = 0; sb < subbands; ++sb) {
            const uint32_t n = layer == 1 ? 4 : layer2_allocation_bits(table, sb);
            for (uint32_t ch = 0; ch < channels; ++ch)
                allocated[ch][sb] = uint8_t(sb < bound || ch == 0 ? b.get(n) != 0 : allocated[0][sb]);
        }
        for (uint32_t sb = 0; layer == 2 && sb < subbands; ++sb)
            for (uint32_t ch = 0; ch < channels; ++ch)
                if (allocated[ch][sb]) b.get(2);  // scfsi
    }
    if (b.at >= b.end) return frame_crc::failed;  // the fields run past the frame
    return b.crc == (uint32_t(h[2]) << 8 | h[3]) ? frame_crc::matched : frame_crc::failed;
}

}  // namespace

frame_crc check_frame(const audio_variant& v, const uint8_t* slot, uint32_t size) {
    if (v.syntax == audio_syntax::mpeg) return check_mpeg(slot, size);
    if (v.syntax != audio_syntax::ac3 || size < 4) return frame_crc::none;
    uint32_t c = 0;
    for (const uint8_t* p = slot + 1; p != slot + size - 1; ++p) c = (c << 8 & 0xFF00) ^ crc16.t[(c >> 8) ^ *p];
    return c == 0 ? frame_crc::matched : frame_crc::failed;
}
