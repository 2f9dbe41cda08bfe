// PES time stamps kept as marks at the stream offset of the first payload byte after
// their header, until a frame whose start is certain takes the latest one at or before
// its first byte (see audio_pts_marks in audio.h).
#include <cstring>

#include "audio/frame_output.h"

namespace {

void drop_marks(audio_pts_marks& m, uint32_t n) {
    memmove(m.at, m.at + n, (m.count - n) * sizeof m.at[0]);
    memmove(m.pts, m.pts + n, (m.count - n) * sizeof m.pts[0]);
    m.count -= n;
}

}  // namespace

void add_mark(audio_aligner& a, uint64_t pts) {
    audio_pts_marks& m = a.marks;
    const uint64_t at = a.position;
    while (m.count > 0 && m.at[m.count - 1] >= at) --m.count;  // a header without payload
    // Frames yet to start begin at or after `floor`: of the marks up to it only the
    // latest can still be taken.
    const uint64_t floor = a.synced && (!a.confirmed || a.lost) ? a.candidate_start : at - 1;
    uint32_t stale = 0;
    while (stale + 1 < m.count && m.at[stale + 1] <= floor) ++stale;
    if (m.count - stale == audio_marks) ++stale;
    drop_marks(m, stale);
    m.at[m.count] = at;
    m.pts[m.count] = pts;
    ++m.count;
}

// The time stamp of a frame whose first sync byte is at stream offset `lead`: the latest
// mark at or before it, which is used up with the older ones. False when there is none.
bool take_mark(audio_aligner& a, uint64_t lead) {
    audio_pts_marks& m = a.marks;
    uint32_t n = 0;
    while (n < m.count && m.at[n] <= lead) ++n;
    if (n == 0) return false;
    a.frame_pts = m.pts[n - 1];
    drop_marks(m, n);
    return true;
}

