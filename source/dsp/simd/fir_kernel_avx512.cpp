#include "dsp/simd/FirKernels.h"

#if CORVANA_FIR_X86
// Set here as well as by the build, so the kernel gets its instruction set
// whatever flags the build hands this file.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx2,fma"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC target("avx512f,avx2,fma")
// GCC's own _mm512_undefined_ps trips this warning once inlined under the pragma.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "dsp/simd/FirKernelImpl.h"

namespace
{
struct Avx512Ops
{
    using Vec = __m512;
    static constexpr int width = 16;
    static Vec zero() { return _mm512_setzero_ps(); }
    static Vec load(const float* p) { return _mm512_load_ps(p); }
    static Vec loadu(const float* p) { return _mm512_loadu_ps(p); }
    static Vec broadcast(const float* p) { return _mm512_set1_ps(*p); }
    static Vec fma(Vec a, Vec b, Vec c) { return _mm512_fmadd_ps(a, b, c); }
    static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
    static void storeu(float* p, Vec v) { _mm512_storeu_ps(p, v); }
    static float reduce(Vec v)
    {
        // Folds with whole-register shuffles only (plain AVX-512F, no half extracts).
        v = _mm512_add_ps(v, _mm512_shuffle_f32x4(v, v, 0x4E));
        v = _mm512_add_ps(v, _mm512_shuffle_f32x4(v, v, 0xB1));
        v = _mm512_add_ps(v, _mm512_shuffle_ps(v, v, 0x4E));
        v = _mm512_add_ps(v, _mm512_shuffle_ps(v, v, 0xB1));
        return _mm512_cvtss_f32(v);
    }
};
} // namespace

void firKernelAvx512(const float* coefficients, unsigned taps, const float* window, float* out, unsigned count)
{
    // Eight or more independent accumulators everywhere to cover the FMA latency.
    runBlocked<Avx512Ops, 8, 1>(coefficients, taps, window, out, count);
    runBlocked<Avx512Ops, 4, 2>(coefficients, taps, window, out, count);
    runBlocked<Avx512Ops, 2, 4>(coefficients, taps, window, out, count);
    runBlocked<Avx512Ops, 1, 8>(coefficients, taps, window, out, count);
    runDots<Avx512Ops>(coefficients, taps, window, out, count);
}
#if defined(__clang__)
#pragma clang attribute pop
#endif
#endif
