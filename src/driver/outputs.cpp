// Where each chosen stream writes and reports.
//
// Names. Without option n, the video goes to bits0001.mpv and the first audio stream asked
// for to bits0001.mpa, as always; every further audio stream to bits0001.audio<N>.mpa,
// after its number. With option n every file is named after the input and the stream:
// <input name without extension>.<PID>[.<language>].<extension of the codec>, in the
// current folder. Audio whose codec's file extension is known only from its first frame
// (MPEG audio Layer II or III, AC-3 or E-AC-3 told by its first bytes) opens its file at
// its first write.
//
// Report lines. With several audio streams, each audio stream's own lines (its header,
// its first PTS, its time stamps) begin with "audio <N>: ", so that a reader knows which
// stream they belong to.
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "audio/wav_writer.h"
#include "core/context.h"
#include "driver/driver.h"

namespace {

constexpr const char* video_output_name = "bits0001.mpv";
constexpr const char* audio_output_name = "bits0001.mpa";
// Video comes at megabits a second, audio at a few hundred kilobits: each buffer holds
// about a second of its stream at the most, so nine audio files stay small.
constexpr size_t video_buffer_size = 256 * 1024;
constexpr size_t audio_buffer_size = 64 * 1024;

bool several_audio(const context& ctx) {
    return ctx.selection.audio_all || ctx.selection.audio_request_count > 1;
}

// ---- report lines with a prefix ----

struct prefixed {
    FILE* under;
    bool line_start;
    char prefix[24];
};

ssize_t prefixed_write(void* cookie, const char* data, size_t n) {
    auto* p = static_cast<prefixed*>(cookie);
    for (size_t i = 0; i < n; ++i) {
        if (p->line_start) fputs(p->prefix, p->under);
        fputc(data[i], p->under);
        p->line_start = data[i] == '\n';
    }
    return ssize_t(n);
}

int prefixed_close(void* cookie) {
    std::free(cookie);
    return 0;
}

// A report stream that puts `prefix` before every line it passes to `under`. Unbuffered,
// so that its lines stand where they were written among the rest of the report.
FILE* open_prefixed(FILE* under, const char* label, int32_t number) {
    auto* p = static_cast<prefixed*>(std::calloc(1, sizeof(prefixed)));
    if (!p) return under;
    p->under = under;
    p->line_start = true;
    snprintf(p->prefix, sizeof p->prefix, "%s %d: ", label, number);
    cookie_io_functions_t io = {};
    io.write = prefixed_write;
    io.close = prefixed_close;
    FILE* f = fopencookie(p, "w", io);
    if (!f) {
        std::free(p);
        return under;
    }
    setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

// ---- file names ----

// The input's name without its folders and its extension (the first part's, for parts
// joined by '+'); "stdin" for standard input.
void input_base(const char* path, char* out, size_t size) {
    if (std::strcmp(path, "-") == 0) path = "stdin";
    const char* slash = std::strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    size_t n = std::strlen(name);
    const char* plus = std::strchr(name, '+');
    if (plus && access(path, F_OK) != 0) n = size_t(plus - name);
    const char* dot = static_cast<const char*>(memrchr(name, '.', n));
    if (dot && dot != name) n = size_t(dot - name);
    snprintf(out, size, "%.*s", int(n), name);
}

// The file extension of what the stream writes.
const char* extension_of(const chosen_stream& s) {
    if (s.pes_output) return "pes";
    switch (s.handler) {
    case stream_handler::mpeg2_video: return "m2v";
    case stream_handler::h264_video: return "h264";
    case stream_handler::hevc_video: return "hevc";
    case stream_handler::vc1_video: return "vc1";
    case stream_handler::ac3_audio: {
        const audio_aligner* a = std::get_if<audio_aligner>(&s.state);
        const bool enhanced = std::strstr(s.codec, "E-AC-3") || (a && a->bsid > 10);
        return enhanced ? "eac3" : "ac3";
    }
    case stream_handler::mpeg_audio: {
        const audio_aligner* a = std::get_if<audio_aligner>(&s.state);
        return a && a->layer == 3 ? "mp3" : "mp2";
    }
    case stream_handler::aac_adts_audio: return "aac";
    case stream_handler::aac_latm_audio: return "latm";
    case stream_handler::dts_audio: return "dts";
    case stream_handler::lpcm_audio: return "wav";
    case stream_handler::raw: break;
    }
    if (s.stream_type == 0x83) return "thd";
    if (s.stream_type == 0x2D) return "mhas";  // MPEG-H audio stream packets
    if (std::strcmp(s.codec, "AC-4") == 0) return "ac4";
    return "bin";
}

// <base>.<PID>[.<language>][.<generation>]: the language only where it is three letters.
void stream_base(const context& ctx, const chosen_stream& s, char* out, size_t size) {
    char base[256];
    input_base(ctx.input_path, base, sizeof base);
    int n = snprintf(out, size, "%s.%d", base, s.pid);
    const char* l = s.language;
    bool letters = l[0] != 0;
    for (int i = 0; i < 3; ++i) letters = letters && ((l[i] >= 'a' && l[i] <= 'z') || (l[i] >= 'A' && l[i] <= 'Z'));
    if (letters && n > 0 && size_t(n) < size) n += snprintf(out + n, size - size_t(n), ".%.3s", l);
    if (s.generation > 0 && n > 0 && size_t(n) < size)
        snprintf(out + n, size - size_t(n), ".%u", s.generation + 1);
}

// An output file behind a buffer of its own: payload goes out in runs of at most 184
// bytes, and a buffer of a few hundred KiB makes that one write call per many read
// blocks (glibc takes no size for a buffer it allocates itself). With one thread the
// stream lock that every fwrite takes guards nothing: it is turned off. `buffer` is freed
// once the file is closed.
FILE* open_output(const char* name, char*& buffer, size_t size) {
    FILE* f = fopen(name, "wb");
    if (!f) return nullptr;
    buffer = static_cast<char*>(std::malloc(size));
    if (buffer) setvbuf(f, buffer, _IOFBF, size);
    __fsetlocking(f, FSETLOCKING_BYCALLER);
    return f;
}

size_t buffer_size_of(const chosen_stream& s) {
    return s.kind == stream_kind::video ? video_buffer_size : audio_buffer_size;
}

// Closes an output file and frees its buffer; false on any error.
bool close_buffered(FILE* f, char*& buffer) {
    const bool ok = close_output(f);
    std::free(buffer);
    buffer = nullptr;
    return ok;
}

void report_open_failure(chosen_stream& s) {
    fprintf(stderr, "Cannot open %s output file <%s>\n", s.kind == stream_kind::video ? "video" : "audio",
            s.out_name);
    s.out.failed = 1;
}

// Opens the named file of a stream with its extension as it stands now.
void open_named(void* owner) {
    chosen_stream& s = *static_cast<chosen_stream*>(owner);
    const size_t n = std::strlen(s.out_name);
    snprintf(s.out_name + n, sizeof s.out_name - n, ".%s", extension_of(s));
    s.out.file = open_output(s.out_name, s.out.buffer, buffer_size_of(s));
    if (!s.out.file) {
        report_open_failure(s);
        return;
    }
    if (s.wav_output) {
        // The first write comes after the first PES header: its LPCM header says the layout.
        const uint16_t h = s.pes.lpcm_header;
        const hdmv_lpcm_layout& layout = hdmv_lpcm_layout_of(h >> 12);
        const uint32_t rate_code = (h >> 8) & 0x0F;
        const uint32_t rate = rate_code == 4 ? 96000 : rate_code == 5 ? 192000 : 48000;
        const uint32_t bits = (h >> 6 & 3) == 2 ? 20 : (h >> 6 & 3) == 3 ? 24 : 16;
        const bool two = s.lpcm_two_channels;
        wav_begin(s.out.file, two ? 2 : layout.channels, rate, bits, two ? 0x3 : layout.channel_mask);
        s.out.written = 0;
    }
}

bool is_default_file(const context& ctx, FILE* f) { return f == ctx.video_file || f == ctx.audio_file; }

}  // namespace

bool open_default_outputs(context& ctx) {
    if (ctx.options.parse_only || ctx.options.name_outputs) return true;
    ctx.video_file = open_output(video_output_name, ctx.file_buffers[0], video_buffer_size);
    if (!ctx.video_file) {
        fprintf(stderr, "Cannot open video output file <%s>\n", video_output_name);
        return false;
    }
    ctx.audio_file = open_output(audio_output_name, ctx.file_buffers[1], audio_buffer_size);
    if (!ctx.audio_file) {
        fprintf(stderr, "Cannot open audio output file <%s>\n", audio_output_name);
        return false;
    }
    return true;
}

bool attach_stream(context& ctx, chosen_stream& s) {
    if (s.report == stdout || s.report == ctx.report) {
        s.report = ctx.report;
        if (s.kind == stream_kind::audio && several_audio(ctx)) s.report = open_prefixed(ctx.report, "audio", s.number);
    }
    if (ctx.options.parse_only) return true;
    if (ctx.options.name_outputs) {
        if (s.out.file) {  // a new codec: a new file
            close_stream_output(ctx, s);
            s.out = stream_output{};
        }
        stream_base(ctx, s, s.out_name, sizeof s.out_name);
        s.wav_output = s.handler == stream_handler::lpcm_audio && !s.pes_output;
        s.out.owner = &s;
        s.out.open_late = open_named;
        if (s.kind == stream_kind::video) sink_open_late(s.out);
        return !s.out.failed;
    }
    if (s.out.file) return true;  // a new codec goes on in the same file
    if (s.kind == stream_kind::video) {
        s.out.file = ctx.video_file;
        snprintf(s.out_name, sizeof s.out_name, "%s", video_output_name);
        return true;
    }
    bool first = true;
    for (uint32_t k = 0; k < ctx.stream_count; ++k)
        if (&ctx.streams[k] != &s && ctx.streams[k].kind == stream_kind::audio && ctx.streams[k].out.file) first = false;
    if (first) {
        s.out.file = ctx.audio_file;
        snprintf(s.out_name, sizeof s.out_name, "%s", audio_output_name);
        return true;
    }
    snprintf(s.out_name, sizeof s.out_name, "bits0001.audio%d.mpa", s.number);
    s.out.file = open_output(s.out_name, s.out.buffer, buffer_size_of(s));
    if (!s.out.file) report_open_failure(s);
    return s.out.file != nullptr;
}

bool close_stream_output(context& ctx, chosen_stream& s) {
    FILE* f = s.out.file;
    if (!f || is_default_file(ctx, f)) return true;
    if (s.wav_output) wav_finish(f, s.out.written);
    s.out.file = nullptr;
    return close_buffered(f, s.out.buffer) && !s.out.failed;
}

bool close_outputs(context& ctx) {
    bool ok = true;
    for (uint32_t k = 0; k < ctx.stream_count; ++k) {
        chosen_stream& s = ctx.streams[k];
        if (!close_stream_output(ctx, s)) {
            fprintf(stderr, "Error writing %s output file <%s>\n", s.kind == stream_kind::video ? "video" : "audio",
                    s.out_name);
            ok = false;
        }
        if (s.report != ctx.report && s.report != stdout) fclose(s.report);
        s.report = ctx.report;
    }
    if (ctx.video_file && !close_buffered(ctx.video_file, ctx.file_buffers[0])) {
        fprintf(stderr, "Error writing video output file <%s>\n", video_output_name);
        ok = false;
    }
    if (ctx.audio_file && !close_buffered(ctx.audio_file, ctx.file_buffers[1])) {
        fprintf(stderr, "Error writing audio output file <%s>\n", audio_output_name);
        ok = false;
    }
    ctx.video_file = ctx.audio_file = nullptr;
    return ok;
}

bool outputs_named(const context& ctx) { return ctx.options.name_outputs || several_audio(ctx); }
