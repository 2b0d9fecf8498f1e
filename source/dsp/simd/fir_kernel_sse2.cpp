#include "dsp/simd/FirKernels.h"

#if CORVANA_FIR_X86
#include <emmintrin.h>

#include "dsp/simd/FirKernelImpl.h"

namespace
{
struct Sse2Ops
{
    using Vec = __m128;
    static constexpr int width = 4;
    static Vec zero() { return _mm_setzero_ps(); }
    static Vec load(const float* p) { return _mm_load_ps(p); }
    static Vec loadu(const float* p) { return _mm_loadu_ps(p); }
    static Vec broadcast(const float* p) { return _mm_set1_ps(*p); }
    // No fused multiply-add before AVX2.
    static Vec fma(Vec a, Vec b, Vec c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static Vec add(Vec a, Vec b) { return _mm_add_ps(a, b); }
    static void storeu(float* p, Vec v) { _mm_storeu_ps(p, v); }
    static float reduce(Vec v)
    {
        v = _mm_add_ps(v, _mm_movehl_ps(v, v));
        v = _mm_add_ss(v, _mm_shuffle_ps(v, v, 0x55));
        return _mm_cvtss_f32(v);
    }
};
} // namespace

void firKernelSse2(const float* coefficients, unsigned taps, const float* window, float* out, unsigned count)
{
    runBlocked<Sse2Ops, 6, 1>(coefficients, taps, window, out, count);
    runBlocked<Sse2Ops, 2, 2>(coefficients, taps, window, out, count);
    runBlocked<Sse2Ops, 1, 4>(coefficients, taps, window, out, count);
    runDots<Sse2Ops>(coefficients, taps, window, out, count);
}
#endif
