// Handler dispatch of the PES layer: each payload run goes to the stream handler that the
// stream type calls for, or is written unchanged when the type has none.
#include "audio/audio.h"
#include "core/context.h"
#include "pes/pes.h"
#include "video/video.h"

namespace {

void raw_write(const context& ctx, FILE* out, uint64_t& written, const uint8_t* bytes, uint32_t count) {
    if (!ctx.options.parse_only) sink_write(out, written, bytes, count);
}

}  // namespace

void dispatch_video_run(context& ctx, uint8_t* bytes, uint32_t count) {
    const pes_parser& p = ctx.video_pes;
    switch (ctx.selection.video_handler) {
    case stream_handler::mpeg2_video:
        handle_mpeg2_video(ctx, bytes, count, p.current_pts, p.header_had_dts);
        break;
    case stream_handler::vc1_video:
        handle_vc1_video(ctx, bytes, count, p.current_pts);
        break;
    case stream_handler::h264_video:
        handle_h264_video(ctx, bytes, count, p.current_pts);
        break;
    case stream_handler::hevc_video:
        handle_hevc_video(ctx, bytes, count, p.current_pts);
        break;
    default:
        raw_write(ctx, ctx.sinks.video_out, ctx.sinks.video_written, bytes, count);
        break;
    }
}

void dispatch_audio_run(context& ctx, uint8_t* bytes, uint32_t count) {
    if (ctx.selection.audio_undecided && !take_audio_start(ctx, bytes, count)) return;
    const pes_parser& p = ctx.audio_pes;
    switch (ctx.selection.audio_handler) {
    case stream_handler::mpeg_audio:
        handle_mpeg_audio(ctx, bytes, count, p.current_pts, p.pts_arrived);
        break;
    case stream_handler::ac3_audio:
        handle_ac3_audio(ctx, bytes, count, p.current_pts, p.pts_arrived);
        break;
    case stream_handler::aac_adts_audio:
        handle_aac_audio(ctx, bytes, count, p.current_pts, p.pts_arrived);
        break;
    case stream_handler::aac_latm_audio:
        handle_latm_audio(ctx, bytes, count, p.current_pts, p.pts_arrived);
        break;
    case stream_handler::dts_audio:
        handle_dts_audio(ctx, bytes, count, p.current_pts, p.pts_arrived);
        break;
    case stream_handler::lpcm_audio:
        handle_lpcm_audio(ctx, bytes, count, p.current_pts, p.pts_arrived, p.lpcm_header);
        break;
    default:
        raw_write(ctx, ctx.sinks.audio_out, ctx.sinks.audio_written, bytes, count);
        break;
    }
}
