// PES header parser: one byte-driven machine per chosen stream, in the stream's record.
// Header bytes are examined one at a time; payload is handed on in runs to the stream's
// handler (dispatch.cpp). Video and audio streams differ in a few rules, noted where
// they apply.
//
// `header_buffer` keeps the header as received, up to pes_header_capacity bytes (a header
// of 9 fixed and 255 data bytes fits whole); option z writes what it holds.
#include <algorithm>
#include <cstring>

#include "core/stream.h"
#include "pes/pes.h"

namespace {

constexpr uint32_t unbounded = 0xFFFFFFFF;  // video PES_packet_length 0

// The stream's parser, whether it is video, and its output, as one machine sees them.
// The caller's stream_call is kept by reference and handed on as it is: a copy of it
// made here would be read back whole before its two halves had settled in memory.
struct instance {
    pes_parser& p;
    bool video;
    chosen_stream& s;
    stream_call& call;
};

bool is_start_code(const instance& in) {
    const uint32_t r = in.p.start_register;
    if ((r >> 8) != 0x000001) return false;
    const uint8_t id = uint8_t(r);
    if (in.video) return (id >= 0xE0 && id <= 0xEF) || id == 0xFD;
    if (id == 0xBD || id == 0xFA || id == 0xFD) return true;
    return id >= 0xC0 && id <= 0xDF && in.s.mpeg_audio_ids;
}

// Audio counts wrap at 16 bits, video at 32.
void count_down(instance& in, uint32_t n = 1) {
    in.p.packet_remaining -= n;
    if (!in.video) in.p.packet_remaining &= 0xFFFF;
}

void append(pes_parser& p, uint8_t b) {
    if (p.header_length < pes_header_capacity) p.header_buffer[p.header_length++] = b;
}

// Bits of a 5-byte PTS/DTS field by its position (1..5) into the 33-bit value.
void assemble(uint64_t& acc, uint32_t position, uint8_t b) {
    switch (position) {
    case 1: acc = uint64_t((b >> 1) & 0x07) << 30; break;
    case 2: acc |= uint64_t(b) << 22; break;
    case 3: acc |= uint64_t(b >> 1) << 15; break;
    case 4: acc |= uint64_t(b) << 7; break;
    default: acc |= uint64_t(b >> 1); break;
    }
}

void enter_payload(instance& in) {
    // Held first bytes of an earlier payload go out before this packet's header.
    if (!in.video && in.s.undecided && in.p.start_count > 0) decide_audio_start(in.call);
    in.p.in_payload = 1;
    if (!in.s.parse_only && in.s.pes_output) sink_write(in.s.out, in.p.header_buffer, in.p.header_length);
}

// The largest time stamp so far, modulo 2^33: a stream whose time stamps wrap keeps the
// later ones.
void raise_max(chosen_stream& s, uint64_t pts) {
    if (!s.has_pts || pts_diff(pts, s.max_pts) > 0) s.max_pts = pts;
    s.has_pts = 1;
}

// A video time stamp `t` after the one before: a step well beyond the usual one that a
// continuity error on the PID explains counts the pictures lost there; one that nothing
// explains (a splice, an edit) is kept for the audio, which takes the same jump as a new
// time base.
void video_step(instance& in, uint64_t t) {
    pes_parser& p = in.p;
    const int64_t step = pts_diff(t, p.previous_timestamp);
    const int64_t usual = p.usual_step;
    if (p.timestamp_count == 0) {
    } else if (usual && (step > usual * 3 / 2 || step < 0)) {
        if (p.data_lost && step > 0 && step < 900000) {
            const uint32_t lost = uint32_t((step + usual / 2) / usual) - 1;
            fprintf(in.s.report, "Video pictures lost before PTS 0x%08x: %u\n", uint32_t(t), lost);
            in.s.repairs.loss_places += 1;
            in.s.repairs.lost_pictures += lost;
        } else if (!p.data_lost && (step < -45000 || step > 45000)) {
            in.call.timing.video_jumped = 1;
            in.call.timing.video_jump = step;
            in.call.timing.video_jump_to = t;
        }
    } else if (step > 0 && step < 45000) {
        p.usual_step = uint32_t(step);
        in.call.timing.video_step = uint32_t(step);
    }
    p.data_lost = 0;
}

void pts_only_complete(instance& in) {
    pes_parser& p = in.p;
    const uint64_t pts = p.pts_accumulator;
    p.current_pts = pts;
    if (in.video) {
        raise_max(in.s, pts);
        p.header_had_dts = 0;
        if (in.s.dump_pts) {
            if (p.timestamp_count == 0)
                fprintf(in.s.report, "Video PTS(B) = %d\n", int32_t(uint32_t(pts)));
            else
                fprintf(in.s.report, "Video PTS(B) = %d, %d\n", int32_t(uint32_t(pts)),
                        int32_t(uint32_t(pts - p.previous_timestamp)));
        }
        in.s.last_pts_step = pts - p.previous_timestamp;
        video_step(in, pts);
        p.timestamp_count += 1;
        p.previous_timestamp = pts;
        if (p.header_remaining == 0) enter_payload(in);
    } else {
        raise_max(in.s, pts);
        p.pts_arrived = 1;
        if (in.s.dump_pts)
            fprintf(in.s.report, "Audio PTS = %d, %d\r\n", int32_t(uint32_t(pts)),
                    int32_t(uint32_t(pts - p.previous_timestamp)));
        in.s.last_pts_step = pts - p.previous_timestamp;
        p.previous_timestamp = pts;
        if (p.header_remaining != 0) return;
        if (in.s.handler == stream_handler::lpcm_audio)
            p.lpcm_countdown = 4;
        else
            enter_payload(in);
    }
}

void pts_of_pair_complete(instance& in) {
    pes_parser& p = in.p;
    const uint64_t pts = p.pts_accumulator;
    p.current_pts = pts;
    if (in.video) {
        p.header_had_dts = 1;
        raise_max(in.s, pts);
    } else {
        p.pts_arrived = 1;
        raise_max(in.s, pts);
        in.s.last_pts_step = pts - p.previous_timestamp;
        p.previous_timestamp = pts;
    }
}

void dts_complete(instance& in) {
    pes_parser& p = in.p;
    if (in.video) {
        const uint64_t dts = p.dts_accumulator;
        if (in.s.dump_pts) {
            if (p.timestamp_count == 0)
                fprintf(in.s.report, "Video PTS(P) = %d, DTS(P) = %d\n", int32_t(uint32_t(p.current_pts)),
                        int32_t(uint32_t(dts)));
            else
                fprintf(in.s.report, "Video PTS(P) = %d, DTS(P) = %d, %d\n", int32_t(uint32_t(p.current_pts)),
                        int32_t(uint32_t(dts)), int32_t(uint32_t(dts - p.previous_timestamp)));
        }
        in.s.last_pts_step = dts - p.previous_timestamp;
        video_step(in, dts);
        p.timestamp_count += 1;
        p.previous_timestamp = dts;
    }
    if (p.header_remaining == 0) enter_payload(in);
}

// The last flag byte (PES_header_data_length) of the header.
void header_data_length(instance& in, uint8_t b) {
    pes_parser& p = in.p;
    p.header_remaining = b;
    append(p, b);
    // A header too short for the time stamps its flags announce is damaged: its time
    // stamps are not read, and its payload begins where its length says.
    if ((p.pts_dts_flags & 0xC0) == 0x80 && b >= 5)
        p.pts_only_countdown = 5;
    else if (p.pts_dts_flags >= 0xC0 && b >= 10)
        p.pts_dts_countdown = 10;
    if (b == 0) enter_payload(in);
}

void header_byte(instance& in, uint8_t b) {
    pes_parser& p = in.p;
    if (is_start_code(in)) {
        p.ended = 0;
        p.length_phase = 2;
        p.header_buffer[0] = 0x00;
        p.header_buffer[1] = 0x00;
        p.header_buffer[2] = 0x01;
        p.header_buffer[3] = b;
        p.header_length = 4;
    } else if (p.length_phase == 2) {
        p.length_phase = 1;
        append(p, b);
    } else if (p.length_phase == 1) {
        p.length_phase = 0;
        p.packet_remaining = p.start_register & 0xFFFF;
        if (in.video && p.packet_remaining == 0) p.packet_remaining = unbounded;
        p.flags_countdown = 3;
        append(p, b);
    } else if (p.flags_countdown != 0) {
        count_down(in);
        const uint32_t position = p.flags_countdown;
        p.flags_countdown -= 1;
        if (position == 3) {
            append(p, b);
        } else if (position == 2) {
            p.pts_dts_flags = b;
            append(p, b);
        } else {
            header_data_length(in, b);
        }
    } else if (p.pts_only_countdown != 0) {
        count_down(in);
        p.header_remaining -= 1;
        p.pts_only_countdown -= 1;
        append(p, b);
        assemble(p.pts_accumulator, 5 - p.pts_only_countdown, b);
        if (p.pts_only_countdown == 0) pts_only_complete(in);
    } else if (p.pts_dts_countdown != 0) {
        count_down(in);
        p.header_remaining -= 1;
        p.pts_dts_countdown -= 1;
        append(p, b);
        const uint32_t left = p.pts_dts_countdown;
        if (left >= 5) {
            assemble(p.pts_accumulator, 10 - left, b);
            if (left == 5) pts_of_pair_complete(in);
        } else {
            if (in.video) assemble(p.dts_accumulator, 5 - left, b);
            if (left == 0) dts_complete(in);
        }
    } else if (!in.video && p.lpcm_countdown != 0) {
        count_down(in);
        p.lpcm_countdown -= 1;
        if (p.lpcm_countdown == 0) {
            p.lpcm_header = uint16_t(p.start_register);
            enter_payload(in);
        }
    } else if (p.header_remaining != 0) {
        count_down(in);
        append(p, b);
        p.header_remaining -= 1;
        if (p.header_remaining == 0) enter_payload(in);
    }
}

uint32_t feed(instance in, uint8_t* data, uint32_t available) {
    pes_parser& p = in.p;
    p.start_register = (p.start_register << 8) | *data;
    if (!p.in_payload) {
        if (p.ended && p.tail_length < sizeof p.tail) p.tail[p.tail_length++] = *data;
        // A unit start whose payload does not begin with a start code was damaged (zeroed
        // by a receiver, say): for aligned audio its bytes are the stream's after a loss.
        if (p.unit_checked < 3 && *data != (p.unit_checked == 2 ? 1 : 0)) {
            p.unit_checked = 3;
            stream_lost_data(in.s, false);
            if (p.in_payload) return feed(in, data, available);
        }
        p.unit_checked += p.unit_checked < 3;
        header_byte(in, *data);
        return 1;
    }
    const uint32_t n = std::min(available, p.packet_remaining);
    dispatch_run(in.call, data, n);
    if (!in.video) p.pts_arrived = 0;
    count_down(in, n);
    // Video with a handler runs on to the next unit start: muxers declare lengths that
    // fall short of what they carry (a trailing zero byte of the stream, or hundreds of
    // bytes), and those bytes are the stream's. PES output (option z) keeps the packets
    // as declared; audio keeps to the declared length.
    if (p.packet_remaining == 0) {
        if (in.video && !in.s.pes_output && in.s.handler != stream_handler::raw)
            p.packet_remaining = unbounded;
        else
            p.in_payload = 0, p.ended = !in.video;
    }
    return n;
}

}  // namespace

namespace {

// Audio whose frames are found by their sync words, written as elementary stream.
bool aligned(const chosen_stream& s) {
    return s.kind == stream_kind::audio && !s.pes_output && s.handler >= stream_handler::mpeg_audio &&
           s.handler <= stream_handler::dts_audio;
}

// The bytes up to the next unit start go to the handler, whatever the declared length.
void take_to_unit_start(chosen_stream& s) {
    s.pes.ended = 0;
    s.pes.tail_length = 0;
    if (!aligned(s)) return;
    s.pes.in_payload = 1;
    s.pes.packet_remaining = 0xFFFF;
}

}  // namespace

void pes_unit_start(chosen_stream& s) {
    s.pes.in_payload = 0;
    s.pes.unit_checked = 0;
    s.pes.ended = 0;
    s.pes.tail_length = 0;
    s.pes.headerless = 0;
}

void stream_lost_data(chosen_stream& s, bool unit_start) {
    s.pes.data_lost = 1;
    if (unit_start) return;
    take_to_unit_start(s);
}

void pes_continues_headerless(stream_call& sc) {
    pes_parser& p = sc.stream.pes;
    uint8_t tail[sizeof p.tail];
    const uint32_t n = aligned(sc.stream) ? p.tail_length : 0;
    memcpy(tail, p.tail, n);
    take_to_unit_start(sc.stream);
    p.headerless = aligned(sc.stream);
    if (n) dispatch_run(sc, tail, n);
}

uint32_t feed_pes(stream_call& sc, uint8_t* data, uint32_t available) {
    chosen_stream& s = sc.stream;
    return feed({s.pes, s.kind == stream_kind::video, s, sc}, data, available);
}
