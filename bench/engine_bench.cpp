// DSP load of the real audio callback on the reference projects: callback time
// divided by the buffer duration, mean and 99th percentile, at 48 kHz.

#include "engine/OfflineRenderer.h"
#include "model/ProjectDocument.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <vector>

namespace
{
constexpr double kRate = 48000.0;

// The engine's own deadline check must not end the measurement on a busy
// machine; the benchmark times each callback itself.
class FrozenClock final : public speaker::AudioClock
{
public:
    double nowSeconds() noexcept override { return 0.0; }
};

// CPU time of this thread: on a shared machine the wall-clock figures also
// count the time other processes held the core.
double threadCpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Figures
{
    double mean = 0.0;
    double p99 = 0.0;
};

Figures summarise(std::vector<double>& loads)
{
    if (loads.empty())
        return {};
    std::sort(loads.begin(), loads.end());
    double sum = 0.0;
    for (const double l : loads)
        sum += l;
    return { sum / static_cast<double>(loads.size()),
             loads[std::min(loads.size() - 1, static_cast<size_t>(0.99 * static_cast<double>(loads.size())))] };
}

void engineCallback(benchmark::State& state, const char* projectFile)
{
    const int buffer = static_cast<int>(state.range(0));
    speaker::AppSettings project;
    std::string error;
    if (! speaker::readProjectFile(juce::File(CORVANA_BENCH_PROJECTS_DIR).getChildFile(projectFile), project, error))
    {
        state.SkipWithError(error.c_str());
        return;
    }
    speaker::OfflineRenderer renderer;
    FrozenClock clock;
    if (! renderer.open(project, kRate, buffer, 2, error))
    {
        state.SkipWithError(error.c_str());
        return;
    }
    renderer.getEngine().setClock(&clock);

    std::vector<std::vector<float>> inputs(static_cast<size_t>(renderer.inputChannels()), std::vector<float>(static_cast<size_t>(buffer)));
    std::vector<std::vector<float>> outputs(static_cast<size_t>(renderer.outputChannels()), std::vector<float>(static_cast<size_t>(buffer)));
    std::vector<const float*> in;
    std::vector<float*> out;
    for (auto& c : inputs)
        in.push_back(c.data());
    for (auto& c : outputs)
        out.push_back(c.data());

    std::int64_t sample = 0;
    const auto fill = [&] {
        for (int k = 0; k < buffer; ++k, ++sample)
        {
            const double t = static_cast<double>(sample) / kRate;
            const auto v = static_cast<float>(0.25 * std::sin(2.0 * M_PI * 440.0 * t) + 0.1 * std::sin(2.0 * M_PI * 3100.0 * t));
            for (auto& c : inputs)
                c[static_cast<size_t>(k)] = v;
        }
    };
    for (int i = 0; i < 200; ++i) // warm up: fades, caches, first coefficient loads
    {
        fill();
        renderer.process(in.data(), out.data());
    }

    std::vector<double> loads;
    std::vector<double> cpuLoads;
    loads.reserve(static_cast<size_t>(state.max_iterations));
    cpuLoads.reserve(static_cast<size_t>(state.max_iterations));
    const double blockSeconds = buffer / kRate;
    for (auto _ : state)
    {
        state.PauseTiming();
        fill();
        state.ResumeTiming();
        const double cpuStart = threadCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        renderer.process(in.data(), out.data());
        const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpuLoads.push_back((threadCpuSeconds() - cpuStart) / blockSeconds * 100.0);
        loads.push_back(elapsed / blockSeconds * 100.0);
        benchmark::DoNotOptimize(outputs[0][0]);
    }
    if (! renderer.getEngine().isRunning())
    {
        state.SkipWithError(speaker::AudioEngine::safetyStopMessage(renderer.getEngine().getPendingSafetyStop()).c_str());
        return;
    }
    const auto wall = summarise(loads);
    const auto cpu = summarise(cpuLoads);
    state.counters["load_mean_%"] = wall.mean;
    state.counters["load_p99_%"] = wall.p99;
    state.counters["cpu_mean_%"] = cpu.mean;
    state.counters["cpu_p99_%"] = cpu.p99;
    state.counters["outputs"] = renderer.outputChannels();
}

// About four seconds of audio per buffer size, for each reference project.
const bool registered = [] {
    for (const auto* project : { "reference-3way-stereo.corv", "reference-8way-stereo-max.corv" })
        for (const int n : { 32, 64, 256, 1024 })
            benchmark::RegisterBenchmark((std::string("engineCallback/") + project).c_str(), engineCallback, project)
                ->Arg(n)
                ->Iterations(static_cast<benchmark::IterationCount>(4.0 * kRate / n))
                ->Unit(benchmark::kMicrosecond);
    return true;
}();
} // namespace
