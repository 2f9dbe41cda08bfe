// Video bit-rate estimate over the most recent 300 coded pictures.
//
// Two rings of 1024 entries pair the size of a picture (stored at the start code that
// ends it) with a display duration in fields or frames (stored once the next picture's
// header tells it). Each step past the warm-up closes one entry; from the 300th closed
// entry on, every step re-sums the 300 newest entries and turns them into bits per second.
#include "core/stream.h"
#include "video/video.h"

void rate_estimator_bits(stream_call&, rate_estimator& est, uint32_t bits) {
    if (est.warm) est.bits[est.head] = bits;
}

void rate_estimator_fields(stream_call&, rate_estimator& est, uint32_t n) {
    est.fields[est.head] = n;
}

void rate_estimator_step(stream_call& sc, rate_estimator& est, uint32_t factor, long double frame_rate) {
    // The first duration arrives before any size has been stored for it: it is dropped by
    // leaving the ring where it is, so the next duration overwrites it.
    if (!est.warm) {
        est.warm = 1;
        return;
    }
    est.head = (est.head + 1) % rate_ring_size;
    if (++est.filled != rate_window) return;
    est.filled = rate_window - 1;

    // Both sums are exact: 300 values of 32 bits fit 64-bit integers, and those convert
    // exactly to the 64-bit significand of the extended-precision arithmetic below.
    uint64_t bits_sum = 0;
    uint64_t fields_sum = 0;
    for (uint32_t k = 0; k < rate_window; ++k) {
        const uint32_t at = (est.tail + k) % rate_ring_size;
        bits_sum += est.bits[at];
        fields_sum += est.fields[at];
    }
    const long double total_bits = static_cast<long double>(bits_sum);
    const long double total_fields = static_cast<long double>(fields_sum);
    est.tail = (est.tail + 1) % rate_ring_size;

    // Mean picture size times pictures per second: factor / F is 2 over the mean field
    // count per picture (factor 600), or 1 over the mean frame count (factor 300).
    if (total_fields == 0) {
        sc.timing.video_rate = 0;
        return;
    }
    const long double rate =
        (total_bits / rate_window) * (frame_rate * (static_cast<long double>(factor) / total_fields));
    // A frame rate read from a damaged or reserved header can make the estimate infinite,
    // NaN or too large for a 64-bit integer; converting such a value is undefined, so it
    // leaves the previous estimate standing.
    constexpr long double int64_limit = 9223372036854775808.0L;  // 2^63
    if (!(rate > -int64_limit && rate < int64_limit)) return;
    sc.timing.video_rate = static_cast<uint32_t>(static_cast<int64_t>(rate));
}
