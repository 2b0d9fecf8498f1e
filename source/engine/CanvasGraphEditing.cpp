#include "engine/CanvasGraphEditing.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace speaker
{
int validFirDeviceRate(double rate)
{
    for (const int r : kFirSampleRates)
        if (std::abs(rate - r) <= 0.5)
            return r;
    return 0;
}

double clampCanvasCoordinate(double value)
{
    return std::clamp(value, -kCanvasCoordinateLimit, kCanvasCoordinateLimit);
}

std::string smallestUnusedId(const std::string& prefix, const std::function<bool(const std::string&)>& used)
{
    for (int n = 1;; ++n)
    {
        auto id = prefix + std::to_string(n);
        if (! used(id))
            return id;
    }
}

std::string nextCanvasConnectionId(const AppSettings& settings)
{
    std::set<std::string> ids;
    for (const auto& c : settings.connections)
        ids.insert(c.id);
    return smallestUnusedId("connection", [&](const std::string& id) { return ids.count(id) != 0; });
}

void addCanvasEdgeIfMissing(AppSettings& settings, const std::string& source, const std::string& target)
{
    if (source.empty() || target.empty())
        return;
    const bool exists = std::any_of(settings.connections.begin(), settings.connections.end(),
                                    [&](const auto& c) { return c.source == source && c.target == target; });
    if (exists)
        return;
    CanvasConnectionSettings connection;
    connection.id = nextCanvasConnectionId(settings);
    connection.source = source;
    connection.target = target;
    settings.connections.push_back(std::move(connection));
}

std::string effectiveSourcePort(const std::string& port)
{
    return port.empty() ? std::string("output") : port;
}

std::string effectiveTargetPort(const AppSettings& settings, const std::string& target, const std::string& port)
{
    if (! port.empty())
        return port;
    const auto* node = findCanvasNode(settings, target);
    const bool math = node != nullptr && node->kind == static_cast<int>(CanvasNodeKind::processor) && isMathModuleKind(node->processor.kind);
    return math ? "a" : "input";
}

const CanvasSubmoduleSettings* submoduleOfEndpoint(const AppSettings& settings, const std::string& endpoint)
{
    static const std::string prefix = "@subsystem/";
    if (endpoint.rfind(prefix, 0) != 0)
        return nullptr;
    for (const auto& s : settings.submodules)
    {
        for (const auto& port : s.inputs)
            if (endpoint == canvasSubmoduleInputEndpoint(s.id, port.id))
                return &s;
        for (const auto& port : s.outputs)
            if (endpoint == canvasSubmoduleOutputEndpoint(s.id, port.id))
                return &s;
    }
    // An endpoint of a port that no longer exists still names its Subsystem.
    for (const auto& s : settings.submodules)
    {
        const auto head = prefix + s.id + "/";
        if (endpoint.rfind(head + "input/", 0) == 0 || endpoint.rfind(head + "output/", 0) == 0)
            return &s;
    }
    return nullptr;
}

bool canvasItemLocked(const AppSettings& settings, const std::string& id)
{
    if (const auto* node = findCanvasNode(settings, id))
        return node->locked;
    if (const auto* s = findCanvasSubmodule(settings, id))
        return s->locked;
    if (const auto* s = submoduleOfEndpoint(settings, id))
        return s->locked;
    return false;
}

std::vector<std::string> descendantSubmoduleIds(const AppSettings& settings, const std::string& subsystemId)
{
    std::vector<std::string> result { subsystemId };
    for (const auto& s : settings.submodules)
    {
        if (s.id == subsystemId)
            continue;
        // Walk up the parent chain; a loop never reaches the Subsystem.
        std::string parent = s.parentSubmoduleId;
        for (size_t steps = 0; ! parent.empty() && steps <= settings.submodules.size(); ++steps)
        {
            if (parent == subsystemId)
            {
                result.push_back(s.id);
                break;
            }
            const auto* up = findCanvasSubmodule(settings, parent);
            parent = up != nullptr ? up->parentSubmoduleId : std::string();
        }
    }
    return result;
}

std::vector<std::string> descendantNodeIds(const AppSettings& settings, const std::string& subsystemId)
{
    std::vector<std::string> result;
    for (const auto& id : descendantSubmoduleIds(settings, subsystemId))
        if (const auto* s = findCanvasSubmodule(settings, id))
            result.insert(result.end(), s->nodeIds.begin(), s->nodeIds.end());
    return result;
}

bool canvasSubtreeContainsLockedItem(const AppSettings& settings, const std::string& subsystemId)
{
    for (const auto& id : descendantSubmoduleIds(settings, subsystemId))
    {
        const auto* s = findCanvasSubmodule(settings, id);
        if (s == nullptr)
            continue;
        if (s->locked)
            return true;
        for (const auto& nodeId : s->nodeIds)
            if (const auto* node = findCanvasNode(settings, nodeId); node != nullptr && node->locked)
                return true;
    }
    return false;
}

namespace
{
struct BoundaryCandidate
{
    std::string endpoint;
    std::string nodeId;
    std::string port;
    double x = 0.0;
    double y = 0.0;
};

bool before(const BoundaryCandidate& a, const BoundaryCandidate& b)
{
    if (std::abs(a.y - b.y) < 1e-6)
        return a.x < b.x;
    return a.y < b.y;
}

CanvasSubmoduleSettings* findSubmodule(AppSettings& settings, const std::string& id)
{
    for (auto& s : settings.submodules)
        if (s.id == id)
            return &s;
    return nullptr;
}
} // namespace

void createAutomaticSubmodulePorts(AppSettings& settings, const std::string& subsystemId)
{
    auto* group = findSubmodule(settings, subsystemId);
    if (group == nullptr)
        return;

    std::set<std::string> insideTargets;
    std::set<std::string> insideSources;
    std::vector<BoundaryCandidate> targets;
    std::vector<BoundaryCandidate> sources;
    for (const auto& nodeId : group->nodeIds)
    {
        const auto* node = findCanvasNode(settings, nodeId);
        if (node == nullptr)
            continue;
        insideTargets.insert(nodeId);
        insideSources.insert(nodeId);
        if (node->kind == static_cast<int>(CanvasNodeKind::processor) && isMathModuleKind(node->processor.kind))
        {
            targets.push_back({ nodeId, nodeId, "a", node->x, node->y - 20.0 });
            targets.push_back({ nodeId, nodeId, "b", node->x, node->y + 20.0 });
        }
        else
        {
            targets.push_back({ nodeId, nodeId, "input", node->x, node->y });
        }
        sources.push_back({ nodeId, nodeId, {}, node->x, node->y });
    }
    for (const auto& child : settings.submodules)
    {
        if (child.parentSubmoduleId != subsystemId || child.id == subsystemId)
            continue;
        for (const auto& port : child.inputs)
        {
            const auto endpoint = canvasSubmoduleInputEndpoint(child.id, port.id);
            insideTargets.insert(endpoint);
            targets.push_back({ endpoint, {}, "input", port.x, port.y });
        }
        for (const auto& port : child.outputs)
        {
            const auto endpoint = canvasSubmoduleOutputEndpoint(child.id, port.id);
            insideSources.insert(endpoint);
            sources.push_back({ endpoint, {}, {}, port.x, port.y });
        }
    }

    if (targets.empty() && sources.empty())
    {
        group->inputs.push_back({ "input1", "Input 1", clampCanvasCoordinate(std::max(group->x - 210.0, 16.0)), group->y, {} });
        group->outputs.push_back({ "output1", "Output 1", clampCanvasCoordinate(group->x + 210.0), group->y, {} });
        return;
    }
    std::stable_sort(targets.begin(), targets.end(), before);
    std::stable_sort(sources.begin(), sources.end(), before);

    const auto entersTarget = [&](const CanvasConnectionSettings& c, const BoundaryCandidate& t) {
        return c.target == t.endpoint && effectiveTargetPort(settings, c.target, c.targetPort) == t.port;
    };
    std::vector<BoundaryCandidate> boundaryInputs;
    for (const auto& t : targets)
    {
        bool any = false;
        bool allInside = true;
        for (const auto& c : settings.connections)
        {
            if (! entersTarget(c, t))
                continue;
            any = true;
            allInside = allInside && insideSources.count(c.source) != 0;
        }
        if (! any || ! allInside)
            boundaryInputs.push_back(t);
    }
    std::vector<BoundaryCandidate> boundaryOutputs;
    for (const auto& s : sources)
    {
        bool any = false;
        bool allInside = true;
        for (const auto& c : settings.connections)
        {
            if (c.source != s.endpoint)
                continue;
            any = true;
            allInside = allInside && insideTargets.count(c.target) != 0;
        }
        if (! any || ! allInside)
            boundaryOutputs.push_back(s);
    }

    for (size_t k = 0; k < boundaryInputs.size(); ++k)
    {
        const auto& t = boundaryInputs[k];
        const auto number = std::to_string(k + 1);
        group = findSubmodule(settings, subsystemId);
        if (group == nullptr)
            return;
        group->inputs.push_back({ "input" + number, "Input " + number, clampCanvasCoordinate(std::max(t.x - 210.0, 16.0)),
                                  clampCanvasCoordinate(t.y), t.nodeId });
        const auto endpoint = canvasSubmoduleInputEndpoint(subsystemId, "input" + number);
        bool linked = false;
        for (auto& c : settings.connections)
        {
            if (entersTarget(c, t) && insideSources.count(c.source) == 0)
            {
                c.target = endpoint;
                c.targetPort = "input";
            }
        }
        for (const auto& c : settings.connections)
            linked = linked || (c.source == endpoint && entersTarget(c, t));
        if (! linked)
        {
            CanvasConnectionSettings wire;
            wire.id = nextCanvasConnectionId(settings);
            wire.source = endpoint;
            wire.sourcePort = "output";
            wire.target = t.endpoint;
            wire.targetPort = t.port;
            settings.connections.push_back(std::move(wire));
        }
    }
    for (size_t k = 0; k < boundaryOutputs.size(); ++k)
    {
        const auto& s = boundaryOutputs[k];
        const auto number = std::to_string(k + 1);
        group = findSubmodule(settings, subsystemId);
        if (group == nullptr)
            return;
        group->outputs.push_back({ "output" + number, "Output " + number, clampCanvasCoordinate(s.x + 210.0),
                                   clampCanvasCoordinate(s.y), s.nodeId });
        const auto endpoint = canvasSubmoduleOutputEndpoint(subsystemId, "output" + number);
        for (auto& c : settings.connections)
            if (c.source == s.endpoint && insideTargets.count(c.target) == 0)
                c.source = endpoint;
        addCanvasEdgeIfMissing(settings, s.endpoint, endpoint);
    }
}

void collapseCanvasEndpoint(AppSettings& settings, const std::string& endpoint)
{
    std::string upstream;
    std::string upstreamPort;
    std::vector<std::pair<std::string, std::string>> downstream;
    for (const auto& c : settings.connections)
    {
        if (c.target == endpoint)
        {
            upstream = c.source;
            upstreamPort = c.sourcePort;
        }
        if (c.source == endpoint)
            downstream.emplace_back(c.target, c.targetPort);
    }
    std::erase_if(settings.connections, [&](const auto& c) { return c.source == endpoint || c.target == endpoint; });
    if (upstream.empty())
        return;
    for (const auto& [target, port] : downstream)
    {
        const bool taken = std::any_of(settings.connections.begin(), settings.connections.end(),
                                       [&](const auto& c) { return c.target == target && c.targetPort == port; });
        if (taken)
            continue;
        CanvasConnectionSettings wire;
        wire.id = nextCanvasConnectionId(settings);
        wire.source = upstream;
        wire.sourcePort = upstreamPort;
        wire.target = target;
        wire.targetPort = port;
        settings.connections.push_back(std::move(wire));
    }
}
} // namespace speaker
