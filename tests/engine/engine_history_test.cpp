// The undo history with its coalescing rules (driven by a hand-moved clock),
// new projects, and the state snapshot.

#include "EngineTestSupport.h"

#include "engine/UndoLabels.h"
#include "model/ProjectFile.h"

namespace speaker::test
{
namespace
{
Graph historyProject()
{
    Graph g(1, 2);
    g.input("in1", 0).output("out1", 0).output("out2", 1);
    g.block("node1", ProcessingModuleKind::delay, [](auto& p) { p.delayUs = 1000.0; });
    g.block("node2", ProcessingModuleKind::gain);
    g.wire("in1", "node1").wire("node1", "out1");
    return g;
}
} // namespace

class HistoryTest : public EngineTest
{
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        engine->setHistoryClock([this] { return nowMs; });
        apply(historyProject());
    }

    bool parameter(const juce::String& path, double value, const juce::String& control = {})
    {
        std::string error;
        return engine->performUndoableChange(undoLabel::parameter(path, control),
                                             [&] { return engine->setParameter(path, value, error); });
    }

    bool move(const std::string& id, double x)
    {
        std::string error;
        return engine->performUndoableChange(undoLabel::move(id), [&] { return engine->moveCanvasNode(id, x, 0, error); });
    }

    int undoAll()
    {
        std::string error;
        int steps = 0;
        while (engine->undo(error) >= 0)
            ++steps;
        return steps;
    }

    double nowMs = 1000.0;
};

TEST_F(HistoryTest, PlainParameterEditsMergeOnlyWithin750Ms)
{
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -1.0));
    nowMs += 500;
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -2.0));
    nowMs += 1000;
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -3.0));
    EXPECT_EQ(undoAll(), 2);
    EXPECT_EQ(engine->getSettings().outputs[0].volumeDb, 0.0);
}

TEST_F(HistoryTest, ControlGesturesMergeWithoutTimeLimitUntilAnotherChange)
{
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -1.0, "knob"));
    nowMs += 10000;
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -2.0, "knob"));
    nowMs += 10000;
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -3.0, "knob"));
    ASSERT_TRUE(parameter("outputs.1.volumeDb", -1.0));
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -4.0, "knob"));
    EXPECT_EQ(undoAll(), 3);
}

TEST_F(HistoryTest, MovesOfDifferentItemsNeverMerge)
{
    ASSERT_TRUE(move("node1", 10));
    nowMs += 100;
    ASSERT_TRUE(move("node2", 10));
    nowMs += 100;
    ASSERT_TRUE(move("node1", 20));
    nowMs += 100;
    ASSERT_TRUE(move("node1", 30));
    EXPECT_EQ(undoAll(), 3);
}

TEST_F(HistoryTest, FailedChangesRecordNothing)
{
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -1.0));
    std::string error;
    const auto revision = engine->getSettingsRevision();
    EXPECT_FALSE(engine->performUndoableChange("connectCanvasNodes", [&] {
        std::string id;
        return engine->connectCanvasNodes("out1", "in1", {}, {}, id, error);
    }));
    EXPECT_EQ(engine->getSettingsRevision(), revision);
    EXPECT_EQ(undoAll(), 1);
}

TEST_F(HistoryTest, HistoryKeeps32StepsAndRedoIsClearedByANewEdit)
{
    for (int k = 0; k < 40; ++k)
    {
        nowMs += 1000;
        ASSERT_TRUE(parameter("outputs.0.volumeDb", -k - 1.0));
    }
    std::string error;
    for (int k = 0; k < 32; ++k)
        ASSERT_GE(engine->undo(error), 0) << k;
    EXPECT_EQ(engine->undo(error), -1);
    EXPECT_EQ(error, "");
    EXPECT_EQ(engine->getSettings().outputs[0].volumeDb, -8.0);
    EXPECT_TRUE(engine->canRedo());
    ASSERT_GE(engine->redo(error), 0);
    ASSERT_TRUE(parameter("outputs.1.volumeDb", -1.0));
    EXPECT_FALSE(engine->canRedo());
}

TEST_F(HistoryTest, UndoKeepsNameAndMasterMuteAndRefusesWhileRunning)
{
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -1.0));
    engine->setProjectName("Room");
    engine->setMasterMute(false);
    std::string error;
    ASSERT_GE(engine->undo(error), 0) << error;
    const auto s = engine->getSettings();
    EXPECT_EQ(s.projectName, "Room");
    EXPECT_FALSE(s.masterMute);
    EXPECT_EQ(s.outputs[0].volumeDb, 0.0);
    EXPECT_TRUE(engine->hasUnsavedChanges());

    openDevice();
    run();
    EXPECT_EQ(engine->redo(error), -1);
    EXPECT_EQ(error, "Stop DSP before redoing a change.");
    EXPECT_TRUE(engine->canRedo());
    EXPECT_EQ(engine->undo(error), -1);
    EXPECT_EQ(error, "Stop DSP before undoing a change.");
}

TEST_F(HistoryTest, NewProjectsClearHistoryAndDirtyFlag)
{
    ASSERT_TRUE(parameter("outputs.0.volumeDb", -1.0));
    std::string error;
    EXPECT_FALSE(engine->resetProject("stereo", { 2, 3 }, error));
    EXPECT_EQ(error, "Stereo requires the same Ways per Channel for left and right.");
    EXPECT_TRUE(engine->canUndo());
    ASSERT_TRUE(engine->resetProject("mono", { 3 }, error)) << error;
    EXPECT_FALSE(engine->canUndo());
    EXPECT_FALSE(engine->hasUnsavedChanges());
    EXPECT_EQ(engine->getSettings().outputCount, 3);
}

TEST_F(HistoryTest, ProjectForTheDeviceHasUpToFourTerminalsEachSide)
{
    TestDeviceConfig config = defaultConfig();
    config.inputChannels = 8;
    config.outputChannels = 8;
    createEngine(config);
    openDevice();
    std::string error;
    ASSERT_TRUE(engine->resetProjectForCurrentDevice(error)) << error;
    const auto s = engine->getSettings();
    EXPECT_EQ(s.inputCount, 4);
    EXPECT_EQ(s.outputCount, 4);
    ASSERT_EQ(s.nodes.size(), 8u);
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ(s.nodes[static_cast<size_t>(i)].id, "in" + std::to_string(i + 1));
        EXPECT_EQ(s.nodes[static_cast<size_t>(i)].y, 76.0 + 116.0 * i);
        EXPECT_EQ(s.nodes[static_cast<size_t>(i + 4)].x, 760.0);
        EXPECT_EQ(s.outputs[static_cast<size_t>(i)].inputIndex, -1);
    }
    EXPECT_TRUE(s.connections.empty());
}

class StateSnapshotTest : public EngineTest
{
protected:
    juce::var state() { return juce::JSON::parse(engine->stateJson()); }
};

TEST_F(StateSnapshotTest, AddsItsKeysOnTopOfTheProjectObject)
{
    auto g = historyProject();
    g.settings.outputs[0].inputIndex = 0;
    g.settings.outputs[1].inputIndex = -1;
    g.settings.outputs[0].delayUs = 1000.0;
    CanvasSubmoduleSettings group;
    group.id = "submodule1";
    group.inputs = { { "input1", "Input 1", 0, 0, {} } };
    g.settings.submodules.push_back(group);
    apply(g);

    const auto root = state();
    auto project = settingsToVar(engine->getSettings(), false);
    const juce::StringArray added { "running", "sampleRateHz", "bufferSize", "deviceName", "inputDeviceName",
                                    "outputDeviceName", "inputChannelNames", "outputChannelNames", "settingsRevision",
                                    "analysisRevision", "analyzerWorkspaceRevision", "canUndo", "canRedo",
                                    "hasUnsavedChanges", "appVersion", "buildNumber", "dsp" };
    juce::StringArray keys;
    for (const auto& p : root.getDynamicObject()->getProperties())
        keys.add(p.name.toString());
    juce::StringArray expected;
    for (const auto& p : project.getDynamicObject()->getProperties())
        expected.add(p.name.toString());
    for (const auto& k : added)
        expected.addIfNotAlreadyThere(k);
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(root["appVersion"].toString(), "0.14.0");
    EXPECT_EQ(root["buildNumber"].toString(), "41");
    EXPECT_EQ(static_cast<int>(root["sampleRateHz"]), 0);
    EXPECT_EQ(root["deviceName"].toString(), "");
    EXPECT_EQ(root["inputChannelNames"].size(), 0);
    EXPECT_EQ(root["canUndo"], juce::var(false));
    EXPECT_TRUE(root["dsp"].hasProperty("deadlineMisses"));
    EXPECT_EQ(static_cast<juce::int64>(root["settingsRevision"]), engine->getSettingsRevision());

    const auto input = root["inputs"][0];
    EXPECT_EQ(input["id"].toString(), "in1");
    EXPECT_EQ(input["name"].toString(), "IN1");
    EXPECT_EQ(input["outputs"].size(), 1);
    EXPECT_EQ(input["outputs"][0].toString(), "out1");
    EXPECT_EQ(static_cast<double>(input["meter"]["peakDb"]), -120.0);
    const auto output = root["outputs"][1];
    EXPECT_EQ(output["id"].toString(), "out2");
    EXPECT_EQ(output["name"].toString(), "OUT2");
    EXPECT_EQ(output["inputId"].toString(), "");
    EXPECT_EQ(root["outputs"][0]["inputId"].toString(), "in1");
    // Stopped device: every delay pair is zero.
    EXPECT_EQ(static_cast<int>(root["outputs"][0]["delaySamples"]), 0);
    EXPECT_EQ(static_cast<double>(root["outputs"][0]["actualDelayUs"]), 0.0);
    EXPECT_EQ(static_cast<int>(root["canvas"]["nodes"][3]["processor"]["delaySamples"]), 0);
    const auto sub = root["canvas"]["submodules"][0];
    EXPECT_EQ(juce::JSON::toString(sub["inputPorts"]), juce::JSON::toString(sub["inputs"]));
    EXPECT_TRUE(sub.hasProperty("outputPorts"));
}

TEST_F(StateSnapshotTest, DelayPairFollowsTheRunningRateAndDevice)
{
    auto g = historyProject();
    g.settings.outputs[0].delayUs = 1010.0;
    g.node("node1").processor.delayUs = 1010.0;
    openDevice(44100.0, 128);
    apply(g);
    engine->setMasterMute(false);
    const auto root = state();
    // 1010 us at 44.1 kHz is 44.541 samples: 45 samples = 1020.408 us.
    EXPECT_EQ(static_cast<int>(root["outputs"][0]["delaySamples"]), 45);
    EXPECT_NEAR(static_cast<double>(root["outputs"][0]["actualDelayUs"]), 45.0e6 / 44100.0, 1e-9);
    EXPECT_EQ(static_cast<int>(root["canvas"]["nodes"][3]["processor"]["delaySamples"]), 45);
    EXPECT_EQ(static_cast<int>(root["sampleRateHz"]), 44100);
    EXPECT_EQ(static_cast<int>(root["bufferSize"]), 128);
    EXPECT_EQ(root["deviceName"].toString(), deviceConfig.name);
    EXPECT_EQ(root["inputChannelNames"].size(), deviceConfig.inputChannels);
    EXPECT_EQ(root["outputChannelNames"].size(), deviceConfig.outputChannels);
    EXPECT_EQ(root["masterMute"], juce::var(false));
}

TEST_F(StateSnapshotTest, MetersAndRuntimeMasterValuesAreLive)
{
    auto g = historyProject();
    start(g);
    process({ alternating(0.5f, 2048) }, 2048);
    const auto root = state();
    EXPECT_EQ(root["running"], juce::var(true));
    EXPECT_NEAR(static_cast<double>(root["inputs"][0]["meter"]["peakDb"]), 20.0 * std::log10(0.5), 0.1);
    const auto meter = AudioEngine::meterToVar({ -3.0, -6.0, true });
    EXPECT_EQ(juce::JSON::toString(meter, true), "{\"peakDb\": -3.0, \"rmsDb\": -6.0, \"clip\": true}");
}

TEST_F(StateSnapshotTest, ModuleKindsAndProjectName)
{
    auto g = historyProject();
    InsertedModuleSettings m;
    m.id = "module1";
    m.kind = kind(ProcessingModuleKind::peakingFilter);
    g.settings.outputs[1].insertedModules.push_back(m);
    g.settings.projectName.clear();
    apply(g);
    EXPECT_EQ(engine->moduleKindForId("in1"), "Input");
    EXPECT_EQ(engine->moduleKindForId("out2"), "Output");
    EXPECT_EQ(engine->moduleKindForId("node1"), "Delay");
    EXPECT_EQ(engine->moduleKindForId("OUT2.iir"), "IIR Filter");
    EXPECT_EQ(engine->moduleKindForId("out2.module1"), "Peaking Filter");
    EXPECT_EQ(engine->moduleKindForId("out3.module1"), "");
    EXPECT_EQ(engine->moduleKindForId("nothing"), "");
    EXPECT_EQ(engine->currentProjectName(), "Untitled");
}
} // namespace speaker::test

namespace speaker::test
{
TEST_F(StateSnapshotTest, ReusedPiecesMatchAFreshSnapshotAfterEdits)
{
    apply(historyProject());
    engine->stateJson();
    std::string error, id;
    ASSERT_TRUE(engine->setParameter("nodes.node1.delayUs", 250.0, error));
    ASSERT_TRUE(engine->setParameter("outputs.1.volumeDb", -4.0, error));
    ASSERT_TRUE(engine->addCanvasModule(kind(ProcessingModuleKind::gain), 10, 10, {}, id, error));
    ASSERT_TRUE(engine->removeCanvasNode("node2", error));
    ASSERT_TRUE(engine->createCanvasSubmodule({}, 300, 300, {}, id, error));
    engine->stateJson();
    ASSERT_TRUE(engine->moveCanvasNode("node1", 40, 50, error));
    const auto cached = juce::JSON::parse(engine->stateJson());

    AudioEngine fresh;
    ASSERT_TRUE(fresh.applySettings(engine->getSettings(), error)) << error;
    const auto rebuilt = juce::JSON::parse(fresh.stateJson());
    for (const char* key : { "inputs", "outputs", "canvas", "projectName", "masterVolumeDb" })
        EXPECT_EQ(juce::JSON::toString(cached[key], true), juce::JSON::toString(rebuilt[key], true)) << key;
    EXPECT_EQ(static_cast<double>(cached["canvas"]["nodes"][3]["x"]), 40.0);
}
} // namespace speaker::test

namespace speaker::test
{
TEST_F(StateSnapshotTest, AnalyzerWorkspaceIsStoredOutsideTheHistory)
{
    apply(historyProject());
    std::string error;
    const auto revision = engine->getAnalyzerWorkspaceRevision();
    const auto settingsRevision = static_cast<juce::int64>(state()["settingsRevision"]);

    EXPECT_FALSE(engine->setAnalyzerWorkspace("[]", error));
    EXPECT_EQ(error, "The Analyzer workspace is invalid.");
    EXPECT_FALSE(engine->setAnalyzerWorkspace("{\"a\":", error));
    EXPECT_EQ(error, "The Analyzer workspace is invalid.");
    EXPECT_FALSE(engine->setAnalyzerWorkspace(std::string(kMaxAnalyzerWorkspaceBytes + 1, ' '), error));
    EXPECT_EQ(error, "The Analyzer workspace is larger than 8 MB.");
    EXPECT_EQ(engine->getAnalyzerWorkspaceRevision(), revision);
    EXPECT_FALSE(engine->hasUnsavedChanges());

    const std::string document = R"({"version": 3, "traces": [{"name": "Mic )" "\xF0\x9F\x8E\xA4" R"("}]})";
    ASSERT_TRUE(engine->setAnalyzerWorkspace(document, error)) << error;
    ASSERT_TRUE(engine->setAnalyzerWorkspace(document, error)) << error;
    EXPECT_EQ(engine->getAnalyzerWorkspaceRevision(), revision + 1) << "the same document twice counts once";
    EXPECT_TRUE(engine->hasUnsavedChanges());
    EXPECT_FALSE(engine->canUndo());
    EXPECT_EQ(static_cast<juce::int64>(state()["settingsRevision"]), settingsRevision);
    EXPECT_EQ(state()["analyzerWorkspace"]["traces"][0]["name"].toString(), juce::String::fromUTF8("Mic \xF0\x9F\x8E\xA4"));

    // The stored text is the reader's own form: a saved and reopened project sends it back unchanged.
    AppSettings reread;
    ASSERT_TRUE(settingsFromVar(settingsToVar(engine->getSettings(), true), reread, error)) << error;
    EXPECT_EQ(reread.analyzerWorkspace, engine->getSettings().analyzerWorkspace);
}

TEST_F(EngineTest, ClearClipPutsOutTheIndicatorUntilTheNextClip)
{
    Graph g;
    g.input("in1", 0).output("out1", 0).wire("in1", "out1");
    start(g);
    process({ std::vector<float>(512, 1.5f), {} }, 512);
    ASSERT_TRUE(engine->getInputMeter(0).clip);

    engine->clearClip(false, 0);
    engine->clearClip(true, 16); // outside the meters: nothing happens
    EXPECT_FALSE(engine->getInputMeter(0).clip);
    process({ std::vector<float>(512, 0.5f), {} }, 512);
    EXPECT_FALSE(engine->getInputMeter(0).clip) << "the hold does not bring it back";
    process({ std::vector<float>(512, 1.5f), {} }, 512);
    EXPECT_TRUE(engine->getInputMeter(0).clip);
}
} // namespace speaker::test
