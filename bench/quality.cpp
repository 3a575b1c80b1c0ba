// Quality figures of the synthesis, measured on a real recording:
//  - lossless round trip of the unedited image: signal-to-noise ratio of the output against the
//    original after fitting one gain, both limited to the image's frequency range;
//  - noise synthesis: correlation, in a log-amplitude domain, of the analysis of the synthesised
//    sound with the image it came from.
//
//   brindlewharf_quality SOUND [seed]     (QUALITY_TRACE=1 also prints the round trip per 0.25 s)
#include "core/records.h"
#include "core/state.h"
#include "document/image.h"
#include "document/sound.h"
#include "dsp/analysis.h"
#include "dsp/fftf.h"
#include "dsp/scale.h"
#include "platform/util.h"
#include "sound/synthesis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// x band-limited to fmin..fmax Hz, extended with zeros to `n` samples first so that the
// limiting (a sharp cut in frequency, which rings far in time) does not wrap the ringing of the
// sound's start round to its end and back: the result keeps all n samples, ringing included.
static std::vector<float> band_limited(const std::vector<float>& x, int n, float fmin, float fmax)
{
    std::vector<float> padded(n, 0.f), spectrum(n);
    std::copy(x.begin(), x.begin() + std::min<size_t>(x.size(), n), padded.begin());
    fftf(padded.data(), spectrum.data(), n, FFT_FORWARD);
    for (int k = 0; k <= n / 2; k++) {
        const float f = (float)k * SOUND_SAMPLERATE / n;
        if (f >= fmin && f <= fmax)
            continue;
        spectrum[k] = 0.f;
        if (k > 0 && k < n - k)
            spectrum[n - k] = 0.f;
    }
    fftf(spectrum.data(), padded.data(), n, FFT_INVERSE);
    return padded;
}

// The synthesised sound as one array of `len` samples.
static std::vector<float> sound_of(const EngineState& es, int len)
{
    std::vector<float> s(len);
    for (int i = 0; i < len; i++)
        s[i] = sound_sample(&es, i);
    return s;
}

// Image correlation in decibels clamped 60 dB below each image's peak.
static double log_correlation(Plane a, Plane b, int w, int h)
{
    auto level = [](float v) { return 20.0 * std::log10(std::max((double)std::fabs(v), 1e-3)); };
    double ma = 0, mb = 0;
    const double n = (double)w * h;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            ma += level(a[y][x]);
            mb += level(b[y][x]);
        }
    ma /= n;
    mb /= n;
    double ab = 0, aa = 0, bb = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const double da = level(a[y][x]) - ma, db = level(b[y][x]) - mb;
            ab += da * db;
            aa += da * da;
            bb += db * db;
        }
    return ab / std::sqrt(aa * bb);
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: brindlewharf_quality SOUND [seed]\n");
        return 2;
    }
    state_reset();
    settings_defaults();
    CORE_COUNT = std::max(core_count(), 1);
    wrsrand(argc > 2 ? (uint32_t)atoi(argv[2]) : 1u);

    ImageStack image{};
    EngineState es{};
    image_stack_init(&image);
    engine_state_init(&es, &image);
    if (!load_sound(argv[1], &es))
        return 1;
    const int len = orig_len;
    std::vector<float> original(orig_snd, orig_snd + len);
    const int w = image.w, h = image.h;

    // Lossless round trip.
    if (!synthesise_all(&es, 1, 0))
        return 1;
    const int padded = next_fast_fft_size(2 * len);
    original = band_limited(original, padded, MIN_FREQ, MAX_FREQ);
    std::vector<float> again = band_limited(sound_of(es, len), padded, MIN_FREQ, MAX_FREQ);
    double xy = 0, yy = 0;
    for (int i = 0; i < padded; i++) {
        xy += (double)original[i] * again[i];
        yy += (double)again[i] * again[i];
    }
    const double g = xy / std::max(yy, 1e-30);
    double signal = 0, noise = 0;
    for (int i = 0; i < padded; i++) {
        signal += (double)original[i] * original[i];
        const double e = original[i] - g * again[i];
        noise += e * e;
    }
    if (getenv("QUALITY_TRACE"))
        for (int seg = 0; seg < len / 11025; seg++) {
            double e2 = 0, s2 = 0;
            for (int i = seg * 11025; i < (seg + 1) * 11025; i++) {
                const double e = original[i] - g * again[i];
                e2 += e * e;
                s2 += (double)original[i] * original[i];
            }
            printf("%5.2f s: %.1f dB\n", seg * 0.25, 10.0 * std::log10(s2 / (e2 + 1e-30)));
        }
    printf("lossless round trip: SNR %.1f dB (gain %.4f) over %d samples\n", 10.0 * std::log10(signal / noise), g, len);

    // Noise synthesis, analysed again with the same settings.
    if (!synthesise_all(&es, 0, 0))
        return 1;
    std::vector<float> noisy = sound_of(es, es.sound_len);
    Plane rows = static_cast<Plane>(wrcalloc((size_t)h, sizeof(float*)));
    const int sr = SOUND_SAMPLERATE;
    int out_w = w;
    anal(rows, noisy.data(), (int)noisy.size(), sr, &out_w, h, MAX_FREQ / sr, ANAL_PPS / sr, MIN_FREQ / sr, ANAL_BPO,
         MIN_BPO, TRANSITION_PPS, 2.f, 0);
    normi(rows, out_w, h, 1.f);
    printf("noise synthesis: log-amplitude correlation %.3f (%d x %d)\n",
           log_correlation(image.composite, rows, std::min(w, out_w), h), std::min(w, out_w), h);
    free2d(rows, h);
    return 0;
}
