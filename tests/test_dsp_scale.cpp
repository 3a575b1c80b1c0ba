// Frequency axis, notes, image and block geometry, transform sizes and the interpolation kernel.
#include "dsp/scale.h"
#include "core/state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

TEST(DspScale, AxisEndsInversesAndShapeForEachBase)
{
    for (float base : {1.f, 1.5f, 2.f}) {
        LOGBASE = base;
        EXPECT_TRUE(std::fabs(log_pos(0.f, 27.5f, 20000.f) - 27.5f) <= 1e-3f && std::fabs(log_pos(1.f, 27.5f, 20000.f) - 20000.f) <= 0.5f)
            << base;
        float prev = -INFINITY;
        for (float x = -0.1f; x <= 1.1f; x += 0.05f) {
            float f = log_pos(x, 0.000623f, 0.4535f); // fractions of the sample rate work alike
            EXPECT_GT(f, prev) << base;
            prev = f;
            EXPECT_NEAR(log_pos_inv(f, 0.000623f, 0.4535f), x, 2e-4f) << "base " << base << " x " << x;
            EXPECT_EQ(log_pos_b(x, 0.000623f, 0.4535f, base), f);
        }
    }
    LOGBASE = 2.f;
    EXPECT_NEAR(log_pos(0.5f, 100.f, 400.f), 200.f, 1e-3f);
    EXPECT_NEAR(log_bf(1024.f), 10.f, 1e-5f);
    float mid = log_pos_b(0.5f, 100.f, 400.f, 1.5f); // between the geometric and the linear middle
    EXPECT_TRUE(mid > 200.f && mid < 250.f) << mid;
    EXPECT_NEAR(log_pos_inv_b(175.f, 100.f, 400.f, 0.5f), 0.25f, 1e-6f); // below 1: linear
}

TEST(DspScale, NotesHeightsBlockLengthsAndFastSizes)
{
    EXPECT_FLOAT_EQ(note_to_freq(57.f), 440.f);
    EXPECT_FLOAT_EQ(freq_to_note(880.f), 69.f);
    EXPECT_TRUE(!strcmp(NOTE_NAMES[note_in_octave(-1)], "B") && note_octave(-1) == -1);
    EXPECT_TRUE(image_height(27.5f, 20000.f, 60.f) == 571 && image_height(110.f, 220.f, 12.f) == 13);
    SOUND_SAMPLERATE = 44100;
    // 2 * 3528 = 7056 and 44100 (which has the factor 7^2) raised to 5-smooth lengths.
    for (auto [bw, want] : {std::pair{16, 7200}, {100, 45000}}) {
        int len = 0;
        init_block_len(bw, &len, 100.f);
        EXPECT_EQ(len, want) << bw;
    }

    for (int i = 0; i < FFT_SIZE_COUNT; i++) {
        EXPECT_LE(find_largest_prime_factor(fft_size[i]), 5) << fft_size[i];
        EXPECT_EQ(next_fast_fft_size(fft_size[i] - 1), fft_size[i]);
    }
    // 6718464 = 2^10 3^8 lies beyond the table.
    for (auto [n, want] : {std::pair{61, 64}, {81, 100}, {-5, 60}, {6635521, 6718464}})
        EXPECT_EQ(next_fast_fft_size(n), want) << n;
    for (auto [n, want] : {std::pair{1, 1}, {7, 8}, {2188, 2250}})
        EXPECT_EQ(nextlprime(n), want) << n;
    for (auto [n, want] : {std::pair{1, 2}, {7056, 7}, {6 * 1000003, 1000003}, {17 * 17 * 4, 17}})
        EXPECT_EQ(find_largest_prime_factor(n), want) << n;
}

TEST(DspScale, KernelValuesSumsAndInterpolation)
{
    bmsq_lut();
    const float s = BMSQ_LUT_SIZE / 3.f;
    auto kernel = [s](float d) { // at offset d, interpolated as the resampler does
        float u = (d + 1.5f) * s;
        int idx = (int)u;
        return lut[idx] + (lut[idx + 1] - lut[idx]) * fmodf(u, 1.f);
    };
    for (auto [d, want] : {std::pair{0.f, 1.3184f}, {-0.5f, 0.75f}, {1.f, 0.0908f}, {-1.5f, 0.f}})
        EXPECT_NEAR(kernel(d), want, want > 0 ? 1e-4f : 1e-6f) << d;
    for (float phase = 0.f; phase < 1.f; phase += 0.0625f) // phase + 1.5 is outside the support
        EXPECT_NEAR(kernel(phase - 1.5f) + kernel(phase - 0.5f) + kernel(phase + 0.5f), 1.5f, 2e-4f) << phase;

    std::vector<float> in(40, 1.f), out(157, 7.f);
    blackman_square_interpolation(in.data(), out.data(), 40, 0);
    EXPECT_EQ(out, std::vector<float>(157, 7.f));
    blackman_square_interpolation(in.data(), out.data(), 40, 157); // adds, never replaces
    for (int i = 8; i < 150; i++)
        ASSERT_NEAR(out[i], 8.5f, 6e-4f) << i;
    // Output i sits at input position i * in_len / out_len: at whole and half positions the
    // symmetric kernel gives a ramp back as a ramp.
    std::iota(in.begin(), in.end(), 0.f);
    std::fill(out.begin(), out.end(), 0.f);
    blackman_square_interpolation(in.data(), out.data(), 40, 80);
    for (int i = 4; i < 76; i++)
        ASSERT_NEAR(out[i], 0.75f * i, 2e-3f) << i;
}
