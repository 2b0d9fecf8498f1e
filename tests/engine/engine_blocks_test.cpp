// Each Block kind as the callback runs it, and the offline renderer.

#include "EngineTestSupport.h"

#include "engine/OfflineRenderer.h"
#include "model/ProjectDocument.h"

#include <cmath>
#include <limits>

namespace speaker::test
{
namespace
{
std::vector<float> pseudoNoise(int samples, float amplitude)
{
    std::vector<float> x(static_cast<size_t>(samples));
    std::uint32_t state = 12345u;
    for (auto& v : x)
    {
        state = state * 1664525u + 1013904223u;
        v = amplitude * (static_cast<float>(state >> 8) / static_cast<float>(1u << 24) * 2.0f - 1.0f);
    }
    return x;
}

struct BlockCase
{
    const char* name;
    ProcessingModuleKind kind;
    std::function<void(InsertedModuleSettings&)> configure;
    // Expected output sample k from inputs a and b (input 2 feeds port "b" of math Blocks).
    std::function<float(const std::vector<float>& a, const std::vector<float>& b, size_t k)> expected;
    double tolerance = 1e-6;
};

// Keeps test listings readable: gtest would otherwise print the bytes of the case.
[[maybe_unused]] void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.name; }

class BlockKinds : public EngineTest, public ::testing::WithParamInterface<BlockCase>
{
};
} // namespace

TEST_P(BlockKinds, ProcessInTheCallback)
{
    const auto& c = GetParam();
    Graph g(2, 1);
    g.input("in1", 0).input("in2", 1).output("out1", 0).block("node1", c.kind, c.configure);
    g.wire("in1", "node1").wire("node1", "out1");
    if (isMathModuleKind(kind(c.kind)))
        g.wire("in2", "node1", "b");
    start(g);

    constexpr int total = 16384;
    const auto a = pseudoNoise(total, 0.3f);
    const auto b = alternating(0.5f, total);
    const auto out = process({ a, b }, total);
    for (size_t k = 8192; k < static_cast<size_t>(total); ++k) // fades and ramps are over
        ASSERT_NEAR(out[0][k], c.expected(a, b, k), c.tolerance) << c.name << " sample " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Callback, BlockKinds,
    ::testing::Values(
        BlockCase { "GainWithPolarity", ProcessingModuleKind::gain, [](auto& p) { p.gainDb = -6.0; p.polarityInverted = true; },
                    [](const auto& a, const auto&, size_t k) { return static_cast<float>(-a[k] * dbToGain(-6.0)); } },
        BlockCase { "GainBypassed", ProcessingModuleKind::gain, [](auto& p) { p.gainDb = -20.0; p.bypassed = true; },
                    [](const auto& a, const auto&, size_t k) { return a[k]; } },
        BlockCase { "Delay", ProcessingModuleKind::delay, [](auto& p) { p.delayUs = 1000.0; },
                    [](const auto& a, const auto&, size_t k) { return a[k - 48]; } },
        BlockCase { "FirDefaultIsIdentity", ProcessingModuleKind::firFilter, {}, [](const auto& a, const auto&, size_t k) { return a[k]; } },
        BlockCase { "FirTaps", ProcessingModuleKind::firFilter, [](auto& p) { p.fir = { true, "t.txt", 48000, { 0.5f, 0.0f, -0.25f } }; },
                    [](const auto& a, const auto&, size_t k) { return 0.5f * a[k] - 0.25f * a[k - 2]; } },
        BlockCase { "IirBypassedPassesUnchanged", ProcessingModuleKind::iirFilter,
                    [](auto& p) { p.bypassed = true; p.eqBandCount = 2; p.eq[0] = { true, 5, 1000.0, 12.0, 2.0 }; },
                    [](const auto& a, const auto&, size_t k) { return a[k]; } },
        BlockCase { "IirFlatBandsPassUnchanged", ProcessingModuleKind::iirFilter,
                    [](auto& p) { p.eqBandCount = 3; p.eq[0] = { true, 5, 1000.0, 0.0, 2.0 }; p.eq[1] = { false, 3, 200.0, 0.0, 0.7 }; },
                    [](const auto& a, const auto&, size_t k) { return a[k]; }, 1e-5 },
        BlockCase { "PeakingAtZeroDb", ProcessingModuleKind::peakingFilter, [](auto& p) { p.eq[0] = { true, 5, 1000.0, 0.0, 1.0 }; },
                    [](const auto& a, const auto&, size_t k) { return a[k]; }, 1e-5 },
        BlockCase { "ShelfAtZeroDb", ProcessingModuleKind::lowShelvingFilter, [](auto& p) { p.eq[0] = { true, 1, 300.0, 0.0, 0.7 }; },
                    [](const auto& a, const auto&, size_t k) { return a[k]; }, 1e-5 },
        BlockCase { "LowPassBypassed", ProcessingModuleKind::lowPassFilter, [](auto& p) { p.bypassed = true; p.lowPassOrder = 4; },
                    [](const auto& a, const auto&, size_t k) { return a[k]; } },
        BlockCase { "Add", ProcessingModuleKind::add, {}, [](const auto& a, const auto& b, size_t k) { return a[k] + b[k]; } },
        BlockCase { "Subtract", ProcessingModuleKind::subtract, {}, [](const auto& a, const auto& b, size_t k) { return a[k] - b[k]; } },
        BlockCase { "Multiply", ProcessingModuleKind::multiply, {}, [](const auto& a, const auto& b, size_t k) { return a[k] * b[k]; } }),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

using FilterBlocksTest = EngineTest;

TEST_F(FilterBlocksTest, LowPassesStopTheNyquistTone)
{
    // The alternating signal sits at half the sample rate, far above 1 kHz.
    Graph g(1, 2);
    g.input("in1", 0).output("out1", 0).output("out2", 1);
    g.block("node1", ProcessingModuleKind::lowPassFilter, [](auto& p) { p.lowPassOrder = 4; p.lowPassShape = 1; p.eq[0].frequencyHz = 1000.0; });
    g.block("node2", ProcessingModuleKind::iirFilter, [](auto& p) { p.eqBandCount = 1; p.eq[0] = { true, 3, 1000.0, 0.0, 0.7 }; });
    g.wire("in1", "node1").wire("node1", "out1").wire("in1", "node2").wire("node2", "out2");
    start(g);
    const auto out = process({ alternating(0.5f, 16384) }, 16384);
    for (size_t c = 0; c < 2; ++c)
        for (size_t k = 8192; k < out[c].size(); ++k)
            ASSERT_LT(std::abs(out[c][k]), 1e-3f) << "output " << c + 1 << " sample " << k;
}

TEST(OfflineRendererTest, RendersAReferenceProjectAndStopsOnNonFiniteInput)
{
    AppSettings project;
    std::string error;
    ASSERT_TRUE(readProjectFile(juce::File(CORVANA_BENCH_PROJECTS_DIR).getChildFile("reference-3way-stereo.corv"), project, error)) << error;
    ASSERT_TRUE(project.masterMute) << "the renderer must release master mute itself";

    OfflineRenderer renderer;
    ASSERT_TRUE(renderer.open(project, 48000.0, 256, 2, error)) << error;
    SteppingClock clock(1.0e-5);
    renderer.getEngine().setClock(&clock);
    EXPECT_EQ(renderer.outputChannels(), 6);

    std::vector<float> in(256);
    std::vector<std::vector<float>> out(6, std::vector<float>(256));
    std::vector<const float*> inPointers(static_cast<size_t>(renderer.inputChannels()), in.data());
    std::vector<float*> outPointers;
    for (auto& o : out)
        outPointers.push_back(o.data());
    std::vector<float> peaks(6, 0.0f);
    for (int block = 0; block < 200; ++block)
    {
        for (int k = 0; k < 256; ++k)
            in[static_cast<size_t>(k)] = 0.3f * static_cast<float>(std::sin(2.0 * juce::MathConstants<double>::pi * 700.0 * (block * 256 + k) / 48000.0));
        ASSERT_TRUE(renderer.process(inPointers.data(), outPointers.data()));
        for (size_t c = 0; c < 6; ++c)
            for (const float v : out[c])
                peaks[c] = std::max(peaks[c], std::abs(v));
    }
    for (size_t c = 0; c < 6; ++c)
        EXPECT_GT(peaks[c], 1e-4f) << "output " << c + 1;

    in[7] = std::numeric_limits<float>::quiet_NaN();
    renderer.process(inPointers.data(), outPointers.data());
    EXPECT_EQ(renderer.getEngine().getPendingSafetyStop(), safetyStopNonFiniteOutput);
}
} // namespace speaker::test
