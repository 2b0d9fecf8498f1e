// Parameter paths: what each path stores, its clamps and its messages, and
// which edits reach the runtime mirror directly.

#include "EngineTestSupport.h"

#include "engine/AudioEngineImpl.h"

#include <functional>

namespace speaker::test
{
namespace
{
// in1 -> node1 (Low Pass) -> out1, plus Blocks of other kinds, and a chain
// module on each side.
Graph parameterProject()
{
    Graph g(2, 3);
    g.input("in1", 0).output("out1", 0).output("out2", 1);
    g.block("node1", ProcessingModuleKind::lowPassFilter, [](auto& p) {
        p.eq[0].type = static_cast<int>(FilterType::lowPass2nd);
        p.eq[0].enabled = true;
    });
    g.block("node2", ProcessingModuleKind::peakingFilter);
    g.block("node3", ProcessingModuleKind::gain);
    g.block("node4", ProcessingModuleKind::divide);
    g.block("node5", ProcessingModuleKind::iirFilter, [](auto& p) { p.eqBandCount = 2; });
    g.block("node6", ProcessingModuleKind::highPassFilter);
    g.wire("in1", "node1").wire("node1", "out1");
    InsertedModuleSettings module;
    module.id = "module1";
    module.kind = static_cast<int>(ProcessingModuleKind::peakingFilter);
    g.settings.outputs[0].insertedModules.push_back(module);
    g.settings.outputs[0].moduleOrder = { "gain", "module1", "iir", "delay" };
    module.kind = static_cast<int>(ProcessingModuleKind::delay);
    g.settings.inputs[0].insertedModules.push_back(module);
    g.settings.inputs[0].moduleOrder = { "fir", "module1" };
    return g;
}

struct PathCase
{
    const char* path;
    juce::var value;
    bool accepted;
    const char* message; // on refusal
    std::function<double(const AppSettings&)> read = {};
    double expected = 0.0;
};

const InsertedModuleSettings& block(const AppSettings& s, const char* id) { return findCanvasNode(s, id)->processor; }

std::vector<PathCase> pathCases()
{
    const auto nan = std::numeric_limits<double>::quiet_NaN();
    return {
        { "masterVolumeDb", 5.0, true, "", [](auto& s) { return s.masterVolumeDb; }, 0.0 },
        { "masterVolumeDb", -150.0, true, "", [](auto& s) { return s.masterVolumeDb; }, -100.0 },
        { "masterVolumeDb", nan, false, "Volume must be a finite number." },
        { "masterVolume", 1.0, false, "Unknown parameter path." },
        { "inputs.0", 1.0, false, "Unknown parameter path." },
        { "inputs.16.mute", true, false, "" },
        { "inputs.3.physicalChannel", 0, true, "", [](auto& s) { return s.inputs[3].physicalChannel; }, 1 },
        { "inputs.3.physicalChannel", 99, true, "", [](auto& s) { return s.inputs[3].physicalChannel; }, 64 },
        { "inputs.1.volumeDb", 40.0, true, "", [](auto& s) { return s.inputs[1].volumeDb; }, 12.0 },
        { "inputs.0.fir.enabled", false, true, "", [](auto& s) { return s.inputs[0].fir.enabled ? 1.0 : 0.0; }, 0.0 },
        { "inputs.0.foo", 1.0, false, "Unknown input parameter path." },
        { "inputs.0.modules.module9.gainDb", 1.0, false, "The inserted input module no longer exists." },
        { "inputs.0.modules.module1.delayUs", 20000.0, true, "", [](auto& s) { return s.inputs[0].insertedModules[0].delayUs; }, 10000.0 },
        { "inputs.0.modules.module1.volumeDb", 1.0, false, "" },
        { "outputs.0.foo", 1.0, false, "Unknown parameter path." },
        { "outputs.0.inputIndex", -5, true, "", [](auto& s) { return s.outputs[0].inputIndex; }, -1 },
        { "outputs.0.inputIndex", 40, true, "", [](auto& s) { return s.outputs[0].inputIndex; }, 15 },
        { "outputs.0.gainDb", 50.0, true, "", [](auto& s) { return s.outputs[0].gainDb; }, 20.0 },
        { "outputs.0.eq.3.frequencyHz", 30000.0, true, "", [](auto& s) { return s.outputs[0].eq[3].frequencyHz; }, 22000.0 },
        { "outputs.0.eq.3.frequencyHz", nan, false, "Filter parameters must be finite." },
        { "outputs.0.eq.16.q", 1.0, false, "" },
        { "outputs.0.eq.0.width", 1.0, false, "" },
        { "outputs.0.delaySamples", 24.4, true, "", [](auto& s) { return s.outputs[0].delayUs; }, 500.0 },
        { "outputs.0.modules.module1.volumeDb", 1.0, false, "Unknown inserted module parameter." },
        { "outputs.0.modules.module1.eq.0", 1.0, false, "Unknown inserted module parameter path." },
        { "outputs.0.modules.module2.gainDb", 1.0, false, "The inserted module no longer exists." },
        { "outputs.0.modules.module1.eq.0.frequencyHz", 5.0, true, "", [](auto& s) { return s.outputs[0].insertedModules[0].eq[0].frequencyHz; }, 18.0 },
        { "outputs.0.a.b.c", 1.0, false, "Unknown parameter path." },
        { "nodes.node1.eq.0.frequencyHz", 30000.0, true, "", [](auto& s) { return block(s, "node1").eq[0].frequencyHz; }, 23952.0 },
        { "nodes.node2.eq.0.frequencyHz", 30000.0, true, "", [](auto& s) { return block(s, "node2").eq[0].frequencyHz; }, 22000.0 },
        { "nodes.node2.eq.0.frequencyHz", 5.0, true, "", [](auto& s) { return block(s, "node2").eq[0].frequencyHz; }, 18.0 },
        { "nodes.node2.eq.0.gainDb", nan, false, "Filter parameters must be finite." },
        { "nodes.node1.eq.0.type", "peaking", true, "", [](auto& s) { return block(s, "node1").eq[0].type; }, 0 },
        { "nodes.node1.eq.16.q", 1.0, false, "" },
        { "nodes.node1.delaySamples", 1000.0, true, "", [](auto& s) { return block(s, "node1").delayUs; }, 10000.0 },
        { "nodes.node1.delaySamples", 24.4, true, "", [](auto& s) { return block(s, "node1").delayUs; }, 500.0 },
        { "nodes.node1.delayUs", 20000.0, true, "", [](auto& s) { return block(s, "node1").delayUs; }, 10000.0 },
        { "nodes.node1.volumeDb", 1.0, false, "Unknown DSP Block parameter." },
        { "nodes.node1.gain.x", 1.0, false, "Unknown DSP Block parameter path." },
        { "nodes.node1.eq.0", 1.0, false, "Unknown DSP Block parameter path." },
        { "nodes.node9.gainDb", 1.0, false, "The DSP Block no longer exists." },
        { "nodes.in1.gainDb", 1.0, false, "The DSP Block no longer exists." },
        { "nodes.node3.shelfOrder", 1, false, "Shelving filter order must be 1 or 2." },
        { "nodes.node1.lowPassShape", "Linkwitz-Riley", false, "Linkwitz-Riley requires an even Low Pass Filter order of 4, 6, or 8." },
        { "nodes.node3.lowPassShape", "Butterworth", false, "Low Pass Filter shape is unavailable for this Block." },
        { "nodes.node1.lowPassOrder", 2.5, false, "Low Pass Filter order must be an integer from 1 to 8." },
        { "nodes.node6.highPassOrder", 9, false, "High Pass Filter order must be an integer from 1 to 8." },
        { "nodes.node4.divideFloorDb", -500.0, true, "", [](auto& s) { return block(s, "node4").divideFloorDb; }, -180.0 },
        { "nodes.node4.divideLimitDb", nan, false, "Divide safety parameters must be finite numbers." },
        { "nodes.node3.divideLimitDb", 10.0, false, "" },
        { "nodes.node3.gainDb", nan, false, "Gain must be a finite number." },
        { "nodes.node3.eqBandCount", 99, true, "", [](auto& s) { return block(s, "node3").eqBandCount; }, 16 },
        { "nodes.node3.eqBandCount", nan, true, "", [](auto& s) { return block(s, "node3").eqBandCount; }, 1 },
        { "foo.bar.baz", 1.0, false, "Unknown parameter path." },
    };
}
} // namespace

class ParameterPathTest : public EngineTest
{
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        openDevice(48000.0, 256);
        apply(parameterProject());
    }
};

TEST_F(ParameterPathTest, EveryPathStoresItsClampedValueOrRefusesWithItsMessage)
{
    for (const auto& c : pathCases())
    {
        apply(parameterProject());
        const auto before = engine->getSettings();
        const auto revision = engine->getSettingsRevision();
        std::string error = "stale";
        const bool ok = engine->setParameter(c.path, c.value, error);
        EXPECT_EQ(ok, c.accepted) << c.path << ": " << error;
        if (! c.accepted)
        {
            EXPECT_EQ(error, c.message) << c.path;
            EXPECT_EQ(engine->getSettings(), before) << c.path;
            EXPECT_EQ(engine->getSettingsRevision(), revision) << c.path;
        }
        else
        {
            EXPECT_GT(engine->getSettingsRevision(), revision) << c.path;
            if (c.read)
            {
                EXPECT_DOUBLE_EQ(c.read(engine->getSettings()), c.expected) << c.path;
            }
        }
    }
}

TEST_F(ParameterPathTest, FilterShapeAndOrderInteract)
{
    std::string error;
    ASSERT_TRUE(engine->setParameter("nodes.node1.lowPassOrder", 4, error)) << error;
    ASSERT_TRUE(engine->setParameter("nodes.node1.lowPassShape", "Linkwitz-Riley", error)) << error;
    EXPECT_EQ(block(engine->getSettings(), "node1").lowPassShape, static_cast<int>(FilterShape::linkwitzRiley));
    ASSERT_TRUE(engine->setParameter("nodes.node1.lowPassOrder", 3, error)) << error;
    EXPECT_EQ(block(engine->getSettings(), "node1").lowPassShape, static_cast<int>(FilterShape::butterworth));
}

TEST_F(ParameterPathTest, GrowingTheBandCountResetsOnlyTheNewBands)
{
    std::string error;
    ASSERT_TRUE(engine->setParameter("nodes.node5.eq.2.gainDb", 6.0, error));
    ASSERT_TRUE(engine->setParameter("nodes.node5.eqBandCount", 4, error));
    auto p = block(engine->getSettings(), "node5");
    for (const int b : { 2, 3 })
        EXPECT_EQ(p.eq[static_cast<size_t>(b)], (EqBandSettings { true, static_cast<int>(FilterType::peaking), 1000.0, 0.0, 1.0 }));
    ASSERT_TRUE(engine->setParameter("nodes.node5.eq.3.gainDb", 3.0, error));
    ASSERT_TRUE(engine->setParameter("nodes.node5.eqBandCount", 2, error));
    EXPECT_EQ(block(engine->getSettings(), "node5").eq[3].gainDb, 3.0);
}

TEST_F(ParameterPathTest, LockedTerminalsAcceptOnlyMuteAndSolo)
{
    auto g = parameterProject();
    g.node("out2").locked = true;
    g.node("in1").locked = true;
    g.node("node3").locked = true;
    apply(g);
    std::string error;
    EXPECT_TRUE(engine->setParameter("outputs.1.mute", true, error));
    EXPECT_TRUE(engine->setParameter("inputs.0.solo", true, error));
    EXPECT_FALSE(engine->setParameter("outputs.1.volumeDb", -3.0, error));
    EXPECT_EQ(error, "Unlock this Output before changing its settings.");
    EXPECT_FALSE(engine->setParameter("inputs.0.volumeDb", -3.0, error));
    EXPECT_EQ(error, "Unlock this Input before changing its settings.");
    EXPECT_FALSE(engine->setParameter("nodes.node3.gainDb", -3.0, error));
    EXPECT_EQ(error, "Unlock this Block before changing its settings.");
    EXPECT_FALSE(engine->setFilterParameters("nodes.node3", 100.0, 0.0, 1.0, error));
    EXPECT_EQ(error, "Unlock this Block before changing its settings.");
}

TEST_F(ParameterPathTest, RoutingAndPhysicalOutputsWaitForStop)
{
    run();
    std::string error;
    EXPECT_FALSE(engine->setParameter("outputs.3.physicalChannel", 2, error));
    EXPECT_EQ(error, "Stop DSP before changing a physical output.");
    EXPECT_FALSE(engine->setParameter("outputs.0.inputIndex", 1, error));
    EXPECT_EQ(error, "Stop DSP before changing routing.");
    EXPECT_TRUE(engine->setParameter("inputs.3.physicalChannel", 2, error)) << error;
    EXPECT_TRUE(engine->setParameter("nodes.node1.eq.0.frequencyHz", 500.0, error)) << error;
}

TEST_F(ParameterPathTest, DirectEditsReachTheRuntimeMirrorAndPublishedOnesRepublish)
{
    auto& d = engine->getImpl();
    std::string error;
    const auto analysis = engine->getAnalysisRevision();
    ASSERT_TRUE(engine->setParameter("outputs.1.volumeDb", -6.0, error));
    EXPECT_EQ(d.outputs[1].volumeDb.load(), -6.0);
    ASSERT_TRUE(engine->setParameter("inputs.2.physicalChannel", 5, error));
    EXPECT_EQ(d.inputs[2].deviceChannel.load(), 4);
    ASSERT_TRUE(engine->setParameter("masterVolumeDb", -10.0, error));
    EXPECT_EQ(d.masterVolumeDb.load(), -10.0);
    const auto delay = d.outputs[0].delayRevision.load();
    ASSERT_TRUE(engine->setParameter("outputs.0.delayUs", 100.0, error));
    EXPECT_EQ(d.outputs[0].delayRevision.load(), delay + 1);
    const auto band = d.outputs[0].bandRevisions[2].load();
    ASSERT_TRUE(engine->setParameter("outputs.0.eq.2.q", 2.0, error));
    EXPECT_EQ(d.outputs[0].bandRevisions[2].load(), band + 1);
    EXPECT_EQ(engine->getAnalysisRevision(), analysis + 5);
    EXPECT_TRUE(engine->hasUnsavedChanges());

    // A node band is published: the slot's band revision moves.
    const auto slotRevision = d.nodes[3].bands[0].revision.load();
    ASSERT_TRUE(engine->setParameter("nodes.node1.eq.0.frequencyHz", 500.0, error));
    EXPECT_GT(d.nodes[3].bands[0].revision.load(), slotRevision);
    EXPECT_EQ(d.nodes[3].bands[0].frequencyHz.load(), 500.0);
}

TEST_F(ParameterPathTest, FilterParametersSetBandZeroOfFiltersOnly)
{
    std::string error;
    EXPECT_FALSE(engine->setFilterParameters("nodes.node3", 100.0, 0.0, 1.0, error));
    EXPECT_EQ(error, "The Filter no longer exists.");
    EXPECT_FALSE(engine->setFilterParameters("nodes.node2", std::nan(""), 0.0, 1.0, error));
    EXPECT_EQ(error, "Filter parameters must be finite.");
    ASSERT_TRUE(engine->setFilterParameters("nodes.node2", 5.0, 30.0, 0.01, error)) << error;
    const auto band = block(engine->getSettings(), "node2").eq[0];
    EXPECT_EQ(band.frequencyHz, 18.0);
    EXPECT_EQ(band.gainDb, 20.0);
    EXPECT_EQ(band.q, 0.1);
    ASSERT_TRUE(engine->setFilterParameters("outputs.0.modules.module1", 30000.0, -1.0, 2.0, error)) << error;
    EXPECT_EQ(engine->getSettings().outputs[0].insertedModules[0].eq[0].frequencyHz, 22000.0);
    ASSERT_TRUE(engine->setFilterParameters("nodes.node6", 30000.0, 0.0, 1.0, error)) << error;
    EXPECT_EQ(block(engine->getSettings(), "node6").eq[0].frequencyHz, 23952.0);
    EXPECT_FALSE(engine->setFilterParameters("inputs.0.modules.module1", 100.0, 0.0, 1.0, error));
    EXPECT_EQ(error, "The Filter no longer exists.");
}

TEST_F(ParameterPathTest, AllOutputMuteIgnoresLocksAndCoversUsedOutputs)
{
    auto g = parameterProject();
    g.node("out1").locked = true;
    apply(g);
    engine->setAllOutputMute(true);
    const auto s = engine->getSettings();
    for (int i = 0; i < kMaxOutputs; ++i)
        EXPECT_EQ(s.outputs[static_cast<size_t>(i)].mute, i < 3) << i;
    EXPECT_TRUE(engine->getImpl().outputs[0].mute.load());
}
} // namespace speaker::test
