// Parameter paths: one value of the project, checked and clamped, made audible
// at once either by writing the runtime mirror directly or by publishing.

#include "engine/AudioEngineImpl.h"

#include "engine/ParameterValues.h"

#include <cmath>
#include <limits>

namespace speaker
{
namespace
{
constexpr const char* kUnknownPath = "Unknown parameter path.";
constexpr const char* kFiltersFinite = "Filter parameters must be finite.";
constexpr const char* kVolumeFinite = "Volume must be a finite number.";
constexpr auto relaxed = std::memory_order_relaxed;

double number(const juce::var& value) { return static_cast<double>(value); }
bool finite(double v) { return std::isfinite(v); }

bool isKind(const InsertedModuleSettings& m, ProcessingModuleKind k) { return m.kind == static_cast<int>(k); }

bool refuse(std::string& error, const char* message)
{
    error = message;
    return false;
}

bool refuseSilently(std::string& error)
{
    error.clear();
    return false;
}

void resetNewBands(EqBands& bands, int oldCount, int newCount)
{
    for (int b = std::max(oldCount, 0); b < newCount && b < kMaxEqBands; ++b)
        bands[static_cast<size_t>(b)] = EqBandSettings { true, static_cast<int>(FilterType::peaking), 1000.0, 0.0, 1.0 };
}

std::vector<std::string> splitPath(const juce::String& path)
{
    std::vector<std::string> tokens;
    const auto text = path.toStdString();
    size_t start = 0;
    for (;;)
    {
        const auto dot = text.find('.', start);
        tokens.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            return tokens;
        start = dot + 1;
    }
}

int indexToken(const std::string& token) { return juce::String(token).getIntValue(); }

bool orderValue(const juce::var& value, int& order)
{
    const double v = number(value);
    if (! finite(v) || v != std::floor(v) || v < 1.0 || v > kMaxFilterOrder)
        return false;
    order = static_cast<int>(v);
    return true;
}

bool setPassOrder(const juce::var& value, InsertedModuleSettings& module, bool lowPass, std::string& error)
{
    const char* message = lowPass ? "Low Pass Filter order must be an integer from 1 to 8."
                                  : "High Pass Filter order must be an integer from 1 to 8.";
    int order = 0;
    if (! isKind(module, lowPass ? ProcessingModuleKind::lowPassFilter : ProcessingModuleKind::highPassFilter)
        || ! orderValue(value, order))
        return refuse(error, message);
    (lowPass ? module.lowPassOrder : module.highPassOrder) = order;
    auto& shape = lowPass ? module.lowPassShape : module.highPassShape;
    if (shape == static_cast<int>(FilterShape::linkwitzRiley) && (order < 4 || order % 2 != 0))
        shape = static_cast<int>(FilterShape::butterworth);
    return true;
}

bool setPassShape(const juce::var& value, InsertedModuleSettings& module, bool lowPass, std::string& error)
{
    if (! isKind(module, lowPass ? ProcessingModuleKind::lowPassFilter : ProcessingModuleKind::highPassFilter))
        return refuse(error, lowPass ? "Low Pass Filter shape is unavailable for this Block."
                                     : "High Pass Filter shape is unavailable for this Block.");
    const auto text = value.toString();
    const int order = lowPass ? module.lowPassOrder : module.highPassOrder;
    auto& shape = lowPass ? module.lowPassShape : module.highPassShape;
    if (text == "Butterworth")
    {
        shape = static_cast<int>(FilterShape::butterworth);
        return true;
    }
    if (text == "Linkwitz-Riley" && order >= 4 && order % 2 == 0)
    {
        shape = static_cast<int>(FilterShape::linkwitzRiley);
        return true;
    }
    return refuse(error, lowPass ? "Linkwitz-Riley requires an even Low Pass Filter order of 4, 6, or 8."
                                 : "Linkwitz-Riley requires an even High Pass Filter order of 4, 6, or 8.");
}

bool setClamped(const juce::var& value, double& field, double lowest, double highest, const char* message, std::string& error)
{
    const double v = number(value);
    if (! finite(v))
        return refuse(error, message);
    field = std::clamp(v, lowest, highest);
    return true;
}
} // namespace

int parameterInt(const juce::var& value)
{
    if (value.isDouble())
    {
        const double v = static_cast<double>(value);
        if (! std::isfinite(v))
            return 0;
        return static_cast<int>(std::clamp(v, static_cast<double>(std::numeric_limits<int>::min()),
                                           static_cast<double>(std::numeric_limits<int>::max())));
    }
    if (value.isInt64())
        return static_cast<int>(std::clamp(static_cast<juce::int64>(value), static_cast<juce::int64>(std::numeric_limits<int>::min()),
                                           static_cast<juce::int64>(std::numeric_limits<int>::max())));
    return static_cast<int>(value);
}

bool setFiniteVolumeDb(const juce::var& value, double& field, std::string& error)
{
    return setClamped(value, field, kMinVolumeDb, kMaxVolumeDb, kVolumeFinite, error);
}

bool setFiniteGainDb(const juce::var& value, double& field, std::string& error)
{
    return setClamped(value, field, kMinGainDb, kMaxGainDb, "Gain must be a finite number.", error);
}

bool setFiniteDelayUs(const juce::var& value, double& field, std::string& error)
{
    return setClamped(value, field, 0.0, kMaxParameterDelayUs, "Delay must be a finite number.", error);
}

bool setFiniteDelaySamples(const juce::var& value, double& delayUs, double sampleRate, std::string& error)
{
    const double v = number(value);
    if (! finite(v) || ! finite(sampleRate) || sampleRate <= 0.0)
        return refuse(error, "Delay must be a finite number.");
    const double most = std::round(sampleRate * kMaxParameterDelayUs / 1000000.0);
    const double samples = std::round(std::clamp(v, 0.0, most));
    delayUs = samples * 1000000.0 / sampleRate;
    return true;
}

bool setShelfOrder(const juce::var& value, InsertedModuleSettings& module, std::string& error)
{
    const double v = number(value);
    const bool shelf = isKind(module, ProcessingModuleKind::highShelvingFilter) || isKind(module, ProcessingModuleKind::lowShelvingFilter);
    if (! shelf || ! finite(v) || (v != 1.0 && v != 2.0))
        return refuse(error, "Shelving filter order must be 1 or 2.");
    module.shelfOrder = static_cast<int>(v);
    return true;
}

bool setLowPassOrder(const juce::var& value, InsertedModuleSettings& module, std::string& error)
{
    return setPassOrder(value, module, true, error);
}

bool setLowPassShape(const juce::var& value, InsertedModuleSettings& module, std::string& error)
{
    return setPassShape(value, module, true, error);
}

bool setHighPassOrder(const juce::var& value, InsertedModuleSettings& module, std::string& error)
{
    return setPassOrder(value, module, false, error);
}

bool setHighPassShape(const juce::var& value, InsertedModuleSettings& module, std::string& error)
{
    return setPassShape(value, module, false, error);
}

bool setDivideSafety(const juce::var& value, double& field, double lowest, double highest, std::string& error)
{
    return setClamped(value, field, lowest, highest, "Divide safety parameters must be finite numbers.", error);
}

namespace
{
enum class ModuleResult
{
    done,
    refused,     // error holds the message (possibly empty)
    unknownLeaf, // a single leaf the module does not have
    unknownPath, // a path of the wrong shape
};

// The module rules shared by chain modules and DSP Blocks; `leaf` holds the
// tokens after the module or node id.
ModuleResult applyModuleLeaf(InsertedModuleSettings& m, const std::vector<std::string>& leaf, const juce::var& value,
                             double rate, bool isBlock, std::string& error)
{
    if (leaf.size() == 3)
    {
        if (leaf[0] != "eq")
            return ModuleResult::unknownPath;
        const int b = indexToken(leaf[1]);
        if (b < 0 || b >= kMaxEqBands)
            return error.clear(), ModuleResult::refused;
        auto& band = m.eq[static_cast<size_t>(b)];
        const auto& name = leaf[2];
        if (name == "enabled")
            band.enabled = static_cast<bool>(value);
        else if (name == "type")
            band.type = filterTypeFromName(value.toString().toStdString());
        else if (name == "frequencyHz" || name == "gainDb" || name == "q")
        {
            const double v = number(value);
            if (! finite(v))
                return error = kFiltersFinite, ModuleResult::refused;
            if (name == "frequencyHz")
                band.frequencyHz = isKind(m, ProcessingModuleKind::peakingFilter)
                                       ? std::clamp(v, kMinPeakingFrequencyHz, std::min(0.499 * rate, kMaxBandFrequencyHz))
                                       : std::clamp(v, kMinBandFrequencyHz, 0.499 * rate);
            else if (name == "gainDb")
                band.gainDb = std::clamp(v, kMinBandGainDb, kMaxBandGainDb);
            else
                band.q = std::clamp(v, kMinBandQ, kMaxBandQ);
        }
        else
            return error.clear(), ModuleResult::refused;
        return ModuleResult::done;
    }
    if (leaf.size() != 1)
        return ModuleResult::unknownPath;

    const auto& name = leaf[0];
    bool ok = true;
    if (name == "bypassed")
        m.bypassed = static_cast<bool>(value);
    else if (name == "polarityInverted")
        m.polarityInverted = static_cast<bool>(value);
    else if (name == "gainDb")
        ok = setFiniteGainDb(value, m.gainDb, error);
    else if (name == "delayUs")
        ok = setFiniteDelayUs(value, m.delayUs, error);
    else if (name == "delaySamples")
        ok = setFiniteDelaySamples(value, m.delayUs, rate, error);
    else if (name == "shelfOrder")
        ok = setShelfOrder(value, m, error);
    else if (name == "lowPassOrder")
        ok = setLowPassOrder(value, m, error);
    else if (name == "lowPassShape")
        ok = setLowPassShape(value, m, error);
    else if (name == "highPassOrder")
        ok = setHighPassOrder(value, m, error);
    else if (name == "highPassShape")
        ok = setHighPassShape(value, m, error);
    else if (name == "eqBandCount")
    {
        const int count = std::clamp(parameterInt(value), 1, kMaxEqBands);
        resetNewBands(m.eq, m.eqBandCount, count);
        m.eqBandCount = count;
    }
    else if (isBlock && (name == "divideFloorDb" || name == "divideLimitDb"))
    {
        if (! isKind(m, ProcessingModuleKind::divide))
            return error.clear(), ModuleResult::refused;
        ok = name == "divideFloorDb" ? setDivideSafety(value, m.divideFloorDb, kMinDivideFloorDb, kMaxDivideFloorDb, error)
                                     : setDivideSafety(value, m.divideLimitDb, kMinDivideLimitDb, kMaxDivideLimitDb, error);
    }
    else
        return ModuleResult::unknownLeaf;
    return ok ? ModuleResult::done : ModuleResult::refused;
}

InsertedModuleSettings* findModule(std::vector<InsertedModuleSettings>& modules, const std::string& id)
{
    for (auto& m : modules)
        if (m.id == id)
            return &m;
    return nullptr;
}

bool terminalLocked(const AppSettings& s, CanvasNodeKind kind, int channel)
{
    return std::any_of(s.nodes.begin(), s.nodes.end(), [&](const auto& n) {
        return n.kind == static_cast<int>(kind) && n.channelIndex == channel && n.locked;
    });
}
} // namespace

bool AudioEngine::setParameter(const juce::String& path, const juce::var& value, std::string& error)
{
    auto& d = *impl;
    const auto tokens = splitPath(path);
    const double deviceRate = d.sampleRate.load();
    const double rate = deviceRate > 0.0 ? deviceRate : kDefaultSampleRateHz;

    const juce::ScopedLock lock(d.settingsLock);
    auto& project = d.settings;
    const auto direct = [&] {
        d.analysisRevision.fetch_add(1);
        d.settingsRevision.fetch_add(1);
        d.unsavedChanges.store(true);
        return true;
    };
    const auto published = [&] {
        d.publishSettings();
        d.unsavedChanges.store(true);
        return true;
    };
    // Module edits work on a copy so that a refusal leaves the project as it was.
    const auto editModule = [&](InsertedModuleSettings& target, const std::vector<std::string>& leaf, bool isBlock,
                                const char* unknownLeaf, const char* unknownPath) {
        auto edited = target;
        switch (applyModuleLeaf(edited, leaf, value, rate, isBlock, error))
        {
            case ModuleResult::done:
                target = std::move(edited);
                return published();
            case ModuleResult::refused:
                return false;
            case ModuleResult::unknownLeaf:
                return unknownLeaf != nullptr ? refuse(error, unknownLeaf) : refuseSilently(error);
            case ModuleResult::unknownPath:
                break;
        }
        return refuse(error, unknownPath);
    };

    if (tokens.size() == 1)
    {
        if (tokens[0] != "masterVolumeDb")
            return refuse(error, kUnknownPath);
        const double v = number(value);
        if (! finite(v))
            return refuse(error, kVolumeFinite);
        project.masterVolumeDb = std::clamp(v, kMinMasterVolumeDb, kMaxMasterVolumeDb);
        d.masterVolumeDb.store(project.masterVolumeDb);
        return direct();
    }
    if (tokens.size() == 2)
        return refuse(error, kUnknownPath);

    const auto& head = tokens[0];
    if (head == "inputs")
    {
        const int i = indexToken(tokens[1]);
        if (i < 0 || i >= kMaxInputs)
            return refuseSilently(error);
        auto& input = project.inputs[static_cast<size_t>(i)];
        auto& runtime = d.inputs[static_cast<size_t>(i)];
        const auto& leaf = tokens[2];
        if (tokens.size() == 3 && (leaf == "mute" || leaf == "solo"))
        {
            const bool on = static_cast<bool>(value);
            (leaf == "mute" ? input.mute : input.solo) = on;
            (leaf == "mute" ? runtime.mute : runtime.solo).store(on, relaxed);
            return direct();
        }
        if (terminalLocked(project, CanvasNodeKind::input, i))
            return refuse(error, "Unlock this Input before changing its settings.");
        if (tokens.size() == 3 && leaf == "physicalChannel")
        {
            input.physicalChannel = std::clamp(parameterInt(value), kMinPhysicalChannel, kMaxPhysicalChannel);
            runtime.deviceChannel.store(input.physicalChannel - 1, relaxed);
            return direct();
        }
        if (tokens.size() == 3 && leaf == "volumeDb")
        {
            if (! setFiniteVolumeDb(value, input.volumeDb, error))
                return false;
            runtime.volumeDb.store(input.volumeDb, relaxed);
            return direct();
        }
        if (tokens.size() == 4 && leaf == "fir" && tokens[3] == "enabled")
        {
            input.fir.enabled = static_cast<bool>(value);
            return direct();
        }
        if (tokens.size() >= 5 && leaf == "modules")
        {
            auto* module = findModule(input.insertedModules, tokens[3]);
            if (module == nullptr)
                return refuse(error, "The inserted input module no longer exists.");
            return editModule(*module, { tokens.begin() + 4, tokens.end() }, false, nullptr, "Unknown input parameter path.");
        }
        return refuse(error, "Unknown input parameter path.");
    }

    if (head == "outputs")
    {
        const int i = indexToken(tokens[1]);
        if (i < 0 || i >= kMaxOutputs)
            return refuseSilently(error);
        auto& output = project.outputs[static_cast<size_t>(i)];
        auto& runtime = d.outputs[static_cast<size_t>(i)];
        const auto& leaf = tokens[2];
        const bool muteOrSolo = tokens.size() == 3 && (leaf == "mute" || leaf == "solo");
        if (! muteOrSolo && terminalLocked(project, CanvasNodeKind::output, i))
            return refuse(error, "Unlock this Output before changing its settings.");
        if (tokens.size() >= 5 && leaf == "modules")
        {
            auto* module = findModule(output.insertedModules, tokens[3]);
            if (module == nullptr)
                return refuse(error, "The inserted module no longer exists.");
            return editModule(*module, { tokens.begin() + 4, tokens.end() }, false, "Unknown inserted module parameter.",
                              "Unknown inserted module parameter path.");
        }
        if (tokens.size() == 5 && leaf == "eq")
        {
            const int b = indexToken(tokens[3]);
            if (b < 0 || b >= kMaxEqBands)
                return refuseSilently(error);
            auto& band = output.eq[static_cast<size_t>(b)];
            const auto& name = tokens[4];
            if (name == "enabled")
                band.enabled = static_cast<bool>(value);
            else if (name == "type")
                band.type = filterTypeFromName(value.toString().toStdString());
            else if (name == "frequencyHz" || name == "gainDb" || name == "q")
            {
                const double v = number(value);
                if (! finite(v))
                    return refuse(error, kFiltersFinite);
                if (name == "frequencyHz")
                    band.frequencyHz = std::clamp(v, kMinBandFrequencyHz, std::min(0.499 * rate, kMaxBandFrequencyHz));
                else if (name == "gainDb")
                    band.gainDb = std::clamp(v, kMinBandGainDb, kMaxBandGainDb);
                else
                    band.q = std::clamp(v, kMinBandQ, kMaxBandQ);
            }
            else
                return refuseSilently(error);
            runtime.bandRevisions[static_cast<size_t>(b)].fetch_add(1, std::memory_order_release);
            return direct();
        }
        if (tokens.size() != 3)
            return refuse(error, kUnknownPath);

        if (leaf == "physicalChannel")
        {
            if (d.running.load())
                return refuse(error, "Stop DSP before changing a physical output.");
            output.physicalChannel = std::clamp(parameterInt(value), kMinPhysicalChannel, kMaxPhysicalChannel);
            runtime.deviceChannel.store(output.physicalChannel - 1, relaxed);
            return direct();
        }
        if (leaf == "inputIndex")
        {
            if (d.running.load())
                return refuse(error, "Stop DSP before changing routing.");
            output.inputIndex = std::clamp(parameterInt(value), -1, kMaxInputs - 1);
            return direct();
        }
        if (leaf == "volumeDb")
        {
            if (! setFiniteVolumeDb(value, output.volumeDb, error))
                return false;
            runtime.volumeDb.store(output.volumeDb, relaxed);
            return direct();
        }
        if (leaf == "gainDb")
            return setFiniteGainDb(value, output.gainDb, error) && direct();
        if (leaf == "delayUs" || leaf == "delaySamples")
        {
            const bool ok = leaf == "delayUs" ? setFiniteDelayUs(value, output.delayUs, error)
                                              : setFiniteDelaySamples(value, output.delayUs, rate, error);
            if (! ok)
                return false;
            runtime.delayRevision.fetch_add(1, std::memory_order_release);
            return direct();
        }
        if (leaf == "mute" || leaf == "solo")
        {
            const bool on = static_cast<bool>(value);
            (leaf == "mute" ? output.mute : output.solo) = on;
            (leaf == "mute" ? runtime.mute : runtime.solo).store(on, relaxed);
            return direct();
        }
        if (leaf == "gainBypassed" || leaf == "polarityInverted" || leaf == "iirBypassed" || leaf == "delayBypassed")
        {
            const bool on = static_cast<bool>(value);
            if (leaf == "gainBypassed")
                output.gainBypassed = on;
            else if (leaf == "polarityInverted")
                output.polarityInverted = on;
            else if (leaf == "iirBypassed")
                output.iirBypassed = on;
            else
            {
                output.delayBypassed = on;
                runtime.delayRevision.fetch_add(1, std::memory_order_release);
            }
            return direct();
        }
        if (leaf == "eqBandCount")
        {
            const int count = std::clamp(parameterInt(value), 1, kMaxEqBands);
            resetNewBands(output.eq, output.eqBandCount, count);
            output.eqBandCount = count;
            return published();
        }
        return refuse(error, kUnknownPath);
    }

    if (head == "nodes")
    {
        auto* node = findCanvasNode(project, tokens[1]);
        if (node == nullptr || node->kind != static_cast<int>(CanvasNodeKind::processor))
            return refuse(error, "The DSP Block no longer exists.");
        if (node->locked)
            return refuse(error, "Unlock this Block before changing its settings.");
        if (tokens.size() == 5 && tokens[2] != "eq")
            return refuse(error, "Unknown DSP Block parameter path.");
        if (tokens.size() != 3 && tokens.size() != 5)
            return refuse(error, "Unknown DSP Block parameter path.");
        return editModule(node->processor, { tokens.begin() + 2, tokens.end() }, true, "Unknown DSP Block parameter.",
                          "Unknown DSP Block parameter path.");
    }
    return refuse(error, kUnknownPath);
}

bool AudioEngine::setFilterParameters(const juce::String& path, double frequencyHz, double gainDb, double q, std::string& error)
{
    auto& d = *impl;
    if (! finite(frequencyHz) || ! finite(gainDb) || ! finite(q))
        return refuse(error, kFiltersFinite);
    const auto tokens = splitPath(path);
    const double deviceRate = d.sampleRate.load();
    const double rate = deviceRate > 0.0 ? deviceRate : kDefaultSampleRateHz;

    const juce::ScopedLock lock(d.settingsLock);
    auto& project = d.settings;
    InsertedModuleSettings* target = nullptr;
    if (tokens.size() == 4 && (tokens[0] == "inputs" || tokens[0] == "outputs") && tokens[2] == "modules")
    {
        const int i = indexToken(tokens[1]);
        if (i >= 0 && i < (tokens[0] == "inputs" ? kMaxInputs : kMaxOutputs))
            target = findModule(tokens[0] == "inputs" ? project.inputs[static_cast<size_t>(i)].insertedModules
                                                      : project.outputs[static_cast<size_t>(i)].insertedModules,
                                tokens[3]);
    }
    else if (tokens.size() == 2 && tokens[0] == "nodes")
    {
        auto* node = findCanvasNode(project, tokens[1]);
        if (node != nullptr && node->kind == static_cast<int>(CanvasNodeKind::processor))
        {
            if (node->locked)
                return refuse(error, "Unlock this Block before changing its settings.");
            target = &node->processor;
        }
    }
    const bool filter = target != nullptr
                        && (isKind(*target, ProcessingModuleKind::peakingFilter) || isKind(*target, ProcessingModuleKind::highShelvingFilter)
                            || isKind(*target, ProcessingModuleKind::lowShelvingFilter)
                            || isKind(*target, ProcessingModuleKind::lowPassFilter)
                            || isKind(*target, ProcessingModuleKind::highPassFilter));
    if (! filter)
        return refuse(error, "The Filter no longer exists.");
    auto& band = target->eq[0];
    band.frequencyHz = isKind(*target, ProcessingModuleKind::peakingFilter)
                           ? std::clamp(frequencyHz, kMinPeakingFrequencyHz, std::min(0.499 * rate, kMaxBandFrequencyHz))
                           : std::clamp(frequencyHz, kMinBandFrequencyHz, 0.499 * rate);
    band.gainDb = std::clamp(gainDb, kMinBandGainDb, kMaxBandGainDb);
    band.q = std::clamp(q, kMinBandQ, kMaxBandQ);
    d.publishSettings();
    d.unsavedChanges.store(true);
    return true;
}

void AudioEngine::setAllOutputMute(bool mute)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    for (int i = 0; i < std::clamp(d.settings.outputCount, 0, kMaxOutputs); ++i)
    {
        d.settings.outputs[static_cast<size_t>(i)].mute = mute;
        d.outputs[static_cast<size_t>(i)].mute.store(mute, relaxed);
    }
    d.settingsRevision.fetch_add(1);
    d.unsavedChanges.store(true);
}
} // namespace speaker
