#include "dsp/IirSections.h"
#include "dsp/ParametricEQ.h"
#include "dsp/PeakingFilter.h"
#include "dsp/ShelvingFilters.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

// ns per sample at 48 kHz: every case reports samples as items processed.

namespace
{
constexpr double rate = 48000.0;

std::vector<float> testSignal(std::size_t n)
{
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = static_cast<float>(0.25 * std::sin(0.0917 * double(i)) + 0.1 * std::sin(0.711 * double(i)));
    return x;
}

template <typename Process>
void runBlocks(benchmark::State& state, Process&& process)
{
    const auto blockSize = static_cast<unsigned>(state.range(0));
    const auto input = testSignal(blockSize);
    std::vector<float> output(blockSize);
    for (auto _ : state)
    {
        process(input.data(), output.data(), blockSize);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * blockSize);
}

void Biquad(benchmark::State& state)
{
    LowPassFilter2nd filter(rate);
    filter.setParams(1000.0, 0.7071067811865476);
    runBlocks(state, [&](const float* in, float* out, unsigned n) { filter.processBlock(in, out, n); });
}

void PeakingFilterSteady(benchmark::State& state)
{
    PeakingFilter filter;
    filter.setParams(rate, 1000.0, 6.0, 1.0);
    runBlocks(state, [&](const float* in, float* out, unsigned n) { filter.processBlock(in, out, n); });
}

// A crossfade always running: the per-sample path with two sections.
void PeakingFilterCrossfading(benchmark::State& state)
{
    PeakingFilter filter;
    filter.setParams(rate, 1000.0, 6.0, 1.0);
    bool flip = false;
    runBlocks(state, [&](const float* in, float* out, unsigned n) {
        if (! filter.isCrossfading())
            filter.setParams(rate, 1000.0, (flip = ! flip) ? 3.0 : 6.0, 1.0);
        filter.processBlock(in, out, n);
    });
}

void ButterworthLowPass8th(benchmark::State& state)
{
    LowPassFilterButterworth8th filter(rate);
    filter.setParams(1000.0);
    runBlocks(state, [&](const float* in, float* out, unsigned n) { filter.processBlock(in, out, n); });
}

void configureAllBands(ParametricEQ16Band& eq)
{
    const ParametricEQ::FilterType types[] = { ParametricEQ::LowShelf, ParametricEQ::Peaking, ParametricEQ::Peaking,
                                               ParametricEQ::HighShelf, ParametricEQ::Peaking, ParametricEQ::LowPass2nd,
                                               ParametricEQ::HighPass2nd, ParametricEQ::Peaking };
    for (unsigned band = 0; band < 16; ++band)
        eq.setBandParams(band, types[band % 8], 40.0 * std::pow(1.45, double(band)), 1.2, band % 2 ? 4.0 : -3.0);
}

void ParametricEQ16BandAllActive(benchmark::State& state)
{
    ParametricEQ16Band eq(rate);
    configureAllBands(eq);
    runBlocks(state, [&](const float* in, float* out, unsigned n) { eq.processBlock(in, out, n); });
}

// One active band, fifteen disabled: the usual IIR Filter Block.
void ParametricEQ16BandOneActive(benchmark::State& state)
{
    ParametricEQ16Band eq(rate);
    configureAllBands(eq);
    for (unsigned band = 1; band < 16; ++band)
        eq.setBandEnabled(band, false);
    eq.reset();
    runBlocks(state, [&](const float* in, float* out, unsigned n) { eq.processBlock(in, out, n); });
}
} // namespace

BENCHMARK(Biquad)->Name("Biquad")->Arg(32)->Arg(64)->Arg(256);
BENCHMARK(PeakingFilterSteady)->Name("PeakingFilter")->Arg(32)->Arg(64)->Arg(256);
BENCHMARK(PeakingFilterCrossfading)->Name("PeakingFilter/Crossfading")->Arg(32)->Arg(64)->Arg(256);
BENCHMARK(ButterworthLowPass8th)->Name("LowPassFilterButterworth8th")->Arg(32)->Arg(64)->Arg(256);
BENCHMARK(ParametricEQ16BandAllActive)->Name("ParametricEQ16Band")->Arg(32)->Arg(64)->Arg(256);
BENCHMARK(ParametricEQ16BandOneActive)->Name("ParametricEQ16Band/OneActive")->Arg(32)->Arg(64)->Arg(256);
