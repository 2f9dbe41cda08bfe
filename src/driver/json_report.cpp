// Option j: the report as one JSON document on standard output, written from the records
// the run keeps (the text report goes nowhere then). With option l, the listing as JSON.
//
//   {
//     "input": {"path", "packet_size"},
//     "request": {"program", "video", "audio": [numbers] or "all"},
//     "programs": [{"program", "pmt_pid", "pcr_pid", "streams": [{"kind", "number", "pid",
//                   "stream_type", "codec", "language"}]}],
//     "streams": [{"kind", "number", "pid", "stream_type", "codec", "language", "output",
//                  "bytes", "first_pts", "offset_ms", ..., "parameters": {...}}],
//                  "repairs": {gaps, frames filled, overlaps, lost pictures ...}}],
//     "pids": [{"pid", "packets", "continuity_errors", "first_packet", "last_packet"}],
//     "sync_losses", "warnings": [strings]
//   }
//
// Every string from the stream (languages) goes through the writer's escaping.
#include <sys/stat.h>

#include <cstring>

#include "core/context.h"
#include "driver/driver.h"
#include "driver/json_writer.h"

namespace {

const char* kind_name(stream_kind k) {
    return k == stream_kind::video ? "video" : k == stream_kind::audio ? "audio" : "other";
}

void language(json_writer& w, const char* l) {
    const size_t n = strnlen(l, 3);
    if (n == 0)
        json_null(w, "language");
    else
        json_string_n(w, "language", reinterpret_cast<const uint8_t*>(l), n);
}

// One program as the PMT reader decodes it.
void write_program(json_writer& w, const listing_section& s, bool hdmv_input, program_map& m) {
    json_begin_object(w, nullptr);
    json_uint(w, "program", s.program);
    json_uint(w, "pmt_pid", s.pid);
    if (!s.done) {
        json_null(w, "pcr_pid");
        json_end_object(w);
        return;
    }
    decode_pmt(s.g.data, s.g.need, hdmv_input, m);
    json_uint(w, "pcr_pid", m.pcr_pid);
    json_begin_array(w, "streams");
    for (uint32_t i = 0; i < m.count; ++i) {
        const pmt_entry& e = m.entries[i];
        json_begin_object(w, nullptr);
        json_string(w, "kind", kind_name(e.what.kind));
        if (e.number)
            json_int(w, "number", e.number);
        else
            json_null(w, "number");
        json_uint(w, "pid", e.pid);
        json_uint(w, "stream_type", e.type);
        json_string(w, "codec", e.what.codec);
        language(w, e.language);
        json_end_object(w);
    }
    json_end_array(w);
    json_end_object(w);
}

void write_programs(json_writer& w, program_listing& l) {
    json_begin_array(w, "programs");
    if (l.pat.done)
        for (uint32_t i = 0; i < l.programs; ++i) write_program(w, l.pmts[i], l.hdmv_input, l.map);
    json_end_array(w);
}

// What the stream's handler read from its headers, as the text report prints it.
void write_parameters(json_writer& w, const chosen_stream& s) {
    json_begin_object(w, "parameters");
    if (const audio_aligner* a = std::get_if<audio_aligner>(&s.state)) {
        json_uint(w, "sample_rate", a->sample_rate);
        json_uint(w, "bit_rate", a->bit_rate);
        if (a->syntax == audio_syntax::mpeg) {
            json_uint(w, "layer", a->layer);
            json_uint(w, "mode", a->mode);
        } else if (a->syntax == audio_syntax::ac3) {
            json_uint(w, "acmod", a->acmod);
            json_uint(w, "lfeon", a->lfeon);
            json_uint(w, "bsid", a->bsid);
        } else {
            json_uint(w, "channels", a->channels);
            json_uint(w, "profile", a->profile);
        }
    } else if (const mpeg2_state* m = std::get_if<mpeg2_state>(&s.state)) {
        json_double(w, "frame_rate", double(m->frame_rate_exact));
        json_bool(w, "progressive", m->progressive_sequence != 0);
    } else if (const h264_state* h = std::get_if<h264_state>(&s.state)) {
        json_uint(w, "profile_idc", h->profile_idc);
        json_uint(w, "level_idc", h->level_idc);
    } else if (const hevc_state* v = std::get_if<hevc_state>(&s.state)) {
        json_uint(w, "profile_idc", v->profile_idc);
        json_uint(w, "tier", v->tier);
        json_uint(w, "level_idc", v->level_idc);
    } else if (const vc1_state* c = std::get_if<vc1_state>(&s.state)) {
        json_double(w, "frame_rate", double(c->frame_rate));
    }
    json_end_object(w);
}

const chosen_stream* video_of(const context& ctx) {
    for (uint32_t k = 0; k < ctx.stream_count; ++k)
        if (ctx.streams[k].kind == stream_kind::video) return &ctx.streams[k];
    return nullptr;
}

void write_stream(json_writer& w, const context& ctx, const chosen_stream& s) {
    json_begin_object(w, nullptr);
    json_string(w, "kind", kind_name(s.kind));
    json_int(w, "number", s.number);
    json_uint(w, "pid", s.pid);
    json_uint(w, "stream_type", s.stream_type);
    json_string(w, "codec", s.codec);
    language(w, s.language);
    struct stat st;
    if (s.out_name[0] && stat(s.out_name, &st) == 0) {
        json_string(w, "output", s.out_name);
        json_uint(w, "bytes", uint64_t(st.st_size));
    } else {
        json_null(w, "output");
        json_uint(w, "bytes", 0);
    }
    const uint64_t video_pts = ctx.timing.first_video_pts;
    const uint64_t first = s.kind == stream_kind::video ? video_pts : s.first_pts;
    if (first == pts_unknown) {
        json_null(w, "first_pts");
        json_null(w, "offset_ms");
    } else {
        json_uint(w, "first_pts", first);
        if (video_pts == pts_unknown)
            json_null(w, "offset_ms");
        else
            json_double(w, "offset_ms", double(pts_diff(first, video_pts)) / 90.0);
    }
    if (s.kind == stream_kind::video) {
        json_uint(w, "coded_pictures", s.counts.coded_pictures);
        json_uint(w, s.counts.progressive_flag ? "video_frames" : "video_fields", s.counts.display_count);
    } else {
        int64_t ticks;
        if (ending_difference(&s, video_of(ctx), ticks))
            json_null(w, "ending_difference_ticks");
        else
            json_int(w, "ending_difference_ticks", ticks);
    }
    const stream_repairs& r = s.repairs;
    json_begin_object(w, "repairs");
    if (s.kind == stream_kind::video) {
        json_uint(w, "lost_pictures", r.lost_pictures);
        json_uint(w, "loss_places", r.loss_places);
    } else {
        json_uint(w, "gaps", r.gaps);
        json_uint(w, "frames_filled", r.frames_filled);
        json_uint(w, "overlaps", r.overlaps);
        json_uint(w, "frames_dropped", r.frames_dropped);
        json_uint(w, "damaged_frames", r.damaged_frames);
        json_uint(w, "time_base_jumps", r.time_base_jumps);
    }
    json_end_object(w);
    write_parameters(w, s);
    json_end_object(w);
}

void write_request(json_writer& w, const stream_selection& s) {
    json_begin_object(w, "request");
    json_int(w, "program", s.program_number);
    json_int(w, "video", s.video_index);
    if (s.audio_all) {
        json_string(w, "audio", "all");
    } else {
        json_begin_array(w, "audio");
        if (s.audio_request_count <= 1)
            json_int(w, nullptr, s.audio_index);
        else
            for (uint32_t i = 0; i < s.audio_request_count; ++i) json_int(w, nullptr, s.audio_requests[i]);
        json_end_array(w);
    }
    json_end_object(w);
}

bool chosen_as(const context& ctx, stream_kind kind, int32_t number) {
    for (uint32_t k = 0; k < ctx.stream_count; ++k)
        if (ctx.streams[k].kind == kind && ctx.streams[k].number == number) return true;
    return false;
}

void write_warnings(json_writer& w, const context& ctx) {
    char line[192];
    json_begin_array(w, "warnings");
    const stream_selection& s = ctx.selection;
    if (s.pmt_pid == no_pid) {
        snprintf(line, sizeof line, "Program %d not found", s.program_number);
        json_string(w, nullptr, line);
    } else {
        if (s.video_index != 0 && !chosen_as(ctx, stream_kind::video, s.video_index)) {
            snprintf(line, sizeof line, "Video stream %d not found in program %d", s.video_index, s.program_number);
            json_string(w, nullptr, line);
        }
        for (uint32_t i = 0; i < s.audio_request_count && !s.audio_all; ++i) {
            const int32_t n = s.audio_request_count == 1 ? s.audio_index : s.audio_requests[i];
            if (n == 0 || chosen_as(ctx, stream_kind::audio, n)) continue;
            snprintf(line, sizeof line, "Audio stream %d not found in program %d", n, s.program_number);
            json_string(w, nullptr, line);
        }
    }
    for (uint32_t k = 0; k < ctx.stream_count; ++k) {
        const chosen_stream& c = ctx.streams[k];
        const stream_repairs& r = c.repairs;
        if (r.loss_places) {
            snprintf(line, sizeof line, "Video: %u pictures lost at %u places", r.lost_pictures, r.loss_places);
            json_string(w, nullptr, line);
        }
        if (r.gaps || r.overlaps || r.damaged_frames || r.time_base_jumps) {
            snprintf(line, sizeof line,
                     "Audio %d: %u gaps (%u frames filled), %u overlaps (%u frames dropped), %u damaged frames, "
                     "%u time base jumps",
                     c.number, r.gaps, r.frames_filled, r.overlaps, r.frames_dropped, r.damaged_frames,
                     r.time_base_jumps);
            json_string(w, nullptr, line);
        }
    }
    const uint32_t dropped = ctx.pat.g.damaged + ctx.pmt.g.damaged;
    if (dropped) {
        snprintf(line, sizeof line, "%u PAT and PMT sections dropped for their CRC_32", dropped);
        json_string(w, nullptr, line);
    }
    json_end_array(w);
}

uint32_t packet_size(const context& ctx) {
    if (ctx.ts.packet_size) return ctx.ts.packet_size;
    return ctx.options.hdmv_input ? 192 : 188;
}

// Opens the document and writes what the report and the listing both begin with.
void begin_document(json_writer& w, const context& ctx, FILE* out) {
    json_start(w, out);
    json_begin_object(w, nullptr);
    json_begin_object(w, "input");
    json_string(w, "path", ctx.input_path);
    json_uint(w, "packet_size", packet_size(ctx));
    json_end_object(w);
}

}  // namespace

void print_json_report(context& ctx, FILE* out) {
    json_writer w;
    begin_document(w, ctx, out);
    write_request(w, ctx.selection);
    if (ctx.listing) write_programs(w, *ctx.listing);
    json_begin_array(w, "streams");
    for (uint32_t k = 0; k < ctx.stream_count; ++k) write_stream(w, ctx, ctx.streams[k]);
    json_end_array(w);
    json_begin_array(w, "pids");
    for (uint32_t pid = 0; pid < pid_count; ++pid) {
        if (ctx.pids.packet_count[pid] == 0) continue;
        json_begin_object(w, nullptr);
        json_uint(w, "pid", pid);
        json_uint(w, "packets", ctx.pids.packet_count[pid]);
        json_uint(w, "continuity_errors", ctx.pids.continuity_errors[pid]);
        json_uint(w, "first_packet", ctx.pids.first_packet[pid]);
        json_uint(w, "last_packet", ctx.pids.last_packet[pid]);
        json_end_object(w);
    }
    json_end_array(w);
    json_uint(w, "sync_losses", ctx.ts.sync_losses);
    write_warnings(w, ctx);
    json_end_object(w);
    json_finish(w);
}

void print_json_listing(context& ctx, FILE* out) {
    json_writer w;
    begin_document(w, ctx, out);
    write_programs(w, *ctx.listing);
    json_end_object(w);
    json_finish(w);
}
