// Publishing the project to the audio thread, FIR loading and the project's
// rate rules.

#include "EngineTestSupport.h"

#include "engine/AudioEngineImpl.h"
#include "model/CanvasValidation.h"

#include <cmath>

namespace speaker::test
{
namespace
{
std::vector<int> executionOrder(AudioEngine& engine)
{
    auto& d = engine.getImpl();
    std::vector<int> order;
    for (int i = 0; i < d.executionOrderLength.load(); ++i)
        order.push_back(d.executionOrder[static_cast<size_t>(i)].load());
    return order;
}

int sourceA(AudioEngine& engine, int slot) { return engine.getImpl().nodes[static_cast<size_t>(slot)].sourceA.load(); }
int sourceB(AudioEngine& engine, int slot) { return engine.getImpl().nodes[static_cast<size_t>(slot)].sourceB.load(); }

std::vector<float> sine(double frequency, int samples, float amplitude = 0.5f)
{
    std::vector<float> x(static_cast<size_t>(samples));
    for (int k = 0; k < samples; ++k)
        x[static_cast<size_t>(k)] = amplitude * static_cast<float>(std::sin(2.0 * juce::MathConstants<double>::pi * frequency * k / 48000.0));
    return x;
}

ParsedFirFile firFile(std::vector<float> taps, int rate = 48000)
{
    return { "taps.txt", rate, std::move(taps) };
}
} // namespace

using PublishingTest = EngineTest;

TEST_F(PublishingTest, ExecutionOrderFollowsTheWiresAndTheNodeList)
{
    Graph g(2, 1);
    g.output("out1", 0).block("node2", ProcessingModuleKind::gain).input("in1", 0).block("node1", ProcessingModuleKind::gain).input("in2", 1);
    g.wire("node2", "out1").wire("node1", "node2").wire("in1", "node1");
    apply(g);
    EXPECT_EQ(executionOrder(*engine), (std::vector<int> { 2, 4, 3, 1, 0 }));
    EXPECT_EQ(sourceA(*engine, 0), 1);
    EXPECT_EQ(sourceA(*engine, 1), 3);
    EXPECT_EQ(sourceA(*engine, 3), 2);
    EXPECT_FALSE(engine->getImpl().nodes[5].valid.load());
}

TEST_F(PublishingTest, BlocksThatReachNoOutputArePruned)
{
    Graph g(1, 1);
    g.input("in1", 0).output("out1", 0);
    g.block("node1", ProcessingModuleKind::gain).block("node2", ProcessingModuleKind::delay).block("node3", ProcessingModuleKind::firFilter);
    g.wire("in1", "node1").wire("node1", "out1").wire("in1", "node2").wire("node2", "node3");
    apply(g);
    EXPECT_EQ(executionOrder(*engine), (std::vector<int> { 0, 2, 1 }));
}

TEST_F(PublishingTest, NodesOnACycleNeverRun)
{
    Graph g(1, 1);
    g.input("in1", 0).output("out1", 0).block("node1", ProcessingModuleKind::gain).block("node2", ProcessingModuleKind::gain);
    g.wire("in1", "out1").wire("node2", "node1").wire("node1", "node2").wire("node1", "out1", "input");
    apply(g); // the reader's own projects never hold this; publishing must still be harmless
    for (const int slot : executionOrder(*engine))
        EXPECT_TRUE(slot == 0 || slot == 1) << slot;
}

TEST_F(PublishingTest, SubsystemPortsArePassedThrough)
{
    Graph g(1, 1);
    g.input("in1", 0).output("out1", 0).block("node1", ProcessingModuleKind::gain).block("node2", ProcessingModuleKind::gain);
    CanvasSubmoduleSettings sub;
    sub.id = "submodule1";
    sub.nodeIds = { "node1", "node2" };
    sub.inputs = { { "input1", "In", 0, 0, "" }, { "input2", "Unfed", 0, 0, "" } };
    sub.outputs = { { "output1", "Out", 0, 0, "" } };
    g.settings.submodules.push_back(sub);
    const auto in1 = canvasSubmoduleInputEndpoint("submodule1", "input1");
    const auto in2 = canvasSubmoduleInputEndpoint("submodule1", "input2");
    const auto out1 = canvasSubmoduleOutputEndpoint("submodule1", "output1");
    g.wire("in1", in1).wire(in1, "node1").wire("node1", out1).wire(out1, "out1").wire(in2, "node2");
    std::string error;
    ASSERT_TRUE(validateCanvasGraph(g.settings, error)) << error;
    start(g);
    EXPECT_EQ(sourceA(*engine, 2), 0) << "the Block inside reads the Input outside";
    EXPECT_EQ(sourceA(*engine, 1), 2) << "the Output outside reads the Block inside";
    EXPECT_EQ(sourceA(*engine, 3), -1) << "a port nobody feeds leaves its Block unconnected";

    const auto out = process({ alternating(0.25f, 4096) }, 4096);
    EXPECT_NEAR(std::abs(out[0].back()), 0.25f, 1e-6);
}

TEST_F(PublishingTest, TheLaterOfTwoWiresIntoOnePortWins)
{
    Graph g(2, 1);
    g.input("in1", 0).input("in2", 1).output("out1", 0).block("node1", ProcessingModuleKind::subtract);
    g.wire("in1", "out1").wire("in2", "out1");
    g.wire("in2", "node1", "b").wire("in1", "node1").wire("in2", "node1", "a");
    apply(g);
    EXPECT_EQ(sourceA(*engine, 2), 1);
    EXPECT_EQ(sourceA(*engine, 3), 1) << "an empty port of a math Block is \"a\"; the later \"a\" wins";
    EXPECT_EQ(sourceB(*engine, 3), 1);
}

TEST_F(PublishingTest, MathBlocksReadBothPortsAndAMissingOperandIsZero)
{
    Graph g(2, 2);
    g.input("in1", 0).input("in2", 1).output("out1", 0).output("out2", 1);
    g.block("node1", ProcessingModuleKind::add).block("node2", ProcessingModuleKind::subtract);
    g.wire("in1", "node1").wire("in2", "node1", "b").wire("node1", "out1");
    g.wire("in2", "node2", "b").wire("node2", "out2");
    start(g);
    const auto out = process({ alternating(0.1f, 8192), alternating(0.2f, 8192) }, 8192);
    EXPECT_NEAR(out[0].back(), -0.3f, 1e-6);
    EXPECT_NEAR(out[1].back(), 0.2f, 1e-6) << "0 - b";
}

TEST_F(PublishingTest, PublishingTheSameProjectTwiceIsInaudible)
{
    Graph g(1, 1);
    g.input("in1", 0).output("out1", 0);
    g.block("node1", ProcessingModuleKind::iirFilter, [](auto& p) {
        p.eqBandCount = 3;
        p.eq[0] = { true, static_cast<int>(FilterType::peaking), 800.0, 4.0, 1.5 };
        p.eq[1] = { true, static_cast<int>(FilterType::highShelf), 5000.0, -3.0, 0.7 };
        p.eq[2] = { true, static_cast<int>(FilterType::lowPass2nd), 12000.0, 0.0, 0.7 };
    });
    g.block("node2", ProcessingModuleKind::lowPassFilter, [](auto& p) {
        p.lowPassOrder = 4;
        p.lowPassShape = static_cast<int>(FilterShape::linkwitzRiley);
        p.eq[0].frequencyHz = 2000.0;
    });
    g.block("node3", ProcessingModuleKind::peakingFilter, [](auto& p) { p.eq[0] = { true, 5, 300.0, -6.0, 2.0 }; });
    g.block("node4", ProcessingModuleKind::delay, [](auto& p) { p.delayUs = 1500.0; });
    g.wire("in1", "node1").wire("node1", "node2").wire("node2", "node3").wire("node3", "node4").wire("node4", "out1");
    const auto x = sine(440.0, 16384);

    start(g);
    const auto reference = process({ x }, static_cast<int>(x.size()));

    createEngine();
    start(g);
    auto first = process({ std::vector<float>(x.begin(), x.begin() + 8192) }, 8192);
    const auto revision = engine->getSettingsRevision();
    engine->applyParameterEdit([](AppSettings&) {});
    EXPECT_GT(engine->getSettingsRevision(), revision);
    const auto second = process({ std::vector<float>(x.begin() + 8192, x.end()) }, 8192);
    first[0].insert(first[0].end(), second[0].begin(), second[0].end());
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_NEAR(first[0][i], reference[0][i], 1e-6) << i;
}

// ---------------------------------------------------------------------------
// FIR loading

using FirLoadingTest = EngineTest;

Graph firGraph()
{
    Graph g(1, 1);
    g.input("in1", 0).output("out1", 0).block("node1", ProcessingModuleKind::firFilter).block("node2", ProcessingModuleKind::gain);
    g.wire("in1", "node1").wire("node1", "out1");
    return g;
}

TEST_F(FirLoadingTest, LoadsIntoABlockAndIsHeard)
{
    openDevice();
    apply(firGraph());
    const auto revision = engine->getSettingsRevision();
    std::string error;
    ASSERT_TRUE(engine->loadFirIntoBlock("node1", firFile({ 0.0f, 0.5f }), error)) << error;
    EXPECT_GT(engine->getSettingsRevision(), revision);
    EXPECT_TRUE(engine->hasUnsavedChanges());
    const auto fir = engine->getSettings().nodes[2].processor.fir;
    EXPECT_EQ(fir.fileName, "taps.txt");
    EXPECT_EQ(fir.coefficients, (std::vector<float> { 0.0f, 0.5f }));
    EXPECT_TRUE(fir.enabled);

    engine->setMasterMute(false);
    run();
    auto x = alternating(0.4f, 4096);
    const auto out = process({ x }, 4096);
    EXPECT_NEAR(out[0][4095], 0.5f * x[4094], 1e-6);
}

TEST_F(FirLoadingTest, BlockLoadRefusals)
{
    struct Case
    {
        const char* name;
        std::string node;
        ParsedFirFile file;
        const char* message;
    };
    std::vector<float> tooMany(4097, 0.1f);
    const Case cases[] = {
        { "missing", "node9", firFile({ 1.0f }), "The FIR module no longer exists." },
        { "not a FIR", "node2", firFile({ 1.0f }), "The FIR module no longer exists." },
        { "rate", "node1", firFile({ 1.0f }, 96000), "The FIR design sample rate does not match the audio device sample rate." },
        { "too many", "node1", firFile(tooMany), "FIR coefficient count must be between 1 and 4096." },
        { "none", "node1", firFile({}), "FIR coefficient count must be between 1 and 4096." },
        { "not finite", "node1", firFile({ 1.0f, std::numeric_limits<float>::infinity() }), "FIR coefficients must be finite numbers." },
    };
    openDevice();
    apply(firGraph());
    const auto before = engine->getSettings();
    for (const auto& c : cases)
    {
        std::string error;
        EXPECT_FALSE(engine->loadFirIntoBlock(c.node, c.file, error)) << c.name;
        EXPECT_EQ(error, c.message) << c.name;
        EXPECT_EQ(engine->getSettings(), before) << c.name;
    }

    Graph locked = firGraph();
    locked.node("node1").locked = true;
    apply(locked);
    std::string error;
    EXPECT_FALSE(engine->loadFirIntoBlock("node1", firFile({ 1.0f }), error));
    EXPECT_EQ(error, "Unlock this Block before loading an FIR file.");

    apply(firGraph());
    engine->setMasterMute(false);
    run();
    EXPECT_FALSE(engine->loadFirIntoBlock("node1", firFile({ 1.0f }), error));
    EXPECT_EQ(error, "Stop DSP before loading an FIR file.");
    EXPECT_FALSE(engine->loadFirIntoChain(false, 0, "module1", firFile({ 1.0f }), error));
    EXPECT_EQ(error, "Stop DSP before loading an FIR file.");
}

TEST_F(FirLoadingTest, ChainLoads)
{
    Graph g = firGraph();
    InsertedModuleSettings module;
    module.id = "module1";
    module.kind = kind(ProcessingModuleKind::firFilter);
    g.settings.outputs[0].insertedModules.push_back(module);
    apply(g);

    std::string error = "unchanged";
    EXPECT_FALSE(engine->loadFirIntoChain(false, 16, "module1", firFile({ 1.0f }), error));
    EXPECT_TRUE(error.empty());
    // No device: any supported design rate is accepted.
    EXPECT_TRUE(engine->loadFirIntoChain(false, 0, "module1", firFile({ 0.25f }, 96000), error)) << error;
    EXPECT_EQ(engine->getSettings().outputs[0].insertedModules[0].fir.sampleRateHz, 96000);
    EXPECT_TRUE(engine->loadFirIntoChain(true, 3, "fir", firFile({ 0.5f }), error)) << error;
    EXPECT_EQ(engine->getSettings().inputs[3].fir.coefficients, std::vector<float> { 0.5f });
    EXPECT_FALSE(engine->loadFirIntoChain(true, 0, "module7", firFile({ 1.0f }), error));
    EXPECT_EQ(error, "The FIR module no longer exists.");

    openDevice();
    EXPECT_FALSE(engine->loadFirIntoChain(false, 0, "module1", firFile({ 1.0f }, 44100), error));
    EXPECT_EQ(error, "The FIR design sample rate does not match the audio device sample rate.");
}

TEST_F(FirLoadingTest, ApplySettingsRateRules)
{
    openDevice();
    std::string error;

    Graph placeholder = firGraph();
    placeholder.node("node1").processor.fir.sampleRateHz = 44100; // still "No file loaded"
    ASSERT_TRUE(engine->applySettings(placeholder.settings, error)) << error;
    EXPECT_EQ(engine->getSettings().nodes[2].processor.fir.sampleRateHz, 48000);
    EXPECT_EQ(engine->getSettings().nodes[2].processor.fir.coefficients, std::vector<float> { 1.0f });

    const auto kept = engine->getSettings();
    Graph designed = firGraph();
    designed.node("node1").processor.fir = { true, "room.txt", 44100, { 0.5f } };
    EXPECT_FALSE(engine->applySettings(designed.settings, error));
    EXPECT_EQ(error, "The FIR design sample rate does not match the audio device sample rate.");
    EXPECT_EQ(engine->getSettings(), kept);

    Graph broken = firGraph();
    broken.node("node1").processor.fir = { true, "room.txt", 48000, {} };
    EXPECT_FALSE(engine->applySettings(broken.settings, error));
    EXPECT_EQ(error, "FIR coefficient count must be between 1 and 4096.");
    EXPECT_EQ(engine->getSettings(), kept);

    engine->setMasterMute(false);
    run();
    EXPECT_FALSE(engine->applySettings(placeholder.settings, error));
    EXPECT_EQ(error, "Stop DSP before loading FIR data.");
}
} // namespace speaker::test
