// Canvas editing: Blocks, terminals, wires, positions, locks and the two
// clipboards. Structural edits change a copy and commit it inside a graph
// mutation; positions, locks and names change the live project in place.

#include "engine/AudioEngineImpl.h"

#include "engine/CanvasGraphEditing.h"
#include "model/CanvasValidation.h"

#include <cmath>
#include <map>
#include <set>

namespace speaker
{
namespace
{
constexpr const char* kFirRateMismatch = "The FIR design sample rate does not match the audio device sample rate.";
constexpr const char* kTooManyBlocks = "The Canvas supports up to 64 DSP Blocks.";
constexpr const char* kPositionsFinite = "Canvas positions must be finite numbers.";

bool isBlock(const CanvasNodeSettings& node) { return node.kind == static_cast<int>(CanvasNodeKind::processor); }

int blockCount(const std::vector<CanvasNodeSettings>& nodes)
{
    return static_cast<int>(std::count_if(nodes.begin(), nodes.end(), isBlock));
}

const FirSettings* firOfSlot(const AppSettings& s, size_t i)
{
    if (i >= s.nodes.size())
        return nullptr;
    const auto& node = s.nodes[i];
    return isBlock(node) && node.processor.kind == static_cast<int>(ProcessingModuleKind::firFilter) ? &node.processor.fir : nullptr;
}

bool firBlocksDiffer(const AppSettings& a, const AppSettings& b)
{
    for (size_t i = 0; i < static_cast<size_t>(kNodeSlots); ++i)
    {
        const auto* before = firOfSlot(a, i);
        const auto* after = firOfSlot(b, i);
        if ((before == nullptr) != (after == nullptr) || (before != nullptr && before->coefficients != after->coefficients))
            return true;
    }
    return false;
}

std::string nextNodeId(const AppSettings& settings)
{
    std::set<std::string> ids;
    for (const auto& node : settings.nodes)
        ids.insert(node.id);
    return smallestUnusedId("node", [&](const std::string& id) { return ids.count(id) != 0; });
}

std::string nextSubmoduleId(const AppSettings& settings, const std::set<std::string>& alsoTaken = {})
{
    std::set<std::string> ids = alsoTaken;
    for (const auto& s : settings.submodules)
        ids.insert(s.id);
    return smallestUnusedId("submodule", [&](const std::string& id) { return ids.count(id) != 0; });
}

bool contains(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

CanvasSubmoduleSettings* findSubmodule(AppSettings& settings, const std::string& id)
{
    for (auto& s : settings.submodules)
        if (s.id == id)
            return &s;
    return nullptr;
}

void appendPortEndpoints(const CanvasSubmoduleSettings& s, std::set<std::string>& endpoints)
{
    for (const auto& port : s.inputs)
        endpoints.insert(canvasSubmoduleInputEndpoint(s.id, port.id));
    for (const auto& port : s.outputs)
        endpoints.insert(canvasSubmoduleOutputEndpoint(s.id, port.id));
}
} // namespace

namespace
{
// A pasted FIR Block: a placeholder takes the device rate, a loaded file must match it.
bool applyFirPasteRule(InsertedModuleSettings& module, int deviceRate, std::string& error)
{
    if (module.kind != static_cast<int>(ProcessingModuleKind::firFilter))
        return true;
    if (module.fir.fileName == kNoFirFileLoaded)
    {
        module.fir.sampleRateHz = deviceRate > 0 ? deviceRate : 48000;
        module.fir.coefficients = { 1.0f };
        return true;
    }
    if (deviceRate > 0 && module.fir.sampleRateHz != deviceRate)
    {
        error = kFirRateMismatch;
        return false;
    }
    return true;
}
} // namespace

bool AudioEngine::Impl::commitCanvasCopy(AppSettings& copy, bool validate, bool prepareFirs, std::string& error)
{
    if (validate && ! validateCanvasGraph(copy, error))
        return false;
    CanvasGraphMutation mutation(*this);
    if (prepareFirs && firBlocksDiffer(settings, copy) && ! prepareFirFilters(copy, error))
    {
        std::string ignored;
        prepareFirFilters(settings, ignored);
        return false;
    }
    const bool graphChanged = copy.nodes != settings.nodes || copy.connections != settings.connections
                              || copy.submodules != settings.submodules;
    settings = std::move(copy);
    publishSettings();
    unsavedChanges.store(true);
    mutation.resetHistory = graphChanged;
    return true;
}

void AudioEngine::Impl::markInPlaceEdit()
{
    settingsRevision.fetch_add(1);
    unsavedChanges.store(true);
}

bool AudioEngine::addCanvasModule(int kind, double x, double y, const std::string& subsystemId, std::string& newId,
                                  std::string& error)
{
    auto& d = *impl;
    if (kind == static_cast<int>(ProcessingModuleKind::iirFilter))
    {
        error = "IIR Filter is no longer available.";
        return false;
    }
    if (kind == static_cast<int>(ProcessingModuleKind::empty))
    {
        error = "Choose a DSP Block type.";
        return false;
    }
    if (kind < 0 || kind > static_cast<int>(ProcessingModuleKind::empty))
    {
        error.clear();
        return false;
    }
    if (! std::isfinite(x) || ! std::isfinite(y))
    {
        error = kPositionsFinite;
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    if (blockCount(d.settings.nodes) >= kMaxCanvasBlocks)
    {
        error = kTooManyBlocks;
        return false;
    }
    auto copy = d.settings;
    CanvasNodeSettings node;
    node.id = nextNodeId(copy);
    node.kind = static_cast<int>(CanvasNodeKind::processor);
    node.x = clampCanvasCoordinate(x);
    node.y = clampCanvasCoordinate(y);
    auto& p = node.processor;
    p.id = node.id;
    p.kind = kind;
    p.eqBandCount = 1;
    p.eq[0].enabled = true;
    switch (static_cast<ProcessingModuleKind>(kind))
    {
        case ProcessingModuleKind::highShelvingFilter:
            p.eq[0].type = static_cast<int>(FilterType::highShelf);
            break;
        case ProcessingModuleKind::lowShelvingFilter:
            p.eq[0].type = static_cast<int>(FilterType::lowShelf);
            p.eq[0].frequencyHz = 100.0;
            break;
        case ProcessingModuleKind::lowPassFilter:
            p.eq[0].type = static_cast<int>(FilterType::lowPass2nd);
            p.eq[0].frequencyHz = 1000.0;
            p.eq[0].q = 0.7071067811865476;
            break;
        case ProcessingModuleKind::highPassFilter:
            p.eq[0].type = static_cast<int>(FilterType::highPass2nd);
            p.eq[0].frequencyHz = 1000.0;
            p.eq[0].q = 0.7071067811865476;
            break;
        default:
            break;
    }
    const int rate = validFirDeviceRate(d.sampleRate.load());
    p.fir.sampleRateHz = rate > 0 ? rate : 48000;
    const auto id = node.id;
    copy.nodes.push_back(std::move(node));
    if (! subsystemId.empty())
    {
        auto* group = findSubmodule(copy, subsystemId);
        if (group == nullptr)
        {
            error = "The Subsystem no longer exists.";
            return false;
        }
        group->nodeIds.push_back(id);
    }
    if (! d.commitCanvasCopy(copy, true, true, error))
        return false;
    newId = id;
    return true;
}

bool AudioEngine::addCanvasTerminal(const std::string& terminalKind, int channel, double x, double y, std::string& newId,
                                    std::string& error)
{
    auto& d = *impl;
    const bool isInput = terminalKind == "Input";
    if (! isInput && terminalKind != "Output")
    {
        error = "Choose an input or output terminal.";
        return false;
    }
    if (! std::isfinite(x) || ! std::isfinite(y))
    {
        error = kPositionsFinite;
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    auto copy = d.settings;
    int& count = isInput ? copy.inputCount : copy.outputCount;
    if (channel < 0 || channel > 15 || channel > count)
    {
        error = "Inputs and outputs can be added sequentially up to 16 channels.";
        return false;
    }
    const auto id = (isInput ? "in" : "out") + std::to_string(channel + 1);
    if (findCanvasNode(copy, id) != nullptr)
    {
        error = "That input or output is already on the canvas.";
        return false;
    }
    if (channel == count)
    {
        copy.speakerConfiguration = "custom";
        if (isInput)
        {
            InputSettings input;
            input.physicalChannel = channel + 1;
            const int rate = validFirDeviceRate(d.sampleRate.load());
            input.fir.sampleRateHz = rate > 0 ? rate : 48000;
            copy.inputs[static_cast<size_t>(channel)] = std::move(input);
            copy.waysPerChannel[static_cast<size_t>(channel)] = 0;
        }
        else
        {
            OutputSettings output;
            output.physicalChannel = channel + 1;
            output.inputIndex = -1;
            output.eqBandCount = 1;
            output.eq[0].enabled = true;
            copy.outputs[static_cast<size_t>(channel)] = std::move(output);
        }
        ++count;
    }
    CanvasNodeSettings node;
    node.id = id;
    node.kind = static_cast<int>(isInput ? CanvasNodeKind::input : CanvasNodeKind::output);
    node.channelIndex = channel;
    node.x = clampCanvasCoordinate(x);
    node.y = clampCanvasCoordinate(y);
    copy.nodes.push_back(std::move(node));
    if (! d.commitCanvasCopy(copy, true, false, error))
        return false;
    newId = id;
    return true;
}

bool AudioEngine::copyCanvasModule(const std::string& nodeId, std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    const auto* node = findCanvasNode(d.settings, nodeId);
    if (node == nullptr || ! isBlock(*node) || node->processor.kind == static_cast<int>(ProcessingModuleKind::empty))
    {
        error = "Select a DSP Block to copy.";
        return false;
    }
    auto copy = node->processor;
    copy.id.clear();
    d.moduleClipboard = { std::move(copy) };
    return true;
}

bool AudioEngine::pasteCanvasModule(double x, double y, std::string& newId, std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    if (d.moduleClipboard.empty())
    {
        error = "Copy a DSP Block before pasting.";
        return false;
    }
    if (blockCount(d.settings.nodes) >= kMaxCanvasBlocks)
    {
        error = kTooManyBlocks;
        return false;
    }
    if (! std::isfinite(x) || ! std::isfinite(y))
    {
        error = kPositionsFinite;
        return false;
    }
    auto copy = d.settings;
    CanvasNodeSettings node;
    node.id = nextNodeId(copy);
    node.kind = static_cast<int>(CanvasNodeKind::processor);
    node.x = clampCanvasCoordinate(x);
    node.y = clampCanvasCoordinate(y);
    node.processor = d.moduleClipboard.front();
    node.processor.id = node.id;
    if (! applyFirPasteRule(node.processor, validFirDeviceRate(d.sampleRate.load()), error))
        return false;
    const auto id = node.id;
    copy.nodes.push_back(std::move(node));
    if (! d.commitCanvasCopy(copy, false, true, error))
        return false;
    newId = id;
    return true;
}

bool AudioEngine::copyCanvasSelection(const std::vector<std::string>& ids, std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    const auto& project = d.settings;
    auto& clip = d.canvasClipboard;
    clip = {};

    std::set<std::string> copiedNodes;
    std::set<std::string> copiedSubmodules;
    std::set<std::string> members;
    const auto copyNode = [&](const std::string& id) {
        const auto* node = findCanvasNode(project, id);
        if (node != nullptr && copiedNodes.insert(id).second)
            clip.nodes.push_back(*node);
    };
    for (const auto& id : ids)
    {
        if (findCanvasSubmodule(project, id) == nullptr)
            continue;
        for (const auto& sid : descendantSubmoduleIds(project, id))
        {
            const auto* s = findCanvasSubmodule(project, sid);
            if (s == nullptr || ! copiedSubmodules.insert(sid).second)
                continue;
            clip.submodules.push_back(*s);
            for (const auto& nodeId : s->nodeIds)
                copyNode(nodeId);
        }
    }
    for (const auto& id : ids)
        copyNode(id);

    std::set<std::string> copiedSet = copiedNodes;
    for (const auto& s : clip.submodules)
        appendPortEndpoints(s, copiedSet);
    for (const auto& c : project.connections)
        if (copiedSet.count(c.source) != 0 && copiedSet.count(c.target) != 0)
            clip.connections.push_back(c);

    const auto hasSelectedAncestor = [&](const CanvasSubmoduleSettings& s) {
        std::string parent = s.parentSubmoduleId;
        for (size_t steps = 0; ! parent.empty() && steps <= project.submodules.size(); ++steps)
        {
            if (contains(ids, parent))
                return true;
            const auto* up = findCanvasSubmodule(project, parent);
            parent = up != nullptr ? up->parentSubmoduleId : std::string();
        }
        return false;
    };
    for (const auto& id : ids)
    {
        if (contains(clip.rootIds, id))
            continue;
        if (const auto* s = findCanvasSubmodule(project, id))
        {
            if (! hasSelectedAncestor(*s))
                clip.rootIds.push_back(id);
        }
        else if (copiedNodes.count(id) != 0)
        {
            clip.rootIds.push_back(id);
        }
    }

    if (clip.nodes.empty() && clip.submodules.empty())
    {
        clip = {};
        error = "Select one or more Canvas Blocks to copy.";
        return false;
    }
    bool first = true;
    const auto extend = [&](double x, double y) {
        clip.originX = first ? x : std::min(clip.originX, x);
        clip.originY = first ? y : std::min(clip.originY, y);
        first = false;
    };
    for (const auto& node : clip.nodes)
        extend(node.x, node.y);
    for (const auto& s : clip.submodules)
        extend(s.x, s.y);
    return true;
}

bool AudioEngine::pasteCanvasSelection(double x, double y, const std::string& target, std::vector<std::string>& newIds,
                                       std::string& error)
{
    auto& d = *impl;
    if (! std::isfinite(x) || ! std::isfinite(y))
    {
        error = kPositionsFinite;
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    const auto& clip = d.canvasClipboard;
    if (clip.nodes.empty() && clip.submodules.empty())
    {
        error = "Copy a canvas selection before pasting.";
        return false;
    }
    if (! target.empty() && findCanvasSubmodule(d.settings, target) == nullptr)
    {
        error = "The destination Subsystem no longer exists.";
        return false;
    }
    if (d.settings.submodules.size() + clip.submodules.size() > static_cast<size_t>(kMaxSubmodules))
    {
        error = "The Canvas supports up to 32 Subsystems.";
        return false;
    }
    const bool hasTerminal = std::any_of(clip.nodes.begin(), clip.nodes.end(), [](const auto& n) { return ! isBlock(n); });
    if (! target.empty() && hasTerminal)
    {
        error = "Input and output channel nodes can only be pasted on the main canvas.";
        return false;
    }
    if (blockCount(d.settings.nodes) + blockCount(clip.nodes) > kMaxCanvasBlocks)
    {
        error = kTooManyBlocks;
        return false;
    }

    double maxX = clip.originX;
    double maxY = clip.originY;
    for (const auto& node : clip.nodes)
        maxX = std::max(maxX, node.x), maxY = std::max(maxY, node.y);
    for (const auto& s : clip.submodules)
        maxX = std::max(maxX, s.x), maxY = std::max(maxY, s.y);
    const double dx = x - (clip.originX + maxX) / 2.0;
    const double dy = y - (clip.originY + maxY) / 2.0;

    auto copy = d.settings;
    const int rate = validFirDeviceRate(d.sampleRate.load());
    std::map<std::string, std::string> map;
    std::set<std::string> createdNodes;
    for (const auto& source : clip.nodes)
    {
        if (! isBlock(source))
        {
            const auto existing = std::find_if(copy.nodes.begin(), copy.nodes.end(), [&](const auto& n) {
                return n.kind == source.kind && n.channelIndex == source.channelIndex;
            });
            if (existing != copy.nodes.end())
            {
                map[source.id] = existing->id;
                continue;
            }
        }
        auto node = source;
        if (isBlock(node))
        {
            node.id = nextNodeId(copy);
            node.processor.id = node.id;
            if (! applyFirPasteRule(node.processor, rate, error))
                return false;
        }
        node.x = clampCanvasCoordinate(node.x + dx);
        node.y = clampCanvasCoordinate(node.y + dy);
        map[source.id] = node.id;
        createdNodes.insert(node.id);
        copy.nodes.push_back(std::move(node));
    }

    std::set<std::string> givenOut;
    std::map<std::string, std::string> submoduleMap;
    for (const auto& s : clip.submodules)
    {
        const auto id = nextSubmoduleId(copy, givenOut);
        givenOut.insert(id);
        submoduleMap[s.id] = id;
    }
    std::set<std::string> pastedMembers;
    for (const auto& source : clip.submodules)
    {
        auto s = source;
        s.id = submoduleMap[source.id];
        s.x = clampCanvasCoordinate(s.x + dx);
        s.y = clampCanvasCoordinate(s.y + dy);
        const auto parent = submoduleMap.find(source.parentSubmoduleId);
        s.parentSubmoduleId = parent != submoduleMap.end() ? parent->second : target;
        s.nodeIds.clear();
        for (const auto& nodeId : source.nodeIds)
        {
            if (const auto found = map.find(nodeId); found != map.end())
            {
                s.nodeIds.push_back(found->second);
                pastedMembers.insert(found->second);
            }
        }
        const auto mapPorts = [&](std::vector<CanvasSubmodulePortSettings>& ports, bool input) {
            for (auto& port : ports)
            {
                port.x = clampCanvasCoordinate(port.x + dx);
                port.y = clampCanvasCoordinate(port.y + dy);
                const auto found = map.find(port.nodeId);
                port.nodeId = found != map.end() ? found->second : std::string();
                const auto from = input ? canvasSubmoduleInputEndpoint(source.id, port.id) : canvasSubmoduleOutputEndpoint(source.id, port.id);
                map[from] = input ? canvasSubmoduleInputEndpoint(s.id, port.id) : canvasSubmoduleOutputEndpoint(s.id, port.id);
            }
        };
        mapPorts(s.inputs, true);
        mapPorts(s.outputs, false);
        copy.submodules.push_back(std::move(s));
    }

    if (auto* group = target.empty() ? nullptr : findSubmodule(copy, target))
    {
        for (const auto& root : clip.rootIds)
        {
            const auto found = map.find(root);
            if (found == map.end() || createdNodes.count(found->second) == 0 || pastedMembers.count(found->second) != 0)
                continue;
            if (const auto* node = findCanvasNode(copy, found->second); node != nullptr && isBlock(*node) && ! contains(group->nodeIds, found->second))
                group->nodeIds.push_back(found->second);
        }
    }

    for (const auto& source : clip.connections)
    {
        const auto from = map.find(source.source);
        const auto to = map.find(source.target);
        if (from == map.end() || to == map.end())
            continue;
        const auto port = effectiveTargetPort(copy, to->second, source.targetPort);
        const bool taken = std::any_of(copy.connections.begin(), copy.connections.end(), [&](const auto& c) {
            return c.target == to->second && effectiveTargetPort(copy, c.target, c.targetPort) == port;
        });
        if (taken)
            continue;
        auto wire = source;
        wire.id = nextCanvasConnectionId(copy);
        wire.source = from->second;
        wire.target = to->second;
        copy.connections.push_back(std::move(wire));
    }

    std::vector<std::string> result;
    const auto addResult = [&](const std::string& id) {
        if (! contains(result, id))
            result.push_back(id);
    };
    for (const auto& root : clip.rootIds)
    {
        if (const auto s = submoduleMap.find(root); s != submoduleMap.end())
            addResult(s->second);
        else if (const auto n = map.find(root); n != map.end() && createdNodes.count(n->second) != 0)
            addResult(n->second);
    }
    if (result.empty())
        for (const auto& node : copy.nodes)
            if (createdNodes.count(node.id) != 0 && pastedMembers.count(node.id) == 0)
                addResult(node.id);
    if (result.empty())
    {
        error = "The selected input or output is already on the canvas.";
        return false;
    }
    if (! d.commitCanvasCopy(copy, true, true, error))
        return false;
    newIds = std::move(result);
    return true;
}

bool AudioEngine::removeCanvasSelection(const std::vector<std::string>& ids, const std::vector<std::string>& connectionIds,
                                        std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    const auto& project = d.settings;
    for (const auto& id : ids)
    {
        if (const auto* node = findCanvasNode(project, id); node != nullptr && node->locked)
        {
            error = "Unlock the selected Block before deleting it.";
            return false;
        }
        if (findCanvasSubmodule(project, id) != nullptr && canvasSubtreeContainsLockedItem(project, id))
        {
            error = "Unlock the selected Subsystem and its locked contents before deleting it.";
            return false;
        }
    }
    for (const auto& c : project.connections)
    {
        if (contains(connectionIds, c.id) && canvasItemLocked(project, c.source) && canvasItemLocked(project, c.target))
        {
            error = "Unlock one of the connected Blocks before deleting this connection.";
            return false;
        }
    }

    std::set<std::string> removedNodes;
    std::set<std::string> removedSubmodules;
    std::set<std::string> removedEndpoints;
    for (const auto& id : ids)
    {
        if (findCanvasNode(project, id) != nullptr)
            removedNodes.insert(id);
        if (findCanvasSubmodule(project, id) == nullptr)
            continue;
        for (const auto& sid : descendantSubmoduleIds(project, id))
        {
            removedSubmodules.insert(sid);
            if (const auto* s = findCanvasSubmodule(project, sid))
                appendPortEndpoints(*s, removedEndpoints);
        }
        for (const auto& nodeId : descendantNodeIds(project, id))
            removedNodes.insert(nodeId);
    }

    auto copy = project;
    const auto before = copy.nodes.size() + copy.connections.size() + copy.submodules.size();
    std::erase_if(copy.nodes, [&](const auto& n) { return removedNodes.count(n.id) != 0; });
    std::erase_if(copy.connections, [&](const auto& c) {
        return contains(connectionIds, c.id) || removedNodes.count(c.source) != 0 || removedNodes.count(c.target) != 0
               || removedEndpoints.count(c.source) != 0 || removedEndpoints.count(c.target) != 0;
    });
    std::erase_if(copy.submodules, [&](const auto& s) { return removedSubmodules.count(s.id) != 0; });
    for (auto& s : copy.submodules)
    {
        std::erase_if(s.nodeIds, [&](const auto& id) { return removedNodes.count(id) != 0; });
        for (auto* ports : { &s.inputs, &s.outputs })
            for (auto& port : *ports)
                if (removedNodes.count(port.nodeId) != 0)
                    port.nodeId.clear();
    }
    if (copy.nodes.size() + copy.connections.size() + copy.submodules.size() == before)
    {
        error = "The canvas selection no longer exists.";
        return false;
    }
    return d.commitCanvasCopy(copy, true, true, error);
}

bool AudioEngine::removeCanvasNode(const std::string& nodeId, std::string& error)
{
    return removeCanvasSelection({ nodeId }, {}, error);
}

bool AudioEngine::setCanvasItemsLocked(const std::vector<std::string>& ids, bool locked, std::string& error)
{
    auto& d = *impl;
    if (ids.empty())
    {
        error = "Select at least one Block or Subsystem.";
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    auto& project = d.settings;
    for (const auto& id : ids)
    {
        if (findCanvasNode(project, id) == nullptr && findCanvasSubmodule(project, id) == nullptr)
        {
            error = "The selected Canvas item no longer exists.";
            return false;
        }
    }
    bool changed = false;
    for (const auto& id : ids)
    {
        if (auto* node = findCanvasNode(project, id); node != nullptr && node->locked != locked)
            node->locked = locked, changed = true;
        if (auto* s = findSubmodule(project, id); s != nullptr && s->locked != locked)
            s->locked = locked, changed = true;
    }
    if (changed)
        d.markInPlaceEdit();
    return true;
}

bool AudioEngine::moveCanvasNode(const std::string& nodeId, double x, double y, std::string& error)
{
    auto& d = *impl;
    if (! std::isfinite(x) || ! std::isfinite(y))
    {
        error = kPositionsFinite;
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    auto* node = findCanvasNode(d.settings, nodeId);
    if (node == nullptr)
    {
        error = "The canvas node no longer exists.";
        return false;
    }
    if (node->locked)
    {
        error.clear();
        return false;
    }
    node->x = clampCanvasCoordinate(x);
    node->y = clampCanvasCoordinate(y);
    d.markInPlaceEdit();
    return true;
}

bool AudioEngine::connectCanvasNodes(const std::string& source, const std::string& target, const std::string& sourcePort,
                                     const std::string& targetPort, std::string& connectionId, std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    const auto& project = d.settings;
    const auto fromPort = effectiveSourcePort(sourcePort);
    const auto toPort = effectiveTargetPort(project, target, targetPort);
    for (const auto& c : project.connections)
    {
        if (c.source == source && c.target == target && effectiveSourcePort(c.sourcePort) == fromPort
            && effectiveTargetPort(project, c.target, c.targetPort) == toPort)
        {
            connectionId = c.id;
            return true;
        }
    }
    const auto occupies = [&](const CanvasConnectionSettings& c) {
        return c.target == target && effectiveTargetPort(project, c.target, c.targetPort) == toPort;
    };
    for (const auto& c : project.connections)
    {
        if (occupies(c) && canvasItemLocked(project, c.source) && canvasItemLocked(project, c.target))
        {
            error = "Unlock one of the connected Blocks before replacing this connection.";
            return false;
        }
    }
    auto copy = project;
    std::erase_if(copy.connections, occupies);
    CanvasConnectionSettings wire;
    wire.id = nextCanvasConnectionId(copy);
    wire.source = source;
    wire.target = target;
    wire.sourcePort = fromPort;
    wire.targetPort = toPort;
    const auto id = wire.id;
    copy.connections.push_back(std::move(wire));
    if (! d.commitCanvasCopy(copy, true, false, error))
        return false;
    connectionId = id;
    return true;
}

bool AudioEngine::disconnectCanvasConnection(const std::string& connectionId, std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    const auto& project = d.settings;
    for (const auto& c : project.connections)
    {
        if (c.id == connectionId && canvasItemLocked(project, c.source) && canvasItemLocked(project, c.target))
        {
            error = "Unlock one of the connected Blocks before deleting this connection.";
            return false;
        }
    }
    auto copy = project;
    if (std::erase_if(copy.connections, [&](const auto& c) { return c.id == connectionId; }) == 0)
    {
        error = "The signal connection no longer exists.";
        return false;
    }
    return d.commitCanvasCopy(copy, false, false, error);
}
} // namespace speaker
