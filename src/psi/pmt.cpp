// PMT parser and stream selection: the payload of `pmt_pid` into `pcr_pid`, the chosen
// video and audio PIDs and their stream types.
//
// The section reader frames the sections. The program descriptors are read (and, for the
// first complete PMT, printed) as they arrive; the elementary stream loop is copied into
// `body` and parsed when the section is complete. Sections too long, too short for their
// fixed fields, or with a table_id other than 2 are ignored up to the next pointer_field.
// As for the PAT, bodies of several sections are joined without the inner CRC_32s and at
// most psi_body_capacity bytes are kept; an entry that does not fit what was stored ends
// the parse.

#include "core/context.h"
#include "psi/section.h"

namespace {

constexpr uint16_t extension_bytes = 9;
constexpr uint32_t entry_fixed_bytes = 5;
constexpr uint8_t pmt_table_id = 0x02;
constexpr int no_stream_type = -1;  // the descriptor printer is on the program loop

// One byte of a descriptor loop; `more` says whether loop bytes remain after this one.
// `stream_type` is the entry's for the elementary stream loop, no_stream_type otherwise.
void descriptor_byte(context& ctx, uint8_t b, bool more, int stream_type) {
    pmt_parser& p = ctx.pmt;
    const bool print = p.print_pending;
    bool line_done = false;
    if (p.descriptor_header_countdown > 0) {
        p.descriptor_header_countdown -= 1;
        if (p.descriptor_header_countdown == 1) {
            if (print) {
                if (stream_type == no_stream_type)
                    fprintf(ctx.report, "program descriptor = 0x%02x", b);
                else
                    fprintf(ctx.report, "ES descriptor for stream type 0x%02x = 0x%02x", stream_type, b);
            }
        } else {
            p.descriptor_remaining = b;
            if (print) fprintf(ctx.report, ", 0x%02x", b);
            line_done = b == 0;
        }
    } else if (p.descriptor_remaining > 0) {
        p.descriptor_remaining -= 1;
        if (print) fprintf(ctx.report, ", 0x%02x", b);
        line_done = p.descriptor_remaining == 0;
    }
    if (line_done) {
        if (print) fputc('\n', ctx.report);
        if (more) p.descriptor_header_countdown = 2;
    }
}

void choose(context& ctx, uint16_t pid, uint8_t stream_type, const char* format) {
    if (ctx.pmt.print_pending) fprintf(ctx.report, format, pid, pid, stream_type);
}

// The chosen audio stream. A stream whose format its first bytes tell keeps the handler
// they told, when a later PMT chooses it again.
void choose_audio(stream_selection& s, uint16_t pid, uint8_t stream_type, const stream_resolution& row) {
    const bool told_before = row.undecided && s.audio_told_pid == pid;
    s.audio_pid = pid;
    s.audio_stream_type = stream_type;
    s.audio_handler = told_before ? s.audio_told_handler : row.handler;
    s.audio_mpeg_ids = row.mpeg_audio_ids;
    s.audio_undecided = row.undecided && !told_before;
    s.audio_codec = row.codec;
}

// Counts the entries of one pass: the types counted first on pass 0, the types counted
// late on pass 1. The chosen streams are resolved to their handlers here, once.
void count_entries(context& ctx, int pass, int32_t& videos, int32_t& audios) {
    pmt_parser& p = ctx.pmt;
    stream_selection& s = ctx.selection;
    const program_facts program = read_program_facts(p.program_info, p.program_info_stored, ctx.options.hdmv_input);
    uint32_t k = 0;
    while (k + entry_fixed_bytes + psi::crc_bytes <= p.stored) {
        const uint8_t* e = p.body + k;
        const uint8_t stream_type = e[0];
        const uint16_t pid = uint16_t(((e[1] & 0x1F) << 8) | e[2]);
        const uint32_t es_info_length = uint32_t(((e[3] & 0x0F) << 8) | e[4]);
        const uint32_t next = k + entry_fixed_bytes + es_info_length;
        if (next > p.stored) break;

        const stream_resolution row = resolve_stream(stream_type, e + entry_fixed_bytes, es_info_length, program);
        if (row.kind != stream_kind::none && int(row.counted_late) == pass) {
            if (row.kind == stream_kind::video && ++videos == s.video_index) {
                s.video_pid = pid;
                s.video_stream_type = stream_type;
                s.video_handler = row.handler;
                s.video_codec = row.codec;
                choose(ctx, pid, stream_type, "Video PID = %4d <0x%04x>, type = 0x%02x\r\n");
            } else if (row.kind == stream_kind::audio && ++audios == s.audio_index) {
                choose_audio(s, pid, stream_type, row);
                choose(ctx, pid, stream_type, "Audio PID = %4d <0x%04x>, type = 0x%02x\r\n");
            }
        }
        if (pass == 0 && es_info_length != 0) {
            p.descriptor_header_countdown = 2;
            for (uint32_t i = 0; i < es_info_length; ++i)
                descriptor_byte(ctx, e[entry_fixed_bytes + i], i + 1 < es_info_length, stream_type);
        }
        k = next;
    }
}

void parse_entries(context& ctx) {
    int32_t videos = 0, audios = 0;
    count_entries(ctx, 0, videos, audios);
    count_entries(ctx, 1, videos, audios);
    ctx.pmt.print_pending = 0;
}

// The fixed bytes after section_length; `left` is how many follow this one.
void fixed_byte(context& ctx, uint8_t b, uint32_t left) {
    pmt_parser& p = ctx.pmt;
    switch (left) {
    case 5: psi::start_section_body(p); break;  // section_number
    case 3: ctx.selection.pcr_pid = uint16_t((b & 0x1F) << 8); break;
    case 2: ctx.selection.pcr_pid |= b; break;
    case 1:
        p.program_info_remaining = uint16_t((b & 0x0F) << 8);
        p.program_info_stored = 0;
        break;
    case 0:
        p.program_info_remaining |= b;
        if (p.program_info_remaining > p.reader.section_remaining) {
            // Too short for its program descriptors: ignored like an over-long one.
            p.program_info_remaining = 0;
            section_ignore(p.reader);
        } else if (p.program_info_remaining != 0) {
            p.descriptor_header_countdown = 2;
        }
        break;
    default: break;  // program_number, version, last_section_number
    }
}

// A run after the fixed bytes: the program descriptors first, read (and printed) as
// they come, then the elementary stream loop, kept for the parse.
void body_run(context& ctx, const uint8_t* data, uint32_t n) {
    pmt_parser& p = ctx.pmt;
    uint32_t i = 0;
    for (; i < n && p.program_info_remaining > 0; ++i) {
        p.program_info_remaining -= 1;
        if (p.program_info_stored < program_info_capacity) p.program_info[p.program_info_stored++] = data[i];
        descriptor_byte(ctx, data[i], p.program_info_remaining > 0, no_stream_type);
    }
    if (i < n) psi::store_body_run(p, data + i, n - i);
}

}  // namespace

void pmt_unit_start(context& ctx) { ctx.pmt.pmt_pointer_pending = 1; }

uint32_t feed_pmt(context& ctx, uint8_t* data, uint32_t available) {
    pmt_parser& p = ctx.pmt;
    section_reader& r = p.reader;
    const section_step s = section_read(r, p.pmt_pointer_pending, data, available);
    if (s.dropped) psi::drop_section_body(p);
    switch (s.event) {
    case section_event::table_id:
        p.program_info_remaining = 0;
        if (r.table_id != pmt_table_id) section_ignore(r);
        break;
    case section_event::length: psi::accept_section_length(ctx.report, r, "PMT", extension_bytes); break;
    case section_event::field: fixed_byte(ctx, *data, r.extension_countdown); break;
    case section_event::body: body_run(ctx, data, s.taken); break;
    case section_event::none: break;
    }
    // The entries are parsed when the table's last section is complete.
    if (section_ended(r) && r.section_number == r.last_section_number) parse_entries(ctx);
    return s.taken;
}
