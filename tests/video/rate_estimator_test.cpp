// Video bit-rate estimator, driven directly as a handler drives it: per picture the size
// of the picture that just ended, then the new picture's duration, then a step.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>

#include "core/context.h"

namespace {

struct estimator_run {
    std::unique_ptr<chosen_stream> stream = std::make_unique<chosen_stream>();
    shared_timing timing;
    stream_call sc{*stream, timing};
    rate_estimator est;

    // Picture p (from 1): bits of picture p - 1, then p's duration, then the step.
    void picture(uint32_t bits_of_previous, uint32_t n, uint32_t factor, long double rate) {
        rate_estimator_bits(sc, est, bits_of_previous);
        rate_estimator_fields(sc, est, n);
        rate_estimator_step(sc, est, factor, rate);
    }
    uint32_t rate() const { return timing.video_rate; }
};

}  // namespace

TEST(RateEstimator, ConstantPictureSizes) {
    const uint32_t s = 123457;
    // Interlaced 25 Hz, 2 fields per picture.
    estimator_run interlaced;
    for (int p = 1; p <= 300; ++p) interlaced.picture(s, 2, 600, 25.0L);
    EXPECT_EQ(interlaced.rate(), 0u);  // 300 steps: still filling
    interlaced.picture(s, 2, 600, 25.0L);
    EXPECT_EQ(interlaced.rate(), 25u * s);
    // The ring wraps after 1024 entries; the window stays 300 long.
    for (int p = 0; p < 2000; ++p) interlaced.picture(s, 2, 600, 25.0L);
    EXPECT_EQ(interlaced.rate(), 25u * s);

    // Progressive 50 Hz, 1 frame per picture.
    estimator_run progressive;
    for (int p = 1; p <= 301; ++p) progressive.picture(s, 1, 300, 50.0L);
    EXPECT_EQ(progressive.rate(), 50u * s);

    // 3:2 pulldown at 30000/1001: fields alternate 2 and 3, 750 over a window.
    const long double ntsc = static_cast<long double>(30000.0 / 1001.0);
    estimator_run pulldown;
    for (int p = 1; p <= 301; ++p) pulldown.picture(s, p % 2 ? 2 : 3, 600, ntsc);
    const long double expected = static_cast<long double>(s) * (ntsc * (600.0L / 750.0L));
    EXPECT_EQ(pulldown.rate(), uint32_t(int64_t(expected)));
    EXPECT_EQ(pulldown.rate(), 2960007u);  // 2960007.99: truncated, not rounded
}

TEST(RateEstimator, FirstWindowPairsSizesWithTheNextDurations) {
    // Picture 1 warms the estimator; the estimate at picture 301 covers the sizes of
    // pictures 1..300 and the durations of pictures 2..301. Picture 1's duration and
    // picture 301's size are left out, so making them extreme must not show.
    auto size_of = [](uint32_t p) { return 1000 + p * 7; };
    auto duration_of = [](uint32_t p) { return p == 1 ? 1000000u : 2 + p % 2; };
    estimator_run run;
    run.picture(99999999, duration_of(1), 600, 25.0L);
    for (uint32_t p = 2; p <= 301; ++p) run.picture(size_of(p - 1), duration_of(p), 600, 25.0L);
    long double b = 0, f = 0;
    for (uint32_t p = 1; p <= 300; ++p) b += size_of(p);
    for (uint32_t p = 2; p <= 301; ++p) f += duration_of(p);
    EXPECT_EQ(run.rate(), uint32_t(int64_t((b / 300) * (25.0L * (600.0L / f)))));

    // The next step moves the window by one picture.
    run.picture(size_of(301), duration_of(302), 600, 25.0L);
    b += size_of(301) - size_of(1);
    f += duration_of(302) - duration_of(2);
    EXPECT_EQ(run.rate(), uint32_t(int64_t((b / 300) * (25.0L * (600.0L / f)))));
}

TEST(RateEstimator, ZeroDurationsGiveZero) {
    estimator_run run;
    for (int p = 1; p <= 301; ++p) run.picture(5000, 2, 600, 25.0L);
    ASSERT_NE(run.rate(), 0u);
    for (int p = 0; p < 300; ++p) run.picture(5000, 0, 600, 25.0L);
    EXPECT_EQ(run.rate(), 0u);
}

TEST(RateEstimator, UnusableEstimateLeavesTheLastOne) {
    // A frame rate that makes the estimate non-finite or too large for an integer keeps
    // the previous value; a usable one afterwards is taken again.
    const long double unusable[] = {std::numeric_limits<long double>::infinity(),
                                    -std::numeric_limits<long double>::infinity(),
                                    std::numeric_limits<long double>::quiet_NaN(), 1e30L, -1e30L};
    for (long double bad : unusable) {
        estimator_run run;
        for (int p = 1; p <= 301; ++p) run.picture(5000, 2, 600, 25.0L);
        ASSERT_EQ(run.rate(), 125000u);
        run.picture(5000, 2, 600, bad);
        EXPECT_EQ(run.rate(), 125000u) << double(bad);
        run.picture(5000, 2, 600, 50.0L);
        EXPECT_EQ(run.rate(), 250000u) << double(bad);
    }
}
