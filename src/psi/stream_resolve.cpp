// What a PMT entry is: its kind, its handler and its codec in words, from its stream_type,
// its descriptors and the program's. The table of stream types gives the type's meaning;
// two types need more than their number:
//
// - 0x06 is "PES packets with private data": audio (AC-3, E-AC-3, DTS, AAC, Opus) as well
//   as teletext, subtitles, captions and data. A descriptor that names something else
//   makes it no audio; one that names an audio format picks the handler; with neither it
//   counts as audio, and the PES layer tells the format from the first payload bytes.
// - 0x86 is DTS-HD master audio on HDMV input (option h, or a registration HDMV or HDPR)
//   and splice information (SCTE-35) in every other stream, registered CUEI or not: an
//   HLS stream with ad markers must not have its splice PID taken for audio.
#include <cstring>

#include "psi/psi.h"

namespace {

constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
           uint32_t(uint8_t(s[3]));
}

constexpr uint8_t registration_tag = 0x05;
constexpr uint8_t extension_tag = 0x7F;
constexpr uint8_t dts_hd_extension = 0x0E;
constexpr uint8_t ac4_extension = 0x15;
constexpr const char* ac4 = "AC-4";

// Descriptors that name a 0x06 stream as something other than audio.
struct other_use {
    uint8_t tag;
    const char* codec;
};
constexpr other_use other_uses[] = {
    {0x56, "teletext"},        {0x45, "VBI data"},       {0x46, "VBI teletext"},
    {0x59, "DVB subtitles"},   {0x66, "data broadcast"}, {0x6F, "application signalling"},
    {0xFD, "ISDB data"},
};

// Registrations that name an audio format, with the handler each calls for.
struct audio_registration {
    uint32_t format;
    stream_handler handler;
    const char* codec;
};
constexpr audio_registration audio_registrations[] = {
    {fourcc("AC-3"), stream_handler::ac3_audio, "AC-3"},
    {fourcc("EAC3"), stream_handler::ac3_audio, "E-AC-3"},
    {fourcc("DTS1"), stream_handler::dts_audio, "DTS"},
    {fourcc("DTS2"), stream_handler::dts_audio, "DTS"},
    {fourcc("DTS3"), stream_handler::dts_audio, "DTS"},
    // Opus in TS has no elementary-stream format of its own that players read, and
    // SMPTE 302M is PCM in AES3 frames: both are written as they came.
    {fourcc("Opus"), stream_handler::raw, "Opus"},
    {fourcc("BSSD"), stream_handler::raw, "SMPTE 302M PCM"},
    // AC-4 has no frame syntax kavel aligns yet: written as it came.
    {fourcc("AC-4"), stream_handler::raw, ac4},
};

// Descriptors that name the audio format of a 0x06 stream.
struct audio_descriptor {
    uint8_t tag;
    stream_handler handler;
    const char* codec;
};
constexpr audio_descriptor audio_descriptors[] = {
    {0x6A, stream_handler::ac3_audio, "AC-3"},
    {0x7A, stream_handler::ac3_audio, "E-AC-3"},
    {0x7B, stream_handler::dts_audio, "DTS"},
    {0x7C, stream_handler::aac_adts_audio, "AAC"},
};

// A 0x06 stream by its descriptors, on top of the row that makes it audio.
void resolve_private_data(stream_resolution& s, const uint8_t* descriptors, uint32_t length) {
    const char* other = nullptr;
    const char* codec = nullptr;
    stream_handler handler = stream_handler::raw;
    each_descriptor(descriptors, length, [&](uint8_t tag, const uint8_t* data, uint32_t n) {
        for (const other_use& u : other_uses)
            if (u.tag == tag && !other) other = u.codec;
        if (tag == registration_tag && n >= 4) {
            const uint32_t format = registration_of(data - 2);
            const audio_registration* found = nullptr;
            for (const audio_registration& r : audio_registrations)
                if (r.format == format) found = &r;
            if (!found && !other) other = "private data";
            if (found && !codec) codec = found->codec, handler = found->handler;
        }
        for (const audio_descriptor& a : audio_descriptors)
            if (a.tag == tag && !codec) codec = a.codec, handler = a.handler;
        if (tag == extension_tag && n >= 1 && data[0] == dts_hd_extension && !codec)
            codec = "DTS-HD", handler = stream_handler::dts_audio;
        if (tag == extension_tag && n >= 1 && data[0] == ac4_extension && !codec) codec = ac4;
    });
    if (other) {
        s = stream_resolution{};
        s.codec = other;
    } else if (codec) {
        s.codec = codec;
        s.handler = handler;
        // Counted after every audio type counted before it.
        if (codec == ac4) s.count_round = 2;
    } else {
        s.undecided = true;
        s.handler = stream_handler::raw;
        s.codec = "audio, format told by its first bytes";
    }
}

}  // namespace

uint32_t registration_of(const uint8_t* d) {
    if (d[0] != registration_tag || d[1] < 4) return 0;
    return uint32_t(d[2]) << 24 | uint32_t(d[3]) << 16 | uint32_t(d[4]) << 8 | d[5];
}

program_facts read_program_facts(const uint8_t* descriptors, uint32_t length, bool hdmv_option) {
    program_facts f;
    f.hdmv = hdmv_option;
    each_descriptor(descriptors, length, [&](uint8_t, const uint8_t* data, uint32_t) {
        const uint32_t format = registration_of(data - 2);
        if (format == fourcc("HDMV") || format == fourcc("HDPR")) f.hdmv = true;
        if (format != 0 && f.registration == 0) f.registration = format;
    });
    return f;
}

stream_resolution resolve_stream(uint8_t stream_type, const uint8_t* descriptors, uint32_t length,
                                 const program_facts& program) {
    stream_resolution s;
    const stream_type_row* row = stream_type_row_of(stream_type, program.hdmv);
    s.codec = row ? row->codec : "other";
    if (!row || row->kind == stream_kind::none) return s;
    s.kind = row->kind;
    s.handler = row->handler;
    s.mpeg_audio_ids = row->mpeg_audio_ids;
    s.count_round = row->count_round;
    if (stream_type == 0x06) resolve_private_data(s, descriptors, length);
    return s;
}

start_verdict audio_handler_from_start(const uint8_t* b, uint32_t count, stream_handler& handler) {
    handler = stream_handler::raw;
    if (count < 2) return start_verdict::more;
    const uint8_t b1 = b[1];
    if (b[0] == 0x0B && b1 == 0x77) {
        handler = stream_handler::ac3_audio;
    } else if (b[0] == 0xFF && (b1 & 0xF6) == 0xF0) {  // ADTS: 12-bit syncword, layer 00
        handler = stream_handler::aac_adts_audio;
    } else if (b[0] == 0xFF && (b1 & 0xE0) == 0xE0 && (b1 & 0x18) != 0x08 && (b1 & 0x06) != 0) {
        handler = stream_handler::mpeg_audio;  // 11-bit syncword, no reserved version or layer
    } else if (b[0] == 0x56 && (b1 & 0xE0) == 0xE0) {  // LOAS: 11-bit syncword 0x2B7
        handler = stream_handler::aac_latm_audio;
    } else if ((b[0] == 0x7F && b1 == 0xFE) || (b[0] == 0x64 && b1 == 0x58)) {
        if (count < 4) return start_verdict::more;
        if (!(b[2] == 0x80 && b[3] == 0x01) && !(b[2] == 0x20 && b[3] == 0x25)) return start_verdict::none;
        handler = stream_handler::dts_audio;
    } else {
        return start_verdict::none;
    }
    return start_verdict::told;
}
