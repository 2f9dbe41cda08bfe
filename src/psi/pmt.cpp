// PMT parser and stream selection: the payload of `pmt_pid`, byte by byte, into
// `pcr_pid`, the chosen video and audio PIDs and their stream types.
//
// The program descriptors are read (and, for the first complete PMT, printed) as they
// arrive; the elementary stream loop is copied into `body` and parsed when the section is
// complete. Sections too long, too short for their fixed fields, or with a table_id other
// than 2 are ignored up to the next pointer_field. As for the PAT, bodies of several
// sections are joined without the inner CRC_32s and at most psi_body_capacity bytes are
// kept; an entry that does not fit what was stored ends the parse.

#include "driver/context.h"
#include "psi/section.h"

namespace {

constexpr uint16_t extension_bytes = 9;
constexpr uint32_t entry_fixed_bytes = 5;
constexpr uint8_t pmt_table_id = 0x02;
constexpr int no_stream_type = -1;  // the descriptor printer is on the program loop

void begin_head(pmt_parser& p) {
    p.head_countdown = 3;
    p.extension_countdown = 0;
    p.program_info_remaining = 0;
}

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

void choose(context& ctx, uint16_t pid, uint8_t stream_type, int32_t count, int32_t wanted,
            uint16_t& chosen_pid, uint8_t& chosen_type, const char* format) {
    if (count != wanted) return;
    chosen_pid = pid;
    if (ctx.pmt.print_pending) fprintf(ctx.report, format, pid, pid, stream_type);
    chosen_type = stream_type;
}

void parse_entries(context& ctx) {
    pmt_parser& p = ctx.pmt;
    stream_selection& s = ctx.selection;
    int32_t videos = 0, audios = 0;
    uint32_t k = 0;
    while (k + entry_fixed_bytes + psi::crc_bytes <= p.stored) {
        const uint8_t* e = p.body + k;
        const uint8_t stream_type = e[0];
        const uint16_t pid = uint16_t(((e[1] & 0x1F) << 8) | e[2]);
        const uint32_t es_info_length = uint32_t(((e[3] & 0x0F) << 8) | e[4]);
        const uint32_t next = k + entry_fixed_bytes + es_info_length;
        if (next > p.stored) break;

        switch (stream_kind_of(stream_type, ctx.options.hdmv_input)) {
        case stream_kind::video:
            choose(ctx, pid, stream_type, ++videos, s.video_index, s.video_pid, s.video_stream_type,
                   "Video PID = %4d <0x%04x>, type = 0x%02x\r\n");
            break;
        case stream_kind::audio:
            choose(ctx, pid, stream_type, ++audios, s.audio_index, s.audio_pid, s.audio_stream_type,
                   "Audio PID = %4d <0x%04x>, type = 0x%02x\r\n");
            break;
        case stream_kind::none: break;
        }
        if (es_info_length != 0) {
            p.descriptor_header_countdown = 2;
            for (uint32_t i = 0; i < es_info_length; ++i)
                descriptor_byte(ctx, e[entry_fixed_bytes + i], i + 1 < es_info_length, stream_type);
        }
        k = next;
    }
    p.print_pending = 0;
}

void section_complete(context& ctx) {
    pmt_parser& p = ctx.pmt;
    p.collecting = 0;
    if (p.section_number != p.last_section_number) return;  // the next section is joined on
    parse_entries(ctx);
}

void start_body(context& ctx) {
    pmt_parser& p = ctx.pmt;
    p.collecting = 1;
    if (p.section_remaining == 0) section_complete(ctx);
}

void head_byte(pmt_parser& p, context& ctx, uint8_t b) {
    p.head_countdown -= 1;
    switch (p.head_countdown) {
    case 2:
        if (b != pmt_table_id) p.head_countdown = 0;
        break;
    case 1: p.section_remaining = uint16_t((b & 0x0F) << 8); break;
    default:
        p.section_remaining |= b;
        if (psi::accept_section_length(ctx.report, p, "PMT", extension_bytes))
            p.extension_countdown = extension_bytes;
        break;
    }
}

void extension_byte(pmt_parser& p, context& ctx, uint8_t b) {
    p.section_remaining -= 1;
    p.extension_countdown -= 1;
    switch (p.extension_countdown) {
    case 5:
        p.section_number = b;
        if (b == 0) p.stored = 0;
        break;
    case 4: p.last_section_number = b; break;
    case 3: ctx.selection.pcr_pid = uint16_t((b & 0x1F) << 8); break;
    case 2: ctx.selection.pcr_pid |= b; break;
    case 1: p.program_info_remaining = uint16_t((b & 0x0F) << 8); break;
    case 0:
        p.program_info_remaining |= b;
        if (p.program_info_remaining > p.section_remaining) {
            // Too short for its program descriptors: ignored like an over-long one.
            p.program_info_remaining = 0;
            p.section_remaining = 0;
        } else if (p.program_info_remaining != 0) {
            p.descriptor_header_countdown = 2;
        } else {
            start_body(ctx);
        }
        break;
    default: break;  // program_number, version
    }
}

void program_info_byte(pmt_parser& p, context& ctx, uint8_t b) {
    p.section_remaining -= 1;
    p.program_info_remaining -= 1;
    descriptor_byte(ctx, b, p.program_info_remaining > 0, no_stream_type);
    if (p.program_info_remaining == 0) start_body(ctx);
}

uint32_t body_run(context& ctx, const uint8_t* data, uint32_t available) {
    const uint32_t n = psi::copy_body_run(ctx.pmt, data, available);
    if (ctx.pmt.section_remaining == 0) section_complete(ctx);
    return n;
}

}  // namespace

uint32_t feed_pmt(context& ctx, uint8_t* data, uint32_t available) {
    pmt_parser& p = ctx.pmt;
    if (p.collecting) return body_run(ctx, data, available);

    const uint8_t b = *data;
    bool head_starts = false;
    if (psi::pointer_byte(p, p.pmt_pointer_pending, b, &head_starts)) {
        if (head_starts) begin_head(p);
    } else if (p.head_countdown > 0) {
        head_byte(p, ctx, b);
    } else if (p.extension_countdown > 0) {
        extension_byte(p, ctx, b);
    } else if (p.program_info_remaining > 0) {
        program_info_byte(p, ctx, b);
    }
    return 1;
}
