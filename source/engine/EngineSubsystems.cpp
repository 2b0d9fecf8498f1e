// Subsystem editing: grouping and ungrouping, moving and renaming, and the
// ports of a Subsystem. Same commit and lock rules as the canvas editor.

#include "engine/AudioEngineImpl.h"

#include "engine/CanvasGraphEditing.h"

#include <cmath>
#include <set>

namespace speaker
{
namespace
{
constexpr const char* kSubsystemGone = "The Subsystem no longer exists.";
constexpr const char* kPortGone = "The Subsystem port no longer exists.";
constexpr const char* kPortPositionsFinite = "Port positions must be finite numbers.";
constexpr size_t kMaxNameLength = 64;

CanvasSubmoduleSettings* findSubmodule(AppSettings& settings, const std::string& id)
{
    for (auto& s : settings.submodules)
        if (s.id == id)
            return &s;
    return nullptr;
}

// The Subsystem an edit may change: it must exist and be unlocked.
CanvasSubmoduleSettings* findUnlockedSubmodule(AppSettings& settings, const std::string& id, const char* lockedMessage,
                                               std::string& error)
{
    auto* group = findSubmodule(settings, id);
    if (group == nullptr)
        error = kSubsystemGone;
    else if (group->locked)
        error = lockedMessage;
    else
        return group;
    return nullptr;
}

bool contains(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

// The Subsystem whose nodeIds list the Block, or empty for the main canvas.
std::string levelOf(const AppSettings& settings, const std::string& nodeId)
{
    for (const auto& s : settings.submodules)
        if (contains(s.nodeIds, nodeId))
            return s.id;
    return {};
}
} // namespace

bool AudioEngine::createCanvasSubmodule(const std::vector<std::string>& ids, double x, double y, const std::string& parent,
                                        std::string& newId, std::string& error)
{
    auto& d = *impl;
    if (ids.size() == 1 || ! std::isfinite(x) || ! std::isfinite(y))
    {
        error = "Choose an empty Subsystem or select at least two Blocks.";
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    const auto& project = d.settings;
    if (! parent.empty() && findCanvasSubmodule(project, parent) == nullptr)
    {
        error = "The parent Subsystem no longer exists.";
        return false;
    }
    std::vector<std::string> blocks;
    std::vector<std::string> groups;
    for (const auto& id : ids)
    {
        if (const auto* node = findCanvasNode(project, id))
        {
            if (node->kind != static_cast<int>(CanvasNodeKind::processor) || levelOf(project, id) != parent)
            {
                error = "Selected DSP Blocks must belong to the current Canvas.";
                return false;
            }
            if (node->locked)
            {
                error = "Unlock every selected Block before creating a Subsystem.";
                return false;
            }
            if (! contains(blocks, id))
                blocks.push_back(id);
        }
        else if (const auto* s = findCanvasSubmodule(project, id))
        {
            if (s->parentSubmoduleId != parent)
            {
                error = "Selected Blocks must belong to the current Canvas.";
                return false;
            }
            if (canvasSubtreeContainsLockedItem(project, id))
            {
                error = "Unlock every selected Block before creating a Subsystem.";
                return false;
            }
            if (! contains(groups, id))
                groups.push_back(id);
        }
        else
        {
            error = "Selected Blocks must belong to the current Canvas.";
            return false;
        }
    }

    auto copy = project;
    std::set<std::string> used;
    for (const auto& s : copy.submodules)
        used.insert(s.id);
    const auto id = smallestUnusedId("submodule", [&](const std::string& candidate) { return used.count(candidate) != 0; });
    CanvasSubmoduleSettings group;
    group.id = id;
    group.name = "Subsystem " + id.substr(std::string("submodule").size());
    group.x = clampCanvasCoordinate(x);
    group.y = clampCanvasCoordinate(y);
    group.nodeIds = blocks;
    group.parentSubmoduleId = parent;
    copy.submodules.push_back(std::move(group));
    if (auto* up = findSubmodule(copy, parent))
        std::erase_if(up->nodeIds, [&](const auto& nodeId) { return contains(blocks, nodeId); });
    for (auto& s : copy.submodules)
        if (contains(groups, s.id))
            s.parentSubmoduleId = id;
    createAutomaticSubmodulePorts(copy, id);
    if (! d.commitCanvasCopy(copy, true, false, error))
        return false;
    newId = id;
    return true;
}

bool AudioEngine::ungroupCanvasSubmodule(const std::string& id, std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    const auto* existing = findCanvasSubmodule(d.settings, id);
    if (existing == nullptr)
    {
        error = kSubsystemGone;
        return false;
    }
    if (canvasSubtreeContainsLockedItem(d.settings, id))
    {
        error = "Unlock this Subsystem and its locked contents before dissolving it.";
        return false;
    }
    auto copy = d.settings;
    const auto group = *existing;
    for (const auto& port : group.inputs)
        collapseCanvasEndpoint(copy, canvasSubmoduleInputEndpoint(id, port.id));
    for (const auto& port : group.outputs)
        collapseCanvasEndpoint(copy, canvasSubmoduleOutputEndpoint(id, port.id));
    if (auto* up = findSubmodule(copy, group.parentSubmoduleId); up != nullptr && up->id != id)
        up->nodeIds.insert(up->nodeIds.end(), group.nodeIds.begin(), group.nodeIds.end());
    for (auto& s : copy.submodules)
        if (s.parentSubmoduleId == id)
            s.parentSubmoduleId = group.parentSubmoduleId;
    std::erase_if(copy.submodules, [&](const auto& s) { return s.id == id; });
    return d.commitCanvasCopy(copy, true, false, error);
}

bool AudioEngine::moveCanvasSubmodule(const std::string& id, double x, double y, std::string& error)
{
    auto& d = *impl;
    if (! std::isfinite(x) || ! std::isfinite(y))
    {
        error = "Canvas positions must be finite numbers.";
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    auto& project = d.settings;
    auto* group = findSubmodule(project, id);
    if (group == nullptr)
    {
        error = kSubsystemGone;
        return false;
    }
    if (canvasSubtreeContainsLockedItem(project, id))
    {
        error.clear();
        return false;
    }
    const double dx = clampCanvasCoordinate(x) - group->x;
    const double dy = clampCanvasCoordinate(y) - group->y;
    const auto shift = [&](double& px, double& py) {
        px = clampCanvasCoordinate(px + dx);
        py = clampCanvasCoordinate(py + dy);
    };
    for (const auto& sid : descendantSubmoduleIds(project, id))
    {
        auto* s = findSubmodule(project, sid);
        if (s == nullptr)
            continue;
        shift(s->x, s->y);
        for (auto* ports : { &s->inputs, &s->outputs })
            for (auto& port : *ports)
                shift(port.x, port.y);
    }
    for (const auto& nodeId : descendantNodeIds(project, id))
        if (auto* node = findCanvasNode(project, nodeId))
            shift(node->x, node->y);
    d.markInPlaceEdit();
    return true;
}

bool AudioEngine::renameCanvasSubmodule(const std::string& id, const std::string& name, std::string& error)
{
    auto& d = *impl;
    const auto trimmed = juce::String::fromUTF8(name.c_str()).trim().substring(0, static_cast<int>(kMaxNameLength));
    if (trimmed.isEmpty())
    {
        error = "Enter a Subsystem name.";
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    auto* group = findUnlockedSubmodule(d.settings, id, "Unlock this Subsystem before renaming it.", error);
    if (group == nullptr)
        return false;
    group->name = trimmed.toStdString();
    d.markInPlaceEdit();
    return true;
}

bool AudioEngine::addCanvasSubmodulePort(const std::string& id, bool isInput, double x, double y, std::string& newPortId,
                                         std::string& error)
{
    auto& d = *impl;
    if (! std::isfinite(x) || ! std::isfinite(y))
    {
        error = kPortPositionsFinite;
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    const auto* existing = findUnlockedSubmodule(d.settings, id, "Unlock this Subsystem before changing its ports.", error);
    if (existing == nullptr)
        return false;
    const auto& side = isInput ? existing->inputs : existing->outputs;
    if (side.size() >= static_cast<size_t>(kMaxSubmodulePortsPerSide))
    {
        error = "A Subsystem supports up to 64 ports per side.";
        return false;
    }
    const std::string prefix = isInput ? "input" : "output";
    const auto portId = smallestUnusedId(prefix, [&](const std::string& candidate) {
        return std::any_of(side.begin(), side.end(), [&](const auto& p) { return p.id == candidate; });
    });
    auto copy = d.settings;
    auto* group = findSubmodule(copy, id);
    if (group == nullptr)
        return false;
    (isInput ? group->inputs : group->outputs)
        .push_back({ portId, (isInput ? "Input " : "Output ") + portId.substr(prefix.size()), clampCanvasCoordinate(x),
                     clampCanvasCoordinate(y), {} });
    if (! d.commitCanvasCopy(copy, true, false, error))
        return false;
    newPortId = portId;
    return true;
}

bool AudioEngine::moveCanvasSubmodulePort(const std::string& id, const std::string& portId, double x, double y,
                                          std::string& error)
{
    auto& d = *impl;
    if (! std::isfinite(x) || ! std::isfinite(y))
    {
        error = kPortPositionsFinite;
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    auto* group = findUnlockedSubmodule(d.settings, id, "Unlock this Subsystem before moving its ports.", error);
    if (group == nullptr)
        return false;
    for (auto* ports : { &group->inputs, &group->outputs })
    {
        for (auto& port : *ports)
        {
            if (port.id != portId)
                continue;
            port.x = clampCanvasCoordinate(x);
            port.y = clampCanvasCoordinate(y);
            d.markInPlaceEdit();
            return true;
        }
    }
    error = kPortGone;
    return false;
}

bool AudioEngine::connectCanvasSubmodulePort(const std::string& id, const std::string& portId, const std::string& nodeId,
                                             std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    const auto& project = d.settings;
    const auto* existing = findCanvasSubmodule(project, id);
    if (existing == nullptr || ! contains(descendantNodeIds(project, id), nodeId))
    {
        error = "Choose a DSP Block inside this Subsystem.";
        return false;
    }
    if (existing->locked)
    {
        error = "Unlock this Subsystem before changing its port connections.";
        return false;
    }
    const bool isInput = std::any_of(existing->inputs.begin(), existing->inputs.end(), [&](const auto& p) { return p.id == portId; });
    const bool isOutput = ! isInput
                          && std::any_of(existing->outputs.begin(), existing->outputs.end(), [&](const auto& p) { return p.id == portId; });
    if (! isInput && ! isOutput)
    {
        error = kPortGone;
        return false;
    }
    const auto endpoint = isInput ? canvasSubmoduleInputEndpoint(id, portId) : canvasSubmoduleOutputEndpoint(id, portId);
    const auto replaced = [&](const CanvasConnectionSettings& c) {
        return isInput ? (c.target == nodeId || c.source == endpoint) : c.target == endpoint;
    };
    for (const auto& c : project.connections)
    {
        if (replaced(c) && canvasItemLocked(project, c.source) && canvasItemLocked(project, c.target))
        {
            error = "Unlock one of the connected Blocks before replacing this connection.";
            return false;
        }
    }
    auto copy = project;
    std::erase_if(copy.connections, replaced);
    if (isInput)
        addCanvasEdgeIfMissing(copy, endpoint, nodeId);
    else
        addCanvasEdgeIfMissing(copy, nodeId, endpoint);
    auto* group = findSubmodule(copy, id);
    if (group == nullptr)
        return false;
    for (auto* ports : { &group->inputs, &group->outputs })
    {
        if ((ports == &group->inputs) != isInput)
            continue;
        for (auto& port : *ports)
            if (port.id == portId)
                port.nodeId = nodeId;
    }
    return d.commitCanvasCopy(copy, true, false, error);
}

bool AudioEngine::removeCanvasSubmodulePort(const std::string& id, const std::string& portId, std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    const auto* existing = findUnlockedSubmodule(d.settings, id, "Unlock this Subsystem before removing a port.", error);
    if (existing == nullptr)
        return false;
    auto copy = d.settings;
    auto* group = findSubmodule(copy, id);
    if (group == nullptr)
        return false;
    std::string endpoint;
    if (std::erase_if(group->inputs, [&](const auto& p) { return p.id == portId; }) != 0)
        endpoint = canvasSubmoduleInputEndpoint(id, portId);
    else if (std::erase_if(group->outputs, [&](const auto& p) { return p.id == portId; }) != 0)
        endpoint = canvasSubmoduleOutputEndpoint(id, portId);
    else
    {
        error = kPortGone;
        return false;
    }
    std::erase_if(copy.connections, [&](const auto& c) { return c.source == endpoint || c.target == endpoint; });
    return d.commitCanvasCopy(copy, true, false, error);
}
} // namespace speaker
