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

// KAVEL_PORTABLE builds without processor-specific code: the table CRC is then the only one.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(KAVEL_PORTABLE)
#include <immintrin.h>
#define KAVEL_CLMUL_CRC 1  // 16 bytes a step with carry-less multiplication where there is one
#endif

namespace {

// CRC-16 tables: t[0][b] is the CRC of byte b from 0, t[k][b] that of byte b followed by
// k zero bytes, so that eight bytes are taken in one step.
struct crc16_tables {
    uint16_t t[8][256];
    constexpr crc16_tables() : t{} {
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t c = b << 8;
            for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1;
            t[0][b] = uint16_t(c);
        }
        for (uint32_t k = 1; k < 8; ++k)
            for (uint32_t b = 0; b < 256; ++b) t[k][b] = uint16_t(t[k - 1][b] << 8 ^ t[0][t[k - 1][b] >> 8]);
    }
};
constexpr crc16_tables crc16;

uint32_t crc_per_byte(uint32_t c, const uint8_t* p, const uint8_t* end) {
    for (; p != end; ++p) c = (c << 8 & 0xFF00) ^ crc16.t[0][(c >> 8) ^ *p];
    return c;
}

// The same, eight bytes a step: the CRC so far goes into the first two of them.
uint32_t crc_sliced(uint32_t c, const uint8_t* p, const uint8_t* end) {
    const auto& t = crc16.t;
    for (; end - p >= 8; p += 8)
        c = t[7][p[0] ^ (c >> 8)] ^ t[6][p[1] ^ (c & 0xFF)] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^
            t[1][p[6]] ^ t[0][p[7]];
    return crc_per_byte(c, p, end);
}

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

#if defined(KAVEL_CLMUL_CRC)
// x^n modulo the CRC polynomial times x^16 (degree 32): the CRC-16 of a message is the
// CRC-32 by that polynomial shifted down 16 bits, which carry-less multiplication by
// 64-bit halves can fold 16 bytes at a time.
constexpr uint64_t x_to_mod(uint32_t n) {
    uint64_t r = 1;
    for (uint32_t k = 0; k < n; ++k) r = (r << 1) ^ ((r & 0x80000000u) ? 0x180050000ull : 0);
    return r;
}

// The bytes from `p` with the CRC from 0, 16 bytes a step: a 128-bit value X congruent to
// the bytes so far (the first byte highest) takes the next 16 as X x^128 + next, with
// X's halves multiplied by x^192 and x^128 modulo the polynomial; X's CRC is the CRC of
// all of them, and the bytes after the last whole 16 go on from it.
__attribute__((target("pclmul,ssse3"))) uint32_t crc_folded(const uint8_t* p, const uint8_t* end) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i k = _mm_set_epi64x(int64_t(x_to_mod(192)), int64_t(x_to_mod(128)));
    __m128i x = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
    for (p += 16; end - p >= 16; p += 16) {
        const __m128i next = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
        x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
    }
    uint8_t folded[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), _mm_shuffle_epi8(x, reverse));
    return crc_sliced(crc_sliced(0, folded, folded + 16), p, end);
}
#endif

}  // namespace

frame_crc check_frame(const audio_variant& v, const uint8_t* slot, uint32_t size, bool fast) {
    if (v.syntax == audio_syntax::mpeg) return check_mpeg(slot, size);
    if (v.syntax != audio_syntax::ac3 || size < 4) return frame_crc::none;
    const uint8_t* end = slot + size - 1;
    uint32_t c = 0;
    if (!fast)
        c = crc_per_byte(0, slot + 1, end);
#if defined(KAVEL_CLMUL_CRC)
    else if (end - (slot + 1) >= 16 && __builtin_cpu_supports("pclmul"))
        c = crc_folded(slot + 1, end);
#endif
    else
        c = crc_sliced(0, slot + 1, end);
    return c == 0 ? frame_crc::matched : frame_crc::failed;
}
