// The processing chains of the project inputs and outputs: inserting,
// configuring, deleting, copying and pasting modules, and deleting IIR bands.
// Chain edits need DSP stopped (band deletion and copying excepted).

#include "engine/AudioEngineImpl.h"

#include "engine/CanvasGraphEditing.h"

#include <optional>
#include <set>

namespace speaker
{
namespace
{
constexpr const char* kStopBeforeSignalFlow = "Stop DSP before changing the signal flow.";
constexpr const char* kNoRoom = "This signal chain does not have room for all copied modules.";
constexpr const char* kFirRateMismatch = "The FIR design sample rate does not match the audio device sample rate.";

bool isKind(const InsertedModuleSettings& m, ProcessingModuleKind k) { return m.kind == static_cast<int>(k); }

bool contains(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

bool isFixedStage(bool isInput, const std::string& entry)
{
    return isInput ? entry == "fir" : (entry == "gain" || entry == "iir" || entry == "delay");
}

std::string nextModuleId(const std::vector<InsertedModuleSettings>& modules)
{
    return smallestUnusedId("module", [&](const std::string& id) {
        return std::any_of(modules.begin(), modules.end(), [&](const auto& m) { return m.id == id; });
    });
}

InsertedModuleSettings* findModule(std::vector<InsertedModuleSettings>& modules, const std::string& id)
{
    for (auto& m : modules)
        if (m.id == id)
            return &m;
    return nullptr;
}

void configureDefaults(InsertedModuleSettings& m, double deviceRate)
{
    auto& band = m.eq[0];
    switch (static_cast<ProcessingModuleKind>(m.kind))
    {
        case ProcessingModuleKind::firFilter:
            if (const int r = validFirDeviceRate(deviceRate); r > 0)
                m.fir.sampleRateHz = r;
            break;
        case ProcessingModuleKind::highShelvingFilter:
            band.type = static_cast<int>(FilterType::highShelf);
            break;
        case ProcessingModuleKind::lowShelvingFilter:
            band.type = static_cast<int>(FilterType::lowShelf);
            band.frequencyHz = 100.0;
            break;
        case ProcessingModuleKind::lowPassFilter:
            band.type = static_cast<int>(FilterType::lowPass2nd);
            band.frequencyHz = 1000.0;
            band.q = 0.7071067811865476;
            break;
        case ProcessingModuleKind::highPassFilter:
            band.type = static_cast<int>(FilterType::highPass2nd);
            band.frequencyHz = 1000.0;
            band.q = 0.7071067811865476;
            break;
        default:
            break;
    }
}

// One chain of the project, whichever side it is on.
struct ChainRef
{
    std::vector<std::string>& order;
    std::vector<InsertedModuleSettings>& modules;
};

ChainRef chainOf(AppSettings& s, bool isInput, int channel)
{
    if (isInput)
    {
        auto& input = s.inputs[static_cast<size_t>(channel)];
        return { input.moduleOrder, input.insertedModules };
    }
    auto& output = s.outputs[static_cast<size_t>(channel)];
    return { output.moduleOrder, output.insertedModules };
}
} // namespace

namespace
{
// The shared start of the chain edits that need DSP stopped: the channel check,
// the run state, and draining the callbacks in flight.
bool beginChainEdit(AudioEngine::Impl& d, int channel, const char* runningMessage, std::string& error)
{
    if (channel < 0 || channel > 15)
    {
        error.clear();
        return false;
    }
    if (d.running.load())
    {
        error = runningMessage;
        return false;
    }
    d.waitForCallbacks();
    return true;
}

// Publishes a chain edit; with `loadFirs` the chain's FIR modules are loaded
// first, and a failure puts the previous chain back.
bool finishChainEdit(AudioEngine::Impl& d, bool isInput, int channel, bool loadFirs, const AppSettings& before,
                     std::string& error)
{
    if (loadFirs)
    {
        const auto& modules = isInput ? d.settings.inputs[static_cast<size_t>(channel)].insertedModules
                                      : d.settings.outputs[static_cast<size_t>(channel)].insertedModules;
        const bool loaded = isInput ? d.prepareInputInsertedFirs(channel, modules, error)
                                    : d.prepareOutputInsertedFirs(channel, modules, error);
        if (! loaded)
        {
            if (isInput)
                d.settings.inputs[static_cast<size_t>(channel)] = before.inputs[static_cast<size_t>(channel)];
            else
                d.settings.outputs[static_cast<size_t>(channel)] = before.outputs[static_cast<size_t>(channel)];
            std::string ignored;
            if (isInput)
                d.prepareInputInsertedFirs(channel, d.settings.inputs[static_cast<size_t>(channel)].insertedModules, ignored);
            else
                d.prepareOutputInsertedFirs(channel, d.settings.outputs[static_cast<size_t>(channel)].insertedModules, ignored);
            return false;
        }
    }
    d.publishSettings();
    d.unsavedChanges.store(true);
    return true;
}
} // namespace

bool AudioEngine::insertModule(const std::string& side, int channel, const std::string& anchor, const std::string& direction,
                               std::string& newId, std::string& error)
{
    auto& d = *impl;
    const bool isInput = side == "input";
    if (! beginChainEdit(d, channel, kStopBeforeSignalFlow, error))
        return false;
    const juce::ScopedLock lock(d.settingsLock);
    auto chain = chainOf(d.settings, isInput, channel);
    if (chain.modules.size() >= static_cast<size_t>(kMaxInsertedModules))
    {
        error = "This signal chain has reached its module limit.";
        return false;
    }
    const auto at = std::find(chain.order.begin(), chain.order.end(), anchor);
    if (anchor != "in" && anchor != "out" && at == chain.order.end())
    {
        error = "The insertion point no longer exists.";
        return false;
    }
    const auto before = d.settings;
    InsertedModuleSettings module;
    module.id = nextModuleId(chain.modules);
    module.kind = static_cast<int>(ProcessingModuleKind::empty);
    const auto id = module.id;
    const auto position = anchor == "out" ? chain.order.end()
                          : anchor == "in" ? chain.order.begin()
                          : (direction == "right" ? at + 1 : at);
    chain.order.insert(position, id);
    chain.modules.push_back(std::move(module));
    if (! finishChainEdit(d, isInput, channel, false, before, error))
        return false;
    newId = id;
    return true;
}

bool AudioEngine::configureModule(const std::string& side, int channel, const std::string& moduleId, int kind, std::string& error)
{
    auto& d = *impl;
    const bool isInput = side == "input";
    if (kind < 0 || kind >= static_cast<int>(ProcessingModuleKind::empty))
    {
        error.clear();
        return false;
    }
    if (kind == static_cast<int>(ProcessingModuleKind::iirFilter))
    {
        error = "IIR Filter is no longer available.";
        return false;
    }
    if (isMathModuleKind(kind))
    {
        error = "Math Blocks are available on the Canvas only.";
        return false;
    }
    if (! beginChainEdit(d, channel, "Stop DSP before choosing a module type.", error))
        return false;
    const juce::ScopedLock lock(d.settingsLock);
    auto chain = chainOf(d.settings, isInput, channel);
    auto* module = findModule(chain.modules, moduleId);
    if (module == nullptr)
    {
        error = "The empty module no longer exists.";
        return false;
    }
    const auto before = d.settings;
    InsertedModuleSettings configured;
    configured.id = moduleId;
    configured.kind = kind;
    configureDefaults(configured, d.sampleRate.load());
    *module = std::move(configured);
    return finishChainEdit(d, isInput, channel, true, before, error);
}

bool AudioEngine::deleteModule(const std::string& side, int channel, const std::string& entry, std::string& error)
{
    auto& d = *impl;
    const bool isInput = side == "input";
    if (! beginChainEdit(d, channel, kStopBeforeSignalFlow, error))
        return false;
    const juce::ScopedLock lock(d.settingsLock);
    auto chain = chainOf(d.settings, isInput, channel);
    const auto before = d.settings;
    if (isFixedStage(isInput, entry))
    {
        if (std::erase(chain.order, entry) == 0)
        {
            error = "The module no longer exists in this signal chain.";
            return false;
        }
        return finishChainEdit(d, isInput, channel, false, before, error);
    }
    if (findModule(chain.modules, entry) == nullptr)
    {
        error = "The inserted module no longer exists.";
        return false;
    }
    std::erase(chain.order, entry);
    std::erase_if(chain.modules, [&](const auto& m) { return m.id == entry; });
    return finishChainEdit(d, isInput, channel, true, before, error);
}

bool AudioEngine::copyModule(const std::string& side, int channel, const std::string& entry, bool append, std::string& error)
{
    auto& d = *impl;
    const bool isInput = side == "input";
    if (channel < 0 || channel > 15)
    {
        error.clear();
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    std::optional<InsertedModuleSettings> copy;
    if (isInput)
    {
        const auto& input = d.settings.inputs[static_cast<size_t>(channel)];
        if (entry == "fir" && contains(input.moduleOrder, "fir"))
        {
            InsertedModuleSettings m;
            m.kind = static_cast<int>(ProcessingModuleKind::firFilter);
            m.fir = input.fir;
            m.bypassed = ! input.fir.enabled;
            copy = std::move(m);
        }
        else
        {
            for (const auto& m : input.insertedModules)
                if (m.id == entry)
                    copy = m;
        }
    }
    else
    {
        const auto& output = d.settings.outputs[static_cast<size_t>(channel)];
        if (isFixedStage(false, entry) && contains(output.moduleOrder, entry))
        {
            InsertedModuleSettings m;
            if (entry == "gain")
            {
                m.kind = static_cast<int>(ProcessingModuleKind::gain);
                m.bypassed = output.gainBypassed;
                m.gainDb = output.gainDb;
                m.polarityInverted = output.polarityInverted;
            }
            else if (entry == "iir")
            {
                m.kind = static_cast<int>(ProcessingModuleKind::iirFilter);
                m.bypassed = output.iirBypassed;
                m.eqBandCount = output.eqBandCount;
                m.eq = output.eq;
            }
            else
            {
                m.kind = static_cast<int>(ProcessingModuleKind::delay);
                m.bypassed = output.delayBypassed;
                m.delayUs = output.delayUs;
            }
            copy = std::move(m);
        }
        else
        {
            for (const auto& m : output.insertedModules)
                if (m.id == entry)
                    copy = m;
        }
    }
    if (! copy.has_value() || isKind(*copy, ProcessingModuleKind::empty))
    {
        error = "Select a configured processing module to copy.";
        return false;
    }
    copy->id.clear();
    if (! append)
        d.moduleClipboard.clear();
    d.moduleClipboard.push_back(std::move(*copy));
    return true;
}

bool AudioEngine::pasteModule(bool isInput, int channel, const std::string& anchor, bool after, bool replace,
                              std::vector<std::string>& newIds, std::string& error)
{
    auto& d = *impl;
    if (! beginChainEdit(d, channel, kStopBeforeSignalFlow, error))
        return false;
    const juce::ScopedLock lock(d.settingsLock);
    if (d.moduleClipboard.empty())
    {
        error = "Copy a processing module before pasting.";
        return false;
    }
    auto copies = d.moduleClipboard;
    const int rate = validFirDeviceRate(d.sampleRate.load());
    for (auto& m : copies)
    {
        if (! isKind(m, ProcessingModuleKind::firFilter))
            continue;
        if (m.fir.fileName == kNoFirFileLoaded)
        {
            m.fir.sampleRateHz = rate > 0 ? rate : 48000;
            m.fir.coefficients = { 1.0f };
        }
        else if (rate > 0 && m.fir.sampleRateHz != rate)
        {
            error = kFirRateMismatch;
            return false;
        }
    }

    const auto before = d.settings;
    auto chain = chainOf(d.settings, isInput, channel);
    std::vector<std::string> ids;
    const auto appendNew = [&](InsertedModuleSettings m) {
        m.id = nextModuleId(chain.modules);
        ids.push_back(m.id);
        chain.modules.push_back(std::move(m));
        return ids.back();
    };
    if (replace)
    {
        const auto at = std::find(chain.order.begin(), chain.order.end(), anchor);
        if (at == chain.order.end())
        {
            error = "The module to replace no longer exists.";
            return false;
        }
        auto* target = findModule(chain.modules, anchor);
        const size_t room = chain.modules.size() - (target != nullptr ? 1 : 0) + copies.size();
        if (room > static_cast<size_t>(kMaxInsertedModules))
        {
            error = kNoRoom;
            return false;
        }
        auto position = static_cast<size_t>(at - chain.order.begin());
        if (target != nullptr)
        {
            auto first = copies.front();
            first.id = anchor;
            *target = std::move(first);
            ids.push_back(anchor);
        }
        else
        {
            chain.order[position] = appendNew(copies.front());
        }
        for (size_t k = 1; k < copies.size(); ++k)
        {
            const auto id = appendNew(copies[k]);
            chain.order.insert(chain.order.begin() + static_cast<std::ptrdiff_t>(++position), id);
        }
    }
    else
    {
        if (chain.modules.size() + copies.size() > static_cast<size_t>(kMaxInsertedModules))
        {
            error = kNoRoom;
            return false;
        }
        size_t position = 0;
        if (anchor == "out")
            position = chain.order.size();
        else if (anchor != "in")
        {
            const auto at = std::find(chain.order.begin(), chain.order.end(), anchor);
            if (at == chain.order.end())
            {
                error = "The paste position no longer exists.";
                return false;
            }
            position = static_cast<size_t>(at - chain.order.begin()) + (after ? 1 : 0);
        }
        for (const auto& m : copies)
        {
            const auto id = appendNew(m);
            chain.order.insert(chain.order.begin() + static_cast<std::ptrdiff_t>(position++), id);
        }
    }
    if (! finishChainEdit(d, isInput, channel, true, before, error))
        return false;
    newIds = std::move(ids);
    return true;
}

bool AudioEngine::deleteEqBand(const std::string& scope, int channel, int band, const std::string& id, std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    int* count = nullptr;
    EqBands* bands = nullptr;
    if (scope == "node")
    {
        auto* node = findCanvasNode(d.settings, id);
        if (node == nullptr || node->kind != static_cast<int>(CanvasNodeKind::processor)
            || ! isKind(node->processor, ProcessingModuleKind::iirFilter))
        {
            error = "The IIR module no longer exists.";
            return false;
        }
        if (node->locked)
        {
            error = "Unlock this Block before changing its settings.";
            return false;
        }
        if (band < 0 || band >= node->processor.eqBandCount || node->processor.eqBandCount < 2)
        {
            error = "At least one IIR band is required.";
            return false;
        }
        count = &node->processor.eqBandCount;
        bands = &node->processor.eq;
    }
    else
    {
        if (channel < 0 || channel > 15)
        {
            error.clear();
            return false;
        }
        const bool isInput = scope == "input";
        auto chain = chainOf(d.settings, isInput, channel);
        if (isInput || ! id.empty())
        {
            auto* module = findModule(chain.modules, id);
            if (module == nullptr || ! isKind(*module, ProcessingModuleKind::iirFilter))
            {
                error = "The inserted IIR module no longer exists.";
                return false;
            }
            count = &module->eqBandCount;
            bands = &module->eq;
        }
        else
        {
            auto& output = d.settings.outputs[static_cast<size_t>(channel)];
            count = &output.eqBandCount;
            bands = &output.eq;
        }
        if (band < 0 || band >= *count || *count < 2)
        {
            error = "At least one IIR band must remain.";
            return false;
        }
    }
    const int last = std::min(*count, kMaxEqBands) - 1;
    for (int b = band; b < last; ++b)
        (*bands)[static_cast<size_t>(b)] = (*bands)[static_cast<size_t>(b + 1)];
    (*bands)[static_cast<size_t>(last)] = EqBandSettings { false, static_cast<int>(FilterType::peaking), 1000.0, 0.0, 1.0 };
    --*count;
    d.publishSettings();
    d.unsavedChanges.store(true);
    return true;
}
} // namespace speaker
