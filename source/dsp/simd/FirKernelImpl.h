#pragma once

// Shared body of the FIR kernels, included once by each per-instruction-set
// file. Everything here has internal linkage so that code compiled for one
// instruction set can never be picked by the linker for another.
//
// Main path: outputs lie in the vector lanes. For lane offset c the input
// vectors needed by R consecutive output vectors slide along by one vector per
// coefficient step, so they stay in registers and each step costs one
// broadcast coefficient, one new input load and R multiply-adds. CU lane
// offsets run side by side to keep enough independent accumulators in flight.
// Outputs left over (fewer than one vector) use plain dot products.

#include "dsp/simd/FirKernels.h"

namespace
{

template <class Ops, int R, int CU>
inline __attribute__((always_inline)) void firBlocked(const float* g, unsigned taps, const float* s, float* out)
{
    using Vec = typename Ops::Vec;
    constexpr int V = Ops::width;
    static_assert(V % CU == 0, "lane groups must divide the vector width");
    const unsigned steps = taps / V;

    Vec acc[CU][R];
#pragma GCC unroll 16
    for (int cu = 0; cu < CU; ++cu)
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r)
            acc[cu][r] = Ops::zero();

    for (int c0 = 0; c0 < V; c0 += CU)
    {
        Vec x[CU][R];
#pragma GCC unroll 16
        for (int cu = 0; cu < CU; ++cu)
#pragma GCC unroll 16
            for (int r = 0; r < R; ++r)
                x[cu][r] = Ops::loadu(s + c0 + cu + V * r);

        unsigned m = 0;
        for (; m + R <= steps; m += R)
        {
#pragma GCC unroll 16
            for (int u = 0; u < R; ++u)
            {
#pragma GCC unroll 16
                for (int cu = 0; cu < CU; ++cu)
                {
                    const Vec coefficient = Ops::broadcast(g + V * (m + u) + c0 + cu);
#pragma GCC unroll 16
                    for (int r = 0; r < R; ++r)
                        acc[cu][r] = Ops::fma(coefficient, x[cu][(u + r) % R], acc[cu][r]);
                    x[cu][u] = Ops::loadu(s + c0 + cu + V * (m + u + R));
                }
            }
        }
        for (; m < steps; ++m)
        {
#pragma GCC unroll 16
            for (int cu = 0; cu < CU; ++cu)
            {
                const Vec coefficient = Ops::broadcast(g + V * m + c0 + cu);
#pragma GCC unroll 16
                for (int r = 0; r < R; ++r)
                    acc[cu][r] = Ops::fma(coefficient, Ops::loadu(s + c0 + cu + V * (m + r)), acc[cu][r]);
            }
        }
    }

#pragma GCC unroll 16
    for (int r = 0; r < R; ++r)
    {
        Vec sum = acc[0][r];
#pragma GCC unroll 16
        for (int cu = 1; cu < CU; ++cu)
            sum = Ops::add(sum, acc[cu][r]);
        Ops::storeu(out + V * r, sum);
    }
}

template <class Ops>
inline __attribute__((always_inline)) float firDot(const float* g, unsigned taps, const float* s)
{
    using Vec = typename Ops::Vec;
    constexpr unsigned V = Ops::width;
    Vec a0 = Ops::zero(), a1 = Ops::zero(), a2 = Ops::zero(), a3 = Ops::zero();
    unsigned j = 0;
    for (; j + 4 * V <= taps; j += 4 * V)
    {
        a0 = Ops::fma(Ops::load(g + j), Ops::loadu(s + j), a0);
        a1 = Ops::fma(Ops::load(g + j + V), Ops::loadu(s + j + V), a1);
        a2 = Ops::fma(Ops::load(g + j + 2 * V), Ops::loadu(s + j + 2 * V), a2);
        a3 = Ops::fma(Ops::load(g + j + 3 * V), Ops::loadu(s + j + 3 * V), a3);
    }
    for (; j < taps; j += V)
        a0 = Ops::fma(Ops::load(g + j), Ops::loadu(s + j), a0);
    return Ops::reduce(Ops::add(Ops::add(a0, a1), Ops::add(a2, a3)));
}

// Runners: each consumes as many whole spans as are left and advances the
// window and output pointers; the kernels chain them widest first.
template <class Ops, int R, int CU>
inline __attribute__((always_inline)) void runBlocked(const float* g, unsigned taps, const float*& s, float*& out,
                                                      unsigned& count)
{
    constexpr unsigned span = static_cast<unsigned>(Ops::width * R);
    for (; count >= span; count -= span, s += span, out += span)
        firBlocked<Ops, R, CU>(g, taps, s, out);
}

template <class Ops>
inline __attribute__((always_inline)) void runDots(const float* g, unsigned taps, const float* s, float* out,
                                                   unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        out[i] = firDot<Ops>(g, taps, s + i);
}

} // namespace
