#include "model/AppSettings.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace speaker
{
namespace
{
constexpr std::array<const char*, 14> kModuleKindNames {
    "Gain", "IIR Filter", "Delay", "FIR Filter", "Peaking Filter", "High Shelving Filter", "Low Shelving Filter",
    "Low Pass Filter", "High Pass Filter", "Add", "Subtract", "Multiply", "Divide", "Empty",
};

constexpr std::array<const char*, 6> kFilterTypeNames {
    "Bypass", "Low Shelf", "High Shelf", "Low Pass 2nd", "High Pass 2nd", "Peaking",
};
} // namespace

std::string processingModuleKindName(int kind)
{
    return kModuleKindNames[static_cast<size_t>(std::clamp(kind, 0, 13))];
}

bool processingModuleKindFromName(const std::string& name, int& kind)
{
    for (size_t i = 0; i < kModuleKindNames.size(); ++i)
    {
        if (name == kModuleKindNames[i])
        {
            kind = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

bool isMathModuleKind(int kind)
{
    return kind >= static_cast<int>(ProcessingModuleKind::add) && kind <= static_cast<int>(ProcessingModuleKind::divide);
}

int filterTypeFromName(const std::string& name)
{
    for (size_t i = 0; i < kFilterTypeNames.size(); ++i)
        if (name == kFilterTypeNames[i])
            return static_cast<int>(i);
    return 0;
}

std::string filterTypeName(int type)
{
    return kFilterTypeNames[static_cast<size_t>(std::clamp(type, 0, 5))];
}

std::string filterShapeName(int shape)
{
    return shape == static_cast<int>(FilterShape::linkwitzRiley) ? "Linkwitz-Riley" : "Butterworth";
}

EqBands makeDefaultModuleEqBands()
{
    EqBands bands {};
    bands[0].enabled = true;
    return bands;
}

std::string normalizedSpeakerConfiguration(const std::string& name)
{
    if (name == "empty")
        return "empty";
    if (name == "mono" || name == "2way-mono")
        return "mono";
    if (name == "stereo" || name == "2way-stereo" || name == "3way-stereo")
        return "stereo";
    if (name == "custom" || name == "multi")
        return "custom";
    return {};
}

bool isValidSpeakerLayout(const std::string& configuration, const std::vector<int>& ways, std::string& error)
{
    const auto name = normalizedSpeakerConfiguration(configuration);
    if (name.empty())
    {
        error = "Unsupported channel configuration.";
        return false;
    }
    if (name == "empty")
    {
        if (! ways.empty())
        {
            error = "Empty Canvas cannot contain an initial channel layout.";
            return false;
        }
        return true;
    }
    if (ways.empty() || ways.size() > static_cast<size_t>(kMaxInputs))
    {
        error = "Choose between 1 and 16 input channels.";
        return false;
    }
    if (name == "mono" && ways.size() != 1)
    {
        error = "Mono requires one input channel.";
        return false;
    }
    if (name == "stereo" && ways.size() != 2)
    {
        error = "Stereo requires two input channels.";
        return false;
    }
    if (name == "stereo" && ways[0] != ways[1])
    {
        error = "Stereo requires the same Ways per Channel for left and right.";
        return false;
    }
    for (const int w : ways)
    {
        if (w < kMinWaysPerChannel || w > kMaxWaysPerChannel)
        {
            error = "Ways per Channel must be between 1 and 8.";
            return false;
        }
    }
    if (std::accumulate(ways.begin(), ways.end(), 0) > kMaxLayoutOutputs)
    {
        error = "This configuration exceeds the 16-output application limit.";
        return false;
    }
    return true;
}

AppSettings makeDefaultSettings(const std::string& configuration, const std::vector<int>& waysPerChannel)
{
    AppSettings settings;

    auto name = normalizedSpeakerConfiguration(configuration);
    std::vector<int> ways;
    if (configuration == "2way-mono")
        ways = { 2 };
    else if (configuration == "2way-stereo")
        ways = { 2, 2 };
    else if (configuration == "3way-stereo")
        ways = { 3, 3 };
    else
        ways = waysPerChannel;

    if (ways.empty() && name != "empty")
    {
        if (name == "mono")
            ways = { 1 };
        else if (name == "custom")
            ways = { 1, 1, 1, 1 };
        else
            ways = { 2, 2 };
    }

    std::string ignored;
    if (! isValidSpeakerLayout(name, ways, ignored))
    {
        name = "stereo";
        ways = { 2, 2 };
    }

    settings.speakerConfiguration = name;
    settings.inputCount = static_cast<int>(ways.size());
    settings.waysPerChannel.fill(0);
    std::copy(ways.begin(), ways.end(), settings.waysPerChannel.begin());
    settings.outputCount = std::accumulate(ways.begin(), ways.end(), 0);

    for (int i = 0; i < kMaxInputs; ++i)
        settings.inputs[static_cast<size_t>(i)].physicalChannel = i + 1;

    int next = 0;
    for (int i = 0; i < settings.inputCount; ++i)
        for (int w = 0; w < ways[static_cast<size_t>(i)]; ++w)
            settings.outputs[static_cast<size_t>(next++)].inputIndex = i;

    for (int j = 0; j < kMaxOutputs; ++j)
    {
        auto& output = settings.outputs[static_cast<size_t>(j)];
        output.physicalChannel = j + 1;
        output.eqBandCount = 1;
        output.eq = EqBands {};
        output.eq[0].enabled = true;
        if (j >= settings.outputCount)
            output.inputIndex = -1;
    }

    int waysBefore = 0;
    for (int i = 0; i < settings.inputCount; ++i)
    {
        const int w = ways[static_cast<size_t>(i)];
        settings.nodes.push_back(makeChannelNode(CanvasNodeKind::input, i, 72.0, 76.0 + 116.0 * waysBefore + 58.0 * (w - 1)));
        waysBefore += w;
    }
    for (int j = 0; j < settings.outputCount; ++j)
        settings.nodes.push_back(makeChannelNode(CanvasNodeKind::output, j, 760.0, 76.0 + 116.0 * j));
    for (int j = 0; j < settings.outputCount; ++j)
    {
        const int source = settings.outputs[static_cast<size_t>(j)].inputIndex;
        if (source < 0)
            continue;
        CanvasConnectionSettings connection;
        connection.id = "connection" + std::to_string(j + 1);
        connection.source = "in" + std::to_string(source + 1);
        connection.target = "out" + std::to_string(j + 1);
        settings.connections.push_back(connection);
    }
    return settings;
}

CanvasNodeSettings makeChannelNode(CanvasNodeKind kind, int index, double x, double y)
{
    CanvasNodeSettings node;
    node.id = (kind == CanvasNodeKind::input ? "in" : "out") + std::to_string(index + 1);
    node.kind = static_cast<int>(kind);
    node.channelIndex = index;
    node.x = x;
    node.y = y;
    return node;
}

std::string canvasSubmoduleInputEndpoint(const std::string& subsystemId, const std::string& portId)
{
    return "@subsystem/" + subsystemId + "/input/" + portId;
}

std::string canvasSubmoduleOutputEndpoint(const std::string& subsystemId, const std::string& portId)
{
    return "@subsystem/" + subsystemId + "/output/" + portId;
}

const CanvasNodeSettings* findCanvasNode(const AppSettings& settings, const std::string& id)
{
    const auto it = std::find_if(settings.nodes.begin(), settings.nodes.end(), [&](const auto& n) { return n.id == id; });
    return it == settings.nodes.end() ? nullptr : &*it;
}

CanvasNodeSettings* findCanvasNode(AppSettings& settings, const std::string& id)
{
    return const_cast<CanvasNodeSettings*>(findCanvasNode(std::as_const(settings), id));
}

const CanvasSubmoduleSettings* findCanvasSubmodule(const AppSettings& settings, const std::string& id)
{
    const auto it = std::find_if(settings.submodules.begin(), settings.submodules.end(), [&](const auto& s) { return s.id == id; });
    return it == settings.submodules.end() ? nullptr : &*it;
}

} // namespace speaker
