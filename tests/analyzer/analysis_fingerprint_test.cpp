#include "AnalyzerTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace analyzer_test;

namespace
{
InsertedModuleSettings peaking()
{
    return withBand(module(ProcessingModuleKind::peakingFilter), 1000.0, 3.0, 1.0);
}

// Path in1 -> node1 -> node2 -> out1, and in2 -> node3 -> out2 beside it.
AppSettings baseProject()
{
    AppSettings p = chainProject({ peaking(), module(ProcessingModuleKind::gain) });
    p.connections.pop_back();
    p.nodes.push_back(blockNode("node3", module(ProcessingModuleKind::gain)));
    connect(p, "in2", "node3");
    connect(p, "node3", "out2");
    return p;
}

AppSettings groupedBase()
{
    AppSettings p = baseProject();
    CanvasSubmoduleSettings sub;
    sub.id = "submodule1";
    sub.nodeIds = { "node1", "node2" };
    sub.inputs.push_back({ "input1", "In", 10.0, 20.0, "node1" });
    sub.outputs.push_back({ "output1", "Out", 30.0, 20.0, "node2" });
    p.submodules.push_back(sub);
    const auto in = canvasSubmoduleInputEndpoint("submodule1", "input1");
    const auto out = canvasSubmoduleOutputEndpoint("submodule1", "output1");
    std::vector<CanvasConnectionSettings> wires;
    for (auto c : p.connections)
    {
        if (c.source == "in1" && c.target == "node1")
        {
            wires.push_back({ "connection90", "in1", in, "", "" });
            c = { "connection91", in, "node1", "", "" };
        }
        else if (c.source == "node2" && c.target == "out1")
        {
            wires.push_back({ "connection92", "node2", out, "", "" });
            c = { "connection93", out, "out1", "", "" };
        }
        wires.push_back(c);
    }
    p.connections = wires;
    return p;
}
} // namespace

TEST(AnalysisFingerprint, IgnoresWhatTheAnalysisDoesNotRead)
{
    const AppSettings base = baseProject();
    const auto key = graphAnalysisFingerprint(base, "out1", true);
    EXPECT_FALSE(key.empty());
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);

    const std::vector<std::pair<const char*, std::function<void(AppSettings&)>>> kept {
        { "moved", [](AppSettings& p) { for (auto& n : p.nodes) { n.x += 40.0; n.y -= 12.0; } } },
        { "locked", [](AppSettings& p) { for (auto& n : p.nodes) n.locked = true; } },
        { "unrelated Block", [](AppSettings& p) { findCanvasNode(p, "node3")->processor.gainDb = -9.0; } },
        { "workspace", [](AppSettings& p) { p.analyzerWorkspace = R"({"traces": [1, 2, 3]})"; } },
        { "wire ids", [](AppSettings& p) { for (auto& c : p.connections) c.id += "x"; } },
    };
    for (const auto& [name, edit] : kept)
    {
        auto p = base;
        edit(p);
        EXPECT_EQ(graphAnalysisFingerprint(p, "out1", true), key) << name;
    }
    EXPECT_EQ(graphAnalysisFingerprint(groupedBase(), "out1", true), key) << "grouped";
    EXPECT_EQ(analyzeCanvasGraph(groupedBase(), "out1", true, 48000.0, {})["magnitudeDb"].size(), 401);
}

TEST(AnalysisFingerprint, ChangesWithEveryAnalysedParameter)
{
    const AppSettings base = baseProject();
    const auto key = graphAnalysisFingerprint(base, "out1", true);
    const std::vector<std::pair<const char*, std::function<void(AppSettings&)>>> changed {
        { "band frequency", [](AppSettings& p) { findCanvasNode(p, "node1")->processor.eq[0].frequencyHz = 1001.0; } },
        { "band gain", [](AppSettings& p) { findCanvasNode(p, "node1")->processor.eq[0].gainDb = 3.5; } },
        { "band Q", [](AppSettings& p) { findCanvasNode(p, "node1")->processor.eq[0].q = 1.2; } },
        { "gain", [](AppSettings& p) { findCanvasNode(p, "node2")->processor.gainDb = -1.0; } },
        { "polarity", [](AppSettings& p) { findCanvasNode(p, "node2")->processor.polarityInverted = true; } },
        { "bypass", [](AppSettings& p) { findCanvasNode(p, "node2")->processor.bypassed = true; } },
        { "input volume", [](AppSettings& p) { p.inputs[0].volumeDb = -1.0; } },
        { "output volume", [](AppSettings& p) { p.outputs[0].volumeDb = -1.0; } },
        { "rewired", [](AppSettings& p) { p.connections[1].source = "in1"; } },
    };
    for (const auto& [name, edit] : changed)
    {
        auto p = base;
        edit(p);
        EXPECT_NE(graphAnalysisFingerprint(p, "out1", true), key) << name;
    }
    EXPECT_NE(graphAnalysisFingerprint(base, "out1", false), key);
    EXPECT_NE(graphAnalysisFingerprint(base, "node2", true), key);
    EXPECT_NE(graphAnalysisFingerprint(base, "gone", true), graphAnalysisFingerprint(base, "gone2", true));
}

TEST(AnalysisFingerprint, CacheKeyCarriesTheRequest)
{
    const AppSettings p = baseProject();
    GraphAnalyzerOptions o;
    const auto fingerprint = graphAnalysisFingerprint(p, "out1", true);
    EXPECT_EQ(graphAnalysisCacheKey(p, "out1", true, 48000.0, o),
              fingerprint + "|out1|path|48000.000|impulse|20.000|20000.000|1.000000|-12.000|");

    o = sweepOptions(30.0, 15000.0, 2.5);
    o.levelDb = -70.0;
    o.excitationInputIds = { "in1", "in2" };
    EXPECT_EQ(graphAnalysisCacheKey(p, "node2", false, 96000.0, o),
              graphAnalysisFingerprint(p, "node2", false)
                  + "|node2|block|96000.000|sweep|30.000|15000.000|2.500000|-60.000|in1,in2");
}
