#include "analyzer/AnalyzerGraph.h"
#include "analyzer/GraphAnalyzer.h"

#include "model/ProjectFile.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace speaker
{
namespace
{
std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string hex(std::uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

// Only what the analysis reads: the analysed nodes, reset to the origin and
// unlocked, and one plain wire per resolved source, so that regrouping nodes
// (which adds port hops and renames wires) keeps the text.
AppSettings analysedCopy(const AppSettings& project, const AnalyzerGraph& graph)
{
    AppSettings copy = project;
    copy.analyzerWorkspace = "{}";
    copy.nodes.clear();
    copy.connections.clear();
    copy.submodules.clear();
    for (const int i : graph.analysedSet)
    {
        auto node = project.nodes[static_cast<size_t>(i)];
        node.x = node.y = 0.0;
        node.locked = false;
        copy.nodes.push_back(node);

        const bool math = isMathBlock(node);
        const std::pair<int, const char*> feeds[] = { { graph.sourceA[static_cast<size_t>(i)], math ? "a" : "input" },
                                                       { math ? graph.sourceB[static_cast<size_t>(i)] : -1, "b" } };
        for (const auto& [source, port] : feeds)
        {
            if (source < 0)
                continue;
            CanvasConnectionSettings wire;
            wire.source = project.nodes[static_cast<size_t>(source)].id;
            wire.target = node.id;
            wire.targetPort = port;
            copy.connections.push_back(wire);
        }
    }
    return copy;
}
} // namespace

std::string graphAnalysisFingerprint(const AppSettings& project, const std::string& targetId, bool includePath)
{
    const AnalyzerGraph graph = resolveAnalyzerGraph(project, targetId, includePath);
    juce::String text;
    if (graph.target < 0)
    {
        text = juce::String("missing:") + juce::String(targetId);
    }
    else
    {
        juce::var object = settingsToVar(analysedCopy(project, graph), true);
        if (auto* dynamic = object.getDynamicObject())
        {
            dynamic->setProperty("target", juce::String(targetId));
            dynamic->setProperty("includePath", includePath);
        }
        text = juce::JSON::toString(object, true, 15);
    }

    std::uint64_t h = 0;
    for (auto p = text.getCharPointer(); ! p.isEmpty();)
        h = h * 101u + static_cast<std::uint64_t>(p.getAndAdvance());
    return hex(h);
}

std::string graphAnalysisCacheKey(const AppSettings& project, const std::string& targetId, bool includePath,
                                  double sampleRateHz, const GraphAnalyzerOptions& options)
{
    const bool sweep = options.excitation == AnalyzerExcitation::logSweep;
    const double duration = std::clamp(std::isfinite(options.durationSeconds) ? options.durationSeconds : 1.0, 0.1, 10.0);
    const double level = std::clamp(std::isfinite(options.levelDb) ? options.levelDb : -12.0, -60.0, 0.0);
    const double start = std::isfinite(options.sweepStartHz) ? options.sweepStartHz : 20.0;
    const double end = std::isfinite(options.sweepEndHz) ? options.sweepEndHz : 20000.0;

    std::string inputs;
    for (size_t i = 0; i < options.excitationInputIds.size(); ++i)
        inputs += (i == 0 ? "" : ",") + options.excitationInputIds[i];

    return graphAnalysisFingerprint(project, targetId, includePath) + "|" + targetId + "|"
        + (includePath ? "path|" : "block|") + fixed(analyzerSampleRate(sampleRateHz), 3) + "|"
        + (sweep ? "sweep|" : "impulse|") + fixed(start, 3) + "|" + fixed(end, 3) + "|" + fixed(duration, 6) + "|"
        + fixed(level, 3) + "|" + inputs;
}
} // namespace speaker
