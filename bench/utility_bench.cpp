// Per-sample cost of the utility processors at 48 kHz, and the FIR's
// multiply-accumulate rate beside the machine's FMA peak.

#include "dsp/ArithmeticProcessor.h"
#include "dsp/FirFilter.h"
#include "dsp/Gain.h"
#include "dsp/MeterProcessor.h"
#include "dsp/OutputSignalGuard.h"
#include "dsp/SampleDelay.h"
#include "dsp/ShelvingFilterProcessor.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace
{
constexpr double sampleRate = 48000.0;

std::vector<float> noise(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<float> v(n);
    for (auto& x : v)
        x = dist(rng);
    return v;
}

// Samples per second from SetItemsProcessed, and the same figure as time per sample.
void countSamples(benchmark::State& state, double samplesPerIteration)
{
    const double samples = static_cast<double>(state.iterations()) * samplesPerIteration;
    state.SetItemsProcessed(static_cast<std::int64_t>(samples));
    // Printed with an SI prefix, e.g. "5.2ns".
    state.counters["time/sample"] = benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// ---------------------------------------------------------------------------
// FMA peak: independent register-only chains, enough to cover the latency of
// two FMA pipes. Returns the number of multiply-accumulates performed.

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx512f"))) std::uint64_t fmaLoopAvx512(std::uint64_t iterations, float* sink)
{
    __m512 a[12];
    for (int k = 0; k < 12; ++k)
        a[k] = _mm512_set1_ps(1.0f + 0.01f * static_cast<float>(k));
    __m512 m = _mm512_set1_ps(0.9999999f);
    __m512 b = _mm512_set1_ps(1e-7f);
    for (std::uint64_t i = 0; i < iterations; ++i)
    {
#pragma GCC unroll 12
        for (int k = 0; k < 12; ++k)
            a[k] = _mm512_fmadd_ps(a[k], m, b);
    }
    __m512 s = a[0];
    for (int k = 1; k < 12; ++k)
        s = _mm512_add_ps(s, a[k]);
    _mm512_storeu_ps(sink, s);
    return iterations * 12u * 16u;
}

__attribute__((target("avx2,fma"))) std::uint64_t fmaLoopAvx2(std::uint64_t iterations, float* sink)
{
    __m256 a[12];
    for (int k = 0; k < 12; ++k)
        a[k] = _mm256_set1_ps(1.0f + 0.01f * static_cast<float>(k));
    __m256 m = _mm256_set1_ps(0.9999999f);
    __m256 b = _mm256_set1_ps(1e-7f);
    for (std::uint64_t i = 0; i < iterations; ++i)
    {
#pragma GCC unroll 12
        for (int k = 0; k < 12; ++k)
            a[k] = _mm256_fmadd_ps(a[k], m, b);
    }
    __m256 s = a[0];
    for (int k = 1; k < 12; ++k)
        s = _mm256_add_ps(s, a[k]);
    _mm256_storeu_ps(sink, s);
    return iterations * 12u * 8u;
}
#endif

std::uint64_t fmaLoopPortable(std::uint64_t iterations, float* sink)
{
    float a[12];
    for (int k = 0; k < 12; ++k)
        a[k] = 1.0f + 0.01f * static_cast<float>(k);
    for (std::uint64_t i = 0; i < iterations; ++i)
        for (float& v : a)
            v = v * 0.9999999f + 1e-7f;
    float s = 0.0f;
    for (float v : a)
        s += v;
    sink[0] = s;
    return iterations * 12u;
}

using FmaLoop = std::uint64_t (*)(std::uint64_t, float*);

struct PeakIsa
{
    const char* name;
    FmaLoop loop;
};

PeakIsa widestFmaLoop()
{
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx512f"))
        return {"avx512", fmaLoopAvx512};
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return {"avx2", fmaLoopAvx2};
#endif
    return {"scalar", fmaLoopPortable};
}

double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Measured once per program run on thread CPU time (like the benchmarks' rates):
// best of several short runs.
double fmaPeakPerSecond()
{
    static const double peak = [] {
        const PeakIsa isa = widestFmaLoop();
        float sink[16];
        double best = 0.0;
        for (int run = 0; run < 10; ++run)
        {
            const double start = threadSeconds();
            const std::uint64_t macs = isa.loop(2'000'000, sink);
            const double seconds = threadSeconds() - start;
            benchmark::DoNotOptimize(sink);
            best = std::max(best, static_cast<double>(macs) / seconds);
        }
        return best;
    }();
    return peak;
}

void BM_FmaPeak(benchmark::State& state)
{
    const PeakIsa isa = widestFmaLoop();
    float sink[16];
    std::uint64_t macs = 0;
    for (auto _ : state)
    {
        macs += isa.loop(100'000, sink);
        benchmark::DoNotOptimize(sink);
    }
    state.counters["MAC/s"] = benchmark::Counter(static_cast<double>(macs), benchmark::Counter::kIsRate);
    state.SetLabel(isa.name);
}
BENCHMARK(BM_FmaPeak)->Name("FmaPeak/register-only")->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------

void runFir(benchmark::State& state, FirFilter::Kernel kernel)
{
    const auto taps = static_cast<std::size_t>(state.range(0));
    const auto block = static_cast<unsigned>(state.range(1));
    FirFilter fir;
    if (!fir.useKernel(kernel))
    {
        state.SkipWithError("kernel not supported on this processor");
        return;
    }
    fir.setCoefficients(noise(taps, 1));
    fir.setCrossfadeLength(240);
    fir.setBypassed(false);
    const auto in = noise(block, 2);
    std::vector<float> out(block);
    const double start = threadSeconds();
    for (auto _ : state)
    {
        fir.processBlock(in.data(), out.data(), block);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double seconds = threadSeconds() - start;
    countSamples(state, block);
    const double samples = static_cast<double>(state.iterations()) * block;
    state.counters["MAC/s"] = benchmark::Counter(samples * static_cast<double>(taps), benchmark::Counter::kIsRate);
    const double peak = fmaPeakPerSecond();
    state.counters["peakMAC/s"] = peak;
    // Share of the FMA peak, on the same thread CPU time as the peak.
    state.counters["ofPeak"] = seconds > 0.0 ? samples * static_cast<double>(taps) / (seconds * peak) : 0.0;
}

void BM_FirFilter(benchmark::State& state) { runFir(state, FirFilter::bestKernel()); }
void BM_FirFilterSse2(benchmark::State& state) { runFir(state, FirFilter::Kernel::Sse2); }
void BM_FirFilterAvx2(benchmark::State& state) { runFir(state, FirFilter::Kernel::Avx2); }
void BM_FirFilterAvx512(benchmark::State& state) { runFir(state, FirFilter::Kernel::Avx512); }

void firSizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"taps", "block"});
    for (int taps : {4096, 1024, 64})
        for (int block : {32, 64, 256})
            b->Args({taps, block});
}

void firKernelSizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"taps", "block"});
    for (int block : {32, 64, 256})
        b->Args({4096, block});
}

BENCHMARK(BM_FirFilter)->Name("FirFilter")->Apply(firSizes);
BENCHMARK(BM_FirFilterAvx512)->Name("FirFilter/avx512")->Apply(firKernelSizes);
BENCHMARK(BM_FirFilterAvx2)->Name("FirFilter/avx2")->Apply(firKernelSizes);
BENCHMARK(BM_FirFilterSse2)->Name("FirFilter/sse2")->Apply(firKernelSizes);

// ---------------------------------------------------------------------------
// The other processors, 48 kHz, blocks of 32, 64 and 256. "steady" is the
// common case; "ramping" keeps a change in flight on every block.

void blockSizes(benchmark::internal::Benchmark* b)
{
    b->ArgName("block");
    for (int block : {32, 64, 256})
        b->Arg(block);
}

template <class Body>
void runBlocks(benchmark::State& state, Body body)
{
    const auto block = static_cast<unsigned>(state.range(0));
    auto in = noise(block, 3);
    std::vector<float> out(block);
    unsigned long long k = 0;
    for (auto _ : state)
    {
        body(in.data(), out.data(), block, k++);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    countSamples(state, block);
}

void BM_GainSteady(benchmark::State& state)
{
    Gain gain;
    gain.setParams(sampleRate, -6.0, false, false);
    runBlocks(state, [&](const float* in, float* out, unsigned n, unsigned long long) { gain.processBlock(in, out, n); });
}
void BM_GainRamping(benchmark::State& state)
{
    Gain gain;
    gain.setParams(sampleRate, -6.0, false, false);
    runBlocks(state, [&](const float* in, float* out, unsigned n, unsigned long long k) {
        gain.setParams(sampleRate, (k & 1) ? -6.0 : -3.0, false, false);
        gain.processBlock(in, out, n);
    });
}
BENCHMARK(BM_GainSteady)->Name("Gain/steady")->Apply(blockSizes);
BENCHMARK(BM_GainRamping)->Name("Gain/ramping")->Apply(blockSizes);

void BM_SampleDelaySteady(benchmark::State& state)
{
    SampleDelay delay;
    delay.prepare(2400, sampleRate);
    delay.setParams(1000, false);
    runBlocks(state, [&](const float* in, float* out, unsigned n, unsigned long long) { delay.processBlock(in, out, n); });
}
void BM_SampleDelayCrossfading(benchmark::State& state)
{
    SampleDelay delay;
    delay.prepare(2400, sampleRate);
    delay.setParams(1000, false);
    runBlocks(state, [&](const float* in, float* out, unsigned n, unsigned long long k) {
        delay.setParams((k & 1) ? 1000 : 2000, false);
        delay.processBlock(in, out, n);
    });
}
BENCHMARK(BM_SampleDelaySteady)->Name("SampleDelay/steady")->Apply(blockSizes);
BENCHMARK(BM_SampleDelayCrossfading)->Name("SampleDelay/crossfading")->Apply(blockSizes);

void runArithmetic(benchmark::State& state, ArithmeticProcessor::Operation op)
{
    ArithmeticProcessor arithmetic;
    arithmetic.prepare(sampleRate, 1.0 / 240.0);
    arithmetic.setParams(op, false, -80.0, 20.0);
    const auto b = noise(static_cast<std::size_t>(state.range(0)), 4);
    runBlocks(state, [&](const float* in, float* out, unsigned n, unsigned long long) {
        arithmetic.processBlock(in, b.data(), out, n);
    });
}
void BM_ArithmeticAdd(benchmark::State& state) { runArithmetic(state, ArithmeticProcessor::Operation::Add); }
void BM_ArithmeticDivide(benchmark::State& state) { runArithmetic(state, ArithmeticProcessor::Operation::Divide); }
BENCHMARK(BM_ArithmeticAdd)->Name("ArithmeticProcessor/add")->Apply(blockSizes);
BENCHMARK(BM_ArithmeticDivide)->Name("ArithmeticProcessor/divide")->Apply(blockSizes);

void runShelf(benchmark::State& state, int order, bool changing)
{
    ShelvingFilterProcessor shelf;
    shelf.setParams(sampleRate, ShelvingFilterProcessor::Type::Low, order, 200.0, 6.0, 0.7);
    runBlocks(state, [&](const float* in, float* out, unsigned n, unsigned long long k) {
        if (changing)
            shelf.setParams(sampleRate, ShelvingFilterProcessor::Type::Low, order, 200.0, (k & 1) ? 6.0 : 3.0, 0.7);
        shelf.processBlock(in, out, n);
    });
}
void BM_ShelfFirst(benchmark::State& state) { runShelf(state, 1, false); }
void BM_ShelfSecond(benchmark::State& state) { runShelf(state, 2, false); }
void BM_ShelfChanging(benchmark::State& state) { runShelf(state, 1, true); }
BENCHMARK(BM_ShelfFirst)->Name("ShelvingFilterProcessor/order1")->Apply(blockSizes);
BENCHMARK(BM_ShelfSecond)->Name("ShelvingFilterProcessor/order2")->Apply(blockSizes);
BENCHMARK(BM_ShelfChanging)->Name("ShelvingFilterProcessor/order1-crossfading")->Apply(blockSizes);

void BM_Meter(benchmark::State& state)
{
    MeterProcessor meter;
    meter.prepare(sampleRate);
    runBlocks(state, [&](const float* in, float*, unsigned n, unsigned long long) {
        meter.process(in, static_cast<int>(n));
    });
}
void BM_Guard(benchmark::State& state)
{
    OutputSignalGuard guard;
    guard.prepare(sampleRate);
    runBlocks(state, [&](const float* in, float* out, unsigned n, unsigned long long) {
        out[0] = static_cast<float>(guard.process(in, static_cast<int>(n)));
    });
}
BENCHMARK(BM_Meter)->Name("MeterProcessor")->Apply(blockSizes);
BENCHMARK(BM_Guard)->Name("OutputSignalGuard")->Apply(blockSizes);

} // namespace
