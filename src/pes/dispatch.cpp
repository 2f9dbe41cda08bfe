// Handler dispatch of the PES layer: each payload run goes to the stream handler that the
// stream type calls for, or is written unchanged when the type has none.
#include "audio/audio.h"
#include "driver/context.h"
#include "pes/pes.h"
#include "video/video.h"

namespace {

void raw_write(const context& ctx, FILE* out, const uint8_t* bytes, uint32_t count) {
    if (!ctx.options.parse_only && out) fwrite(bytes, 1, count, out);
}

}  // namespace

void dispatch_video_run(context& ctx, uint8_t* bytes, uint32_t count) {
    const pes_parser& p = ctx.video_pes;
    switch (ctx.selection.video_stream_type) {
    case 0x01: case 0x02: case 0x80:  // MPEG-1/MPEG-2 video (0x80 outside HDMV)
        handle_mpeg2_video(ctx, bytes, count, p.current_pts, p.pts_flag);
        break;
    default:
        raw_write(ctx, ctx.sinks.video_out, bytes, count);
        break;
    }
}

void dispatch_audio_run(context& ctx, uint8_t* bytes, uint32_t count) {
    const pes_parser& p = ctx.audio_pes;
    switch (ctx.selection.audio_stream_type) {
    case 0x03: case 0x04:  // MPEG-1/MPEG-2 audio
        handle_mpeg_audio(ctx, bytes, count, p.current_pts, p.pts_flag);
        break;
    case 0x06: case 0x81:  // AC-3, DVB and ATSC style
        handle_ac3_audio(ctx, bytes, count, p.current_pts, p.pts_flag);
        break;
    case 0x80:  // HDMV LPCM
        handle_lpcm_audio(ctx, bytes, count, p.current_pts, p.pts_flag, p.lpcm_header);
        break;
    default:
        raw_write(ctx, ctx.sinks.audio_out, bytes, count);
        break;
    }
}
