// The state snapshot the page renders from, and the small project queries.
// Message thread only.

#include "engine/AudioEngineImpl.h"

#include "model/Json.h"
#include "model/ProjectFile.h"

#include <cmath>
#include <unordered_map>

namespace speaker
{
namespace
{
constexpr const char* kAppVersion = "0.14.0";
constexpr const char* kBuildNumber = "41";
constexpr const char* kComputerAudioName = "Computer Audio";

const juce::Identifier idKey { "id" };
const juce::Identifier nameKey { "name" };
const juce::Identifier delayUsKey { "delayUs" };
const juce::Identifier delaySamplesKey { "delaySamples" };
const juce::Identifier actualDelayUsKey { "actualDelayUs" };
const juce::Identifier meterKey { "meter" };
const juce::Identifier insertedModulesKey { "insertedModules" };

void setDelayPair(juce::DynamicObject& object, double delayUs, double fs)
{
    const auto samples = fs > 0.0 ? static_cast<juce::int64>(std::llround(delayUs * fs / 1000000.0)) : 0;
    object.setProperty(delaySamplesKey, samples);
    object.setProperty(actualDelayUsKey, fs > 0.0 ? static_cast<double>(samples) * 1000000.0 / fs : 0.0);
}

void addDelayPairs(const juce::var& modules, double fs)
{
    if (const auto* array = modules.getArray())
        for (const auto& module : *array)
            if (auto* object = module.getDynamicObject(); object != nullptr && object->hasProperty(delayUsKey))
                setDelayPair(*object, static_cast<double>(object->getProperty(delayUsKey)), fs);
}

// A copy of the object whose properties still share their values, so that
// keys can be added without touching the cached original.
juce::var shallowCopy(const juce::var& value)
{
    if (auto* object = value.getDynamicObject())
        return juce::var(new juce::DynamicObject(*object));
    return value;
}

juce::var shallowCopyElements(const juce::var& array)
{
    juce::Array<juce::var> copy;
    if (const auto* elements = array.getArray())
    {
        copy.ensureStorageAllocated(elements->size());
        for (const auto& element : *elements)
            copy.add(shallowCopy(element));
    }
    return copy;
}

juce::var stringsToVar(const juce::StringArray& names)
{
    juce::Array<juce::var> array;
    for (const auto& name : names)
        array.add(name);
    return array;
}
} // namespace

juce::var AudioEngine::meterToVar(const MeterReading& meter)
{
    auto* object = new juce::DynamicObject();
    object->setProperty("peakDb", meter.peakDb);
    object->setProperty("rmsDb", meter.rmsDb);
    object->setProperty("clip", meter.clip);
    return juce::var(object);
}

std::int64_t AudioEngine::getAnalyzerWorkspaceRevision() const noexcept { return impl->analyzerWorkspaceRevision.load(); }

bool AudioEngine::setAnalyzerWorkspace(std::string_view workspaceJson, std::string& error)
{
    if (workspaceJson.size() > static_cast<size_t>(kMaxAnalyzerWorkspaceBytes))
    {
        error = "The Analyzer workspace is larger than 8 MB.";
        return false;
    }
    juce::var parsed;
    if (! parseJson(workspaceJson, parsed) || parsed.getDynamicObject() == nullptr || parsed.isArray())
    {
        error = "The Analyzer workspace is invalid.";
        return false;
    }
    // Stored in the reader's own layout, so a workspace that only travelled
    // through a file and back does not count as a change.
    auto text = toJsonText(parsed);
    const juce::ScopedLock lock(impl->settingsLock);
    if (impl->settings.analyzerWorkspace != text)
    {
        impl->settings.analyzerWorkspace = std::move(text);
        ++impl->analyzerWorkspaceRevision;
        impl->unsavedChanges = true;
    }
    return true;
}

void AudioEngine::clearClip(bool output, int index) noexcept
{
    const int count = output ? kMaxOutputs : kMaxInputs;
    if (index < 0 || index >= count)
        return;
    auto& m = (output ? impl->outputMeters : impl->inputMeters)[static_cast<size_t>(index)];
    m.meter.clearClip();
    m.mirror.clip.store(false, std::memory_order_relaxed);
}

struct AudioEngine::Impl::StateSnapshotCache
{
    bool hasRest = false;
    AppSettings rest;
    juce::var restVar;
    std::unordered_map<std::string, std::pair<CanvasNodeSettings, juce::var>> nodes;
};

namespace
{
// The project object of settingsToVar, rebuilt only where the project changed:
// the canvas nodes one by one, and everything else as one piece.
juce::var projectVar(AudioEngine::Impl::StateSnapshotCache& cache, const AppSettings& project)
{
    auto rest = project;
    rest.nodes.clear();
    if (! cache.hasRest || ! (cache.rest == rest))
    {
        cache.restVar = settingsToVar(rest, false);
        cache.rest = std::move(rest);
        cache.hasRest = true;
    }
    juce::Array<juce::var> nodes;
    nodes.ensureStorageAllocated(static_cast<int>(project.nodes.size()));
    std::unordered_map<std::string, std::pair<CanvasNodeSettings, juce::var>> kept;
    for (const auto& node : project.nodes)
    {
        auto found = cache.nodes.find(node.id);
        if (found == cache.nodes.end() || ! (found->second.first == node))
        {
            AppSettings single;
            single.inputCount = 0;
            single.outputCount = 0;
            single.nodes = { node };
            const auto v = settingsToVar(single, false);
            found = cache.nodes.insert_or_assign(node.id, std::make_pair(node, v["canvas"]["nodes"][0])).first;
        }
        nodes.add(shallowCopy(found->second.second));
        kept.insert(*found);
    }
    cache.nodes = std::move(kept);

    auto root = shallowCopy(cache.restVar);
    auto canvas = shallowCopy(root["canvas"]);
    if (auto* c = canvas.getDynamicObject())
    {
        c->setProperty("nodes", nodes);
        c->setProperty("submodules", shallowCopyElements(c->getProperty("submodules")));
    }
    if (auto* r = root.getDynamicObject())
    {
        r->setProperty("inputs", shallowCopyElements(r->getProperty("inputs")));
        r->setProperty("outputs", shallowCopyElements(r->getProperty("outputs")));
        r->setProperty("canvas", canvas);
    }
    return root;
}
} // namespace

juce::String AudioEngine::stateJson()
{
    auto& d = *impl;
    const auto project = getSettings();
    if (d.stateCache == nullptr)
        d.stateCache = std::make_shared<Impl::StateSnapshotCache>();
    auto root = projectVar(*d.stateCache, project);
    auto* object = root.getDynamicObject();
    if (object == nullptr)
        return "{}";

    const double fs = d.sampleRate.load();
    const bool computerAudio = d.computerAudioInput.load();
    const auto setup = manager->getAudioDeviceSetup();
    const juce::String inputName = computerAudio ? juce::String(kComputerAudioName) : setup.inputDeviceName;
    const juce::String outputName = setup.outputDeviceName;
    juce::String deviceName;
    if (inputName.isNotEmpty())
        deviceName = outputName.isEmpty() || outputName == inputName ? inputName : inputName + " \xe2\x86\x92 " + outputName;
    else if (outputName.isNotEmpty())
        deviceName = outputName;
    else
    {
        const std::lock_guard<std::mutex> guard(d.statusLock);
        deviceName = d.deviceName;
    }
    juce::StringArray inputChannels;
    juce::StringArray outputChannels;
    if (auto* device = manager->getCurrentAudioDevice())
    {
        inputChannels = device->getInputChannelNames();
        outputChannels = device->getOutputChannelNames();
    }
    if (computerAudio)
        inputChannels = { "Left", "Right" };

    object->setProperty("running", d.running.load());
    object->setProperty("masterMute", d.masterMute.load());
    object->setProperty("masterVolumeDb", d.masterVolumeDb.load());
    object->setProperty("sampleRateHz", static_cast<juce::int64>(std::llround(fs)));
    object->setProperty("bufferSize", d.bufferSize.load());
    object->setProperty("deviceName", deviceName);
    object->setProperty("inputDeviceName", inputName);
    object->setProperty("outputDeviceName", outputName);
    object->setProperty("inputChannelNames", stringsToVar(inputChannels));
    object->setProperty("outputChannelNames", stringsToVar(outputChannels));
    object->setProperty("settingsRevision", static_cast<juce::int64>(d.settingsRevision.load()));
    object->setProperty("analysisRevision", static_cast<juce::int64>(d.analysisRevision.load()));
    object->setProperty("analyzerWorkspaceRevision", static_cast<juce::int64>(d.analyzerWorkspaceRevision.load()));
    object->setProperty("canUndo", canUndo());
    object->setProperty("canRedo", canRedo());
    object->setProperty("hasUnsavedChanges", d.unsavedChanges.load());
    object->setProperty("appVersion", kAppVersion);
    object->setProperty("buildNumber", kBuildNumber);
    auto* dsp = new juce::DynamicObject();
    dsp->setProperty("currentPercent", d.dspLoadPercent.load());
    dsp->setProperty("callbackTimeMs", d.callbackTimeMs.load());
    dsp->setProperty("deadlineMisses", static_cast<juce::int64>(d.deadlineMisses.load()));
    object->setProperty("dsp", juce::var(dsp));

    const int outputCount = std::clamp(project.outputCount, 0, kMaxOutputs);
    if (const auto* inputs = object->getProperty("inputs").getArray())
    {
        for (int i = 0; i < inputs->size(); ++i)
        {
            auto* input = inputs->getReference(i).getDynamicObject();
            if (input == nullptr)
                continue;
            juce::Array<juce::var> fed;
            for (int k = 0; k < outputCount; ++k)
                if (project.outputs[static_cast<size_t>(k)].inputIndex == i)
                    fed.add("out" + juce::String(k + 1));
            input->setProperty(idKey, "in" + juce::String(i + 1));
            input->setProperty(nameKey, "IN" + juce::String(i + 1));
            input->setProperty("outputs", fed);
            input->setProperty(meterKey, meterToVar(getInputMeter(i)));
            input->setProperty(insertedModulesKey, shallowCopyElements(input->getProperty(insertedModulesKey)));
            addDelayPairs(input->getProperty(insertedModulesKey), fs);
        }
    }
    if (const auto* outputs = object->getProperty("outputs").getArray())
    {
        for (int i = 0; i < outputs->size(); ++i)
        {
            auto* output = outputs->getReference(i).getDynamicObject();
            if (output == nullptr)
                continue;
            const auto& settings = project.outputs[static_cast<size_t>(i)];
            output->setProperty(idKey, "out" + juce::String(i + 1));
            output->setProperty(nameKey, "OUT" + juce::String(i + 1));
            output->setProperty("inputId", settings.inputIndex >= 0 ? "in" + juce::String(settings.inputIndex + 1) : juce::String());
            setDelayPair(*output, settings.delayUs, fs);
            output->setProperty(meterKey, meterToVar(getOutputMeter(i)));
            output->setProperty(insertedModulesKey, shallowCopyElements(output->getProperty(insertedModulesKey)));
            addDelayPairs(output->getProperty(insertedModulesKey), fs);
        }
    }
    const auto canvas = object->getProperty("canvas");
    if (const auto* nodes = canvas.getProperty("nodes", {}).getArray())
    {
        for (const auto& node : *nodes)
        {
            auto* entry = node.getDynamicObject();
            if (entry == nullptr || ! entry->getProperty("processor").isObject())
                continue;
            auto processor = shallowCopy(entry->getProperty("processor"));
            if (auto* p = processor.getDynamicObject())
                setDelayPair(*p, static_cast<double>(p->getProperty(delayUsKey)), fs);
            entry->setProperty("processor", processor);
        }
    }
    if (const auto* submodules = canvas.getProperty("submodules", {}).getArray())
    {
        for (const auto& submodule : *submodules)
        {
            if (auto* entry = submodule.getDynamicObject())
            {
                entry->setProperty("inputPorts", entry->getProperty("inputs"));
                entry->setProperty("outputPorts", entry->getProperty("outputs"));
            }
        }
    }
    const auto text = toCompactJson(root);
    return juce::String::fromUTF8(text.data(), static_cast<int>(text.size()));
}

juce::var AudioEngine::projectState() const
{
    return settingsToVar(getSettings(), true);
}

std::string AudioEngine::currentProjectName() const
{
    const juce::ScopedLock lock(impl->settingsLock);
    return impl->settings.projectName.empty() ? std::string("Untitled") : impl->settings.projectName;
}

std::string AudioEngine::moduleKindForId(const std::string& id) const
{
    const auto project = getSettings();
    if (const auto* node = findCanvasNode(project, id))
    {
        if (node->kind == static_cast<int>(CanvasNodeKind::input))
            return "Input";
        if (node->kind == static_cast<int>(CanvasNodeKind::output))
            return "Output";
        return processingModuleKindName(std::clamp(node->processor.kind, 0, 13));
    }
    const auto dot = id.find('.');
    const std::string channel = juce::String(id.substr(0, dot)).toLowerCase().toStdString();
    const std::string module = dot == std::string::npos ? std::string() : id.substr(dot + 1);
    if (dot != std::string::npos)
    {
        if (module == "fir")
            return "FIR Filter";
        if (module == "gain")
            return "Gain";
        if (module == "iir")
            return "IIR Filter";
        if (module == "delay")
            return "Delay";
    }
    const auto search = [&](const std::vector<InsertedModuleSettings>& modules) -> std::string {
        for (const auto& m : modules)
            if (m.id == module)
                return processingModuleKindName(m.kind);
        return {};
    };
    const auto number = [](const std::string& text) { return juce::String(text).getIntValue(); };
    if (channel.rfind("in", 0) == 0)
    {
        const int n = number(channel.substr(2));
        if (n >= 1 && n <= std::clamp(project.inputCount, 0, kMaxInputs))
            return search(project.inputs[static_cast<size_t>(n - 1)].insertedModules);
    }
    else if (channel.rfind("out", 0) == 0)
    {
        const int n = number(channel.substr(3));
        if (n >= 1 && n <= std::clamp(project.outputCount, 0, kMaxOutputs))
            return search(project.outputs[static_cast<size_t>(n - 1)].insertedModules);
    }
    return {};
}
} // namespace speaker
