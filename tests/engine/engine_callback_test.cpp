// Signal-level behaviour of the audio callback, driven through the real device
// manager by the test device.

#include "EngineTestSupport.h"

#include <algorithm>

namespace speaker::test
{
namespace
{
constexpr double kRate = 48000.0;
constexpr int kBlock = 256;

// The engine's fade laws, evaluated the way the callback does in float.
struct FadeModel
{
    float inputFade = 0.0f;
    float outputFade = 0.0f;
    float runRamp = 0.0f;
    float graphRamp = 1.0f;
    bool stopping = false;
    bool graphFading = false;

    float runStep() const { return static_cast<float>(1.0 / ((stopping ? 0.01 : 0.02) * kRate)); }
    static float channelStep() { return static_cast<float>(1.0 / (0.02 * kRate)); }
    static float graphStep() { return static_cast<float>(1.0 / (0.005 * kRate)); }

    // One block of a single input feeding a single output at unity gain.
    std::vector<float> block(const float* x, int n)
    {
        std::vector<float> y(static_cast<size_t>(n));
        for (int k = 0; k < n; ++k)
        {
            const float step = static_cast<float>(k + 1);
            inputFade = std::min(inputFade + channelStep(), 1.0f);
            const float afterInput = x[k] * inputFade;
            outputFade = std::min(outputFade + channelStep(), 1.0f);
            const float run = stopping ? std::max(runRamp - runStep() * step, 0.0f) : std::min(runRamp + runStep() * step, 1.0f);
            const float graph = graphFading ? std::max(graphRamp - graphStep() * step, 0.0f) : std::min(graphRamp + graphStep() * step, 1.0f);
            y[static_cast<size_t>(k)] = afterInput * (outputFade * run * graph);
        }
        const float blockLength = static_cast<float>(n);
        runRamp = stopping ? std::max(runRamp - runStep() * blockLength, 0.0f) : std::min(runRamp + runStep() * blockLength, 1.0f);
        graphRamp = graphFading ? std::max(graphRamp - graphStep() * blockLength, 0.0f) : std::min(graphRamp + graphStep() * blockLength, 1.0f);
        return y;
    }
};

Graph straightThrough(int channels = 2)
{
    Graph g(channels, channels);
    for (int i = 0; i < channels; ++i)
    {
        g.input("in" + std::to_string(i + 1), i).output("out" + std::to_string(i + 1), i);
        g.wire("in" + std::to_string(i + 1), "out" + std::to_string(i + 1));
    }
    return g;
}

// Last-sample magnitude per device output after the fades have settled.
std::vector<float> settledLevels(const std::vector<std::vector<float>>& out)
{
    std::vector<float> levels;
    for (const auto& channel : out)
        levels.push_back(std::abs(channel.back()));
    return levels;
}
} // namespace

using CallbackTest = EngineTest;

TEST_F(CallbackTest, RoutesDeviceInputsThroughBlocksToDeviceOutputs)
{
    Graph g(2, 2);
    g.input("in1", 0).input("in2", 1).output("out1", 0).output("out2", 1);
    g.block("node1", ProcessingModuleKind::gain, [](auto& p) { p.gainDb = -6.0; });
    g.wire("in1", "node1").wire("node1", "out1").wire("in2", "out2");
    // Crossed over on the device: output 1 drives device channel 3, output 2 channel 1.
    g.settings.outputs[0].physicalChannel = 3;
    g.settings.outputs[1].physicalChannel = 1;
    start(g);

    const auto out = process({ alternating(0.4f, 4096), alternating(0.2f, 4096) }, 4096);
    const auto levels = settledLevels(out);
    EXPECT_NEAR(levels[0], 0.2f, 1e-6);
    EXPECT_NEAR(levels[1], 0.0f, 1e-9);
    EXPECT_NEAR(levels[2], 0.4 * dbToGain(-6.0), 1e-6);
    EXPECT_NEAR(levels[3], 0.0f, 1e-9);
}

TEST_F(CallbackTest, RunFadesInOver20msSampleExactly)
{
    start(straightThrough(1));
    const auto x = alternating(0.5f, 3 * 1024);
    const auto out = process({ x }, static_cast<int>(x.size()));

    FadeModel model;
    for (size_t start = 0; start < x.size(); start += kBlock)
    {
        const auto expected = model.block(x.data() + start, kBlock);
        for (int k = 0; k < kBlock; ++k)
            ASSERT_FLOAT_EQ(out[0][start + static_cast<size_t>(k)], expected[static_cast<size_t>(k)]) << "sample " << start + static_cast<size_t>(k);
    }
    EXPECT_FLOAT_EQ(std::abs(out[0].back()), 0.5f);
}

TEST_F(CallbackTest, StopFadesOutOver10msAndEndsRunning)
{
    start(straightThrough(1));
    process({ constant(0.1f, 8192) }, 8192); // fades settle

    CallbackPump pump(*device, constant(0.1f, kBlock), 400 * kBlock);
    pump.waitForBlocks(4);
    std::string error;
    ASSERT_TRUE(engine->setRunning(false, error));
    EXPECT_FALSE(engine->isRunning());
    pump.waitForBlocks(4);
    pump.stop();

    const auto& y = pump.output();
    const auto written = pump.samplesWritten();
    size_t first = 0;
    while (first < written && y[first] == 0.1f)
        ++first;
    ASSERT_LT(first, written);
    ASSERT_EQ(first % kBlock, 0u) << "the fade starts at a block boundary";
    const float step = static_cast<float>(1.0 / (0.01 * kRate));
    for (size_t k = 1; first + k - 1 < written && k <= 2 * 480; ++k)
    {
        const float gain = std::max(1.0f - step * static_cast<float>((k - 1) % kBlock + 1) - step * static_cast<float>(((k - 1) / kBlock) * kBlock), 0.0f);
        ASSERT_NEAR(y[first + k - 1], 0.1f * gain, 2e-7) << "sample " << k;
    }
    for (size_t i = first + 480; i < written; ++i)
        ASSERT_EQ(y[i], 0.0f);
}

TEST_F(CallbackTest, ChannelFadeInAfterUnmuteAndMuteIsImmediate)
{
    start(straightThrough(1));
    const auto x = alternating(0.5f, 4096);
    process({ x }, 4096);

    engine->applyParameterEdit([](AppSettings& s) { s.outputs[0].mute = true; });
    const auto muted = process({ x }, kBlock);
    EXPECT_TRUE(std::all_of(muted[0].begin(), muted[0].end(), [](float v) { return v == 0.0f; }));

    engine->applyParameterEdit([](AppSettings& s) { s.outputs[0].mute = false; });
    const auto out = process({ x }, 2048);
    float fade = 0.0f;
    for (int k = 0; k < 2048; ++k)
    {
        fade = std::min(fade + FadeModel::channelStep(), 1.0f);
        ASSERT_FLOAT_EQ(out[0][static_cast<size_t>(k)], x[static_cast<size_t>(k)] * (fade * 1.0f * 1.0f)) << k;
    }
}

struct ChannelCase
{
    const char* name;
    std::function<void(AppSettings&)> edit;
    std::vector<double> expectedGains; // per output (device channel k = output k)
};

// Keeps test listings readable: gtest would otherwise print the bytes of the case.
[[maybe_unused]] void PrintTo(const ChannelCase& c, std::ostream* os) { *os << c.name; }

class ChannelControls : public EngineTest, public ::testing::WithParamInterface<ChannelCase>
{
};

TEST_P(ChannelControls, ApplyToTheirChannels)
{
    // Three inputs straight to three outputs; input 4 exists but has no Input node.
    Graph g = straightThrough(3);
    g.settings.inputCount = 4;
    GetParam().edit(g.settings);
    start(g);

    const float a[] = { 0.1f, 0.2f, 0.3f };
    const auto out = process({ alternating(a[0], 4096), alternating(a[1], 4096), alternating(a[2], 4096) }, 4096);
    const auto levels = settledLevels(out);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(levels[i], a[i] * GetParam().expectedGains[i], 1e-6) << "output " << i + 1;
}

INSTANTIATE_TEST_SUITE_P(
    Callback, ChannelControls,
    ::testing::Values(
        ChannelCase { "Unity", [](AppSettings&) {}, { 1, 1, 1 } },
        ChannelCase { "InputVolume", [](AppSettings& s) { s.inputs[0].volumeDb = -6.0; }, { dbToGain(-6.0), 1, 1 } },
        ChannelCase { "InputMute", [](AppSettings& s) { s.inputs[1].mute = true; }, { 1, 0, 1 } },
        ChannelCase { "InputSolo", [](AppSettings& s) { s.inputs[2].solo = true; }, { 0, 0, 1 } },
        ChannelCase { "SoloOnUnusedInputSilencesNothing", [](AppSettings& s) { s.inputs[3].solo = true; }, { 1, 1, 1 } },
        ChannelCase { "OutputVolume", [](AppSettings& s) { s.outputs[2].volumeDb = -12.0; }, { 1, 1, dbToGain(-12.0) } },
        ChannelCase { "OutputMute", [](AppSettings& s) { s.outputs[1].mute = true; }, { 1, 0, 1 } },
        ChannelCase { "OutputSolo", [](AppSettings& s) { s.outputs[0].solo = true; s.outputs[2].solo = true; }, { 1, 0, 1 } },
        ChannelCase { "SoloOnUnusedOutputSilencesNothing", [](AppSettings& s) { s.outputCount = 4; s.outputs[3].solo = true; }, { 1, 1, 1 } },
        ChannelCase { "MasterVolume", [](AppSettings& s) { s.masterVolumeDb = -6.0; }, { dbToGain(-6.0), dbToGain(-6.0), dbToGain(-6.0) } },
        ChannelCase { "VolumesAdd", [](AppSettings& s) { s.inputs[0].volumeDb = -3.0; s.outputs[0].volumeDb = -3.0; s.masterVolumeDb = -6.0; },
                      { dbToGain(-12.0), dbToGain(-6.0), dbToGain(-6.0) } },
        ChannelCase { "MasterMute", [](AppSettings& s) { s.masterMute = true; }, { 0, 0, 0 } }),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(CallbackTest, TwoOutputsOnOneDeviceChannelSumAndClamp)
{
    Graph g = straightThrough(2);
    g.settings.outputs[1].physicalChannel = 1;
    start(g);

    auto out = process({ alternating(0.3f, 4096), alternating(0.2f, 4096) }, 4096);
    EXPECT_NEAR(out[0].back(), -0.5f, 1e-6);
    EXPECT_EQ(out[1].back(), 0.0f);

    out = process({ alternating(0.7f, 4096), alternating(0.6f, 4096) }, 4096);
    EXPECT_EQ(out[0][4094], 1.0f);
    EXPECT_EQ(out[0][4095], -1.0f);
}

TEST_F(CallbackTest, MetersReadAfterVolumeBeforeMute)
{
    Graph g = straightThrough(2);
    g.settings.inputs[0].mute = true;
    g.settings.outputs[1].mute = true;
    start(g);
    process({ alternating(0.5f, 48000), alternating(0.5f, 48000) }, 48000);

    const double expectedDb = 20.0 * std::log10(0.5);
    EXPECT_NEAR(engine->getInputMeter(0).peakDb, expectedDb, 0.01);
    EXPECT_NEAR(engine->getInputMeter(0).rmsDb, expectedDb, 0.01);
    EXPECT_EQ(engine->getOutputMeter(0).peakDb, -120.0) << "a muted input gives its output nothing";
    EXPECT_NEAR(engine->getOutputMeter(1).peakDb, expectedDb, 0.01) << "an output meter reads before mute";
}

TEST_F(CallbackTest, InputBeyondTheDeviceGivesNoSignalAndResetsTheOutputMeter)
{
    Graph g(1, 1);
    g.input("in1", 0).output("out1", 0).block("node1", ProcessingModuleKind::gain).wire("in1", "node1").wire("node1", "out1");
    g.settings.inputs[0].physicalChannel = 9; // the device has four inputs
    start(g);
    const auto out = process({ alternating(0.5f, 4096) }, 4096);
    EXPECT_TRUE(std::all_of(out[0].begin(), out[0].end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(engine->getOutputMeter(0).peakDb, -120.0);
    EXPECT_EQ(engine->getInputMeter(0).peakDb, -120.0);
}

TEST_F(CallbackTest, EmptyGraphIsSilentAndStillMeasuresLoad)
{
    Graph g(2, 2);
    g.input("in1", 0); // nothing reaches an output
    start(g);
    const auto out = process({ alternating(0.5f, 4096) }, 4096);
    EXPECT_TRUE(std::all_of(out[0].begin(), out[0].end(), [](float v) { return v == 0.0f; }));
    EXPECT_GT(engine->getDspLoad().callbackTimeMs, 0.0);
}

TEST_F(CallbackTest, GraphMutationFadesOutSuspendsAndFadesBackIn)
{
    Graph g(1, 1);
    g.input("in1", 0).output("out1", 0).block("node1", ProcessingModuleKind::gain).wire("in1", "node1").wire("node1", "out1");
    start(g);
    process({ constant(0.1f, 8192) }, 8192);

    CallbackPump pump(*device, constant(0.1f, kBlock), 2000 * kBlock);
    pump.waitForBlocks(4);
    std::string error;
    ASSERT_TRUE(engine->applyCanvasEdit([](AppSettings& s, std::string&) {
        Graph extra;
        extra.block("node2", ProcessingModuleKind::gain); // feeds nothing, so the level stays
        s.nodes.push_back(extra.settings.nodes[0]);
        return true;
    }, error)) << error;
    pump.waitForBlocks(8);
    pump.stop();

    const auto& y = pump.output();
    const auto written = pump.samplesWritten();
    size_t first = 0;
    while (first < written && y[first] == 0.1f)
        ++first;
    ASSERT_LT(first + 1024, written);
    ASSERT_EQ(first % kBlock, 0u);
    // 240 samples down to silence, in whole blocks.
    const float step = FadeModel::graphStep();
    for (size_t k = 1; k <= 240; ++k)
    {
        const float expected = 0.1f * std::max(1.0f - step * static_cast<float>((k - 1) % kBlock + 1), 0.0f);
        ASSERT_NEAR(y[first + k - 1], expected, 2e-7) << k;
    }
    size_t back = first + 240;
    while (back < written && y[back] == 0.0f)
        ++back;
    ASSERT_LT(back + kBlock, written);
    ASSERT_EQ(back % kBlock, 0u);
    // Then up again over 240 samples.
    const float target = 0.1f;
    for (size_t k = 1; k <= 300; ++k)
    {
        const float expected = target * std::min(step * static_cast<float>(k), 1.0f);
        ASSERT_NEAR(y[back + k - 1], expected, 2e-6) << k;
    }
}

TEST_F(CallbackTest, MutationWithoutCallbacksGivesUpWaitingAndFadesIn)
{
    start(straightThrough(1));
    const auto x = alternating(0.5f, 4096);
    process({ x }, 4096);

    const auto before = juce::Time::getMillisecondCounterHiRes();
    std::string error;
    ASSERT_TRUE(engine->applyCanvasEdit([](AppSettings&, std::string&) { return true; }, error));
    EXPECT_GE(juce::Time::getMillisecondCounterHiRes() - before, 99.0);

    const auto out = process({ x }, 512);
    for (int k = 0; k < 512; ++k)
        ASSERT_FLOAT_EQ(out[0][static_cast<size_t>(k)], x[static_cast<size_t>(k)] * std::min(FadeModel::graphStep() * static_cast<float>(k % kBlock + 1) + (k >= kBlock ? FadeModel::graphStep() * kBlock : 0.0f), 1.0f)) << k;
}
} // namespace speaker::test
