// The real transform: halfcomplex layout, 1/sqrt(n) scaling, any length. Concurrent use is
// covered by the parallel analysis tests.
#include "dsp/fftf.h"
#include "platform/util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

static std::vector<float> noise(int n, uint32_t seed)
{
    wrsrand(seed);
    std::vector<float> v((size_t)n);
    for (float& x : v)
        x = dblrand();
    return v;
}

TEST(DspFft, MatchesTheDefinitionAndRoundTripsAnyLength)
{
    for (int n = 1; n <= 33; n++) {
        std::vector<float> x = noise(n, n), out((size_t)n);
        ASSERT_EQ(fftf(x.data(), out.data(), n, FFT_FORWARD), 1);
        for (int k = 0; k <= n / 2; k++) {
            double re = 0, im = 0;
            for (int j = 0; j < n; j++) {
                re += x[j] * cos(2 * M_PI * j * k / n) / sqrt(n);
                im -= x[j] * sin(2 * M_PI * j * k / n) / sqrt(n);
            }
            ASSERT_NEAR(out[k], re, 1e-5) << "n=" << n << " bin " << k;
            if (k > 0 && 2 * k != n) {
                ASSERT_NEAR(out[n - k], im, 1e-5) << "n=" << n << " bin " << k;
            }
        }
    }
    for (int n : {97, 1009, 65537, 1000003, 3810240}) { // odd, prime and large
        std::vector<float> x = noise(n, 99), y((size_t)n);
        fftf(x.data(), y.data(), n, FFT_FORWARD);
        fftf(y.data(), y.data(), n, FFT_INVERSE);
        for (int i = 0; i < n; i++)
            ASSERT_NEAR(y[i], x[i], 2e-5f) << "n=" << n << " at " << i;
    }
    EXPECT_EQ(fftf(nullptr, nullptr, 0, FFT_FORWARD), 0);
}
