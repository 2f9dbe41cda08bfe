// Audio under stream_type 0x06 that no descriptor names: its handler is told by the first
// bytes of its first PES payload (see audio_handler_from_start). Those bytes may arrive
// split over runs and transport packets, so they are held here until they tell, and then
// handed on as if they had come in one run, with the time stamp they came with; the rest
// goes on as usual. A PES payload too short to tell is decided when the next one begins.
#include <cstring>

#include "core/stream.h"
#include "pes/pes.h"
#include "psi/psi.h"

namespace {

// Sets the handler from the held bytes and hands them to it, as their own run.
void release(stream_call& sc) {
    chosen_stream& s = sc.stream;
    pes_parser& p = s.pes;
    stream_handler handler;
    audio_handler_from_start(p.start_bytes, p.start_count, handler);
    s.handler = handler;
    s.undecided = 0;
    stream_handler_setup(s);

    uint8_t held[sizeof p.start_bytes];
    const uint32_t n = p.start_count;
    std::memcpy(held, p.start_bytes, n);
    p.start_count = 0;
    const uint64_t pts = p.current_pts;
    const uint8_t arrived = p.pts_arrived;
    p.current_pts = p.start_pts;
    p.pts_arrived = p.start_pts_arrived;
    dispatch_run(sc, held, n);
    p.current_pts = pts;
    p.pts_arrived = arrived;
}

}  // namespace

void decide_audio_start(stream_call& sc) { release(sc); }

bool take_audio_start(stream_call& sc, uint8_t*& bytes, uint32_t& count) {
    pes_parser& p = sc.stream.pes;
    if (count == 0) return false;
    if (p.start_count == 0) {
        p.start_pts = p.current_pts;
        p.start_pts_arrived = p.pts_arrived;
    }
    stream_handler handler;
    uint32_t taken = 0;
    bool told = false;
    while (!told && taken < count && p.start_count < sizeof p.start_bytes) {
        p.start_bytes[p.start_count++] = bytes[taken++];
        told = audio_handler_from_start(p.start_bytes, p.start_count, handler);
    }
    if (!told) return false;
    release(sc);
    // The PTS flag went with the held bytes; the rest of this payload follows them.
    p.pts_arrived = 0;
    bytes += taken;
    count -= taken;
    return count > 0;
}
