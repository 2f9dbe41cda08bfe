// Header tables of AC-3 (A/52 syncinfo and the start of the BSI) and of MPEG-1 Layer II.
//
// AC-3, from the first byte of the sync word 0x0B77:
//   2-3 crc1 | 4 fscod(2) frmsizecod(6) | 5 bsid(5) bsmod(3) | 6 acmod(3) ...
// MPEG audio, from the first byte of the 0xFFF sync:
//   1 ID(1)=1 layer(2)=2 protection_bit(1) | 2 bitrate_index(4) sampling_frequency(2)
//   padding_bit(1) private_bit(1) | 3 mode(2) mode_extension(2) copyright(1) original(1)
//   emphasis(2)
#include "audio/frame_headers.h"

#include "core/context.h"

namespace {

const uint32_t ac3_sample_rates[4] = {48000, 44100, 32000, 0};

const uint32_t ac3_bit_rates[32] = {
    32000,  40000,  48000,  56000,  64000,  80000,  96000,  112000, 128000, 160000, 192000,
    224000, 256000, 320000, 384000, 448000, 512000, 576000, 640000};  // 19 to 31: none

// At 44.1 kHz an AC-3 frame is not a whole number of words; the encoder pads every other
// frame or so by one word (the low bit of frmsizecod). Lengths in 16-bit words for each
// frmsizecod >> 1, before that padding word.
const uint16_t ac3_44k_words[19] = {69,  87,  104, 121, 139, 174, 208,  243,  278, 348,
                                     417, 487, 557, 696, 835, 975, 1114, 1253, 1393};

const uint32_t mpeg_sample_rates[4] = {44100, 48000, 32000, 0};

const uint32_t mpeg_bit_rates[16] = {0,      32000,  48000,  56000,  64000,  80000,  96000,  112000,
                                     128000, 160000, 192000, 224000, 256000, 320000, 384000, 0};

// AC-3 frame length in bytes from the fscod/frmsizecod byte; 0 for reserved codes. At
// 48 and 32 kHz this is the nominal bit_rate x 192 / sample_rate.
uint32_t ac3_frame_bytes(uint8_t b) {
    const uint32_t rate = ac3_sample_rates[b >> 6];
    const uint32_t index = (b >> 1) & 0x1F;
    const uint32_t bits = ac3_bit_rates[index];
    if (rate == 0 || bits == 0) return 0;
    if (rate == 44100) return 2 * (ac3_44k_words[index] + (b & 1));
    return bits * 192 / rate;
}

// The rates of a header and the length of its frame. The rates are taken from every
// header until the stream is confirmed (a bad one rejects the frame), afterwards only
// from valid ones, so that a damaged header does not stop the frame clock.
uint32_t take_rates(audio_aligner& a, uint32_t rate, uint32_t bits, uint32_t size) {
    if (!a.confirmed || size != 0) {
        a.sample_rate = rate;
        a.bit_rate = bits;
    }
    return size;
}

// h[0] is offset 2: crc1, crc1, fscod/frmsizecod, bsid/bsmod, acmod.
uint32_t read_ac3(audio_aligner& a, const uint8_t* h) {
    if (!a.confirmed) {
        a.bsid = h[3] >> 3;
        a.bsmod = h[3] & 7;
        a.acmod = h[4] >> 5;
    }
    return take_rates(a, ac3_sample_rates[h[2] >> 6], ac3_bit_rates[(h[2] >> 1) & 0x1F], ac3_frame_bytes(h[2]));
}

// h[0] is offset 2: bit rate, sampling frequency, padding; h[1] the mode byte.
uint32_t read_mpeg(audio_aligner& a, const uint8_t* h) {
    if (!a.confirmed) {
        a.mode = h[1] >> 6;
        a.mode_extension = (h[1] >> 4) & 3;
        a.copyright = (h[1] >> 3) & 1;
        a.original = (h[1] >> 2) & 1;
        a.emphasis = h[1] & 3;
    }
    const uint32_t rate = mpeg_sample_rates[(h[0] >> 2) & 3];
    const uint32_t bits = mpeg_bit_rates[h[0] >> 4];
    // Layer II: 1152 samples of bit_rate / sample_rate bits, plus one padding byte.
    return take_rates(a, rate, bits, rate && bits ? 144 * bits / rate + ((h[0] >> 1) & 1) : 0);
}

const char* const ac3_mode_lines[8] = {
    "Audio Mode = 1+1, bsid = %d, bsmod = %d\n", "Audio Mode = 1/0, bsid = %d, bsmod = %d\n",
    "Audio Mode = 2/0, bsid = %d, bsmod = %d\n", "Audio Mode = 3/0, bsid = %d, bsmod = %d\n",
    "Audio Mode = 2/1, bsid = %d, bsmod = %d\n", "Audio Mode = 3/1, bsid = %d, bsmod = %d\n",
    "Audio Mode = 2/2, bsid = %d, bsmod = %d\n", "Audio Mode = 3/2, bsid = %d, bsmod = %d\n"};

const char* const mpeg_mode_lines[4] = {
    "Audio Mode = Stereo, mode_extension = %d\n", "Audio Mode = Joint Stereo, mode_extension = %d\n",
    "Audio Mode = Dual Channel, mode_extension = %d\n", "Audio Mode = Single Channel, mode_extension = %d\n"};

const char* const mpeg_emphasis_lines[4] = {
    "Audio Emphasis = None, copyright = %d, original = %d\n",
    "Audio Emphasis = 50/15 usec, copyright = %d, original = %d\n",
    "Audio Emphasis = Reserved, copyright = %d, original = %d\n",
    "Audio Emphasis = CCITT J.17, copyright = %d, original = %d\n"};

}  // namespace

uint32_t read_frame_header(const audio_variant& v, audio_aligner& a, const uint8_t* header) {
    return v.kind == audio_kind::ac3 ? read_ac3(a, header) : read_mpeg(a, header);
}

void print_header_report(context& ctx, const audio_variant& v, const audio_aligner& a) {
    fprintf(ctx.report, "Audio Bitrate = %d, Audio Sampling Rate = %d\n", int32_t(a.bit_rate),
            int32_t(a.sample_rate));
    if (v.kind == audio_kind::ac3) {
        fprintf(ctx.report, ac3_mode_lines[a.acmod & 7], int32_t(a.bsid), int32_t(a.bsmod));
    } else {
        fprintf(ctx.report, mpeg_mode_lines[a.mode & 3], int32_t(a.mode_extension));
        fprintf(ctx.report, mpeg_emphasis_lines[a.emphasis & 3], int32_t(a.copyright), int32_t(a.original));
    }
}
