// The real transform: halfcomplex layout, 1/sqrt(n) scaling, any length; large transforms, which
// FFTW splits over its own threads, from several threads at once.
#include "dsp/fftf.h"
#include "platform/util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

static std::vector<float> noise(int n, uint32_t seed)
{
    wrsrand(seed);
    std::vector<float> v((size_t)n);
    for (float& x : v)
        x = dblrand();
    return v;
}

TEST(DspFft, RealAndComplexMatchTheDefinitionAndRoundTripAnyLength)
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
        EXPECT_TRUE(std::equal(x.begin(), x.end(), y.begin(), [](float a, float b) { return std::fabs(a - b) <= 2e-5f; })) << n;
    }
    EXPECT_EQ(fftf(nullptr, nullptr, 0, FFT_FORWARD), 0);

    // The complex inverse transform against its definition, for even, odd and prime lengths.
    for (int n : {1, 2, 9, 12, 97, 1000}) {
        std::vector<float> z = noise(2 * n, n), out = z;
        ASSERT_EQ(fftc_inverse(out.data(), n), 1);
        for (int j = 0; j < n; j++) {
            double re = 0, im = 0;
            for (int k = 0; k < n; k++) {
                const double a = 2 * M_PI * (double)j * k / n;
                re += z[2 * k] * cos(a) - z[2 * k + 1] * sin(a);
                im += z[2 * k] * sin(a) + z[2 * k + 1] * cos(a);
            }
            ASSERT_NEAR(out[2 * j], re, 1e-4 * sqrt(n)) << "n=" << n << " at " << j;
            ASSERT_NEAR(out[2 * j + 1], im, 1e-4 * sqrt(n)) << "n=" << n << " at " << j;
        }
    }
    EXPECT_EQ(fftc_inverse(nullptr, 4), 0);
}

// A cosine on bin k0 of a transform large enough to be split: every caller gets the same
// spectrum, sqrt(n)/2 on bin k0 and nothing elsewhere, and the inverse gives the cosine back.
TEST(ThreadsFft, LargeTransformsFromSeveralThreadsAtOnce)
{
    const int n = 1 << 21, k0 = 12345;
    std::vector<float> x((size_t)n);
    for (int j = 0; j < n; j++)
        x[j] = (float)cos(2 * M_PI * (double)k0 * j / n);
    std::vector<std::vector<float>> out(3, std::vector<float>((size_t)n));
    std::vector<std::thread> callers;
    for (auto& o : out)
        callers.emplace_back([&x, &o, n] { fftf(x.data(), o.data(), n, FFT_FORWARD); });
    for (std::thread& t : callers)
        t.join();
    EXPECT_TRUE(out[0] == out[1] && out[0] == out[2]);
    EXPECT_NEAR(out[0][k0], sqrt(n) / 2, 1e-2);
    std::vector<float> stray = out[0];
    stray[k0] = 0.f;
    EXPECT_LT(std::fabs(*std::max_element(stray.begin(), stray.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); })),
              1e-2f);
    fftf(out[0].data(), out[0].data(), n, FFT_INVERSE);
    for (int j = 0; j < n; j += 997)
        ASSERT_NEAR(out[0][j], x[j], 1e-4f) << j;
}
