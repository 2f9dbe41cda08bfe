// Header tables of the aligner's frame syntaxes. Each reader is given the frame's slot,
// whose byte 0 is the last byte of the sync word: frame byte k is slot byte k - 1 (k - 3
// for DTS, whose sync word has four bytes).
//
// AC-3 (bsid 10 or below):
//   2-3 crc1 | 4 fscod(2) frmsizecod(6) | 5 bsid(5) bsmod(3) | 6 acmod(3) ...
// E-AC-3 (bsid 11 to 16):
//   2 strmtyp(2) substreamid(3) frmsiz(11) | 4 fscod(2) numblkscod|fscod2(2) acmod(3) lfeon(1)
//   | 5 bsid(5) ...
// MPEG audio, from the first byte of the 11-bit sync:
//   1 version(2) layer(2) protection_bit(1) | 2 bitrate_index(4) sampling_frequency(2)
//   padding_bit(1) private_bit(1) | 3 mode(2) mode_extension(2) copyright(1) original(1)
//   emphasis(2)
// ADTS: 1 ID(1) layer(2) protection_absent(1) | 2 profile(2) sampling_index(4) private(1)
//   channels(3) original(1) home(1) copyright(2) aac_frame_length(13) fullness(11)
//   raw_data_blocks(2)
// LATM/LOAS: 0x2B7 (11 bits) audioMuxLengthBytes(13), then the AudioMuxElement.
// DTS core: 7F FE 80 01 | FTYPE(1) SHORT(5) CPF(1) NBLKS(7) FSIZE(14) AMODE(6) SFREQ(4)
//   RATE(5) ... LFF(2) at bit 53 after the sync word.
// DTS extension substream: 64 58 20 25 | user(8) index(2) size_type(1) header_size(8|12)
//   frame_size(16|20) static_fields(1), then if set reference_clock(2) frame_duration(3).
//   After a core frame it goes along with it; a stream of substreams alone (DTS Express)
//   is timed by them: 512 x (frame_duration + 1) samples of the reference clock.
// LATM AudioSpecificConfig: object_type(5, 31: 6 more + 32) sampling_index(4, 15: 24-bit
//   rate) channels(4); object type 5 (SBR) or 29 (SBR and parametric stereo) then gives
//   the output's sampling_index and the core's object type. A frame lasts 1024 samples
//   at the core's rate (960 where the core's frameLengthFlag says so).
#include "audio/frame_headers.h"

#include "core/stream.h"

const uint16_t mpeg_kbits[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};

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

// MPEG-1 rates; MPEG-2 halves them, MPEG-2.5 quarters them.
const uint32_t mpeg_sample_rates[4] = {44100, 48000, 32000, 0};

const uint32_t aac_sample_rates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                       16000, 12000, 11025, 8000,  7350,  0,     0,     0};

const uint32_t dts_sample_rates[16] = {0, 8000, 16000, 32000, 0, 0, 11025, 22050,
                                       44100, 0, 0, 12000, 24000, 48000, 96000, 192000};

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

// The rates of a header go to the report until the stream is confirmed (a bad one
// rejects the frame), afterwards only from valid ones.
void take_rates(audio_aligner& a, uint32_t rate, uint32_t bits, uint32_t size) {
    if (!a.confirmed || size != 0) {
        a.sample_rate = rate;
        a.bit_rate = bits;
    }
}

// A frame of `size` bytes and `samples` samples at `rate`, as bits per second.
uint32_t bits_of(uint32_t size, uint32_t samples, uint32_t rate) {
    return samples ? uint32_t(uint64_t(size) * 8 * rate / samples) : 0;
}

frame_info read_ac3(audio_aligner& a, const uint8_t* s) {
    const uint8_t* h = s + 1;  // frame byte 2
    const uint32_t bsid = h[3] >> 3;
    if (bsid <= 10) {
        if (!a.confirmed) {
            a.bsid = bsid;
            a.bsmod = h[3] & 7;
            a.acmod = h[4] >> 5;
        }
        frame_info f;
        f.size = ac3_frame_bytes(h[2]);
        f.rate = ac3_sample_rates[h[2] >> 6];
        f.samples = 1536;
        f.fixed = true;
        take_rates(a, f.rate, ac3_bit_rates[(h[2] >> 1) & 0x1F], f.size);
        return f;
    }
    frame_info f;
    if (bsid > 16 || (h[0] >> 6) == 3) {
        take_rates(a, 0, 0, 0);
        return f;
    }
    const uint32_t fscod = h[2] >> 6, code = (h[2] >> 4) & 3;
    const uint32_t blocks[4] = {1, 2, 3, 6};
    f.rate = fscod == 3 ? ac3_sample_rates[code] / 2 : ac3_sample_rates[fscod];
    f.size = f.rate ? ((uint32_t(h[0] & 7) << 8 | h[1]) + 1) * 2 : 0;
    if (f.size < 8) f.size = 0;
    // Independent substream 0 (strmtyp 0, or 2: converted from AC-3) carries the time;
    // dependent frames and other substreams go along with it.
    f.may_begin = (h[0] >> 6) != 1 && ((h[0] >> 3) & 7) == 0;
    f.samples = f.may_begin ? 256 * (fscod == 3 ? 6 : blocks[code]) : 0;
    if (!a.confirmed && f.size) {
        a.bsid = bsid;
        a.acmod = (h[2] >> 1) & 7;
        a.lfeon = h[2] & 1;
    }
    take_rates(a, f.rate, bits_of(f.size, f.samples ? f.samples : 1536, f.rate), f.size);
    return f;
}

frame_info read_mpeg(audio_aligner& a, const uint8_t* s) {
    const uint8_t* h = s + 1;  // frame byte 2
    const uint32_t version = (s[0] >> 3) & 3, layer = 4 - ((s[0] >> 1) & 3);  // 1 to 3
    if (!a.confirmed) {
        a.mode = h[1] >> 6;
        a.mode_extension = (h[1] >> 4) & 3;
        a.copyright = (h[1] >> 3) & 1;
        a.original = (h[1] >> 2) & 1;
        a.emphasis = h[1] & 3;
        a.version = version;
        a.layer = layer;
    }
    const bool mpeg1 = version == 3;
    const uint32_t shift = mpeg1 ? 0 : version == 2 ? 1 : 2;
    frame_info f;
    f.rate = mpeg_sample_rates[(h[0] >> 2) & 3] >> shift;
    const uint32_t table = mpeg1 ? layer - 1 : layer == 1 ? 3 : 4;
    const uint32_t bits = mpeg_kbits[table][h[0] >> 4] * 1000;
    const uint32_t padding = (h[0] >> 1) & 1;
    f.samples = layer == 1 ? 384 : layer == 3 && !mpeg1 ? 576 : 1152;
    f.fixed = mpeg1 && layer == 2;
    if (f.rate && bits) {
        if (layer == 1)
            f.size = (12 * bits / f.rate + padding) * 4;
        else
            f.size = (layer == 3 && !mpeg1 ? 72 : 144) * bits / f.rate + padding;
    }
    take_rates(a, f.rate, bits, f.size);
    return f;
}

frame_info read_adts(audio_aligner& a, const uint8_t* s) {
    frame_info f;
    f.rate = aac_sample_rates[(s[1] >> 2) & 15];
    const uint32_t length = uint32_t(s[2] & 3) << 11 | uint32_t(s[3]) << 3 | s[4] >> 5;
    f.samples = ((s[5] & 3) + 1) * 1024;
    f.size = f.rate && length >= ((s[0] & 1) ? 7u : 9u) ? length : 0;
    if (!a.confirmed) {
        a.profile = s[1] >> 6;
        a.channels = (s[1] & 1) << 2 | s[2] >> 6;
    }
    take_rates(a, f.rate, bits_of(f.size, f.samples, f.rate), f.size);
    return f;
}

// Bits read most significant first, never past `end`.
struct bit_reader {
    const uint8_t* data;
    uint32_t end;  // in bits
    uint32_t at = 0;
    bool over = false;
    uint32_t get(uint32_t n) {
        uint32_t v = 0;
        for (; n > 0; --n, ++at) {
            if (at >= end) {
                over = true;
                return 0;
            }
            v = v << 1 | ((data[at >> 3] >> (7 - (at & 7))) & 1);
        }
        return v;
    }
    uint32_t latm_value() {  // LatmGetValue
        const uint32_t bytes = get(2) + 1;
        uint32_t v = 0;
        for (uint32_t k = 0; k < bytes; ++k) v = v << 8 | get(8);
        return v;
    }
};

frame_info read_latm(const uint8_t* s) {
    frame_info f;
    f.size = 3 + (uint32_t(s[0] & 0x1F) << 8 | s[1]);
    f.may_begin = false;
    return f;
}

const uint32_t dts_reference_clocks[4] = {32000, 44100, 48000, 0};

frame_info read_dts(audio_aligner& a, const uint8_t* s) {
    frame_info f;
    if (s[0] == 0x25) {  // extension substream
        bit_reader r{s + 2, 6 * 8};
        r.get(2);
        const bool long_sizes = r.get(1);
        r.get(long_sizes ? 12 : 8);
        f.size = r.get(long_sizes ? 20 : 16) + 1;
        // A stream confirmed at a substream has no core frames: its substreams carry the
        // time. Before that a substream may begin a stream; the confirmation tells.
        if (!a.confirmed) a.substreams_only = 1;
        f.may_begin = a.substreams_only;
        if (!f.may_begin) return f;
        if (r.get(1)) {
            const uint32_t clock = dts_reference_clocks[r.get(2)];
            const uint32_t samples = 512 * (r.get(3) + 1);
            if (clock != 0 && !r.over) a.latm_samples = samples, a.latm_rate = clock;
        }
        f.samples = a.latm_samples;
        f.rate = a.latm_rate;
        take_rates(a, f.rate, bits_of(f.size, f.samples, f.rate), f.size);
        return f;
    }
    if (!a.confirmed) a.substreams_only = 0;
    bit_reader r{s + 1, 7 * 8};
    const bool normal = r.get(6) == 0x3F;  // FTYPE 1, SHORT 31
    r.get(1);
    const uint32_t blocks = r.get(7) + 1;
    const uint32_t size = r.get(14) + 1;
    const uint32_t amode = r.get(6);
    f.rate = dts_sample_rates[r.get(4)];
    r.get(5 + 1 + 1 + 1 + 1 + 1 + 3 + 1 + 1);
    const uint32_t lff = r.get(2);
    f.samples = blocks * 32;
    f.size = normal && blocks >= 6 && size >= 96 && f.rate && lff != 3 ? size : 0;
    if (!a.confirmed) {
        a.channels = amode;
        a.lfeon = lff != 0;
    }
    take_rates(a, f.rate, bits_of(f.size, f.samples, f.rate), f.size);
    return f;
}

const char* const ac3_mode_lines[8] = {
    "Audio Mode = 1+1, bsid = %d, bsmod = %d\n", "Audio Mode = 1/0, bsid = %d, bsmod = %d\n",
    "Audio Mode = 2/0, bsid = %d, bsmod = %d\n", "Audio Mode = 3/0, bsid = %d, bsmod = %d\n",
    "Audio Mode = 2/1, bsid = %d, bsmod = %d\n", "Audio Mode = 3/1, bsid = %d, bsmod = %d\n",
    "Audio Mode = 2/2, bsid = %d, bsmod = %d\n", "Audio Mode = 3/2, bsid = %d, bsmod = %d\n"};
const char* const ac3_layouts[8] = {"1+1", "1/0", "2/0", "3/0", "2/1", "3/1", "2/2", "3/2"};

const char* const mpeg_mode_lines[4] = {
    "Audio Mode = Stereo, mode_extension = %d\n", "Audio Mode = Joint Stereo, mode_extension = %d\n",
    "Audio Mode = Dual Channel, mode_extension = %d\n", "Audio Mode = Single Channel, mode_extension = %d\n"};

const char* const mpeg_emphasis_lines[4] = {
    "Audio Emphasis = None, copyright = %d, original = %d\n",
    "Audio Emphasis = 50/15 usec, copyright = %d, original = %d\n",
    "Audio Emphasis = Reserved, copyright = %d, original = %d\n",
    "Audio Emphasis = CCITT J.17, copyright = %d, original = %d\n"};

// By channel_configuration; 0 leaves the layout to the AudioSpecificConfig's own element.
const char* const aac_layouts[8] = {"PCE", "1/0", "2/0", "3/0", "3/1", "3/2", "3/2+LFE", "5/2+LFE"};
const char* const aac_profiles[4] = {"Main", "LC", "SSR", "LTP"};

// By AMODE; 10 and above are user-defined layouts.
const char* const dts_layouts[10] = {"1/0", "1+1", "2/0", "2/0 (sum-difference)", "2/0 (Lt/Rt)",
                                     "3/0", "2/1", "3/1", "2/2", "3/2"};

uint32_t object_type(bit_reader& r) {
    const uint32_t object = r.get(5);
    return object == 31 ? 32 + r.get(6) : object;
}

uint32_t sampling_rate(bit_reader& r) {
    const uint32_t index = r.get(4);
    return index == 15 ? r.get(24) : aac_sample_rates[index];
}

// Object types whose config is a GASpecificConfig, which begins with frameLengthFlag.
bool general_audio(uint32_t object) {
    return (object >= 1 && object <= 7 && object != 5) || (object >= 17 && object <= 23 && object != 18);
}

}  // namespace

frame_info read_frame_header(const audio_variant& v, audio_aligner& a, const uint8_t* slot, uint32_t) {
    switch (v.syntax) {
    case audio_syntax::ac3: return read_ac3(a, slot);
    case audio_syntax::mpeg: return read_mpeg(a, slot);
    case audio_syntax::adts: return read_adts(a, slot);
    case audio_syntax::latm: return read_latm(slot);
    case audio_syntax::dts: return read_dts(a, slot);
    }
    return {};
}

frame_info finish_latm_frame(audio_aligner& a, const uint8_t* slot, uint32_t size) {
    frame_info f = read_latm(slot);
    // The AudioMuxElement from frame byte 3 to the frame's end.
    bit_reader r{slot + 2, size > 3 ? (size - 3) * 8 : 0};
    if (r.get(1) == 0) {  // useSameStreamMux 0: a StreamMuxConfig follows
        const uint32_t version = r.get(1);
        if (version) {
            if (r.get(1) == 0) r.latm_value();  // audioMuxVersionA 0: taraBufferFullness
        }
        r.get(1);  // allStreamsSameTimeFraming
        const uint32_t subframes = r.get(6) + 1;
        r.get(4 + 3);  // numProgram, numLayer: the first program's first layer follows
        if (version) r.latm_value();  // ascLen
        uint32_t object = object_type(r);
        const uint32_t rate = sampling_rate(r);
        const uint32_t channels = r.get(4);
        uint32_t sbr = 0, output_rate = rate;
        if (object == 5 || object == 29) {
            sbr = object;
            output_rate = sampling_rate(r);
            object = object_type(r);
        }
        const uint32_t samples = general_audio(object) && r.get(1) ? 960 : 1024;
        if (!r.over && rate != 0 && output_rate != 0) {
            a.latm_samples = samples * subframes;
            a.latm_rate = rate;
            f.may_begin = true;
            if (!a.confirmed) {
                a.profile = object - 1;
                a.channels = channels;
                a.sbr = sbr;
                a.sample_rate = output_rate;
            }
        }
    }
    f.samples = a.latm_samples;
    f.rate = a.latm_rate;
    if (!a.confirmed) {
        if (!a.sbr) a.sample_rate = f.rate;  // else the output's, from the config
        a.bit_rate = bits_of(size, f.samples, f.rate);
    }
    return f;
}

bool same_stream(const audio_variant& v, const uint8_t* frame, const uint8_t* next) {
    switch (v.syntax) {
    case audio_syntax::mpeg: return ((frame[0] ^ next[0]) & 0xFE) == 0;  // version, layer
    case audio_syntax::adts:  // ID, layer, profile, sampling index, channel configuration
        return ((frame[0] ^ next[0]) & 0xFE) == 0 && ((frame[1] ^ next[1]) & 0xFD) == 0 &&
               ((frame[2] ^ next[2]) & 0xC0) == 0;
    // A substream that begins a stream has no core: substreams alone follow it.
    case audio_syntax::dts: return frame[0] != 0x25 || next[0] == 0x25;
    default: return true;
    }
}

void print_header_report(stream_call& sc, const audio_variant& v, const audio_aligner& a) {
    fprintf(sc.stream.report, "Audio Bitrate = %d, Audio Sampling Rate = %d\n", int32_t(a.bit_rate),
            int32_t(a.sample_rate));
    const char* lfe = a.lfeon ? "+LFE" : "";
    switch (v.syntax) {
    case audio_syntax::ac3:
        if (a.bsid <= 10)
            fprintf(sc.stream.report, ac3_mode_lines[a.acmod & 7], int32_t(a.bsid), int32_t(a.bsmod));
        else
            fprintf(sc.stream.report, "Audio Mode = %s%s, E-AC-3, bsid = %d\n", ac3_layouts[a.acmod & 7], lfe,
                    int32_t(a.bsid));
        break;
    case audio_syntax::mpeg:
        fprintf(sc.stream.report, mpeg_mode_lines[a.mode & 3], int32_t(a.mode_extension));
        fprintf(sc.stream.report, mpeg_emphasis_lines[a.emphasis & 3], int32_t(a.copyright), int32_t(a.original));
        if (a.version != 3 || a.layer != 2)
            fprintf(sc.stream.report, "Audio Layer = %s, %s\n", a.layer == 1 ? "I" : a.layer == 2 ? "II" : "III",
                    a.version == 3 ? "MPEG-1" : a.version == 2 ? "MPEG-2" : "MPEG-2.5");
        break;
    case audio_syntax::adts:
    case audio_syntax::latm: {
        const char* profile = a.profile < 4 ? aac_profiles[a.profile] : "";
        const char* sbr = a.sbr == 29 ? ", SBR, PS" : a.sbr ? ", SBR" : "";
        const char* latm = v.syntax == audio_syntax::latm ? ", LATM" : "";
        if (a.profile < 4)
            fprintf(sc.stream.report, "Audio Mode = %s, AAC %s%s%s\n", aac_layouts[a.channels & 7], profile, sbr, latm);
        else
            fprintf(sc.stream.report, "Audio Mode = %s, AAC object type %d%s%s\n", aac_layouts[a.channels & 7],
                    int32_t(a.profile + 1), sbr, latm);
        break;
    }
    case audio_syntax::dts:
        if (a.substreams_only)
            fprintf(sc.stream.report, "Audio Mode = extension substreams without a core, DTS\n");
        else if (a.channels < 10)
            fprintf(sc.stream.report, "Audio Mode = %s%s, DTS\n", dts_layouts[a.channels], lfe);
        else
            fprintf(sc.stream.report, "Audio Mode = AMODE %d%s, DTS\n", int32_t(a.channels), lfe);
        break;
    }
}

namespace {

const audio_variant* const variants[5] = {&ac3_variant, &mpeg_variant, &adts_variant, &latm_variant, &dts_variant};

// Bytes needed to confirm the frame of syntax `v` whose sync word begins at `at`, or 0
// when none is confirmed there with the n bytes given.
uint32_t confirmed_at(const audio_variant& v, const uint8_t* b, uint32_t n, uint32_t at) {
    uint32_t w = 0;
    for (uint32_t k = 0; k < v.sync_bytes; ++k) w = w << 8 | b[at + k];
    const uint32_t slot = at + v.sync_bytes - 1;  // the frame's slot, as the aligner holds it
    if (!is_sync_word(v, w) || n - slot <= v.header_bytes) return 0;
    audio_aligner scratch;
    const frame_info f = read_frame_header(v, scratch, b + slot, n - slot);
    if (f.size == 0 || (!f.may_begin && v.syntax != audio_syntax::latm)) return 0;
    const uint64_t need = uint64_t(slot) + f.size + v.confirm_extra + 1;
    if (need > n) return 0;
    uint32_t next = 0;
    for (uint32_t k = 0; k < v.sync_bytes; ++k) next = next << 8 | b[slot + f.size + 1 - v.sync_bytes + k];
    return is_sync_word(v, next) && same_stream(v, b + slot, b + slot + f.size) ? uint32_t(need) : 0;
}

}  // namespace

bool find_frames(const uint8_t* b, uint32_t n, uint32_t syntaxes, found_frames& found) {
    uint32_t best = 0;
    for (const audio_variant* v : variants) {
        if (!(syntaxes & syntax_bit(v->syntax))) continue;
        for (uint32_t at = 0; at + v->sync_bytes <= n; ++at) {
            if (b[at] != v->lead[0] && b[at] != v->lead_alt) continue;
            const uint32_t need = confirmed_at(*v, b, n, at);
            if (need != 0 && (best == 0 || need < best)) best = need, found = {v->syntax, at};
        }
    }
    return best != 0;
}

const audio_variant& variant_of(audio_syntax syntax) {
    switch (syntax) {
    case audio_syntax::ac3: return ac3_variant;
    case audio_syntax::mpeg: return mpeg_variant;
    case audio_syntax::adts: return adts_variant;
    case audio_syntax::latm: return latm_variant;
    case audio_syntax::dts: break;
    }
    return dts_variant;
}

const char* syntax_name(audio_syntax s) {
    switch (s) {
    case audio_syntax::ac3: return "AC-3";
    case audio_syntax::mpeg: return "MPEG audio";
    case audio_syntax::adts: return "AAC in ADTS";
    case audio_syntax::latm: return "AAC in LATM";
    case audio_syntax::dts: return "DTS";
    }
    return "";
}
