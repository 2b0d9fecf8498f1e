#include "dsp/simd/FirKernels.h"

#if CORVANA_FIR_X86
// Set here as well as by the build, so the kernel gets its instruction set
// whatever flags the build hands this file.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC target("avx2,fma")
#endif
#include <immintrin.h>

#include "dsp/simd/FirKernelImpl.h"

namespace
{
struct Avx2Ops
{
    using Vec = __m256;
    static constexpr int width = 8;
    static Vec zero() { return _mm256_setzero_ps(); }
    static Vec load(const float* p) { return _mm256_load_ps(p); }
    static Vec loadu(const float* p) { return _mm256_loadu_ps(p); }
    static Vec broadcast(const float* p) { return _mm256_broadcast_ss(p); }
    static Vec fma(Vec a, Vec b, Vec c) { return _mm256_fmadd_ps(a, b, c); }
    static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
    static void storeu(float* p, Vec v) { _mm256_storeu_ps(p, v); }
    static float reduce(Vec v)
    {
        __m128 q = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        q = _mm_add_ps(q, _mm_movehl_ps(q, q));
        q = _mm_add_ss(q, _mm_shuffle_ps(q, q, 0x55));
        return _mm_cvtss_f32(q);
    }
};
} // namespace

void firKernelAvx2(const float* coefficients, unsigned taps, const float* window, float* out, unsigned count)
{
    // Sixteen registers: accumulators, sliding inputs and one coefficient must fit.
    runBlocked<Avx2Ops, 6, 1>(coefficients, taps, window, out, count);
    runBlocked<Avx2Ops, 3, 2>(coefficients, taps, window, out, count);
    runBlocked<Avx2Ops, 1, 4>(coefficients, taps, window, out, count);
    runDots<Avx2Ops>(coefficients, taps, window, out, count);
}
#if defined(__clang__)
#pragma clang attribute pop
#endif
#endif
