#include "model/CanvasValidation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace speaker
{
namespace
{
constexpr const char* kCountsMessage = "A project supports up to 16 inputs and 16 outputs.";
constexpr const char* kSizeMessage = "The canvas exceeds the supported node or connection limit.";
constexpr const char* kNodeIdMessage = "Canvas node IDs must be unique.";
constexpr const char* kOutputChannelMessage = "An output channel can appear only once on the canvas.";
constexpr const char* kInputChannelMessage = "An input channel can appear only once on the canvas.";
constexpr const char* kProcessorMessage = "The canvas contains an unsupported processor node.";
constexpr const char* kSubsystemMessage = "The Canvas contains an invalid Subsystem.";
constexpr const char* kMembershipMessage = "Each DSP Block may belong to one Subsystem only.";
constexpr const char* kParentMessage = "A Subsystem has an invalid parent.";
constexpr const char* kHierarchyMessage = "Nested Subsystems cannot contain a hierarchy loop.";
constexpr const char* kPortMessage = "A Subsystem contains an invalid or duplicate port.";
constexpr const char* kConnectionMessage = "The canvas contains an invalid connection.";
constexpr const char* kFeedbackMessage = "Feedback loops are not allowed on the canvas.";

bool fail(std::string& error, const char* message)
{
    error = message;
    return false;
}

bool isBlankText(const std::string& text)
{
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v')
            return false;
    return true;
}

bool isWellFormedId(const std::string& id)
{
    return ! id.empty() && id.find('.') == std::string::npos;
}

bool isChannelNode(const CanvasNodeSettings& node)
{
    return node.kind == static_cast<int>(CanvasNodeKind::input) || node.kind == static_cast<int>(CanvasNodeKind::output);
}

// Kinds the engine can run as a canvas Block; Empty is chain-only and anything else is unknown.
bool isCanvasProcessorKind(int kind)
{
    return kind >= static_cast<int>(ProcessingModuleKind::gain) && kind <= static_cast<int>(ProcessingModuleKind::divide);
}

// One graph vertex: a node or a Subsystem port endpoint, with the canvas level it occupies
// when used as a source and as a target.
struct Vertex
{
    const CanvasNodeSettings* node = nullptr; // null for port endpoints
    std::string_view sourceLevel;
    std::string_view targetLevel;
};

// Hashes string_view keys so lookups never build temporary strings.
using IdIndex = std::unordered_map<std::string_view, int>;

// One input of one vertex; each takes a single wire.
struct TargetInput
{
    int target;
    std::string_view port;

    bool operator==(const TargetInput&) const = default;
};

struct TargetInputHash
{
    size_t operator()(const TargetInput& key) const noexcept
    {
        return std::hash<std::string_view> {}(key.port) ^ (static_cast<size_t>(key.target) * 0x9E3779B97F4A7C15ull);
    }
};
} // namespace

bool validateCanvasGraph(const AppSettings& settings, std::string& error)
{
    if (settings.inputCount > kMaxInputs || settings.outputCount > kMaxOutputs)
        return fail(error, kCountsMessage);

    const auto& nodes = settings.nodes;
    const auto& submodules = settings.submodules;
    const auto& connections = settings.connections;

    if (nodes.size() > static_cast<size_t>(kMaxCanvasNodes) || connections.size() > static_cast<size_t>(kMaxCanvasConnections)
        || submodules.size() > static_cast<size_t>(kMaxSubmodules))
        return fail(error, kSizeMessage);

    // Nodes.
    IdIndex nodeIndex;
    nodeIndex.reserve(nodes.size() * 2);
    std::array<bool, kMaxInputs> inputUsed {};
    std::array<bool, kMaxOutputs> outputUsed {};
    int blockCount = 0;

    for (size_t i = 0; i < nodes.size(); ++i)
    {
        const auto& node = nodes[i];
        if (! isWellFormedId(node.id) || ! nodeIndex.emplace(node.id, static_cast<int>(i)).second)
            return fail(error, kNodeIdMessage);

        if (node.kind == static_cast<int>(CanvasNodeKind::output))
        {
            if (node.channelIndex < 0 || node.channelIndex >= settings.outputCount || outputUsed[static_cast<size_t>(node.channelIndex)])
                return fail(error, kOutputChannelMessage);
            outputUsed[static_cast<size_t>(node.channelIndex)] = true;
        }
        else if (node.kind == static_cast<int>(CanvasNodeKind::input))
        {
            if (node.channelIndex < 0 || node.channelIndex >= settings.inputCount || inputUsed[static_cast<size_t>(node.channelIndex)])
                return fail(error, kInputChannelMessage);
            inputUsed[static_cast<size_t>(node.channelIndex)] = true;
        }
        else
        {
            ++blockCount;
            if (blockCount > kMaxCanvasBlocks || node.kind != static_cast<int>(CanvasNodeKind::processor)
                || ! isCanvasProcessorKind(node.processor.kind))
                return fail(error, kProcessorMessage);
        }
    }

    // Subsystems and their Block membership.
    IdIndex submoduleIndex;
    submoduleIndex.reserve(submodules.size() * 2);
    std::unordered_map<std::string_view, std::string_view> memberOf; // Block id -> Subsystem id
    memberOf.reserve(nodes.size() * 2);

    for (size_t i = 0; i < submodules.size(); ++i)
    {
        const auto& sub = submodules[i];
        if (! isWellFormedId(sub.id) || nodeIndex.contains(sub.id) || ! submoduleIndex.emplace(sub.id, static_cast<int>(i)).second
            || isBlankText(sub.name) || ! std::isfinite(sub.x) || ! std::isfinite(sub.y)
            || sub.inputs.size() > static_cast<size_t>(kMaxSubmodulePortsPerSide)
            || sub.outputs.size() > static_cast<size_t>(kMaxSubmodulePortsPerSide))
            return fail(error, kSubsystemMessage);

        for (const auto& memberId : sub.nodeIds)
        {
            const auto found = nodeIndex.find(memberId);
            if (found == nodeIndex.end() || isChannelNode(nodes[static_cast<size_t>(found->second)])
                || ! memberOf.emplace(found->first, sub.id).second)
                return fail(error, kMembershipMessage);
        }
    }

    // Nesting: every parent exists and the parent links form a tree.
    std::vector<char> seen(submodules.size(), 0);
    for (size_t i = 0; i < submodules.size(); ++i)
    {
        const auto& sub = submodules[i];
        if (sub.parentSubmoduleId.empty())
            continue;
        const auto parent = submoduleIndex.find(sub.parentSubmoduleId);
        if (sub.parentSubmoduleId == sub.id || parent == submoduleIndex.end())
            return fail(error, kParentMessage);

        std::fill(seen.begin(), seen.end(), 0);
        seen[i] = 1;
        for (auto at = parent; at != submoduleIndex.end();)
        {
            const auto index = static_cast<size_t>(at->second);
            if (seen[index])
                return fail(error, kHierarchyMessage);
            seen[index] = 1;
            const auto& next = submodules[index].parentSubmoduleId;
            if (next.empty())
                break;
            // A missing ancestor ends the walk; that Subsystem reports its own parent.
            at = submoduleIndex.find(next);
        }
    }

    // A Block is in the subtree of `subId` when its own Subsystem is `subId` or nested in it.
    // The hierarchy is a proper tree by now, so walking up always ends.
    const auto isInSubtree = [&](const std::string& blockId, std::string_view subId)
    {
        const auto member = memberOf.find(blockId);
        if (member == memberOf.end())
            return false;
        for (std::string_view at = member->second; ! at.empty();)
        {
            if (at == subId)
                return true;
            const auto found = submoduleIndex.find(at);
            if (found == submoduleIndex.end())
                return false;
            at = submodules[static_cast<size_t>(found->second)].parentSubmoduleId;
        }
        return false;
    };

    // Ports and their endpoints; the endpoint strings live here for the rest of the call.
    size_t portCount = 0;
    for (const auto& sub : submodules)
        portCount += sub.inputs.size() + sub.outputs.size();

    std::vector<std::string> endpointNames;
    std::vector<Vertex> endpointVertices;
    endpointNames.reserve(portCount);
    endpointVertices.reserve(portCount);
    IdIndex endpointIndex;
    endpointIndex.reserve(portCount * 2);
    std::unordered_set<std::string_view> portIds;

    for (const auto& sub : submodules)
    {
        portIds.clear();
        const auto registerPort = [&](const CanvasSubmodulePortSettings& port, bool isInput)
        {
            if (! isWellFormedId(port.id) || ! portIds.insert(port.id).second || isBlankText(port.name) || ! std::isfinite(port.x)
                || ! std::isfinite(port.y) || (! port.nodeId.empty() && ! isInSubtree(port.nodeId, sub.id)))
                return false;

            auto endpoint = isInput ? canvasSubmoduleInputEndpoint(sub.id, port.id) : canvasSubmoduleOutputEndpoint(sub.id, port.id);
            if (nodeIndex.contains(endpoint) || endpointIndex.contains(endpoint))
                return false;

            endpointNames.push_back(std::move(endpoint));
            const std::string_view inside = sub.id;
            const std::string_view outside = sub.parentSubmoduleId;
            // An input port sends inside its Subsystem and receives outside; an output port the reverse.
            endpointVertices.push_back(isInput ? Vertex { nullptr, inside, outside } : Vertex { nullptr, outside, inside });
            endpointIndex.emplace(endpointNames.back(), static_cast<int>(endpointNames.size() - 1));
            return true;
        };

        for (const auto& port : sub.inputs)
            if (! registerPort(port, true))
                return fail(error, kPortMessage);
        for (const auto& port : sub.outputs)
            if (! registerPort(port, false))
                return fail(error, kPortMessage);
    }

    // Vertices: nodes first, then port endpoints.
    const size_t vertexCount = nodes.size() + endpointVertices.size();
    std::vector<Vertex> vertices;
    vertices.reserve(vertexCount);
    for (const auto& node : nodes)
    {
        std::string_view level;
        if (const auto member = memberOf.find(node.id); member != memberOf.end())
            level = member->second;
        vertices.push_back({ &node, level, level });
    }
    vertices.insert(vertices.end(), endpointVertices.begin(), endpointVertices.end());

    const auto vertexOf = [&](const std::string& id) -> int
    {
        if (const auto n = nodeIndex.find(id); n != nodeIndex.end())
            return n->second;
        if (const auto e = endpointIndex.find(id); e != endpointIndex.end())
            return static_cast<int>(nodes.size()) + e->second;
        return -1;
    };

    // Connections.
    std::unordered_set<std::string_view> connectionIds;
    connectionIds.reserve(connections.size() * 2);
    std::unordered_set<TargetInput, TargetInputHash> fedInputs;
    fedInputs.reserve(connections.size() * 2);
    std::vector<int> inDegree(vertexCount, 0);
    std::vector<std::vector<int>> adjacency(vertexCount);

    for (const auto& connection : connections)
    {
        if (connection.id.empty() || ! connectionIds.insert(connection.id).second)
            return fail(error, kConnectionMessage);

        const int source = vertexOf(connection.source);
        const int target = vertexOf(connection.target);
        if (source < 0 || target < 0 || source == target)
            return fail(error, kConnectionMessage);

        const auto& from = vertices[static_cast<size_t>(source)];
        const auto& to = vertices[static_cast<size_t>(target)];
        if ((from.node != nullptr && from.node->kind == static_cast<int>(CanvasNodeKind::output))
            || (to.node != nullptr && to.node->kind == static_cast<int>(CanvasNodeKind::input)))
            return fail(error, kConnectionMessage);

        if (from.sourceLevel != to.targetLevel)
            return fail(error, kConnectionMessage);

        if (! connection.sourcePort.empty() && connection.sourcePort != "output")
            return fail(error, kConnectionMessage);

        const bool mathTarget = to.node != nullptr && ! isChannelNode(*to.node) && isMathModuleKind(to.node->processor.kind);
        const std::string_view targetPort = connection.targetPort.empty() ? std::string_view(mathTarget ? "a" : "input")
                                                                          : std::string_view(connection.targetPort);
        if (mathTarget ? (targetPort != "a" && targetPort != "b") : targetPort != "input")
            return fail(error, kConnectionMessage);

        // Every source port is "output" by now, so a repeated wire is also a second wire into
        // the same target port; this one check covers both.
        if (! fedInputs.insert({ target, targetPort }).second)
            return fail(error, kConnectionMessage);

        ++inDegree[static_cast<size_t>(target)];
        adjacency[static_cast<size_t>(source)].push_back(target);
    }

    // Feedback: Kahn's algorithm; anything left over sits on a cycle.
    std::vector<int> ready;
    ready.reserve(vertexCount);
    for (size_t v = 0; v < vertexCount; ++v)
        if (inDegree[v] == 0)
            ready.push_back(static_cast<int>(v));
    for (size_t head = 0; head < ready.size(); ++head)
        for (const int next : adjacency[static_cast<size_t>(ready[head])])
            if (--inDegree[static_cast<size_t>(next)] == 0)
                ready.push_back(next);

    if (ready.size() < vertexCount)
        return fail(error, kFeedbackMessage);

    return true;
}
} // namespace speaker
