// The first payload bytes of an audio stream, where they are to tell its frame syntax.
//
// Held: a 0x06 stream that no descriptor names is handed to no handler until its first
// bytes tell one. Bytes that begin a sync word kavel knows decide at once (see
// audio_handler_from_start); bytes that begin none are searched for frames of every
// syntax as the aligner confirms them (a sync word, and the next one a frame length
// later), since a PES packet need not begin at a frame. The syntax confirmed with the
// fewest bytes takes the stream. With none in the first audio_start_bytes, the stream is
// written as it came.
//
// Watched: a stream whose type or descriptor names an aligned syntax goes to that
// syntax's aligner at once, and its first bytes are also kept here until the aligner
// confirms a frame. Some muxers declare one syntax and carry another (AAC in ADTS under
// 0x03 or 0x04 or under LATM's 0x11, AC-3 under 0x04, LATM under 0x0F): when the kept
// bytes are full and hold no frames of the declared syntax but frames of another, the
// stream goes to that syntax's aligner, which is given the kept bytes anew. Until then
// the declared aligner wrote nothing, as it confirmed nothing. Without frames of any
// syntax the bytes are kept afresh, and the aligner goes on looking.
//
// Either way each run's time stamp is kept with the offset of its first byte, and the
// kept bytes are handed on as runs of their own, each with the time stamp it came with.
// Decisions fall only where the kept bytes end (or a run's time stamp finds no room), so
// they do not depend on how the bytes were cut into runs. With option z the PES headers
// are written as they come, so a held stream decides at the next PES header, and a
// declared one is not watched.
#include <cstring>

#include "audio/frame_headers.h"
#include "core/stream.h"
#include "pes/pes.h"
#include "psi/psi.h"

namespace {

stream_handler handler_of(audio_syntax s) {
    switch (s) {
    case audio_syntax::ac3: return stream_handler::ac3_audio;
    case audio_syntax::mpeg: return stream_handler::mpeg_audio;
    case audio_syntax::adts: return stream_handler::aac_adts_audio;
    case audio_syntax::latm: return stream_handler::aac_latm_audio;
    case audio_syntax::dts: return stream_handler::dts_audio;
    }
    return stream_handler::raw;
}

void hand_on(stream_call& sc, uint8_t* bytes, uint32_t count) {
    handler_entry_of(sc.stream.handler)(sc, bytes, count);
}

void clear(pes_parser& p) {
    p.start_count = 0;
    p.start_marks = 0;
}

// No room for more bytes, or for the time stamp of the run about to be taken.
bool full(const pes_parser& p) {
    if (p.start_count == audio_start_bytes) return true;
    return p.pts_arrived && p.start_marks == audio_start_marks && p.start_mark_at[p.start_marks - 1] != p.start_count;
}

// The run's time stamp, at the offset of its first byte; a header without payload gives
// way to the one after it, as in the aligner.
void mark(pes_parser& p) {
    if (p.start_marks > 0 && p.start_mark_at[p.start_marks - 1] == p.start_count) --p.start_marks;
    p.start_mark_at[p.start_marks] = p.start_count;
    p.start_mark_pts[p.start_marks] = p.current_pts;
    ++p.start_marks;
}

// The stream goes to `handler`, and the kept bytes to it, stretch by stretch with the
// time stamps they came with.
void hand_kept_to(stream_call& sc, stream_handler handler) {
    chosen_stream& s = sc.stream;
    pes_parser& p = s.pes;
    const uint64_t pts = p.current_pts;
    const uint8_t arrived = p.pts_arrived;
    const uint32_t n = p.start_count, marks = p.start_marks;  // the setup clears them
    s.handler = handler;
    s.undecided = 0;
    if (!stream_handler_setup(s)) {
        s.handler = stream_handler::raw;
        stream_handler_setup(s);
    }
    p.watch = 0;
    p.pts_arrived = 0;
    uint32_t from = 0;
    for (uint32_t m = 0; m <= marks; ++m) {
        const uint32_t to = m < marks ? p.start_mark_at[m] : n;
        if (to > from || (m > 0 && p.pts_arrived)) hand_on(sc, p.start_bytes + from, to - from);
        if (m == marks) break;
        p.current_pts = p.start_mark_pts[m];
        p.pts_arrived = 1;
        from = to;
    }
    p.current_pts = pts;
    p.pts_arrived = arrived;
}

void report_pid(const chosen_stream& s) { fprintf(s.report, "Audio on PID %d <0x%04x>", s.pid, s.pid); }

// Held bytes: decided when they tell, or at the last (`last`: nothing more will be held).
void decide_held(stream_call& sc, bool last) {
    chosen_stream& s = sc.stream;
    pes_parser& p = s.pes;
    if (!p.start_seek) {
        stream_handler handler;
        const start_verdict v = audio_handler_from_start(p.start_bytes, p.start_count, handler);
        if (v == start_verdict::told) return hand_kept_to(sc, handler);
        if (v == start_verdict::more && !last) return;
        p.start_seek = 1;
    }
    found_frames f;
    if (find_frames(p.start_bytes, p.start_count, every_syntax, f)) {
        report_pid(s);
        fprintf(s.report, " begins with no sync word; %s frames from byte %u: read as such\n", syntax_name(f.syntax),
                f.at);
        return hand_kept_to(sc, handler_of(f.syntax));
    }
    if (!last && !full(p)) return;
    report_pid(s);
    fprintf(s.report, " shows no frames of a known audio syntax in its first %u bytes: written as it came\n",
            p.start_count);
    hand_kept_to(sc, stream_handler::raw);
}

// The syntax of an aligned handler.
bool syntax_of(stream_handler h, audio_syntax& s) {
    for (audio_syntax k : {audio_syntax::ac3, audio_syntax::mpeg, audio_syntax::adts, audio_syntax::latm,
                           audio_syntax::dts})
        if (handler_of(k) == h) {
            s = k;
            return true;
        }
    return false;
}

bool confirmed(const chosen_stream& s) {
    const audio_aligner* a = std::get_if<audio_aligner>(&s.state);
    return !a || a->confirmed;
}

// Watched bytes, full or at the end of the input: frames of the declared syntax end the
// watch; else frames of another take the stream; else the watch goes on afresh.
void decide_watched(stream_call& sc) {
    chosen_stream& s = sc.stream;
    pes_parser& p = s.pes;
    audio_syntax declared;
    found_frames f;
    if (confirmed(s) || !syntax_of(s.handler, declared) ||
        find_frames(p.start_bytes, p.start_count, syntax_bit(declared), f)) {
        p.watch = 0;
        clear(p);
        return;
    }
    if (!find_frames(p.start_bytes, p.start_count, every_syntax & ~syntax_bit(declared), f)) {
        clear(p);
        return;
    }
    report_pid(s);
    fprintf(s.report, " carries %s, not %s as its type 0x%02x says: read as %s\n", syntax_name(f.syntax),
            syntax_name(declared), s.stream_type, syntax_name(f.syntax));
    hand_kept_to(sc, handler_of(f.syntax));
}

}  // namespace

void watch_audio_start(chosen_stream& s) {
    audio_syntax declared;
    clear(s.pes);
    s.pes.start_seek = 0;
    s.pes.watch = s.kind == stream_kind::audio && !s.undecided && !s.pes_output && syntax_of(s.handler, declared);
}

void audio_start_run(stream_call& sc, uint8_t* bytes, uint32_t count) {
    chosen_stream& s = sc.stream;
    pes_parser& p = s.pes;
    for (;;) {
        if (!s.undecided && !p.watch) return hand_on(sc, bytes, count);
        if (full(p)) {
            if (s.undecided)
                decide_held(sc, true);
            else
                decide_watched(sc);
            continue;
        }
        if (p.pts_arrived) mark(p);
        const uint32_t room = audio_start_bytes - p.start_count;
        const uint32_t k = count < room ? count : room;
        std::memcpy(p.start_bytes + p.start_count, bytes, k);
        p.start_count += k;
        if (!s.undecided) hand_on(sc, bytes, k);
        // The time stamp went with the run's first bytes; the rest of it follows them.
        p.pts_arrived = 0;
        if (s.undecided) {
            decide_held(sc, false);
        } else if (confirmed(s)) {
            p.watch = 0;
            clear(p);
        }
        bytes += k;
        count -= k;
        if (count == 0) return;
    }
}

void decide_audio_start(stream_call& sc) {
    if (sc.stream.pes_output) decide_held(sc, true);
}

void end_audio_start(stream_call& sc) {
    chosen_stream& s = sc.stream;
    if (s.undecided && s.pes.start_count > 0) decide_held(sc, true);
    if (!s.undecided && s.pes.watch) decide_watched(sc);
}
