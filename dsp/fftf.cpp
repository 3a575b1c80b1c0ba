// The real transform on single-precision FFTW. Its r2r halfcomplex kinds have exactly our
// layout but run several times slower than its real-to-complex transforms, so the transform is
// computed as r2c / c2r through a per-thread complex buffer and repacked (and scaled) on the
// way: one extra pass over the data against a transform that costs many.
#include "dsp/fftf.h"

#include <fftw3.h>

#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

// ---------------------------------------------------------------------------------------------
// [SECTION] Plan cache
// ---------------------------------------------------------------------------------------------

// The FFTW planner is not thread safe, so plans are made and looked up under one lock. A plan
// is in place and unaligned, so it can be executed on any caller buffer (fftwf_execute_r2r is
// thread safe). The cache lives until the process ends (held through a pointer, so it is not
// torn down while a late thread may still transform).
static std::mutex plan_lock;
static auto* plans = new std::map<std::pair<int, int>, fftwf_plan>; // (n, kind) -> plan

// Transforms of at least this many points (whole sounds of half a minute and more) are split
// over BIG_THREADS threads by FFTW; smaller ones run on the calling thread, which is what the
// band workers want. The count is fixed, not the machine's, so that every machine makes the
// same plans and so the same results.
static const int BIG_TRANSFORM = 1 << 20;
static const int BIG_THREADS = 2;
static bool threads_ready = false; // fftwf_init_threads has succeeded (and no cleanup since)

// Transforms are planned without FFTW's vector kernels unless they are large: planning weighs
// every vector variant of every kernel, which made planning, at 5 - 35 ms for each new size of
// the per-band transforms, most of an analysis, while the plain kernels plan ten to thirty
// times faster and run only a little slower at these sizes. The plain kernels are also the
// same on every processor, so these transforms round alike on every machine. From
// VECTOR_FROM points on (whole sounds of a minute and more), or VECTOR_FROM_REUSED for a size
// transformed again and again, the vector kernels' faster runs repay their planning.
static const int VECTOR_FROM = 1 << 21;
static const int VECTOR_FROM_REUSED = 1 << 19;

// Plan kinds: FFT_FORWARD and FFT_INVERSE (real), and this one (complex, inverse); the key
// adds KIND_VECTOR when the plan uses the vector kernels.
static const int COMPLEX_INVERSE = 2;
static const int KIND_VECTOR = 4;

static fftwf_plan plan_for(int n, int kind, bool reused)
{
    if (n >= (reused ? VECTOR_FROM_REUSED : VECTOR_FROM))
        kind |= KIND_VECTOR;
    std::lock_guard<std::mutex> guard(plan_lock);
    auto found = plans->find({n, kind});
    if (found != plans->end())
        return found->second;
    if (!threads_ready)
        threads_ready = fftwf_init_threads() != 0;
    if (threads_ready)
        fftwf_plan_with_nthreads(n >= BIG_TRANSFORM ? BIG_THREADS : 1);
    // FFTW_ESTIMATE never touches the buffers, which only tell the planner in or out of place.
    const unsigned flags = FFTW_ESTIMATE | FFTW_UNALIGNED | (kind & KIND_VECTOR ? 0u : FFTW_NO_SIMD);
    const int transform = kind & ~KIND_VECTOR;
    float* real = fftwf_alloc_real((size_t)n);
    fftwf_complex* cplx = fftwf_alloc_complex(transform == COMPLEX_INVERSE ? (size_t)n : (size_t)n / 2 + 1);
    fftwf_plan plan = transform == FFT_FORWARD   ? fftwf_plan_dft_r2c_1d(n, real, cplx, flags)
                      : transform == FFT_INVERSE ? fftwf_plan_dft_c2r_1d(n, cplx, real, flags | FFTW_DESTROY_INPUT)
                                                 : fftwf_plan_dft_1d(n, cplx, cplx, FFTW_BACKWARD, flags);
    fftwf_free(cplx);
    fftwf_free(real);
    (*plans)[{n, kind}] = plan;
    return plan;
}

// Bins above which a thread's complex buffer is released after each transform: the whole-sound
// transforms of long sounds would otherwise keep hundreds of megabytes for the thread's life,
// and a transform that large costs far more than allocating its buffer again.
constexpr int KEPT_BINS_MAX = 1 << 20;

// The calling thread's complex buffer, grown as needed and released when the thread ends.
struct ThreadBuffer {
    fftwf_complex* data = nullptr;
    int bins = 0;
    ~ThreadBuffer() { fftwf_free(data); }
};
static thread_local ThreadBuffer buffer;

// The calling thread's buffer with room for `bins` complex values (null when it cannot be had).
static fftwf_complex* thread_buffer(int bins)
{
    if (buffer.bins < bins) {
        fftwf_free(buffer.data);
        buffer.data = fftwf_alloc_complex((size_t)bins);
        buffer.bins = buffer.data ? bins : 0;
    }
    return buffer.data;
}

// Releases the calling thread's buffer when it has grown beyond KEPT_BINS_MAX.
static void thread_buffer_trim()
{
    if (buffer.bins > KEPT_BINS_MAX) {
        fftwf_free(buffer.data);
        buffer.data = nullptr;
        buffer.bins = 0;
    }
}

void fftf_release()
{
    std::lock_guard<std::mutex> guard(plan_lock);
    for (auto& entry : *plans)
        fftwf_destroy_plan(entry.second);
    plans->clear();
    fftwf_cleanup_threads();
    threads_ready = false;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Transform
// ---------------------------------------------------------------------------------------------

int fftf(float* in, float* out, int n, int direction)
{
    const bool reused = (direction & FFT_REUSED) != 0;
    direction &= ~FFT_REUSED;
    if (n < 1 || (direction != FFT_FORWARD && direction != FFT_INVERSE))
        return 0;
    if (n == 1) {
        out[0] = in[0];
        return 1;
    }
    const int half = n / 2;
    fftwf_complex* c = thread_buffer(half + 1);
    if (!c)
        return 0;
    const float scale = 1.f / sqrtf((float)n);
    if (direction == FFT_FORWARD) {
        fftwf_execute_dft_r2c(plan_for(n, direction, reused), in, c);
        out[0] = c[0][0] * scale;
        for (int k = 1; k < n - k; k++) {
            out[k] = c[k][0] * scale;
            out[n - k] = c[k][1] * scale;
        }
        if (n % 2 == 0)
            out[half] = c[half][0] * scale;
    } else {
        c[0][0] = in[0] * scale;
        c[0][1] = 0.f;
        for (int k = 1; k < n - k; k++) {
            c[k][0] = in[k] * scale;
            c[k][1] = in[n - k] * scale;
        }
        if (n % 2 == 0) {
            c[half][0] = in[half] * scale;
            c[half][1] = 0.f;
        }
        fftwf_execute_dft_c2r(plan_for(n, direction, reused), c, out);
    }
    thread_buffer_trim();
    return 1;
}

int fftc_inverse(float* z, int n)
{
    if (n < 1 || !z)
        return 0;
    fftwf_complex* c = reinterpret_cast<fftwf_complex*>(z);
    fftwf_execute_dft(plan_for(n, COMPLEX_INVERSE, false), c, c);
    return 1;
}
