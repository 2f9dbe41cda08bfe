// The WAV writer: see wav_writer.h.
#include "audio/wav_writer.h"

#include <sys/types.h>

#include <cstring>

namespace {

void put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

constexpr uint32_t canonical_header = 44;
constexpr uint32_t extensible_header = 68;

// The carried order, as FFmpeg reads HDMV LPCM (its decoder and encoder agree): L R C,
// then for 3/2 Ls Rs and LFE last; for 3/4 Ls Lrs Rrs Rs and LFE last. WAV wants LFE
// right after C, and the rear pair (BL BR) before the side one (SL SR).
constexpr uint8_t pad = 0xFF;
const hdmv_lpcm_layout layouts[16] = {
    {0, 2, 2, {0, 1}},                                  // reserved
    {0x4, 1, 2, {0, pad}},                              // 1/0: C
    {0, 2, 2, {0, 1}},                                  // reserved
    {0x3, 2, 2, {0, 1}},                                // 2/0: L R
    {0x7, 3, 4, {0, 1, 2, pad}},                        // 3/0: L R C
    {0x103, 3, 4, {0, 1, 2, pad}},                      // 2/1: L R S
    {0x107, 4, 4, {0, 1, 2, 3}},                        // 3/1: L R C S
    {0x33, 4, 4, {0, 1, 2, 3}},                         // 2/2: L R Ls Rs
    {0x37, 5, 6, {0, 1, 2, 3, 4, pad}},                 // 3/2: L R C Ls Rs
    {0x3F, 6, 6, {0, 1, 2, 4, 5, 3}},                   // 3/2+LFE: L R C Ls Rs LFE
    {0x637, 7, 8, {0, 1, 2, 5, 3, 4, 6, pad}},          // 3/4: L R C Ls Lrs Rrs Rs
    {0x63F, 8, 8, {0, 1, 2, 6, 4, 5, 7, 3}},            // 3/4+LFE: L R C Ls Lrs Rrs Rs LFE
    {0, 2, 2, {0, 1}}, {0, 2, 2, {0, 1}}, {0, 2, 2, {0, 1}}, {0, 2, 2, {0, 1}}};  // reserved

}  // namespace

bool wav_begin(FILE* f, uint32_t channels, uint32_t sample_rate, uint32_t bits_per_sample, uint32_t channel_mask) {
    const uint32_t container = (bits_per_sample + 7) / 8 * 8;
    const uint32_t block_align = channels * container / 8;
    const bool extensible = channels > 2 || bits_per_sample > 16;
    uint8_t h[extensible_header] = {};
    memcpy(h, "RIFF", 4);  // size at 4, filled by wav_finish
    memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, extensible ? 40 : 16);
    put16(h + 20, extensible ? 0xFFFE : 1);
    put16(h + 22, channels);
    put32(h + 24, sample_rate);
    put32(h + 28, sample_rate * block_align);
    put16(h + 32, block_align);
    put16(h + 34, container);
    uint8_t* data = h + 36;
    if (extensible) {
        put16(h + 36, 22);  // cbSize: the bytes of the extension that follow
        put16(h + 38, bits_per_sample);
        put32(h + 40, channel_mask);
        // The sub-format GUID KSDATAFORMAT_SUBTYPE_PCM, 00000001-0000-0010-8000-00aa00389b71,
        // its first three fields little-endian.
        static const uint8_t pcm_guid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        memcpy(h + 44, pcm_guid, 16);
        data = h + 60;
    }
    memcpy(data, "data", 4);  // size after it, filled by wav_finish
    const size_t length = extensible ? extensible_header : canonical_header;
    return fwrite(h, 1, length, f) == length;
}

bool wav_finish(FILE* f, uint64_t data_bytes) {
    if ((data_bytes & 1) != 0 && fputc(0, f) == EOF) return false;
    const off_t end = ftello(f);
    if (end < 0) return false;
    // Where the data began tells which header it has.
    const uint64_t header = uint64_t(end) - (data_bytes + (data_bytes & 1));
    if (header != canonical_header && header != extensible_header) return false;
    const uint64_t riff = uint64_t(end) - 8;
    uint8_t size[4];
    put32(size, riff > 0xFFFFFFFF ? 0xFFFFFFFF : uint32_t(riff));
    if (fseeko(f, 4, SEEK_SET) != 0 || fwrite(size, 1, 4, f) != 4) return false;
    // The data chunk's size leaves out the pad byte.
    put32(size, data_bytes > 0xFFFFFFFF ? 0xFFFFFFFF : uint32_t(data_bytes));
    if (fseeko(f, off_t(header - 4), SEEK_SET) != 0 || fwrite(size, 1, 4, f) != 4) return false;
    return fseeko(f, end, SEEK_SET) == 0 && fflush(f) == 0;
}

void wav_swap_samples(uint8_t* bytes, size_t n, uint32_t bytes_per_sample) {
    if (bytes_per_sample == 2) {
        // Four samples at a time: each 16-bit lane's two bytes trade places.
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t v;
            memcpy(&v, bytes + i, 8);
            v = (v & 0x00FF00FF00FF00FFull) << 8 | ((v >> 8) & 0x00FF00FF00FF00FFull);
            memcpy(bytes + i, &v, 8);
        }
        for (; i + 2 <= n; i += 2) {
            const uint8_t t = bytes[i];
            bytes[i] = bytes[i + 1];
            bytes[i + 1] = t;
        }
    } else if (bytes_per_sample == 3) {
        // The middle byte stays: only the outer two trade places.
        for (size_t i = 0; i + 3 <= n; i += 3) {
            const uint8_t t = bytes[i];
            bytes[i] = bytes[i + 2];
            bytes[i + 2] = t;
        }
    }
}

const hdmv_lpcm_layout& hdmv_lpcm_layout_of(uint32_t channel_assignment) { return layouts[channel_assignment & 15]; }

size_t hdmv_lpcm_to_wav(uint8_t* bytes, size_t n, uint32_t channel_assignment, uint32_t bytes_per_sample) {
    const hdmv_lpcm_layout& l = hdmv_lpcm_layout_of(channel_assignment);
    const size_t w = bytes_per_sample;
    if (w < 2 || w > 3) return 0;  // the stream has no other sample width
    const size_t group = l.coded_channels * w;
    const size_t groups = n / group;
    bool in_order = l.channels == l.coded_channels;
    for (size_t c = 0; c < l.coded_channels; ++c) in_order = in_order && l.wav_slot[c] == c;
    if (in_order) {
        // Nothing to drop or move (2/0, 3/1, 2/2): the swap alone.
        wav_swap_samples(bytes, groups * group, bytes_per_sample);
        return groups * group;
    }
    // A frame is never longer than its group, so it fits where the group began; the group
    // is copied out first, as the frame overwrites it.
    uint8_t in[8 * 3];
    for (size_t g = 0; g < groups; ++g) {
        memcpy(in, bytes + g * group, group);
        uint8_t* frame = bytes + g * l.channels * w;
        for (size_t c = 0; c < l.coded_channels; ++c) {
            if (l.wav_slot[c] == pad) continue;
            uint8_t* to = frame + l.wav_slot[c] * w;
            for (size_t b = 0; b < w; ++b) to[b] = in[c * w + w - 1 - b];
        }
    }
    return groups * l.channels * w;
}
