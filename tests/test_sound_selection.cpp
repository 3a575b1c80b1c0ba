// Gain on Selection heard through synthesis: a real recording with two known tones added, one
// inside a selected band and one outside it. After -120 dB on the band the tone inside is at
// least 60 dB down and the tone outside keeps its level within 0.5 dB, in noise and in lossless
// synthesis; a stretch of time removed whole starts and stops without a click.
#include "core/state.h"
#include "core/units.h"
#include "document/command_log.h"
#include "document/composite.h"
#include "document/selection.h"
#include "document/sound.h"
#include "dsp/fftf.h"
#include "sound/synthesis.h"
#include "test_doc.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct SelectionSound : EngineTest {
    TempDir dir;
    std::vector<float> sound() const
    {
        std::vector<float> s((size_t)es->sound_len.load());
        for (size_t i = 0; i < s.size(); i++)
            s[i] = sound_sample(es.get(), (int64_t)i);
        return s;
    }
};

// Energy of `x` (44.1 kHz) within `f` +- 15 Hz, over its middle half (away from the ends).
double band_energy(const std::vector<float>& x, float f)
{
    const size_t q = x.size() / 4;
    std::vector<float> mid(x.begin() + (long)q, x.end() - (long)q), out(mid.size());
    const int n = (int)mid.size();
    fftf(mid.data(), out.data(), n, FFT_FORWARD);
    double e = 0;
    for (int k = (int)std::ceil((f - 15.f) * n / 44100.f); k <= (int)((f + 15.f) * n / 44100.f); k++)
        e += (double)out[(size_t)k] * out[(size_t)k] + (double)out[(size_t)(n - k)] * out[(size_t)(n - k)];
    return e;
}

} // namespace

TEST_F(SelectionSound, RemovedBandIsSilentAndTheRestKeepsItsLevel)
{
    // The recording (48 kHz speech) with a 1 kHz tone to remove and a 3 kHz tone to keep. What
    // is left at 1 kHz after the removal is the rest of the sound's faint spread across bands in
    // synthesis (about -58 dB noise, -65 dB lossless below a tone 10 dB softer than these), not
    // the tone: the tones are loud enough for the 60 dB to be measured.
    const char* recording = "/usr/share/sounds/alsa/Front_Center.wav";
    SF_INFO in_info{};
    SNDFILE* in = sf_open(recording, SFM_READ, &in_info);
    if (!in)
        GTEST_SKIP() << recording << " is missing (alsa-utils)";
    std::vector<float> x((size_t)in_info.frames * (size_t)in_info.channels);
    sf_readf_float(in, x.data(), in_info.frames);
    sf_close(in);
    const double rate = in_info.samplerate;
    for (size_t i = 0; i < x.size(); i++)
        x[i] = 0.5f * x[i] + 0.3f * (float)(std::sin(2 * M_PI * 1000 * (double)i / rate) + std::sin(2 * M_PI * 3000 * (double)i / rate));
    const std::string path = dir.file("mixed.wav");
    SF_INFO out_info{};
    out_info.samplerate = in_info.samplerate;
    out_info.channels = 1;
    out_info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &out_info);
    ASSERT_NE(out, nullptr);
    sf_writef_float(out, x.data(), (sf_count_t)x.size());
    sf_close(out);

    ASSERT_EQ(load_sound(path.c_str(), es.get(), nullptr, 2), 1);
    memcpy(es->synth_range, es->anal_params, 3 * sizeof(float));
    es->synth_range[3] = es->anal_params[6];
    // The band from 800 Hz to 1250 Hz (four semitones each side of the tone), over the whole time.
    const int top = (int)convert_unit(nullptr, UNIT_HZ, UNIT_PX, es.get(), 0, 0, 1250.f);
    const int bottom = (int)convert_unit(nullptr, UNIT_HZ, UNIT_PX, es.get(), 0, 0, 800.f);
    ASSERT_LT(top, bottom);

    for (int lossless : {0, 1}) {
        SCOPED_TRACE(lossless ? "lossless" : "noise");
        selection_clear(image.get());
        plane_copy_into(image->layers[0].plane, image->analysed, image->h, image->w);
        process_layers(es.get());
        wrsrand(7);
        ASSERT_EQ(synthesise_all(es.get(), lossless, 2), 1);
        const std::vector<float> before = sound();
        ASSERT_TRUE(selection_box(image.get(), 0, top, image->w - 1, bottom, SELECTION_FEATHER_DEFAULT, SELECT_REPLACE));
        ASSERT_TRUE(selection_gain(image.get(), -120.f));
        process_layers(es.get());
        wrsrand(7);
        ASSERT_EQ(synthesise_all(es.get(), lossless, 2), 1);
        const std::vector<float> after = sound();
        const double inside = 10 * std::log10(band_energy(after, 1000) / band_energy(before, 1000));
        const double outside = 10 * std::log10(band_energy(after, 3000) / band_energy(before, 3000));
        printf("%s synthesis: tone inside the removed band %.1f dB, tone outside %.2f dB\n",
               lossless ? "lossless" : "noise", inside, outside);
        EXPECT_LE(inside, -60.0);
        EXPECT_LE(std::fabs(outside), 0.5);

        // A stretch of time removed at every frequency starts and ends without a click: the
        // sample-to-sample step near its edges is no larger than the sound's own largest step.
        plane_copy_into(image->layers[0].plane, image->analysed, image->h, image->w);
        const int c0 = image->w * 3 / 10, c1 = image->w * 6 / 10;
        ASSERT_TRUE(selection_box(image.get(), c0, 0, c1, image->h - 1, SELECTION_FEATHER_DEFAULT, SELECT_REPLACE));
        ASSERT_TRUE(selection_gain(image.get(), -120.f));
        process_layers(es.get());
        wrsrand(7);
        ASSERT_EQ(synthesise_all(es.get(), lossless, 2), 1);
        const std::vector<float> cut = sound();
        auto largest_step = [](const std::vector<float>& y, size_t from, size_t to) {
            float m = 0.f;
            for (size_t i = from + 1; i < std::min(to, y.size()); i++)
                m = std::max(m, std::fabs(y[i] - y[i - 1]));
            return m;
        };
        const float own = largest_step(before, 0, before.size());
        const double per_col = 44100.0 / es->synth_range[2];
        for (int edge : {c0, c1 + 1}) {
            const size_t at = (size_t)(edge * per_col), span = (size_t)(5 * per_col);
            const float step = largest_step(cut, at > span ? at - span : 0, at + span);
            printf("%s synthesis: largest step at the edge of column %d: %g (the sound's own: %g)\n",
                   lossless ? "lossless" : "noise", edge, step, own);
            EXPECT_LE(step, own * 1.01f); // the sound beside the edge, not a click, may hold the largest step
        }
        const float quiet = largest_step(cut, (size_t)((c0 + 8) * per_col), (size_t)((c1 - 8) * per_col));
        EXPECT_LT(quiet, 1e-3f * own); // and the stretch itself is silent
    }
}
