#include "dsp/CrossoverFilterBank.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

// Crossover banks at 48 kHz, per sample (items = samples). Steady cases run
// outside transitions; the "-transition" cases publish a new frequency every
// block so that both paths always run.

namespace
{
struct Shape
{
    const char* name;
    CrossoverFilterType type;
    int order;
    double q;
};

const Shape shapes[] = {
    { "LR8", CrossoverFilterType::linkwitzRiley, 8, 0.7071067811865476 },
    { "LR4", CrossoverFilterType::linkwitzRiley, 4, 0.7071067811865476 },
    { "BW8", CrossoverFilterType::butterworth, 8, 0.7071067811865476 },
    { "BW3", CrossoverFilterType::butterworth, 3, 0.7071067811865476 },
    { "Q2", CrossoverFilterType::secondOrder, 2, 1.2 },
    { "FO1", CrossoverFilterType::firstOrder, 1, 0.7071067811865476 },
};

std::vector<float> noise(unsigned n)
{
    std::vector<float> x(n);
    std::uint32_t seed = 1;
    for (auto& v : x)
    {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<double>(seed >> 8) / 8388608.0 - 1.0) * 0.5f;
    }
    return x;
}

template <typename Bank>
void runBank(benchmark::State& state, Shape shape, unsigned blockSize, bool transitions)
{
    Bank bank(48000.0);
    bank.setParams(shape.type, shape.order, 1000.0, shape.q);
    bank.reset();
    const auto in = noise(blockSize);
    std::vector<float> out(blockSize);
    unsigned block = 0;
    for (auto _ : state)
    {
        if (transitions)
            bank.setParams(shape.type, shape.order, (++block & 1) != 0 ? 1100.0 : 1000.0, shape.q);
        bank.processBlock(in.data(), out.data(), blockSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * blockSize);
}

template <typename Bank>
void registerBank(const std::string& bankName)
{
    for (const auto& shape : shapes)
        for (unsigned blockSize : { 32u, 64u, 256u })
        {
            benchmark::RegisterBenchmark((bankName + "/" + shape.name + "/" + std::to_string(blockSize)).c_str(),
                                         [shape, blockSize](benchmark::State& s) {
                                             runBank<Bank>(s, shape, blockSize, false);
                                         });
        }
    for (unsigned blockSize : { 32u, 64u, 256u })
        benchmark::RegisterBenchmark((bankName + "/LR8-transition/" + std::to_string(blockSize)).c_str(),
                                     [blockSize](benchmark::State& s) {
                                         runBank<Bank>(s, shapes[0], blockSize, true);
                                     });
}

const bool registered = [] {
    registerBank<LowPassFilterBank>("LowPassFilterBank");
    registerBank<HighPassFilterBank>("HighPassFilterBank");
    return true;
}();
} // namespace
