// Offline analysis of one Output path of the 3-way reference project (LR4,
// three peaking filters, a low shelf, a delay, a 4096-tap FIR and a gain),
// and the FFT engines under it.

#include "analyzer/AnalyzerFft.h"
#include "analyzer/GraphAnalyzer.h"
#include "model/ProjectDocument.h"

#include <benchmark/benchmark.h>

#include <complex>
#include <cstdlib>
#include <iostream>

namespace
{
const speaker::AppSettings& referenceProject()
{
    static const speaker::AppSettings project = [] {
        speaker::AppSettings p;
        std::string error;
        const juce::File file(juce::String(CORVANA_BENCH_PROJECTS_DIR) + "/reference-3way-stereo.corv");
        if (! speaker::readProjectFile(file, p, error))
        {
            std::cerr << error << '\n';
            std::abort();
        }
        return p;
    }();
    return project;
}

void analyse(benchmark::State& state, const speaker::GraphAnalyzerOptions& options)
{
    const auto& project = referenceProject();
    speaker::warmAnalyzerFftCache();
    for (auto _ : state)
    {
        auto result = speaker::analyzeCanvasGraph(project, "out1", true, 48000.0, options);
        if (result["status"].toString() != "ok")
        {
            state.SkipWithError(result["message"].toString().toRawUTF8());
            return;
        }
        state.counters["processedSamples"] = static_cast<double>(static_cast<juce::int64>(result["processedSamples"]));
        state.counters["fftSize"] = static_cast<double>(static_cast<int>(result["fftSize"]));
        benchmark::DoNotOptimize(result);
    }
}

void BM_AnalyzeReferencePathImpulse(benchmark::State& state)
{
    analyse(state, {});
}
BENCHMARK(BM_AnalyzeReferencePathImpulse)->Unit(benchmark::kMillisecond)->UseRealTime();

// 10 s at 48 kHz: N = 2^19, 480 000 sweep samples, 241 distortion points.
void BM_AnalyzeReferencePathSweep10s(benchmark::State& state)
{
    speaker::GraphAnalyzerOptions options;
    options.excitation = speaker::AnalyzerExcitation::logSweep;
    options.durationSeconds = 10.0;
    analyse(state, options);
}
BENCHMARK(BM_AnalyzeReferencePathSweep10s)->Unit(benchmark::kMillisecond)->UseRealTime();

// One forward and one inverse real transform of 2^order, with either planning.
// Timed plans run about twice as fast but take minutes to make at the larger
// sizes the first time in a process, so the Analyzer uses estimated ones.
void BM_AnalyzerFftRoundTrip(benchmark::State& state)
{
    const int order = static_cast<int>(state.range(0));
    const auto planning = state.range(1) != 0 ? speaker::AnalyzerFft::Planning::measure
                                              : speaker::AnalyzerFft::Planning::estimate;
    const speaker::AnalyzerFft fft(order, planning);
    speaker::AnalyzerFftBuffer<double> x(fft.size()), y(fft.size());
    speaker::AnalyzerFftBuffer<std::complex<double>> bins(fft.numBins());
    for (size_t i = 0; i < fft.size(); ++i)
        x[i] = static_cast<double>(i % 17) - 8.0;
    for (auto _ : state)
    {
        fft.forward(x.data(), bins.data());
        fft.inverse(bins.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(BM_AnalyzerFftRoundTrip)
    ->ArgNames({ "order", "measure" })
    ->Args({ 16, 0 })
    ->Args({ 16, 1 })
    ->Args({ 19, 0 })
    ->Args({ 21, 0 })
    ->Unit(benchmark::kMillisecond);

// What a fresh Analyzer thread pays once: plans for orders 12 to 21.
void BM_AnalyzerFftPlansEstimate(benchmark::State& state)
{
    for (auto _ : state)
        for (int order = speaker::kAnalyzerFftMinOrder; order <= speaker::kAnalyzerFftMaxOrder; ++order)
        {
            speaker::AnalyzerFft fft(order);
            benchmark::DoNotOptimize(&fft);
        }
}
BENCHMARK(BM_AnalyzerFftPlansEstimate)->Unit(benchmark::kMillisecond);
} // namespace
