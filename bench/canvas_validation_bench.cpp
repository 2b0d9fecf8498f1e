#include "model/CanvasValidation.h"
#include "model/FirFile.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

// Graph validation runs on the message thread on every canvas edit; FIR parsing once per
// loaded file. Both at their largest inputs.

namespace
{
std::string numbered(const std::string& prefix, int n)
{
    std::string result = prefix;
    result += std::to_string(n);
    return result;
}

void addWire(speaker::AppSettings& s, const std::string& source, const std::string& target, const std::string& targetPort = {})
{
    speaker::CanvasConnectionSettings c;
    c.id = numbered("w", static_cast<int>(s.connections.size()));
    c.source = source;
    c.target = target;
    c.targetPort = targetPort;
    s.connections.push_back(c);
}

void addBlock(speaker::AppSettings& s, const std::string& id, speaker::ProcessingModuleKind kind)
{
    speaker::CanvasNodeSettings node;
    node.id = id;
    node.processor.id = id;
    node.processor.kind = static_cast<int>(kind);
    s.nodes.push_back(node);
}

// 96 nodes (16 inputs, 16 outputs, 64 Blocks), 32 Subsystems with 120 ports in all, 192 connections.
speaker::AppSettings largestGraph()
{
    auto s = speaker::makeDefaultSettings("custom", std::vector<int>(16, 1));
    s.connections.clear();
    for (int k = 1; k <= 32; ++k)
    {
        const auto sub = numbered("sub", k);
        const auto a = numbered("a", k);
        const auto b = numbered("b", k);
        const auto in = numbered("in", (k - 1) % 16 + 1);
        addBlock(s, a, speaker::ProcessingModuleKind::gain);
        addBlock(s, b, speaker::ProcessingModuleKind::add);
        speaker::CanvasSubmoduleSettings group;
        group.id = sub;
        group.nodeIds = { a, b };
        for (const char* id : { "i", "j" })
            group.inputs.push_back({ id, id, 0.0, 0.0, {} });
        group.outputs.push_back({ "o", "o", 0.0, 0.0, b });
        s.submodules.push_back(group);

        const auto i = speaker::canvasSubmoduleInputEndpoint(sub, "i");
        const auto o = speaker::canvasSubmoduleOutputEndpoint(sub, "o");
        addWire(s, in, i);
        addWire(s, i, a);
        addWire(s, a, b, "a");
        addWire(s, b, o);
        if (k <= 16)
            addWire(s, o, numbered("out", k));
        if (k <= 24)
        {
            const auto j = speaker::canvasSubmoduleInputEndpoint(sub, "j");
            addWire(s, in, j);
            addWire(s, j, b, "b");
        }
    }
    return s;
}

void BM_ValidateLargestGraph(benchmark::State& state)
{
    const auto settings = largestGraph();
    std::string error;
    if (! speaker::validateCanvasGraph(settings, error))
        state.SkipWithError(error.c_str());
    for (auto _ : state)
        benchmark::DoNotOptimize(speaker::validateCanvasGraph(settings, error));
}
BENCHMARK(BM_ValidateLargestGraph)->Unit(benchmark::kMicrosecond);

void BM_ValidateStereoDefault(benchmark::State& state)
{
    const auto settings = speaker::makeDefaultSettings("stereo", {});
    std::string error;
    for (auto _ : state)
        benchmark::DoNotOptimize(speaker::validateCanvasGraph(settings, error));
}
BENCHMARK(BM_ValidateStereoDefault)->Unit(benchmark::kMicrosecond);

void BM_ParseFir4096(benchmark::State& state)
{
    std::string text = "# sample_rate_hz: 48000\n";
    for (int i = 0; i < 4096; ++i)
        text += "-0.000123456789e-2\n";
    std::string error;
    for (auto _ : state)
        benchmark::DoNotOptimize(speaker::parseFirText(text, "taps.txt", error));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseFir4096)->Unit(benchmark::kMicrosecond);
} // namespace
