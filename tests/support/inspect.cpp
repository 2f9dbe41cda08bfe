#include "inspect.h"

namespace kt {

std::unique_ptr<capture> run_capture(const bytes& input, const chunking& how, const setup_fn& setup) {
    auto cap = std::make_unique<capture>(true);
    if (setup) setup(cap->ctx());
    if (cap->ctx().options.parse_only) {
        fclose(cap->ctx().sinks.video_out);
        fclose(cap->ctx().sinks.audio_out);
        cap->ctx().sinks = {};
    }
    demux_init(cap->ctx());
    feed(cap->ctx(), input, how);
    return cap;
}

}  // namespace kt
