// Block synthesis: geometry, sound storage, block images, the lossless band filter, the workers
// and the restart of synthesis after a document change.
#include "sound/synthesis.h"

#include "core/state.h"
#include "dsp/fftf.h"
#include "dsp/noise.h"
#include "dsp/scale.h"
#include "files/media.h"
#include "platform/util.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Block geometry
// ---------------------------------------------------------------------------------------------

int synth_block_width(float pps, int H, int long_blocks)
{
    const int p = pps > 0.f ? (int)floorf(pps) : 0;
    int bw = 4 * p;
    if (H > 1000)
        bw = (H / 1000 + 1) * 4 * p;
    if (long_blocks)
        bw = 120 * p;
    return bw < 24 ? 24 : bw;
}

int synth_block_count(int W, int bw)
{
    if (W < 1 || bw < 1)
        return 0;
    return 2 * W / bw + (W % bw != 0 ? 1 : 0);
}

int64_t synth_sound_len(int W, float pps, int rate, int lossless)
{
    // The recording the document was analysed from keeps its own length, part of a column
    // included, as long as the document has the columns its analysis at `pps` made.
    const bool recording = orig_snd && orig_len > 0 && rate == SOUND_SAMPLERATE &&
                           (int)((float)orig_len * (pps / (float)rate)) == W;
    double n = lossless || recording ? (double)orig_len : std::nearbyint((double)W * (double)rate / (double)pps);
    if (!(n >= 0.0) || n >= (double)SOUND_CHUNK_MAX * (double)SOUND_CHUNK_LEN)
        return -1;
    return (int64_t)n;
}

int64_t block_write_start(int b, double span)
{
    return b <= 0 ? 0 : (int64_t)std::floor(((double)b + 0.5) * span + 0.5);
}

// First sample of block b's samples: floor(b * span).
static int64_t block_origin(int b, double span) { return (int64_t)std::floor((double)b * span); }

// ---------------------------------------------------------------------------------------------
// [SECTION] Sound storage
// ---------------------------------------------------------------------------------------------

int resize_sound(float** chunks, int64_t n)
{
    if (n < 0 || n / SOUND_CHUNK_LEN + 1 > SOUND_CHUNK_MAX) {
        wrfprintf(stderr, "Sound too long: %lld samples; at most %lld samples (%.2f hours at %d Hz) can be held\n",
                  (long long)n, (long long)SOUND_CHUNK_MAX * SOUND_CHUNK_LEN - 1,
                  (double)SOUND_CHUNK_MAX * SOUND_CHUNK_LEN / (SOUND_SAMPLERATE > 0 ? SOUND_SAMPLERATE : 44100) /
                      3600.0,
                  SOUND_SAMPLERATE);
        return 0;
    }
    const int count = (int)(n / SOUND_CHUNK_LEN) + 1;
    for (int c = 0; c < SOUND_CHUNK_MAX; c++) {
        if (c < count && !chunks[c])
            chunks[c] = static_cast<float*>(wrcalloc(SOUND_CHUNK_LEN, sizeof(float)));
        else if (c >= count && chunks[c])
            free_null(&chunks[c]);
    }
    snd_block_count = count;
    return 1;
}

void clear_sound(float** chunks)
{
    for (int c = 0; c < SOUND_CHUNK_MAX; c++)
        if (chunks[c])
            memset(chunks[c], 0, sizeof(float) * SOUND_CHUNK_LEN);
}

float sound_sample(const EngineState* es, int64_t i)
{
    const float* chunk = es->sound[i / SOUND_CHUNK_LEN];
    return chunk ? chunk[i % SOUND_CHUNK_LEN] : 0.f;
}

float blit_sound(float** chunks, const float* block, int64_t len, int N, double span, int block_count, int b)
{
    const int64_t origin = block_origin(b, span);
    int64_t from = block_write_start(b, span);
    int64_t to = b >= block_count - 1 ? len : std::min(block_write_start(b + 1, span), len);
    to = std::min(to, origin + N);
    float peak = 0.f;
    for (int64_t i = from; i < to;) {
        float* chunk = chunks[i / SOUND_CHUNK_LEN];
        const int64_t chunk_end = std::min(to, (i / SOUND_CHUNK_LEN + 1) * SOUND_CHUNK_LEN);
        if (!chunk) {
            i = chunk_end;
            continue;
        }
        for (; i < chunk_end; i++) {
            const float v = block[i - origin];
            chunk[i % SOUND_CHUNK_LEN] = v;
            peak = std::max(peak, fabsf(v));
        }
    }
    return peak;
}

float norm_vol(EngineState* es, int64_t len, int /*whole*/)
{
    float peak = 0.f;
    for (int64_t i = 0; i < len;) {
        const float* chunk = es->sound[i / SOUND_CHUNK_LEN];
        const int64_t end = std::min(len, (i / SOUND_CHUNK_LEN + 1) * SOUND_CHUNK_LEN);
        if (chunk)
            for (int64_t j = i; j < end; j++)
                peak = std::max(peak, fabsf(chunk[j % SOUND_CHUNK_LEN]));
        i = end;
    }
    return peak > 0.f ? 1.f / peak : 0.f;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Block images
// ---------------------------------------------------------------------------------------------

void image_block(Plane composite, float* out, int H, int W, int bw, int b)
{
    const int c0 = (int)((int64_t)b * bw / 2);
    for (int r = 0; r < H; r++) {
        float* o = out + (size_t)r * (size_t)bw;
        const float* row = composite ? composite[r] : nullptr;
        for (int j = 0; j < bw; j++) {
            const int c = c0 + j;
            const float v = (row && c < W) ? row[c] : 0.f;
            o[j] = std::isfinite(v) ? v : 0.f;
        }
    }
}

void mask_block(Plane composite, Plane analysed, float* out, int H, int W, int bw, int b)
{
    const int c0 = (int)((int64_t)b * bw / 2);
    for (int r = 0; r < H; r++) {
        float* o = out + (size_t)r * (size_t)bw;
        const float* cr = composite ? composite[r] : nullptr;
        const float* ar = analysed ? analysed[r] : nullptr;
        for (int j = 0; j < bw; j++) {
            // Past the image end the last column's ratio goes on, so that the original sound's
            // last fraction of a column passes as the picture says instead of fading to silence.
            const int c = std::min(c0 + j, W - 1);
            if (c < 0) {
                o[j] = 1.f;
                continue;
            }
            const float cv = cr ? cr[c] : 0.f, av = ar ? ar[c] : 0.f;
            float ratio;
            if (av == cv)
                ratio = 1.f; // unedited, including silent pixels the analysis left at 0
            else if (av > 0.f)
                ratio = cv / av;
            else
                ratio = LOSSLESS_RATIO_MAX;
            if (!(ratio >= 0.f))
                ratio = 0.f; // NaN or a negative pixel
            o[j] = std::min(ratio, LOSSLESS_RATIO_MAX);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Lossless band filter
// ---------------------------------------------------------------------------------------------

// Blackman-windowed sinc in band units: 1 at u = 0, zeros at the neighbouring band centres,
// reaching three bands to each side (|u| <= 3).
static float band_sinc(float u)
{
    if (u == 0.f)
        return 1.f;
    if (!(fabsf(u) < 3.f))
        return 0.f;
    const float pi = 3.14159265358979f;
    const float v = u / 6.f + 0.5f;
    const float win = 0.42f - 0.5f * cosf(2.f * pi * v) + 0.08f * cosf(4.f * pi * v);
    return sinf(pi * u) / (pi * u) * win;
}

// Axis position of bin `bin` of T, or `fallback` where the axis has none (below its pole).
static float position_of(const LogAxis& axis, int bin, int T, float fallback)
{
    float p = log_axis_inv(axis, (float)bin / (float)T);
    return std::isfinite(p) ? p : fallback;
}

// The parts of the band filter that depend only on the block geometry and the axis, not on the
// block's sound or ratios: the bands' bins, their short transform sizes and every bin's weight.
// Every block of a synthesis run shares one plan.
struct LosslessPlan {
    struct Band {
        int lo, hi, nb, M; // bins lo+1 .. hi (nb of them), short transform size
        size_t w_at;       // first of the band's nb weights in `w`
    };
    // What the plan was made for.
    int N, rate, H, bw;
    float s, ppsr, fmin, base;
    int NN, K, max_M;   // padded block length, guard bins, largest short transform
    Band* band;         // H bands
    float* w;           // per band, the normalised weight of each of its bins
};

static void free_plan(LosslessPlan* plan)
{
    if (!plan)
        return;
    free(plan->band);
    free(plan->w);
    delete plan;
}

// The smallest of 2^k, 1.25 * 2^k, 1.5 * 2^k and 1.875 * 2^k that is >= n: fast transform sizes
// spaced a few to the octave, so that the wide upper bands share sizes and with them the
// envelope taps worked out for a size (a finer choice of sizes would recompute them for nearly
// every band).
static int coarse_fast_size(int n)
{
    int p = 8;
    while (p < n && p < (1 << 29))
        p *= 2;
    const int q = p / 8; // the candidates below p = 8q: 5q, 6q and 7.5q
    for (const int c : {4 * q + q, 6 * q, 7 * q + q / 2})
        if (c >= n && c < p && q >= 2)
            return c;
    return p;
}

// Makes the plan, or null when the arguments leave nothing to filter.
static LosslessPlan* make_plan(int bw, int N, int rate, int H, float s, float ppsr, float fmin, float base)
{
    const float fmin_r = fmin / (float)rate;
    const float fmax_r = base != 1.f ? (float)(pow((double)base, (double)(H - 1) / (double)s) * (double)fmin_r) : s;
    const LogAxis axis = log_axis(fmin_r, fmax_r, base);
    const int K = noise_guard(bw);
    const float top = (float)(H - 1);

    // Zero extension: five periods of the frequency spacing just below the lowest band, so that
    // the band filters' responses do not wrap round into the block.
    const float d = base != 1.f ? log_axis_pos(axis, 0.f) - log_axis_pos(axis, -1.f / top) : (fmax_r - fmin_r) / top;
    const float pad_f = d > 0.f ? nearbyintf(5.f / d) : 0.f;
    if (!(pad_f >= 0.f) || pad_f > 1e8f)
        return nullptr;
    int m = N - 1 + (int)pad_f;
    if (m % 2)
        m++;
    const int NN = nextlprime(m);
    if (NN < N)
        return nullptr;
    const int cols = (int)nearbyintf((float)NN * ppsr);
    const int half = NN / 2;

    LosslessPlan* plan = new LosslessPlan{N, rate, H, bw, s, ppsr, fmin, base, NN, K, 0, nullptr, nullptr};
    plan->band = static_cast<LosslessPlan::Band*>(wrmalloc(sizeof(LosslessPlan::Band) * (size_t)H));

    // Band sizes grow from band to band as in the noise table; each band spans three band
    // spacings to either side of its centre, between axis positions a and b. The lowest band
    // also takes every bin below it and the highest every bin above it, so that what lies
    // outside the picture's range follows the edge rows instead of being cut off block by block
    // (a cut at each block's ends would spread that content into the range as clicks).
    float* a = static_cast<float*>(wrmalloc(sizeof(float) * 2 * (size_t)H));
    float* b = a + H;
    int prev = 0;
    size_t total = 0;
    for (int i = 0; i < H; i++) {
        const float x_lo = ((float)i - 3.f) / top, x_hi = ((float)i + 3.f) / top;
        const int lo = (int)nearbyintf(log_axis_pos(axis, x_lo) * (float)NN);
        const int hi = (int)nearbyintf(log_axis_pos(axis, x_hi) * (float)NN);
        LosslessPlan::Band& bd = plan->band[i];
        a[i] = position_of(axis, lo, NN, x_lo);
        b[i] = position_of(axis, hi, NN, x_hi);
        bd.hi = i == H - 1 ? half : std::min(hi, half);
        bd.lo = i == 0 ? 0 : std::max(lo, 1);
        bd.nb = std::max(bd.hi - bd.lo, 0);
        bd.w_at = total;
        total += (size_t)bd.nb;
        const int L = 4 * K + 2 * bd.nb + 1;
        if (i == 0 || i == H - 1) {
            bd.M = cols >= L ? cols : coarse_fast_size(L); // the wide edge bands stay out of the chain
        } else {
            bd.M = cols >= L ? cols : (L > prev ? coarse_fast_size(L) : prev);
            prev = bd.M;
        }
        plan->max_M = std::max(plan->max_M, bd.M);
    }

    // Each bin's weight is the windowed sinc at its own axis position, divided by the sum over
    // the bands at that bin so that the bands of an unedited block add up to the original
    // exactly (the windowed sinc alone leaves a ripple across frequency). Outside the range
    // (below the lowest band's centre or above the highest's) the edge band alone has the bin.
    float* pos = static_cast<float*>(wrmalloc(sizeof(float) * ((size_t)half + 1)));
    for (int bin = 0; bin <= half; bin++) {
        const float p = position_of(axis, bin, NN, NAN);
        pos[bin] = std::isfinite(p) ? p * top : -INFINITY; // in bands; no position: below the range
    }
    auto outside = [&](int bin) { return !(pos[bin] >= 0.f && pos[bin] <= top); };
    plan->w = static_cast<float*>(wrmalloc(sizeof(float) * std::max<size_t>(total, 1)));
    float* gsum = static_cast<float*>(wrcalloc((size_t)half + 1, sizeof(float)));
    for (int i = 0; i < H; i++) {
        const LosslessPlan::Band& bd = plan->band[i];
        const float span = b[i] - a[i];
        for (int k = 0; k < bd.nb; k++) {
            const int bin = bd.lo + 1 + k;
            float g;
            if (outside(bin))
                g = (i == 0 && pos[bin] < 0.f) || (i == H - 1 && pos[bin] > top) ? 1.f : 0.f;
            else
                g = band_sinc(6.f * (span > 0.f ? (pos[bin] / top - a[i]) / span : 0.5f) - 3.f);
            plan->w[bd.w_at + (size_t)k] = g;
            gsum[bin] += g;
        }
    }
    for (int i = 0; i < H; i++) {
        const LosslessPlan::Band& bd = plan->band[i];
        for (int k = 0; k < bd.nb; k++) {
            const float sum = gsum[bd.lo + 1 + k];
            plan->w[bd.w_at + (size_t)k] = sum != 0.f ? plan->w[bd.w_at + (size_t)k] / sum : 0.f;
        }
    }
    free(gsum);
    free(pos);
    free(a);
    return plan;
}

// The one plan in use, shared by the workers; replaced when a block asks for other parameters
// (a block still filtering with the old one keeps it alive) and dropped by synthesis_release.
static std::shared_ptr<const LosslessPlan> current_plan;
static std::mutex plan_lock; // guards `current_plan` while a worker looks it up

static std::shared_ptr<const LosslessPlan> acquire_plan(int bw, int N, int rate, int H, float s, float ppsr,
                                                        float fmin, float base)
{
    std::lock_guard<std::mutex> guard(plan_lock);
    const LosslessPlan* p = current_plan.get();
    const bool same = p && p->N == N && p->rate == rate && p->H == H && p->bw == bw && p->s == s &&
                      p->ppsr == ppsr && p->fmin == fmin && p->base == base;
    if (!same) {
        LosslessPlan* made = make_plan(bw, N, rate, H, s, ppsr, fmin, base);
        if (!made)
            return nullptr;
        current_plan = std::shared_ptr<const LosslessPlan>(made, [](const LosslessPlan* q) {
            free_plan(const_cast<LosslessPlan*>(q));
        });
    }
    return current_plan;
}

void filter_mask_filter_release()
{
    std::lock_guard<std::mutex> guard(plan_lock);
    current_plan.reset();
}

float* filter_mask_filter(const float* orig, int avail, const float* ratio, int bw, int N, int rate, int H,
                          std::atomic<int32_t>* stop, int sleep_period, float s, float ppsr, float fmin,
                          float base, double start, int ends, int* out_len)
{
    if (!orig || !ratio || bw < 1 || N < 2 || rate < 1 || H < 2 || !(ppsr > 0.f) || !(s > 0.f))
        return nullptr;
    base = std::clamp(base, 1.f, 2.f);
    const std::shared_ptr<const LosslessPlan> plan = acquire_plan(bw, N, rate, H, s, ppsr, fmin, base);
    if (!plan)
        return nullptr;
    const int NN = plan->NN, K = plan->K;

    float* S = static_cast<float*>(wrcalloc((size_t)NN, sizeof(float)));
    memcpy(S, orig, sizeof(float) * (size_t)std::min(avail, N));
    fftf(S, S, NN, FFT_FORWARD | FFT_REUSED);
    float* out = static_cast<float*>(wrcalloc((size_t)NN, sizeof(float)));

    const double S0 = std::floor(start);
    const double frac = start - S0;
    float* B = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)plan->max_M));
    float* env = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)plan->max_M));
    EnvelopeTaps taps{};
    int taps_M = 0;
    for (int i = 0; i < H; i++) {
        if (stop && stop->load(std::memory_order_relaxed)) {
            memset(out, 0, sizeof(float) * (size_t)NN);
            break;
        }
        if (sleep_period > 0 && i > 0 && i % sleep_period == 0)
            wrsleep(1);
        const LosslessPlan::Band& bd = plan->band[i];
        if (bd.nb == 0)
            continue;
        const int M = bd.M;
        const float* w = plan->w + bd.w_at;

        // An unedited row (every ratio exactly 1) leaves its band as it is: the envelope would be
        // 1 at every sample and the two transforms an identity, so the weighted bins go straight
        // into the output. Edits are local, so this is most bands of most blocks.
        const float* row = ratio + (size_t)(H - 1 - i) * (size_t)bw;
        bool unedited = true;
        for (int j = 0; j < bw && unedited; j++)
            unedited = row[j] == 1.f;
        // A row silenced everywhere, also before and after the block, adds nothing at all.
        bool silent = (ends & 3) == 3;
        for (int j = 0; j < bw && silent; j++)
            silent = row[j] == 0.f;
        if (silent)
            continue;
        // The lowest band reaches down to 0 Hz (its bin 0, the block's mean, is its own).
        const bool base_band = bd.lo == 0;
        if (unedited) {
            if (base_band)
                out[0] += S[0];
            for (int k = 0; k < bd.nb; k++) {
                const int bin = bd.lo + 1 + k;
                out[bin] += w[k] * S[bin];
                if (2 * bin != NN)
                    out[NN - bin] += w[k] * S[NN - bin];
            }
            continue;
        }

        // The band: its weighted bins moved down to bins K+1 .. K+nb of a short signal. The
        // lowest band stays where it is (a real signal from 0 Hz up), so that what the envelope
        // spreads below 0 Hz folds back as it does in the sound instead of being lost.
        const int shift = base_band ? 0 : bd.lo - K; // short-signal bin = bin - shift
        memset(B, 0, sizeof(float) * (size_t)M);
        if (base_band)
            B[0] = S[0];
        for (int k = 0; k < bd.nb; k++) {
            const int bin = bd.lo + 1 + k;
            B[bin - shift] = w[k] * S[bin];
            B[M - (bin - shift)] = (2 * bin == NN) ? 0.f : w[k] * S[NN - bin];
        }
        fftf(B, B, M, FFT_INVERSE);

        // The row's ratios at the exact time of every point, times the band signal.
        if (M != taps_M) {
            // The padding holds what rings after the block in its first half and, wrapped
            // round, what rings before the block in its second half.
            envelope_taps(&taps, M, NN, bw, ppsr, 0.0, frac, 0.5 * ((double)N + (double)NN));
            taps_M = M;
        }
        // Outside the block the sound passes unchanged, so that the bands still add up to the
        // original there and their long low-frequency responses are not cut off; before the
        // sound's start and after its end the edge columns go on, as the picture does.
        envelope_apply(&taps, row, env, (ends & 1) ? row[0] : 1.f, (ends & 2) ? row[bw - 1] : 1.f);
        for (int q = 0; q < M; q++)
            B[q] *= env[q];
        fftf(B, B, M, FFT_FORWARD);
        if (base_band)
            out[0] += B[0];
        add_band_spectrum(out, NN, B, M, shift + K, bd.hi, K);
    }
    free_envelope_taps(&taps);
    free(env);
    free(B);
    free(S);
    fftf(out, out, NN, FFT_INVERSE | FFT_REUSED);
    if (out_len)
        *out_len = NN;
    return out;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Workers
// ---------------------------------------------------------------------------------------------

float band_scale(float fmin, float fmax, float base, int H, int rate)
{
    if (base == 1.f)
        return fmax / (float)rate;
    return (float)(H - 1) / ((logf(fmax) - logf(fmin)) / logf(base));
}

// Synthesises block b into a new array (null when nothing is to be written: a silent original
// segment in lossless mode, or arguments that make nothing). `image` is the worker's H x bw
// scratch block.
static float* synthesise_block(EngineState* es, int b, float* image, int lossless, int skip_silent)
{
    ImageStack* im = es->image;
    const int H = im->h, W = im->w, bw = es->block_w, N = es->block_len;
    const int rate = SOUND_SAMPLERATE;
    const float fmin = es->synth_range[0], fmax = es->synth_range[1], pps = es->synth_range[2];
    const float base = std::clamp(es->synth_range[3], 1.f, 2.f);
    const double start = (double)b * es->block_span;
    if (!lossless) {
        {
            LockGuard guard(im->layers_lock);
            image_block(im->composite, image, H, W, bw, b);
        }
        NoiseTable table{es->noise, es->noise_len, es->noise_rows, es->noise_len ? (int)es->noise_for[1] : 0};
        return synt_noise(image, bw, H, N, rate, &table, &es->stop, es->synth_pause, fmin, pps, fmax, base, start);
    }
    {
        LockGuard guard(im->layers_lock);
        mask_block(im->composite, im->analysed, image, H, W, bw, b);
    }
    const int64_t origin = block_origin(b, es->block_span);
    const int64_t avail = (int64_t)orig_len - origin;
    if (!orig_snd || avail <= 0)
        return nullptr;
    const float* seg = orig_snd + origin;
    const int used = (int)std::min<int64_t>(avail, N);
    if (skip_silent) {
        bool silent = true;
        for (int j = 0; j < used && silent; j++)
            silent = seg[j] == 0.f;
        if (silent)
            return nullptr;
    }
    int out_len = 0;
    return filter_mask_filter(seg, used, image, bw, N, rate, H, &es->stop, es->synth_pause,
                              band_scale(fmin, fmax, base, H, rate), pps / (float)rate, fmin, base, start,
                              (b == 0 ? 1 : 0) | (b == es->block_count - 1 ? 2 : 0), &out_len);
}

// Stores the normalisation from the peaks of the finished blocks (under the engine lock).
static void update_norm_locked(EngineState* es)
{
    float peak = 0.f;
    for (int b = 0; b < es->block_count; b++)
        if (es->block_state[b] == 2)
            peak = std::max(peak, es->block_peak[b]);
    const float v = peak > 0.f ? 1.f / peak : 0.f;
    if (v > 1e-30f && v < 1e30f)
        es->norm = v;
}

// Waits while "Suspend Processing" (or, for export workers, live synthesis) is on. Returns false
// when the stop flag rose meanwhile.
static bool wait_while_suspended(EngineState* es, bool export_worker)
{
    while (key[state_of(K_SUSPEND)].load() || (export_worker && key[state_of(K_LIVE_SYNTH)].load())) {
        if (es->stop.load())
            return false;
        wrsleep(50);
    }
    return !es->stop.load();
}

// The body of every worker: claims blocks through the state table starting at the block of the
// first visible column, or (export) does every block in order.
static void worker_loop(EngineState* es, int lossless, bool export_worker)
{
    const int B = es->block_count, bw = es->block_w, H = es->image->h;
    int s0 = 0;
    if (!export_worker) {
        s0 = (int)(2.0 * crop_x / bw - 1.0 + 0.5);
        s0 = B > 0 ? ((s0 % B) + B) % B : 0;
        es->start_block = s0;
    }
    es->started.store(1);
    float* image = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)H * (size_t)bw));
    for (int k = 0; k < B; k++) {
        const int b = (s0 + k) % B;
        if (es->stop.load() || !wait_while_suspended(es, export_worker))
            break;
        {
            LockGuard guard(es->lock);
            if (es->block_state[b] != 0 && !export_worker)
                continue;
            es->block_state[b] = 1;
        }
        es->sound_changed.store(1);
        float* samples = synthesise_block(es, b, image, lossless, !export_worker);
        float peak = 0.f;
        const bool stopped = es->stop.load() != 0;
        if (samples && !stopped)
            peak = blit_sound(es->sound, samples, es->sound_len.load(), es->block_len, es->block_span, B, b);
        free(samples);
        {
            LockGuard guard(es->lock);
            es->block_state[b] = stopped ? 0 : 2;
            es->block_peak[b] = peak;
            if (!stopped)
                update_norm_locked(es);
        }
        es->sound_changed.store(1);
    }
    free(image);
}

// Thread entry shared by the four workers.
struct WorkerKind {
    int lossless;
    bool export_worker;
};

static void* run_worker(void* arg, WorkerKind kind)
{
    EngineState* es = static_cast<EngineState*>(arg);
    worker_loop(es, kind.lossless, kind.export_worker);
    es->running.fetch_sub(1);
    return nullptr;
}

void* quor_thread(void* arg) { return run_worker(arg, {0, false}); }
void* quor_thread_lossless(void* arg) { return run_worker(arg, {1, false}); }
void* quor_thread_save(void* arg) { return run_worker(arg, {0, true}); }
void* quor_thread_lossless_save(void* arg) { return run_worker(arg, {1, true}); }

// Worker records available in es->threads.
static int thread_records(const EngineState* es) { return es->thread_cap > 0 ? es->thread_cap : CORE_COUNT; }

void end_sound_threads(EngineState* es)
{
    es->stop.store(1);
    if (es->threads)
        for (int c = 0; c < thread_records(es); c++)
            if (es->threads[c].joinable)
                thread_wait(&es->threads[c], nullptr);
    es->stop.store(0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Restarting synthesis
// ---------------------------------------------------------------------------------------------

// Largest composite value (under layers_lock).
static float composite_max(ImageStack* im)
{
    LockGuard guard(im->layers_lock);
    return plane_peak(im->composite, im->w, im->h);
}

bool noise_table_current(const EngineState* es, int bw, int H, float fmin, float fmax, float pps, float base)
{
    const float want[7] = {(float)bw, 0.f, (float)H, fmin, fmax, pps, base};
    bool same = es->noise && es->noise_len;
    for (int j = 0; j < 7 && same; j++)
        same = j == 1 || es->noise_for[j] == want[j];
    return same;
}

// Bytes synthesis still has to find before it can run: the chunks of a sound of `len` samples
// not held yet, the block noise table (rows of noise_row_sizes) when `table` is set, and per
// worker the block image, the block's transforms and their working buffers.
static double synthesis_bytes(const EngineState* es, int64_t len, int H, int bw, int N, int threads, bool table,
                              float fmin, float fmax, float pps, float base)
{
    int held = 0;
    for (int c = 0; c < SOUND_CHUNK_MAX; c++)
        held += es->sound[c] != nullptr;
    const int64_t chunks = std::max<int64_t>(len / SOUND_CHUNK_LEN + 1 - held, 0);
    double floats = (double)chunks * SOUND_CHUNK_LEN;
    double max_M = (double)N;
    if (table) {
        const int rate = SOUND_SAMPLERATE;
        std::vector<int> M((size_t)H);
        noise_row_sizes(log_axis(fmin / (float)rate, fmax / (float)rate, base), N, H, bw, pps / (float)rate, M.data());
        for (int m : M) {
            floats += m;
            max_M = std::max(max_M, (double)m);
        }
        floats += 3.0 * N; // the table's white noise, band window and transform buffer
    }
    floats += (double)threads * ((double)H * bw + 4.0 * N + 8.0 * max_M);
    return floats * sizeof(float);
}

// Rebuilds the block noise table when it was made for other parameters (or always with force).
static int ensure_noise_table(EngineState* es, int bw, int H, float fmin, float fmax, float pps, float base,
                              int force)
{
    const float want[7] = {(float)bw, 0.f, (float)H, fmin, fmax, pps, base};
    if (!force && noise_table_current(es, bw, H, fmin, fmax, pps, base))
        return 1;
    NoiseTable old{es->noise, es->noise_len, es->noise_rows, (int)es->noise_for[1]};
    free_noise_array(&old);
    es->noise = nullptr;
    es->noise_len = nullptr;
    es->noise_rows = 0;
    NoiseTable table{};
    int N = 0;
    if (!init_noise_array(&table, bw, H, &N, SOUND_SAMPLERATE, fmin, pps, fmax, base))
        return 0;
    es->noise = table.rows;
    es->noise_len = table.len;
    es->noise_rows = table.H;
    memcpy(es->noise_for, want, sizeof want);
    es->noise_for[1] = (float)N;
    return 1;
}

// Starts synthesis for a request level with the given mode (see synthesis_change).
static int synthesis_start(EngineState* es, int level, int threads, int move_tool, int lossless)
{
    ImageStack* im = es->image;
    end_sound_threads(es);
    if (!im || !im->composite || im->w < 1 || im->h < 1) {
        wrfprintf(stderr, "Nothing to synthesise: no image\n");
        return 0;
    }
    if (key[state_of(K_LIVE_SYNTH)].load()) {
        resize_sound(es->sound, 0);
        es->sound_len.store(0);
        return 1;
    }
    if (level != 2)
        im->prev_max = composite_max(im);
    else if (!move_tool) {
        const float mx = composite_max(im);
        const float ratio = im->prev_max > 0.f ? mx / im->prev_max : (mx > 0.f ? 1e9f : 1.f);
        if (ratio > 100.f || ratio < 0.01f)
            level = 1;
        im->prev_max = mx;
    }
    if (lossless) {
        if (!orig_snd || orig_len < 1 || !im->analysed) {
            wrfprintf(stderr, "Lossless synthesis needs the sound the image was analysed from\n");
            return 0;
        }
        if (im->w != im->orig_w || im->h != im->orig_h) {
            wrfprintf(stderr, "Lossless mode error: different image sizes (%d x %d, the analysis was %d x %d)\n",
                      im->w, im->h, im->orig_w, im->orig_h);
            return 0;
        }
        if (im->h < 2) {
            wrfprintf(stderr, "Lossless synthesis needs an image of at least 2 rows\n");
            return 0;
        }
    }

    const float fmin = es->synth_range[0], fmax = es->synth_range[1], pps = es->synth_range[2];
    const float base = std::clamp(es->synth_range[3], 1.f, 2.f);
    const int rate = SOUND_SAMPLERATE;
    if (!(pps > 0.f) || !(fmin < fmax) || fmax > (float)rate || (base != 1.f && !(fmin > 0.f))) {
        wrfprintf(stderr, "Cannot synthesise with %g Hz - %g Hz, %g px/s, scale %g\n", fmin, fmax, pps, base);
        return 0;
    }
    const int W = im->w, H = im->h;
    const int bw = synth_block_width(pps, H, key[state_of(K_LONG_BLOCK)].load());
    const int B = synth_block_count(W, bw);
    const double span = noise_block_span(bw, pps, rate);
    const int N = noise_block_len(span);
    const int64_t len = synth_sound_len(W, pps, rate, lossless);
    if (len < 0) {
        wrfprintf(stderr, "Sound too long: %.0f samples; at most %lld samples can be held\n",
                  lossless ? (double)orig_len : std::nearbyint((double)W * rate / pps),
                  (long long)SOUND_CHUNK_MAX * SOUND_CHUNK_LEN - 1);
        return 0;
    }
    if (N < 2) {
        wrfprintf(stderr, "Cannot synthesise: block length out of range\n");
        return 0;
    }
    // What it will take, worked out before anything is allocated.
    if (threads < 1)
        threads = CORE_COUNT;
    const bool table = !lossless && (level == 3 || !noise_table_current(es, bw, H, fmin, fmax, pps, base));
    char why[200], what[160];
    snprintf(what, sizeof what, "synthesising %d x %d pixels in blocks of %d columns", W, H, bw);
    if (memory_refused(synthesis_bytes(es, len, H, bw, N, threads, table, fmin, fmax, pps, base), what, why,
                       sizeof why)) {
        wrfprintf(stderr, "Cannot synthesise: %s\n", why);
        return 0;
    }
    if (!resize_sound(es->sound, len))
        return 0;
    if (!lossless && !ensure_noise_table(es, bw, H, fmin, fmax, pps, base, level == 3)) {
        wrfprintf(stderr, "Cannot make the noise table for %g Hz - %g Hz, %g px/s\n", fmin, fmax, pps);
        return 0;
    }

    // A new block geometry or mode invalidates every block. The bookkeeping is changed under
    // the engine lock: the painting thread marks blocks through it while synthesis restarts.
    {
        LockGuard bookkeeping(es->lock);
        if (B != es->block_count || bw != es->block_w || N != es->block_len || span != es->block_span ||
            len != es->sound_len.load() || lossless != es->run_lossless || !es->block_state) {
            free(es->block_state);
            free(es->block_peak);
            es->block_state = static_cast<uint8_t*>(wrcalloc((size_t)std::max(B, 1), 1));
            es->block_peak = static_cast<float*>(wrcalloc((size_t)std::max(B, 1), sizeof(float)));
            if (level == 2)
                level = 1;
        }
        es->block_w = bw;
        es->block_count = B;
        es->block_len = N;
        es->block_span = span;
        es->run_lossless = lossless;
        es->sound_len.store((int32_t)len);
        if (level != 2) {
            clear_sound(es->sound);
            memset(es->block_state, 0, (size_t)B);
            memset(es->block_peak, 0, sizeof(float) * (size_t)B);
        }
        es->sound_changed.store(1);
    }

    // Worker records: grow the array when more workers are asked for than it holds.
    if (threads > thread_records(es) || !es->threads) {
        free(es->threads);
        es->threads = static_cast<ThreadRecord*>(wrcalloc((size_t)threads, sizeof(ThreadRecord)));
        es->thread_cap = threads;
    }
    void* (*entry)(void*) = lossless ? quor_thread_lossless : quor_thread;
    for (int c = 0; c < threads; c++) {
        es->started.store(0);
        es->running.fetch_add(1);
        if (thread_spawn(&es->threads[c], entry, es) != 0) {
            es->running.fetch_sub(1);
            continue;
        }
        // Workers start one after another: each reads its parameters before the next begins.
        while (!es->started.load())
            wrsleep(0);
    }
    return 1;
}

int synthesis_change(EngineState* es, int level, int threads, int move_tool)
{
    if (level < 1 || level > 3)
        return 1;
    return synthesis_start(es, level, threads, move_tool, lossless_mode.load() ? 1 : 0);
}

void synthesis_touch_columns(EngineState* es, int x0, int x1)
{
    if (!es->block_state || es->block_w < 2)
        return;
    if (x0 > x1)
        std::swap(x0, x1);
    const int bw = es->block_w;
    LockGuard guard(es->lock);
    for (int b = 0; b < es->block_count; b++) {
        const int c0 = (int)((int64_t)b * bw / 2);
        if (c0 + bw - 1 < x0 || c0 > x1)
            continue;
        for (int n = std::max(b - 1, 0); n <= std::min(b + 1, es->block_count - 1); n++)
            es->block_state[n] = 0;
    }
}

int synthesis_blocks_done(EngineState* es)
{
    LockGuard guard(es->lock);
    int done = 0;
    for (int b = 0; b < es->block_count; b++)
        done += es->block_state[b] == 2;
    return done;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Whole-sound synthesis for batch commands
// ---------------------------------------------------------------------------------------------

int synthesise_all(EngineState* es, int lossless, int threads, SynthProgressFn progress, void* ctx)
{
    const int pause = es->synth_pause;
    es->synth_pause = 0; // nobody to keep responsive: run flat out
    if (!synthesis_start(es, 3, threads, 0, lossless ? 1 : 0)) {
        es->synth_pause = pause;
        return 0;
    }
    if (key[state_of(K_LIVE_SYNTH)].load()) {
        es->synth_pause = pause;
        return 1;
    }
    // Every worker passes over every block once; they end by themselves.
    while (es->running.load() > 0) {
        if (progress)
            progress(synthesis_blocks_done(es), es->block_count, ctx);
        wrsleep(5);
    }
    end_sound_threads(es);
    es->synth_pause = pause;
    const int done = synthesis_blocks_done(es);
    if (progress)
        progress(done, es->block_count, ctx);
    if (done != es->block_count) {
        wrfprintf(stderr, "Synthesis stopped after %d of %d blocks\n", done, es->block_count);
        return 0;
    }
    // A sound that is not all numbers would be written as silence or noise: say so instead.
    const int64_t len = es->sound_len.load();
    int64_t bad = 0;
    for (int64_t i = 0; i < len; i++)
        bad += !std::isfinite(sound_sample(es, i));
    if (bad > 0) {
        wrfprintf(stderr, "Synthesis gave %lld samples that are not numbers\n", (long long)bad);
        return 0;
    }
    es->norm = norm_vol(es, len, 1);
    return 1;
}

void synthesis_release(EngineState* es)
{
    end_sound_threads(es);
    for (int c = 0; c < SOUND_CHUNK_MAX; c++)
        free_null(&es->sound[c]);
    snd_block_count = 0;
    es->sound_len.store(0);
    free_null(&es->block_state);
    free_null(&es->block_peak);
    es->block_count = 0;
    NoiseTable table{es->noise, es->noise_len, es->noise_rows, (int)es->noise_for[1]};
    free_noise_array(&table);
    es->noise = nullptr;
    es->noise_len = nullptr;
    es->noise_rows = 0;
    filter_mask_filter_release();
}
