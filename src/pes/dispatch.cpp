// The handler table: for each handler kind, how its state is made and which entries take
// its payload runs. A new codec is one row here, one reader and one stream-type entry.
#include "audio/audio.h"
#include "core/stream.h"
#include "pes/pes.h"
#include "video/video.h"

namespace {

void raw_write(stream_call& sc, uint8_t* bytes, uint32_t count) {
    if (!sc.stream.parse_only) sink_write(sc.stream.out, bytes, count);
}

template <class State>
bool make(chosen_stream& s) {
    s.state.emplace<State>();
    return true;
}

template <audio_syntax syntax>
bool make_aligner(chosen_stream& s) {
    return audio_aligner_setup(s.state.emplace<audio_aligner>(), syntax);
}

struct handler_row {
    stream_handler handler;
    bool (*setup)(chosen_stream&);
    handler_entry run;
    handler_entry run_per_byte;
};

constexpr handler_row handler_rows[] = {
    {stream_handler::raw, make<std::monostate>, raw_write, raw_write},
    {stream_handler::mpeg2_video, make<mpeg2_state>, handle_mpeg2_video, handle_mpeg2_video_per_byte},
    {stream_handler::h264_video, make<h264_state>, handle_h264_video, handle_h264_video_per_byte},
    {stream_handler::vc1_video, make<vc1_state>, handle_vc1_video, handle_vc1_video_per_byte},
    {stream_handler::hevc_video, make<hevc_state>, handle_hevc_video, handle_hevc_video_per_byte},
    {stream_handler::mpeg_audio, make_aligner<audio_syntax::mpeg>, handle_aligned_audio, handle_aligned_audio_per_byte},
    {stream_handler::ac3_audio, make_aligner<audio_syntax::ac3>, handle_aligned_audio, handle_aligned_audio_per_byte},
    {stream_handler::aac_adts_audio, make_aligner<audio_syntax::adts>, handle_aligned_audio,
     handle_aligned_audio_per_byte},
    {stream_handler::aac_latm_audio, make_aligner<audio_syntax::latm>, handle_aligned_audio,
     handle_aligned_audio_per_byte},
    {stream_handler::dts_audio, make_aligner<audio_syntax::dts>, handle_aligned_audio, handle_aligned_audio_per_byte},
    {stream_handler::lpcm_audio, make<lpcm_state>, handle_lpcm_audio, handle_lpcm_audio},
};

// The rows stand in the order of the handler kinds, so that a kind is its row's index.
constexpr bool rows_in_order() {
    for (uint32_t k = 0; k < sizeof handler_rows / sizeof handler_rows[0]; ++k)
        if (uint32_t(handler_rows[k].handler) != k) return false;
    return true;
}
static_assert(rows_in_order());

const handler_row& row_of(stream_handler h) { return handler_rows[uint32_t(h)]; }

}  // namespace

void stream_handler_release(chosen_stream& s) noexcept {
    if (audio_aligner* a = std::get_if<audio_aligner>(&s.state)) audio_aligner_release(*a);
    s.state.emplace<std::monostate>();
}

bool stream_handler_setup(chosen_stream& s) {
    stream_handler_release(s);
    if (!row_of(s.handler).setup(s)) return false;
    watch_audio_start(s);
    return true;
}

void stream_handler_finish(stream_call& sc) {
    if (std::holds_alternative<audio_aligner>(sc.stream.state)) audio_aligner_finish(sc);
}

handler_entry handler_entry_of(stream_handler h, bool per_byte) {
    const handler_row& r = row_of(h);
    return per_byte ? r.run_per_byte : r.run;
}

void dispatch_run(stream_call& sc, uint8_t* bytes, uint32_t count) {
    if (sc.stream.undecided || sc.stream.pes.watch) return audio_start_run(sc, bytes, count);
    row_of(sc.stream.handler).run(sc, bytes, count);
}
