#include "model/AppSettings.h"

#include <gtest/gtest.h>

using namespace speaker;

namespace
{
std::vector<int> usedInputIndexes(const AppSettings& s)
{
    std::vector<int> result;
    for (int j = 0; j < s.outputCount; ++j)
        result.push_back(s.outputs[static_cast<size_t>(j)].inputIndex);
    return result;
}
} // namespace

TEST(SpeakerLayout, NormalizesKnownNamesOnly)
{
    const std::vector<std::pair<std::string, std::string>> cases {
        { "empty", "empty" }, { "mono", "mono" }, { "2way-mono", "mono" }, { "stereo", "stereo" },
        { "2way-stereo", "stereo" }, { "3way-stereo", "stereo" }, { "custom", "custom" }, { "multi", "custom" },
        { "Stereo", "" }, { "", "" }, { "quad", "" },
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(normalizedSpeakerConfiguration(name), expected) << name;
}

TEST(SpeakerLayout, RulesApplyInOrder)
{
    struct Case
    {
        std::string configuration;
        std::vector<int> ways;
        std::string error;
    };
    const std::vector<Case> cases {
        { "quad", { 2, 2 }, "Unsupported channel configuration." },
        { "empty", {}, "" },
        { "empty", { 1 }, "Empty Canvas cannot contain an initial channel layout." },
        { "custom", {}, "Choose between 1 and 16 input channels." },
        { "custom", std::vector<int>(17, 1), "Choose between 1 and 16 input channels." },
        { "mono", { 1, 1 }, "Mono requires one input channel." },
        { "stereo", { 2 }, "Stereo requires two input channels." },
        { "stereo", { 3, 2 }, "Stereo requires the same Ways per Channel for left and right." },
        { "stereo", { 9, 9 }, "Ways per Channel must be between 1 and 8." },
        { "custom", { 1, 0 }, "Ways per Channel must be between 1 and 8." },
        { "custom", { 8, 8, 1 }, "This configuration exceeds the 16-output application limit." },
        { "custom", { 8, 8 }, "" },
        { "custom", std::vector<int>(16, 1), "" },
        { "2way-mono", { 2 }, "" },
    };
    for (const auto& c : cases)
    {
        std::string error = "untouched";
        const bool ok = isValidSpeakerLayout(c.configuration, c.ways, error);
        EXPECT_EQ(ok, c.error.empty()) << c.configuration;
        EXPECT_EQ(error, c.error.empty() ? "untouched" : c.error) << c.configuration;
    }
}

TEST(DefaultSettings, ThreeWayStereoPlacesInputsLevelWithTheirOutputs)
{
    const auto s = makeDefaultSettings("3way-stereo", {});
    EXPECT_EQ(s.speakerConfiguration, "stereo");
    EXPECT_EQ(s.inputCount, 2);
    EXPECT_EQ(s.outputCount, 6);
    EXPECT_EQ(usedInputIndexes(s), (std::vector<int> { 0, 0, 0, 1, 1, 1 }));
    EXPECT_EQ(s.waysPerChannel[0], 3);
    EXPECT_EQ(s.waysPerChannel[1], 3);
    EXPECT_EQ(s.waysPerChannel[2], 0);

    ASSERT_EQ(s.nodes.size(), 8u);
    EXPECT_EQ(s.nodes[0].id, "in1");
    EXPECT_EQ(s.nodes[0].y, 192.0);
    EXPECT_EQ(s.nodes[0].y, findCanvasNode(s, "out2")->y);
    EXPECT_EQ(s.nodes[1].id, "in2");
    EXPECT_EQ(s.nodes[1].y, 540.0);
    EXPECT_EQ(s.nodes[1].y, findCanvasNode(s, "out5")->y);
    EXPECT_EQ(findCanvasNode(s, "out6")->x, 760.0);
    EXPECT_EQ(findCanvasNode(s, "out6")->channelIndex, 5);
    EXPECT_EQ(findCanvasNode(s, "in2")->kind, static_cast<int>(CanvasNodeKind::input));

    ASSERT_EQ(s.connections.size(), 6u);
    EXPECT_EQ(s.connections[3].id, "connection4");
    EXPECT_EQ(s.connections[3].source, "in2");
    EXPECT_EQ(s.connections[3].target, "out4");
    EXPECT_TRUE(s.connections[3].sourcePort.empty());
    EXPECT_TRUE(s.submodules.empty());
}

TEST(DefaultSettings, ChannelsAndBandsOfEveryOutput)
{
    const auto s = makeDefaultSettings("stereo", {});
    for (int i = 0; i < kMaxInputs; ++i)
        EXPECT_EQ(s.inputs[static_cast<size_t>(i)].physicalChannel, i + 1);
    for (int j = 0; j < kMaxOutputs; ++j)
    {
        const auto& out = s.outputs[static_cast<size_t>(j)];
        EXPECT_EQ(out.physicalChannel, j + 1);
        EXPECT_EQ(out.eqBandCount, 1);
        EXPECT_TRUE(out.eq[0].enabled);
        EXPECT_FALSE(out.eq[1].enabled);
        EXPECT_EQ(out.inputIndex, j < 4 ? j / 2 : -1);
    }
    EXPECT_TRUE(s.masterMute);
}

TEST(DefaultSettings, LayoutChoicesAndFallbacks)
{
    struct Case
    {
        std::string configuration;
        std::vector<int> ways;
        std::string name;
        std::vector<int> routing;
    };
    const std::vector<Case> cases {
        { "custom", {}, "custom", { 0, 1, 2, 3 } },
        { "mono", {}, "mono", { 0 } },
        { "2way-mono", { 5 }, "mono", { 0, 0 } },
        { "stereo", { 3, 2 }, "stereo", { 0, 0, 1, 1 } },
        { "bogus", {}, "stereo", { 0, 0, 1, 1 } },
        { "custom", { 1, 3 }, "custom", { 0, 1, 1, 1 } },
        { "custom", { 8, 8, 1 }, "stereo", { 0, 0, 1, 1 } },
        { "empty", {}, "empty", {} },
    };
    for (const auto& c : cases)
    {
        const auto s = makeDefaultSettings(c.configuration, c.ways);
        EXPECT_EQ(s.speakerConfiguration, c.name) << c.configuration;
        EXPECT_EQ(usedInputIndexes(s), c.routing) << c.configuration;
        EXPECT_EQ(s.nodes.size(), static_cast<size_t>(s.inputCount + s.outputCount)) << c.configuration;
    }
    const auto empty = makeDefaultSettings("empty", {});
    EXPECT_EQ(empty.inputCount, 0);
    EXPECT_EQ(empty.outputCount, 0);
    EXPECT_TRUE(empty.connections.empty());
}

TEST(ModelNames, KindAndFilterTypeNames)
{
    EXPECT_EQ(processingModuleKindName(-3), "Gain");
    EXPECT_EQ(processingModuleKindName(14), "Empty");
    EXPECT_EQ(processingModuleKindName(ProcessingModuleKind::lowShelvingFilter), "Low Shelving Filter");

    int kind = 42;
    EXPECT_FALSE(processingModuleKindFromName("gain", kind));
    EXPECT_EQ(kind, 42);
    EXPECT_TRUE(processingModuleKindFromName("Divide", kind));
    EXPECT_EQ(kind, static_cast<int>(ProcessingModuleKind::divide));

    EXPECT_EQ(filterTypeFromName("peaking"), 0);
    EXPECT_EQ(filterTypeFromName("Peaking"), 5);
    EXPECT_EQ(filterTypeFromName("High Pass 2nd"), 4);
    EXPECT_EQ(filterTypeName(9), "Peaking");
    EXPECT_EQ(filterTypeName(-1), "Bypass");
}

TEST(ModelNames, SubsystemEndpoints)
{
    EXPECT_EQ(canvasSubmoduleInputEndpoint("sub1", "in2"), "@subsystem/sub1/input/in2");
    EXPECT_EQ(canvasSubmoduleOutputEndpoint("sub1", "output3"), "@subsystem/sub1/output/output3");
}

TEST(ModelRecords, DefaultsOfBlocksAndFirs)
{
    const InsertedModuleSettings module;
    EXPECT_EQ(module.kind, static_cast<int>(ProcessingModuleKind::empty));
    EXPECT_TRUE(module.eq[0].enabled);
    for (size_t k = 1; k < module.eq.size(); ++k)
        EXPECT_FALSE(module.eq[k].enabled);
    EXPECT_EQ(module.fir.fileName, "No file loaded");
    EXPECT_EQ(module.fir.coefficients, std::vector<float> { 1.0f });
    EXPECT_TRUE(module.fir.enabled);

    const OutputSettings output;
    for (const auto& band : output.eq)
        EXPECT_FALSE(band.enabled);

    const AppSettings fresh;
    EXPECT_TRUE(fresh.masterMute);
    EXPECT_TRUE(fresh.nodes.empty());
    EXPECT_EQ(fresh.analyzerWorkspace, "{}");
}
