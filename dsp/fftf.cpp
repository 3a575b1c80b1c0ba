// The real transform on single-precision FFTW: its r2r halfcomplex kinds have exactly our
// layout, so the wrapper only caches plans and scales.
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
static auto* plans = new std::map<std::pair<int, int>, fftwf_plan>; // (n, direction) -> plan

static fftwf_plan plan_for(int n, int direction)
{
    std::lock_guard<std::mutex> guard(plan_lock);
    auto found = plans->find({n, direction});
    if (found != plans->end())
        return found->second;
    // FFTW_ESTIMATE never touches the buffer, which only tells the planner "in place".
    float* scratch = fftwf_alloc_real((size_t)n);
    fftwf_plan plan = fftwf_plan_r2r_1d(n, scratch, scratch, direction == FFT_FORWARD ? FFTW_R2HC : FFTW_HC2R,
                                        FFTW_ESTIMATE | FFTW_UNALIGNED);
    fftwf_free(scratch);
    (*plans)[{n, direction}] = plan;
    return plan;
}

void fftf_release()
{
    std::lock_guard<std::mutex> guard(plan_lock);
    for (auto& entry : *plans)
        fftwf_destroy_plan(entry.second);
    plans->clear();
    fftwf_cleanup();
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Transform
// ---------------------------------------------------------------------------------------------

int fftf(float* in, float* out, int n, int direction)
{
    if (n < 1 || (direction != FFT_FORWARD && direction != FFT_INVERSE))
        return 0;
    if (out != in)
        memcpy(out, in, sizeof(float) * (size_t)n);
    if (n == 1)
        return 1;

    fftwf_execute_r2r(plan_for(n, direction), out, out);

    const float scale = 1.f / sqrtf((float)n);
    for (int i = 0; i < n; i++)
        out[i] *= scale;
    return 1;
}
