#include "dsp/simd/FirKernels.h"

#include <cstdint>

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

// Two output vectors leave few multiply-adds per load, and with unaligned
// loads most of them split a cache line. When the window is 64-byte aligned
// the shifted input vectors come from aligned loads and one lane rotation
// instead, which measured clearly faster for 32-sample blocks.
template <int C>
inline __attribute__((always_inline)) __m512 shifted(__m512 low, __m512 high)
{
    if constexpr (C == 0)
        return low;
    else
        return _mm512_castsi512_ps(_mm512_alignr_epi32(_mm512_castps_si512(high), _mm512_castps_si512(low), C));
}

// One lane offset C of two output vectors: y0 += g[16m + C] * X(C + 16m),
// y1 += g[16m + C] * X(C + 16(m + 1)), with X(k) = s[k ... k + 15].
template <int C>
struct AlignedChain
{
    __m512 x0, x1, tail, y0, y1;

    inline __attribute__((always_inline)) void start(const float* s)
    {
        y0 = y1 = _mm512_setzero_ps();
        const __m512 a0 = _mm512_load_ps(s);
        const __m512 a1 = _mm512_load_ps(s + 16);
        tail = _mm512_load_ps(s + 32);
        x0 = shifted<C>(a0, a1);
        x1 = shifted<C>(a1, tail);
    }
    inline __attribute__((always_inline)) void even(const float* g, const float* s, unsigned m)
    {
        const __m512 c = _mm512_set1_ps(g[16 * m + C]);
        y0 = _mm512_fmadd_ps(c, x0, y0);
        y1 = _mm512_fmadd_ps(c, x1, y1);
        const __m512 next = _mm512_load_ps(s + 16 * (m + 3));
        x0 = shifted<C>(tail, next);
        tail = next;
    }
    inline __attribute__((always_inline)) void odd(const float* g, const float* s, unsigned m)
    {
        const __m512 c = _mm512_set1_ps(g[16 * (m + 1) + C]);
        y0 = _mm512_fmadd_ps(c, x1, y0);
        y1 = _mm512_fmadd_ps(c, x0, y1);
        const __m512 next = _mm512_load_ps(s + 16 * (m + 4));
        x1 = shifted<C>(tail, next);
        tail = next;
    }
};

template <int C0>
inline __attribute__((always_inline)) void alignedFour(const float* g, unsigned steps, const float* s, __m512& r0,
                                                       __m512& r1)
{
    AlignedChain<C0> a;
    AlignedChain<C0 + 1> b;
    AlignedChain<C0 + 2> c;
    AlignedChain<C0 + 3> d;
    a.start(s);
    b.start(s);
    c.start(s);
    d.start(s);
    unsigned m = 0;
    for (; m + 2 <= steps; m += 2)
    {
        a.even(g, s, m);
        b.even(g, s, m);
        c.even(g, s, m);
        d.even(g, s, m);
        a.odd(g, s, m);
        b.odd(g, s, m);
        c.odd(g, s, m);
        d.odd(g, s, m);
    }
    if (m < steps)
    {
        a.even(g, s, m);
        b.even(g, s, m);
        c.even(g, s, m);
        d.even(g, s, m);
    }
    r0 = _mm512_add_ps(r0, _mm512_add_ps(_mm512_add_ps(a.y0, b.y0), _mm512_add_ps(c.y0, d.y0)));
    r1 = _mm512_add_ps(r1, _mm512_add_ps(_mm512_add_ps(a.y1, b.y1), _mm512_add_ps(c.y1, d.y1)));
}

void runAlignedPairs(const float* g, unsigned taps, const float*& s, float*& out, unsigned& count)
{
    const unsigned steps = taps / 16;
    for (; count >= 32; count -= 32, s += 32, out += 32)
    {
        __m512 r0 = _mm512_setzero_ps();
        __m512 r1 = _mm512_setzero_ps();
        alignedFour<0>(g, steps, s, r0, r1);
        alignedFour<4>(g, steps, s, r0, r1);
        alignedFour<8>(g, steps, s, r0, r1);
        alignedFour<12>(g, steps, s, r0, r1);
        _mm512_storeu_ps(out, r0);
        _mm512_storeu_ps(out + 16, r1);
    }
}
} // namespace

void firKernelAvx512(const float* coefficients, unsigned taps, const float* window, float* out, unsigned count)
{
    // Eight or more independent accumulators everywhere to cover the FMA latency.
    runBlocked<Avx512Ops, 8, 1>(coefficients, taps, window, out, count);
    runBlocked<Avx512Ops, 4, 2>(coefficients, taps, window, out, count);
    if ((reinterpret_cast<std::uintptr_t>(window) & 63u) == 0)
        runAlignedPairs(coefficients, taps, window, out, count);
    runBlocked<Avx512Ops, 2, 4>(coefficients, taps, window, out, count);
    runBlocked<Avx512Ops, 1, 8>(coefficients, taps, window, out, count);
    runDots<Avx512Ops>(coefficients, taps, window, out, count);
}
#if defined(__clang__)
#pragma clang attribute pop
#endif
#endif
