// HDMV LPCM audio: the sample bytes after each 4-byte LPCM private header, cut into
// channel samples and written as carried (byte order and interleaving unchanged).
//
// The 16-bit header field is channel_assignment(4) sampling_frequency(4)
// bits_per_sample(2) and six bits not used here. A group holds one sample per channel,
// always an even number of them; 20-bit samples occupy 3 bytes like 24-bit ones.
#include <cstring>

#include "audio/wav_writer.h"
#include "core/stream.h"

namespace {

struct lpcm_layout {
    const char* line;
    uint32_t channels;
};

const lpcm_layout layouts[16] = {
    {"LPCM Audio Mode = reserved", 2}, {"LPCM Audio Mode = 1/0", 2},
    {"LPCM Audio Mode = reserved", 2}, {"LPCM Audio Mode = 2/0", 2},
    {"LPCM Audio Mode = 3/0", 4},      {"LPCM Audio Mode = 2/1", 4},
    {"LPCM Audio Mode = 3/1", 4},      {"LPCM Audio Mode = 2/2", 4},
    {"LPCM Audio Mode = 3/2", 6},      {"LPCM Audio Mode = 3/2+lfe", 6},
    {"LPCM Audio Mode = 3/4", 8},      {"LPCM Audio Mode = 3/4+lfe", 8},
    {"LPCM Audio Mode = reserved", 2}, {"LPCM Audio Mode = reserved", 2},
    {"LPCM Audio Mode = reserved", 2}, {"LPCM Audio Mode = reserved", 2}};

const char* const width_lines[4] = {"LPCM Audio Bits/sample = reserved", "LPCM Audio Bits/sample = 16",
                                    "LPCM Audio Bits/sample = 20", "LPCM Audio Bits/sample = 24"};
const uint32_t width_bytes[4] = {2, 2, 3, 3};

const char* rate_line(uint32_t code) {
    switch (code) {
    case 1: return "LPCM Audio Sample Rate = 48000";
    case 4: return "LPCM Audio Sample Rate = 96000";
    case 5: return "LPCM Audio Sample Rate = 192000";
    default: return "LPCM Audio Sample Rate = reserved";
    }
}

void put_line(stream_call& sc, const char* line) {
    fputs(line, sc.stream.report);
    fputc('\n', sc.stream.report);
}

// Emits n consecutive samples of w bytes from `data`, the first for channel `cursor`,
// and advances the cursor. With option 2 only channels 0 and 1 are written; runs of
// written samples go out in one piece.
// WAV output: the samples go into the group being filled; a whole group is made a WAV
// frame (little-endian, in WAV's channel order, without the padding channel) and written.
void emit_wav_samples(stream_call& sc, const uint8_t* data, uint32_t n, uint32_t w, uint32_t channels,
                      uint32_t& cursor) {
    lpcm_state& s = state_of<lpcm_state>(sc.stream);
    const bool two = sc.stream.lpcm_two_channels;
    const uint32_t kept = two ? 2 : channels;
    for (uint32_t k = 0; k < n; ++k, data += w) {
        if (cursor < kept) {
            memcpy(s.group + s.group_fill, data, w);
            s.group_fill += w;
        }
        if (++cursor < channels) continue;
        cursor = 0;
        size_t frame = s.group_fill;
        if (two)
            wav_swap_samples(s.group, frame, w);
        else
            frame = hdmv_lpcm_to_wav(s.group, frame, sc.stream.pes.lpcm_header >> 12, w);
        sink_write(sc.stream.out, s.group, frame);
        s.group_fill = 0;
    }
}

void emit_samples(stream_call& sc, const uint8_t* data, uint32_t n, uint32_t w, uint32_t channels, uint32_t& cursor) {
    if (sc.stream.wav_output) {
        emit_wav_samples(sc, data, n, w, channels, cursor);
        return;
    }
    stream_output* out = sc.stream.parse_only ? nullptr : &sc.stream.out;
    if (!sc.stream.lpcm_two_channels) {
        if (out) sink_write(*out, data, size_t(n) * w);
        cursor = uint32_t((uint64_t(cursor) + n) % channels);
        return;
    }
    while (n != 0) {
        const bool kept = cursor < 2;
        uint32_t run = kept ? 2 - cursor : channels - cursor;
        if (run > n) run = n;
        if (kept && out) sink_write(*out, data, size_t(run) * w);
        data += size_t(run) * w;
        n -= run;
        cursor += run;
        if (cursor == channels) cursor = 0;
    }
}

}  // namespace

void handle_lpcm_audio(stream_call& sc, uint8_t* bytes, uint32_t count) {
    lpcm_state& s = state_of<lpcm_state>(sc.stream);
    const uint8_t new_pts = sc.stream.pes.pts_arrived;
    const uint16_t lpcm_header = sc.stream.pes.lpcm_header;
    const uint32_t assignment = lpcm_header >> 12;
    const uint32_t width_code = (lpcm_header >> 6) & 3;
    const uint32_t channels = layouts[assignment].channels;
    const uint32_t w = width_bytes[width_code];

    // A new PES with a PTS while a group is incomplete: the partial sample is dropped and
    // the group is completed with zero samples.
    bool resync = new_pts == 1 && s.channel_cursor != 0;
    if (resync) s.carry_length = 0;
    // A layout with fewer channels than the group has reached begins a new group.
    if (s.channel_cursor >= channels) {
        s.channel_cursor = 0;
        resync = false;
    }

    if (!s.header_reported) {
        s.header_reported = 1;
        put_line(sc, layouts[assignment].line);
        put_line(sc, width_lines[width_code]);
        put_line(sc, rate_line((lpcm_header >> 8) & 0xF));
    }

    if (resync) {
        fprintf(sc.stream.report, "LPCM sample resync, adding %d samples\n", int32_t(channels - s.channel_cursor));
        while (s.channel_cursor != 0) emit_samples(sc, s.zero_sample, 1, w, channels, s.channel_cursor);
    }

    const uint8_t* data = bytes;
    uint32_t left = count;
    if (s.carry_length != 0) {
        // Complete the sample cut at the end of the previous call. The carry is shorter
        // than the smallest sample, but the width may have changed since: need can be 0.
        const uint32_t need = w > s.carry_length ? w - s.carry_length : 0;
        if (left < need) {
            if (left != 0) memcpy(s.carry_bytes + s.carry_length, data, left);
            s.carry_length += left;
            return;
        }
        memcpy(s.carry_bytes + s.carry_length, data, need);
        data += need;
        left -= need;
        s.carry_length = 0;
        emit_samples(sc, s.carry_bytes, 1, w, channels, s.channel_cursor);
    }
    const uint32_t whole = left / w;
    emit_samples(sc, data, whole, w, channels, s.channel_cursor);
    s.carry_length = left - whole * w;
    if (s.carry_length != 0) memcpy(s.carry_bytes, data + size_t(whole) * w, s.carry_length);
}
