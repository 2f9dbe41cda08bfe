// The chosen streams, from each usable PMT section of the program: the video stream asked
// for and the audio streams asked for (a list of numbers, or all of them), each a record
// of its own (core/stream.h) with its handler made and its output attached.
//
// A later version of the PMT is applied to the same records: a stream whose number now
// names another PID is followed there, its output going on; a stream whose type or codec
// changed goes on with the handler of its new type. Each such change is one report line.
#include <cstring>

#include "core/context.h"

namespace {

const pmt_entry* find_entry(const program_map& m, stream_kind kind, int32_t number) {
    for (uint32_t i = 0; i < m.count; ++i)
        if (m.entries[i].what.kind == kind && m.entries[i].number == number) return &m.entries[i];
    return nullptr;
}

chosen_stream* find_record(context& ctx, stream_kind kind, int32_t number) {
    for (uint32_t k = 0; k < ctx.stream_count; ++k)
        if (ctx.streams[k].kind == kind && ctx.streams[k].number == number) return &ctx.streams[k];
    return nullptr;
}

const char* kind_word(stream_kind kind) { return kind == stream_kind::video ? "Video" : "Audio"; }

// What the PMT entry says of the stream: its PID, type and handler.
void take_entry(chosen_stream& s, const pmt_entry& e) {
    s.pid = e.pid;
    s.stream_type = e.type;
    s.handler = e.what.handler;
    s.mpeg_audio_ids = e.what.mpeg_audio_ids;
    s.undecided = e.what.undecided;
    s.codec = e.what.codec;
    std::memcpy(s.language, e.language, sizeof s.language);
}

bool attach(context& ctx, chosen_stream& s) {
    if (ctx.attach_stream) return ctx.attach_stream(ctx, s);
    s.report = ctx.report;
    if (s.kind == stream_kind::video) {
        s.out.file = ctx.video_file;
        return true;
    }
    for (uint32_t k = 0; k < ctx.stream_count; ++k)
        if (&ctx.streams[k] != &s && ctx.streams[k].kind == stream_kind::audio) return true;
    s.out.file = ctx.audio_file;  // the first audio stream
    return true;
}

}  // namespace

chosen_stream* add_chosen_stream(context& ctx, stream_kind kind, int32_t number, const pmt_entry& e) {
    if (ctx.stream_count == max_streams || ctx.stream_of_pid[e.pid] != no_stream) return nullptr;
    const uint8_t index = uint8_t(ctx.stream_count++);
    chosen_stream& s = ctx.streams[index];
    s.kind = kind;
    s.number = number;
    take_entry(s, e);
    const run_options& o = ctx.options;
    s.parse_only = uint8_t(o.parse_only);
    s.pes_output = uint8_t(o.pes_output);
    s.gop_timecode_mode = uint8_t(o.gop_timecode_mode);
    s.lpcm_two_channels = uint8_t(o.lpcm_two_channels);
    s.wait_for_video = ctx.selection.video_index != 0;
    s.dump_pts = uint8_t(kind == stream_kind::video ? o.dump_video_pts : o.dump_audio_pts);
    s.report = ctx.report;
    if (!stream_handler_setup(s)) {
        s.handler = stream_handler::raw;
        stream_handler_setup(s);
    }
    if (!attach(ctx, s)) ctx.output_failed = 1;
    ctx.stream_of_pid[e.pid] = index;
    return &s;
}

namespace {

void update(context& ctx, chosen_stream& s, const pmt_entry& e) {
    const uint8_t index = uint8_t(&s - ctx.streams);
    if (s.pid != e.pid) {
        if (ctx.stream_of_pid[e.pid] != no_stream) return;  // another chosen stream's PID
        fprintf(ctx.report, "%s stream %d moved from PID %d <0x%04x> to PID %d <0x%04x>\n", kind_word(s.kind),
                s.number, s.pid, s.pid, e.pid, e.pid);
        if (ctx.stream_of_pid[s.pid] == index) ctx.stream_of_pid[s.pid] = no_stream;
        ctx.stream_of_pid[e.pid] = index;
        // The PES parser goes on: the new PID's first packet begins a PES packet anyway.
        s.pid = e.pid;
    }
    if (s.stream_type == e.type && std::strcmp(s.codec, e.what.codec) == 0) return;
    fprintf(ctx.report, "%s stream %d changed to type 0x%02x, %s\n", kind_word(s.kind), s.number, e.type,
            e.what.codec);
    take_entry(s, e);
    if (!stream_handler_setup(s)) {
        s.handler = stream_handler::raw;
        stream_handler_setup(s);
    }
    s.generation += 1;
    if (ctx.attach_stream && !ctx.attach_stream(ctx, s)) ctx.output_failed = 1;
}

void choose(context& ctx, const program_map& m, stream_kind kind, int32_t number, bool* chosen) {
    const pmt_entry* e = find_entry(m, kind, number);
    if (!e) return;
    chosen_stream* s = find_record(ctx, kind, number);
    if (s)
        update(ctx, *s, *e);
    else
        add_chosen_stream(ctx, kind, number, *e);
    chosen[e - m.entries] = true;
}

}  // namespace

void choose_streams(context& ctx, const program_map& m, bool* chosen) {
    const stream_selection& sel = ctx.selection;
    if (sel.video_index != 0) choose(ctx, m, stream_kind::video, sel.video_index, chosen);
    if (sel.audio_all) {
        for (int32_t n = 1; find_entry(m, stream_kind::audio, n); ++n) choose(ctx, m, stream_kind::audio, n, chosen);
        return;
    }
    // One number is `audio_index`; a list is in `audio_requests`.
    if (sel.audio_request_count <= 1) {
        if (sel.audio_index != 0) choose(ctx, m, stream_kind::audio, sel.audio_index, chosen);
        return;
    }
    for (uint32_t i = 0; i < sel.audio_request_count; ++i)
        if (sel.audio_requests[i] != 0) choose(ctx, m, stream_kind::audio, sel.audio_requests[i], chosen);
}
