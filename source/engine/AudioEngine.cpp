// Engine ownership, Run/Stop, master mute, device callbacks, the safety stop,
// the audio setup and FIR loading.

#include "engine/AudioEngineImpl.h"

#include "model/CanvasValidation.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace speaker
{
namespace
{
constexpr const char* kComputerAudioName = "Computer Audio";
constexpr const char* kComputerAudioAttribute = "computerAudioInput";
constexpr const char* kFirRateMismatch = "The FIR design sample rate does not match the audio device sample rate.";
constexpr const char* kStopBeforeFirFile = "Stop DSP before loading an FIR file.";
constexpr const char* kFirModuleGone = "The FIR module no longer exists.";

bool isSupportedRate(double rate)
{
    return std::any_of(kFirSampleRates.begin(), kFirSampleRates.end(), [rate](int r) { return std::abs(rate - r) <= 0.5; });
}

bool isSupportedBuffer(int size)
{
    return size >= kMinDeviceBuffer && size <= kMaxDeviceBuffer;
}

void sleepMs()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

juce::String formatRate(double rate)
{
    return juce::String(static_cast<juce::int64>(std::llround(rate)));
}
} // namespace

AudioEngine::Impl::Impl(AudioEngine& owner) : engine(owner)
{
    scratchLength = kMinScratchLength;
    nodeBuffers.assign(static_cast<size_t>(kNodeSlots * scratchLength), 0.0f);
    captureBuffers.assign(static_cast<size_t>(2 * scratchLength), 0.0f);
    std::string ignored;
    prepareFirFilters(settings, ignored);
}

void AudioEngine::Impl::setStatus(const std::string& word, const std::string& detail)
{
    const std::lock_guard<std::mutex> guard(statusLock);
    status.status = word;
    status.detail = detail;
    ++status.revision;
}

AudioEngine::AudioEngine() : impl(std::make_unique<Impl>(*this)), manager(std::make_unique<juce::AudioDeviceManager>())
{
    impl->deviceManager = manager.get();
    manager->addAudioCallback(this);
}

AudioEngine::~AudioEngine()
{
    impl->shuttingDown.store(true);
    std::string ignored;
    setRunning(false, ignored);
    manager->removeAudioCallback(this);
    impl->capture.stop();
    manager->closeAudioDevice();
    manager.reset();
    impl.reset();
}

juce::AudioDeviceManager& AudioEngine::getDeviceManager() noexcept
{
    return *manager;
}

// ---------------------------------------------------------------------------
// Device state

juce::String AudioEngine::openAudioDevice(const juce::XmlElement* savedState)
{
    bool computerAudio = false;
    if (savedState != nullptr)
        computerAudio = savedState->getBoolAttribute(kComputerAudioAttribute)
                        || ComputerAudioCapture::isAggregateDeviceName(savedState->getStringAttribute("audioInputDeviceName").toStdString());

    std::unique_ptr<juce::XmlElement> state;
    if (savedState != nullptr)
    {
        state = std::make_unique<juce::XmlElement>(*savedState);
        if (computerAudio)
        {
            state->setAttribute("audioInputDeviceName", juce::String());
            state->setAttribute("audioDeviceInChans", juce::String("0"));
        }
    }

    juce::AudioDeviceManager::AudioDeviceSetup preferred;
    preferred.sampleRate = kDefaultSampleRateHz;
    preferred.bufferSize = 256;

    // Opening and re-enabling channels restarts the device; that is no safety stop.
    impl->shuttingDown.store(true);
    auto error = manager->initialise(computerAudio ? 0 : kMaxInputs, kMaxOutputs, state.get(), true, {}, &preferred);
    if (error.isEmpty())
        error = enableAllAvailableAudioChannels(*manager, ! computerAudio);
    impl->shuttingDown.store(false);

    if (error.isEmpty() && computerAudio && manager->getCurrentAudioDevice() != nullptr)
    {
        auto* device = manager->getCurrentAudioDevice();
        std::string captureError;
        if (impl->capture.start(device->getCurrentSampleRate(), device->getCurrentBufferSizeSamples(), captureError))
            impl->computerAudioInput.store(true);
        else
            error = captureError;
    }
    return error;
}

std::unique_ptr<juce::XmlElement> AudioEngine::createAudioDeviceState() const
{
    auto state = manager->createStateXml();
    if (state == nullptr)
        state = std::make_unique<juce::XmlElement>("DEVICESETUP");
    state->setAttribute(kComputerAudioAttribute, impl->computerAudioInput.load());
    return state;
}

// ---------------------------------------------------------------------------
// Project

AppSettings AudioEngine::getSettings() const
{
    const juce::ScopedLock lock(impl->settingsLock);
    return impl->settings;
}

std::int64_t AudioEngine::getSettingsRevision() const noexcept { return impl->settingsRevision.load(); }
std::int64_t AudioEngine::getAnalysisRevision() const noexcept { return impl->analysisRevision.load(); }
bool AudioEngine::hasUnsavedChanges() const noexcept { return impl->unsavedChanges.load(); }
void AudioEngine::clearUnsavedChanges() noexcept { impl->unsavedChanges.store(false); }

bool AudioEngine::applySettings(AppSettings newSettings, std::string& error)
{
    auto& d = *impl;
    if (d.running.load())
    {
        error = "Stop DSP before loading FIR data.";
        return false;
    }
    const double rate = d.sampleRate.load();
    if (rate > 0.0)
    {
        const int r = static_cast<int>(std::lround(rate));
        bool mismatch = false;
        forEachProjectFir(newSettings, [&](FirSettings& fir) {
            if (fir.fileName == kNoFirFileLoaded)
            {
                fir.sampleRateHz = r;
                fir.coefficients = { 1.0f };
            }
            else if (fir.sampleRateHz != r)
                mismatch = true;
        });
        if (mismatch)
        {
            error = kFirRateMismatch;
            return false;
        }
    }
    d.waitForCallbacks();

    // The processors keep their coefficients when loading fails, so a failure
    // leaves the old project in force on both sides.
    if (! d.prepareFirFilters(newSettings, error))
    {
        const juce::ScopedLock lock(d.settingsLock);
        std::string ignored;
        d.prepareFirFilters(d.settings, ignored);
        return false;
    }
    const juce::ScopedLock lock(d.settingsLock);
    d.settings = std::move(newSettings);
    d.publishSettings();
    return true;
}

bool AudioEngine::applyCanvasEdit(const std::function<bool(AppSettings&, std::string&)>& edit, std::string& error)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    auto copy = d.settings;
    if (! edit(copy, error))
        return false;
    if (! validateCanvasGraph(copy, error))
        return false;

    CanvasGraphMutation mutation(d);
    const auto firOf = [](const AppSettings& s, size_t i) -> const FirSettings* {
        if (i >= s.nodes.size())
            return nullptr;
        const auto& node = s.nodes[i];
        const bool isFir = node.kind == static_cast<int>(CanvasNodeKind::processor)
                           && node.processor.kind == static_cast<int>(ProcessingModuleKind::firFilter);
        return isFir ? &node.processor.fir : nullptr;
    };
    bool firChanged = false;
    for (size_t i = 0; i < static_cast<size_t>(kNodeSlots) && ! firChanged; ++i)
    {
        const auto* before = firOf(d.settings, i);
        const auto* after = firOf(copy, i);
        firChanged = (before == nullptr) != (after == nullptr) || (before != nullptr && before->coefficients != after->coefficients);
    }
    if (firChanged && ! d.prepareFirFilters(copy, error))
    {
        std::string ignored;
        d.prepareFirFilters(d.settings, ignored);
        return false;
    }
    const bool graphChanged = copy.nodes != d.settings.nodes || copy.connections != d.settings.connections
                              || copy.submodules != d.settings.submodules;
    d.settings = std::move(copy);
    d.publishSettings();
    d.unsavedChanges.store(true);
    mutation.resetHistory = graphChanged;
    return true;
}

void AudioEngine::applyParameterEdit(const std::function<void(AppSettings&)>& edit)
{
    auto& d = *impl;
    const juce::ScopedLock lock(d.settingsLock);
    edit(d.settings);
    d.publishSettings();
    d.unsavedChanges.store(true);
}

// ---------------------------------------------------------------------------
// FIR loading

bool AudioEngine::loadFirIntoBlock(const std::string& nodeId, const ParsedFirFile& file, std::string& error)
{
    return performUndoableChange("loadFir", [&] { return impl->loadFirIntoBlockNow(nodeId, file, error); });
}

bool AudioEngine::loadFirIntoChain(bool isInput, int channel, const std::string& moduleId, const ParsedFirFile& file,
                                   std::string& error)
{
    return performUndoableChange("loadFir", [&] { return impl->loadFirIntoChainNow(isInput, channel, moduleId, file, error); });
}

bool AudioEngine::Impl::loadFirIntoBlockNow(const std::string& nodeId, const ParsedFirFile& file, std::string& error)
{
    auto& d = *this;
    if (d.running.load())
    {
        error = kStopBeforeFirFile;
        return false;
    }
    d.waitForCallbacks();
    const juce::ScopedLock lock(d.settingsLock);
    auto& projectNodes = d.settings.nodes;
    const auto found = std::find_if(projectNodes.begin(), projectNodes.end(), [&](const auto& n) { return n.id == nodeId; });
    const auto index = static_cast<int>(found - projectNodes.begin());
    if (found == projectNodes.end() || index >= kNodeSlots || found->kind != static_cast<int>(CanvasNodeKind::processor)
        || found->processor.kind != static_cast<int>(ProcessingModuleKind::firFilter))
    {
        error = kFirModuleGone;
        return false;
    }
    if (found->locked)
    {
        error = "Unlock this Block before loading an FIR file.";
        return false;
    }
    if (file.sampleRateHz != static_cast<int>(std::lround(d.sampleRate.load())))
    {
        error = kFirRateMismatch;
        return false;
    }
    try
    {
        d.slots[static_cast<size_t>(index)].fir.setCoefficients(file.coefficients);
    }
    catch (const std::invalid_argument& e)
    {
        error = e.what();
        return false;
    }
    auto& fir = found->processor.fir;
    fir.fileName = file.fileName;
    fir.sampleRateHz = file.sampleRateHz;
    fir.coefficients = file.coefficients;
    d.analysisRevision.fetch_add(1);
    d.settingsRevision.fetch_add(1);
    d.unsavedChanges.store(true);
    return true;
}

bool AudioEngine::Impl::loadFirIntoChainNow(bool isInput, int channel, const std::string& moduleId, const ParsedFirFile& file,
                                            std::string& error)
{
    auto& d = *this;
    if (channel < 0 || channel >= (isInput ? kMaxInputs : kMaxOutputs))
    {
        error.clear();
        return false;
    }
    if (d.running.load())
    {
        error = kStopBeforeFirFile;
        return false;
    }
    const double rate = d.sampleRate.load();
    if (rate > 0.0 && static_cast<int>(std::lround(rate)) != file.sampleRateHz)
    {
        error = kFirRateMismatch;
        return false;
    }
    d.waitForCallbacks();
    const juce::ScopedLock lock(d.settingsLock);

    FirSettings* target = nullptr;
    FirFilter* processor = nullptr;
    auto& modules = isInput ? d.settings.inputs[static_cast<size_t>(channel)].insertedModules
                            : d.settings.outputs[static_cast<size_t>(channel)].insertedModules;
    if (isInput && moduleId == "fir")
    {
        target = &d.settings.inputs[static_cast<size_t>(channel)].fir;
        processor = &d.inputOwnFirs[static_cast<size_t>(channel)];
    }
    else
    {
        for (size_t m = 0; m < modules.size() && m < static_cast<size_t>(kMaxInsertedModules); ++m)
        {
            if (modules[m].id == moduleId && modules[m].kind == static_cast<int>(ProcessingModuleKind::firFilter))
            {
                target = &modules[m].fir;
                auto& pool = isInput ? d.inputChainFirs : d.outputChainFirs;
                processor = &pool[static_cast<size_t>(channel * kMaxInsertedModules) + m];
                break;
            }
        }
    }
    if (target == nullptr)
    {
        error = kFirModuleGone;
        return false;
    }
    try
    {
        processor->setCoefficients(file.coefficients);
    }
    catch (const std::invalid_argument& e)
    {
        error = e.what();
        return false;
    }
    target->fileName = file.fileName;
    target->sampleRateHz = file.sampleRateHz;
    target->coefficients = file.coefficients;
    d.analysisRevision.fetch_add(1);
    d.settingsRevision.fetch_add(1);
    d.unsavedChanges.store(true);
    return true;
}

// ---------------------------------------------------------------------------
// Run / Stop, master mute, safety stop

bool AudioEngine::setRunning(bool run, std::string& error)
{
    auto& d = *impl;
    if (! run)
    {
        if (d.running.load() && d.prepared.load())
        {
            d.stopping.store(true);
            for (int waited = 0; waited < 100 && d.running.load(); ++waited)
                sleepMs();
        }
        d.running.store(false);
        d.waitForCallbacks();
        d.stopping.store(false);
        d.runRamp = 0.0f;
        d.outputFades.fill(0.0f);
        d.dspLoadPercent.store(0.0);
        d.callbackTimeMs.store(0.0);
        d.smoothedLoad.store(0.0);
        return true;
    }

    if (! d.prepared.load())
    {
        const std::lock_guard<std::mutex> guard(d.statusLock);
        error = d.lastDeviceError.empty() ? "Select a 44.1, 48, or 96 kHz device with a 32\xe2\x80\x93" "1024 sample buffer."
                                          : d.lastDeviceError;
        return false;
    }
    const auto project = getSettings();
    if (project.nodes.empty())
    {
        error = "Add an Input, Output, or DSP Block before starting DSP.";
        return false;
    }
    if (! validateCanvasGraph(project, error))
        return false;
    for (const bool inputs : { true, false })
    {
        const int count = inputs ? kMaxInputs : kMaxOutputs;
        for (int i = 0; i < count; ++i)
        {
            const auto& modules = inputs ? project.inputs[static_cast<size_t>(i)].insertedModules
                                         : project.outputs[static_cast<size_t>(i)].insertedModules;
            const bool hasEmpty = std::any_of(modules.begin(), modules.end(), [](const auto& m) {
                return m.kind == static_cast<int>(ProcessingModuleKind::empty);
            });
            if (hasEmpty)
            {
                error = std::string("Cannot start DSP because ") + (inputs ? "IN" : "OUT") + std::to_string(i + 1)
                        + " contains an empty Choose Module slot. Choose a module type or delete the empty module.";
                return false;
            }
        }
    }
    auto* device = manager->getCurrentAudioDevice();
    if (device == nullptr)
    {
        error = "No audio device is available.";
        return false;
    }
    const double deviceRate = device->getCurrentSampleRate();
    const int r = isSupportedRate(deviceRate) ? static_cast<int>(std::lround(deviceRate)) : 48000;
    bool mismatch = false;
    forEachProjectFir(project, [&](const FirSettings& fir) { mismatch = mismatch || fir.sampleRateHz != r; });
    if (mismatch)
    {
        error = kFirRateMismatch;
        return false;
    }
    if (d.computerAudioInput.load())
    {
        if (d.captureNeedsRestart.exchange(false))
        {
            d.waitForCallbacks();
            d.capture.stop();
        }
        std::string captureError;
        if (! d.capture.start(deviceRate, device->getCurrentBufferSizeSamples(), captureError))
        {
            d.captureNeedsRestart.store(true);
            error = captureError.empty() ? "Computer Audio could not start." : captureError;
            return false;
        }
    }

    d.waitForCallbacks();
    d.resetProcessingHistory();
    d.safetyStopReason.store(0);
    d.captureStallSamples = 0;
    d.lastCaptureCounter = d.capture.callbackCounter();
    d.captureSeen = d.lastCaptureCounter != 0;
    d.dspLoadPercent.store(0.0);
    d.callbackTimeMs.store(0.0);
    d.smoothedLoad.store(0.0);
    d.stopping.store(false);
    d.running.store(true);
    return true;
}

bool AudioEngine::isRunning() const noexcept { return impl->running.load(); }

void AudioEngine::setMasterMute(bool mute)
{
    auto& d = *impl;
    d.masterMute.store(mute);
    const juce::ScopedLock lock(d.settingsLock);
    d.settings.masterMute = mute;
    d.settingsRevision.fetch_add(1);
    d.unsavedChanges.store(true);
}

bool AudioEngine::isMasterMuted() const noexcept { return impl->masterMute.load(); }

int AudioEngine::getPendingSafetyStop() const noexcept { return impl->safetyStopReason.load(); }

int AudioEngine::takeSafetyStop()
{
    auto& d = *impl;
    const int code = d.safetyStopReason.exchange(0);
    if (code == 0)
        return 0;
    const juce::ScopedLock lock(d.settingsLock);
    if (! d.settings.masterMute)
    {
        d.settings.masterMute = true;
        d.settingsRevision.fetch_add(1);
        d.unsavedChanges.store(true);
    }
    return code;
}

std::string AudioEngine::safetyStopMessage(int code)
{
    switch (code)
    {
        case safetyStopDeviceStopped:
            return "Safety stop: The audio device was disconnected or stopped. Master Mute is on. Check the device, then press Run manually.";
        case safetyStopDeviceError:
            return "Safety stop: The audio device reported an error. Master Mute is on. Check the device, then press Run manually.";
        case safetyStopSampleRateChanged:
            return "Safety stop: The audio device sample rate changed. Master Mute is on. Check the FIR sample rates, then press Run manually.";
        case safetyStopUnsupportedFormat:
            return "Safety stop: The audio device returned an unsupported audio format. Master Mute is on. Check Audio Setup, then press Run manually.";
        case safetyStopCaptureStalled:
            return "Safety stop: Computer Audio capture stopped responding. Master Mute is on. Press Run to restart the capture stream manually.";
        case safetyStopDeadlineMissed:
            return "Safety stop: DSP processing exceeded the audio buffer deadline. Master Mute is on. Increase the buffer size, then press Run manually.";
        case safetyStopNonFiniteOutput:
            return "Safety stop: DSP output contained NaN or infinity. Master Mute is on. Check the filter and gain settings, then press Run manually.";
        case safetyStopSustainedDc:
            return "Safety stop: A sustained DC offset was detected at a DSP output. Master Mute is on. Check the signal source and filters, then press Run manually.";
        default:
            return {};
    }
}

// ---------------------------------------------------------------------------
// Device callbacks

void AudioEngine::audioDeviceAboutToStart(juce::AudioIODevice* device)
{
    auto& d = *impl;
    const double fs = device->getCurrentSampleRate();
    const int n = device->getCurrentBufferSizeSamples();
    d.sampleRate.store(fs);

    const double previous = d.lastSampleRate.exchange(fs);
    const bool rateMoved = previous > 0.0 && std::abs(previous - fs) > 0.5;
    if (rateMoved)
    {
        if (d.shuttingDown.load())
        {
            d.running.store(false);
            d.masterMute.store(true);
        }
        else
        {
            d.tripSafetyStop(safetyStopSampleRateChanged);
            int expected = safetyStopDeviceStopped;
            d.safetyStopReason.compare_exchange_strong(expected, safetyStopSampleRateChanged);
        }
    }

    d.bufferSize.store(n);
    const bool supported = isSupportedRate(fs) && isSupportedBuffer(n);
    {
        const std::lock_guard<std::mutex> guard(d.statusLock);
        d.deviceName = device->getName().toStdString();
        d.lastDeviceError = supported ? std::string() : "Only 44.1, 48, or 96 kHz and 32\xe2\x80\x93" "1024 sample buffers are supported.";
    }

    const int capacity = std::max(n, kMinScratchLength);
    if (capacity != d.scratchLength)
    {
        d.scratchLength = capacity;
        d.nodeBuffers.assign(static_cast<size_t>(kNodeSlots * capacity), 0.0f);
        d.captureBuffers.assign(static_cast<size_t>(2 * capacity), 0.0f);
    }

    for (auto& m : d.inputMeters)
    {
        m.meter.prepare(fs);
        m.isReset = false;
        d.resetMeter(m);
    }
    for (auto& m : d.outputMeters)
    {
        m.meter.prepare(fs);
        m.isReset = false;
        d.resetMeter(m);
    }
    for (auto& guard : d.outputGuards)
    {
        guard.prepare(fs);
        guard.reset();
    }

    d.setStatus(supported ? "Active" : "Error",
                ("Started " + device->getName() + " at " + formatRate(fs) + " Hz / " + juce::String(n) + " samples.").toStdString());

    d.prepareProcessors(fs);

    const juce::ScopedLock lock(d.settingsLock);
    bool placeholderChanged = false;
    const int r = static_cast<int>(std::lround(fs));
    forEachProjectFir(d.settings, [&](FirSettings& fir) {
        if (fir.fileName != kNoFirFileLoaded)
            return;
        if (fir.sampleRateHz != r || fir.coefficients != std::vector<float> { 1.0f })
            placeholderChanged = true;
        fir.sampleRateHz = r;
        fir.coefficients = { 1.0f };
    });
    std::string ignored;
    d.prepareFirFilters(d.settings, ignored);
    d.publishSettings();
    if (placeholderChanged || rateMoved)
        d.settingsRevision.fetch_add(1);
    d.prepared.store(supported);
}

void AudioEngine::audioDeviceStopped()
{
    auto& d = *impl;
    if (d.shuttingDown.load())
        d.running.store(false);
    else
        d.tripSafetyStop(safetyStopDeviceStopped);
    d.sampleRate.store(0.0);
    d.bufferSize.store(0);
    d.dspLoadPercent.store(0.0);
    d.callbackTimeMs.store(0.0);
    d.smoothedLoad.store(0.0);
    d.prepared.store(false);
    d.setStatus("Stopped", "The audio device stopped or was disconnected.");
}

void AudioEngine::audioDeviceError(const juce::String& errorMessage)
{
    auto& d = *impl;
    {
        const std::lock_guard<std::mutex> guard(d.statusLock);
        d.lastDeviceError = errorMessage.toStdString();
    }
    if (d.shuttingDown.load())
        d.running.store(false);
    else
        d.tripSafetyStop(safetyStopDeviceError);
    d.setStatus("Error", errorMessage.isEmpty() ? std::string("The audio device reported an unknown error.") : errorMessage.toStdString());
}

// ---------------------------------------------------------------------------
// Audio setup

namespace
{
int countChannels(juce::AudioIODeviceType& type, const juce::String& name, bool input, juce::AudioIODevice* open)
{
    if (open != nullptr && open->getTypeName() == type.getTypeName() && open->getName() == name)
        return input ? open->getInputChannelNames().size() : open->getOutputChannelNames().size();
    std::unique_ptr<juce::AudioIODevice> device(input ? type.createDevice({}, name) : type.createDevice(name, {}));
    if (device == nullptr)
        return 0;
    return input ? device->getInputChannelNames().size() : device->getOutputChannelNames().size();
}
} // namespace

bool AudioEngine::isComputerAudioInput() const noexcept { return impl->computerAudioInput.load(); }

juce::var AudioEngine::audioSetupJson()
{
    const auto setup = manager->getAudioDeviceSetup();
    auto* result = new juce::DynamicObject();
    result->setProperty("currentType", manager->getCurrentAudioDeviceType());
    result->setProperty("inputDeviceName", impl->computerAudioInput.load() ? juce::String(kComputerAudioName) : setup.inputDeviceName);
    result->setProperty("outputDeviceName", setup.outputDeviceName);
    result->setProperty("sampleRate", setup.sampleRate);
    result->setProperty("bufferSize", setup.bufferSize);

    juce::Array<juce::var> types;
    auto* open = manager->getCurrentAudioDevice();
    for (auto* type : manager->getAvailableDeviceTypes())
    {
        type->scanForDevices();
        const bool separate = type->hasSeparateInputsAndOutputs();
        auto* entry = new juce::DynamicObject();
        entry->setProperty("name", type->getTypeName());
        entry->setProperty("separateInputsAndOutputs", separate);
        entry->setProperty("computerAudioAvailable", separate);
        for (const bool input : { true, false })
        {
            juce::Array<juce::var> names;
            juce::Array<juce::var> counts;
            for (const auto& name : type->getDeviceNames(input))
            {
                if (ComputerAudioCapture::isAggregateDeviceName(name.toStdString()))
                    continue;
                names.add(name);
                counts.add(countChannels(*type, name, input, open));
            }
            if (input && separate)
            {
                names.add(juce::String(kComputerAudioName));
                counts.add(2);
            }
            entry->setProperty(input ? "inputDevices" : "outputDevices", names);
            entry->setProperty(input ? "inputDeviceChannelCounts" : "outputDeviceChannelCounts", counts);
        }
        types.add(juce::var(entry));
    }
    result->setProperty("types", types);
    return juce::var(result);
}

bool AudioEngine::setAudioSetup(const juce::var& argument, std::string& error)
{
    auto& d = *impl;
    juce::var setup = argument;
    if (setup.isString())
        setup = juce::JSON::parse(setup.toString());
    if (! setup.isObject())
    {
        error = "Invalid audio setup.";
        return false;
    }
    const juce::String typeName = setup.getProperty("type", {}).toString();
    const juce::String inputName = setup.getProperty("inputDeviceName", {}).toString();
    const juce::String outputName = setup.getProperty("outputDeviceName", {}).toString();
    const double rate = static_cast<double>(setup.getProperty("sampleRate", 0.0));
    const int buffer = static_cast<int>(setup.getProperty("bufferSize", 0));
    if (! isSupportedRate(rate) || ! isSupportedBuffer(buffer) || inputName.isEmpty() || outputName.isEmpty())
    {
        error = "Choose input/output devices, 44.1, 48, or 96 kHz, and a 32\xe2\x80\x93" "1024 sample buffer.";
        return false;
    }
    juce::AudioIODeviceType* type = nullptr;
    for (auto* candidate : manager->getAvailableDeviceTypes())
        if (candidate->getTypeName() == typeName)
            type = candidate;
    if (type == nullptr)
    {
        error = "The selected audio driver is not available.";
        return false;
    }
    type->scanForDevices();
    const bool computerAudio = inputName == kComputerAudioName || ComputerAudioCapture::isAggregateDeviceName(inputName.toStdString());
    if (computerAudio && ! type->hasSeparateInputsAndOutputs())
    {
        error = "Computer Audio is not available with the selected audio driver.";
        return false;
    }
    if (! computerAudio && ! type->hasSeparateInputsAndOutputs() && inputName != outputName)
    {
        error = "The selected audio driver requires one device for both input and output.";
        return false;
    }

    std::string ignored;
    setRunning(false, ignored);
    if (! isMasterMuted())
        setMasterMute(true);
    d.shuttingDown.store(true);

    if (manager->getCurrentAudioDeviceType() != typeName)
        manager->setCurrentAudioDeviceType(typeName, true);

    juce::AudioDeviceManager::AudioDeviceSetup newSetup;
    newSetup.outputDeviceName = outputName;
    newSetup.inputDeviceName = computerAudio ? juce::String() : inputName;
    newSetup.sampleRate = rate;
    newSetup.bufferSize = buffer;
    newSetup.useDefaultInputChannels = false;
    newSetup.useDefaultOutputChannels = false;
    if (! computerAudio)
        newSetup.inputChannels.setRange(0, kMaxInputs, true);
    newSetup.outputChannels.setRange(0, kMaxOutputs, true);
    auto message = manager->setAudioDeviceSetup(newSetup, true);
    if (message.isEmpty())
        message = enableAllAvailableAudioChannels(*manager, ! computerAudio);
    if (message.isEmpty())
    {
        d.computerAudioInput.store(computerAudio);
        if (computerAudio)
        {
            auto* device = manager->getCurrentAudioDevice();
            std::string captureError;
            if (device == nullptr || ! d.capture.start(device->getCurrentSampleRate(), device->getCurrentBufferSizeSamples(), captureError))
            {
                message = captureError.empty() ? juce::String("Computer Audio could not start.") : juce::String(captureError);
                d.computerAudioInput.store(false);
            }
        }
    }
    if (! computerAudio)
        d.capture.stop();
    d.shuttingDown.store(false);
    if (message.isNotEmpty())
    {
        error = message.toStdString();
        return false;
    }
    return true;
}

juce::String AudioEngine::enableAllAvailableAudioChannels(juce::AudioDeviceManager& deviceManager, bool enableInputs)
{
    auto* device = deviceManager.getCurrentAudioDevice();
    if (device == nullptr)
        return {};
    auto setup = deviceManager.getAudioDeviceSetup();
    setup.useDefaultInputChannels = false;
    setup.useDefaultOutputChannels = false;
    setup.inputChannels.clear();
    setup.outputChannels.clear();
    if (enableInputs)
        setup.inputChannels.setRange(0, device->getInputChannelNames().size(), true);
    setup.outputChannels.setRange(0, device->getOutputChannelNames().size(), true);
    return deviceManager.setAudioDeviceSetup(setup, true);
}

// ---------------------------------------------------------------------------
// Readers

ProcessingStatus AudioEngine::getProcessingStatus() const
{
    const std::lock_guard<std::mutex> guard(impl->statusLock);
    return impl->status;
}

DspLoadFigures AudioEngine::getDspLoad() const noexcept
{
    return { impl->dspLoadPercent.load(), impl->callbackTimeMs.load(), impl->deadlineMisses.load(), impl->smoothedLoad.load() };
}

namespace
{
MeterReading read(const MeterMirror& m)
{
    return { m.peakDb.load(std::memory_order_relaxed), m.rmsDb.load(std::memory_order_relaxed), m.clip.load(std::memory_order_relaxed) };
}
} // namespace

MeterReading AudioEngine::getInputMeter(int input) const noexcept
{
    return input >= 0 && input < kMaxInputs ? read(impl->inputMeters[static_cast<size_t>(input)].mirror) : MeterReading {};
}

MeterReading AudioEngine::getOutputMeter(int output) const noexcept
{
    return output >= 0 && output < kMaxOutputs ? read(impl->outputMeters[static_cast<size_t>(output)].mirror) : MeterReading {};
}

double AudioEngine::getSampleRate() const noexcept { return impl->sampleRate.load(); }
int AudioEngine::getBufferSize() const noexcept { return impl->bufferSize.load(); }
bool AudioEngine::isPrepared() const noexcept { return impl->prepared.load(); }

void AudioEngine::setClock(AudioClock* newClock) noexcept
{
    impl->clock.store(newClock, std::memory_order_release);
}
} // namespace speaker
