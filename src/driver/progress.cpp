// Progress on standard error: how much of the input has been read, the speed, and the time
// left, on one line redrawn in place. Only on a terminal and when the input's size is
// known (files, not pipes); the report on standard output is never touched.
//
// The clock is looked at once every few blocks, never per packet, and the line is
// redrawn at most four times a second.
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "driver/driver.h"

namespace {

constexpr uint64_t redraw_interval = 250000000;  // ns
constexpr uint32_t blocks_between_looks = 16;    // 256 KiB

uint64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000 + uint64_t(t.tv_nsec);
}

}  // namespace

void progress_start(progress_meter& m, uint64_t total_size) {
    m = progress_meter{};
    m.on = total_size > 0 && isatty(2);
    m.total = total_size;
    if (!m.on) return;
    m.start = now_ns();
    m.next_draw = m.start;  // the first look draws: even a short run shows it once
}

void progress_update(progress_meter& m, uint64_t done) {
    if (!m.on || ++m.blocks < blocks_between_looks) return;
    m.blocks = 0;
    const uint64_t now = now_ns();
    if (now < m.next_draw) return;
    m.next_draw = now + redraw_interval;
    const double seconds = double(now - m.start) / 1e9;
    const double rate = double(done) / seconds;
    const uint64_t left = rate > 0 && m.total > done ? uint64_t(double(m.total - done) / rate + 0.5) : 0;
    fprintf(stderr, "\r%5.1f %%  %8.1f MB/s  %llu:%02llu left ", 100.0 * double(done) / double(m.total), rate / 1e6,
            static_cast<unsigned long long>(left / 60), static_cast<unsigned long long>(left % 60));
    m.drawn = true;
}

void progress_end(progress_meter& m) {
    if (m.drawn) fputs("\r                                         \r", stderr);
    m.drawn = false;
}
