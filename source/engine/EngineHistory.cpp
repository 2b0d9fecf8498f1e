// Undo and redo of whole-project snapshots, the coalescing of rapid edits, and
// the replacement of the project by a new one. Message thread only.

#include "engine/AudioEngineImpl.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace speaker
{
namespace
{
constexpr size_t kMaxUndoSteps = 32;
constexpr double kCoalesceWindowMs = 750.0;
constexpr int kMaxDeviceTerminals = 4;

bool isCoalescible(const juce::String& label)
{
    return label.startsWith("parameter:") || label.startsWith("move:");
}

bool isContinuous(const juce::String& label)
{
    return label.startsWith("parameter:peaking:") || label.startsWith("parameter:filter:") || label.startsWith("parameter:control:");
}

bool isSupportedRate(double rate)
{
    return std::any_of(kFirSampleRates.begin(), kFirSampleRates.end(), [rate](int r) { return std::abs(rate - r) <= 0.5; });
}
} // namespace

double AudioEngine::Impl::historyNowMs() const
{
    return historyClock ? historyClock() : juce::Time::getMillisecondCounterHiRes();
}

void AudioEngine::setHistoryClock(std::function<double()> nowMs)
{
    const juce::ScopedLock lock(impl->historyLock);
    impl->historyClock = std::move(nowMs);
}

bool AudioEngine::performUndoableChange(const juce::String& label, const std::function<bool()>& change)
{
    auto& d = *impl;
    const bool coalescible = isCoalescible(label);
    const bool continuous = isContinuous(label);

    // A gesture that will merge into the step already on the stack needs no
    // snapshot: dragging a control must not copy the project on every frame.
    bool mergesWithoutTime = false;
    if (coalescible && continuous)
    {
        const juce::ScopedLock lock(d.historyLock);
        mergesWithoutTime = label == d.lastUndoLabel && ! d.undoStack.empty();
    }

    std::optional<AppSettings> before;
    if (! mergesWithoutTime)
    {
        const juce::ScopedLock lock(d.settingsLock);
        before = d.settings;
    }

    if (! change())
        return false;

    const juce::ScopedLock lock(d.historyLock);
    const double now = d.historyNowMs();
    const bool merge = coalescible && label == d.lastUndoLabel && ! d.undoStack.empty()
                       && (continuous || now - d.lastUndoTimeMs < kCoalesceWindowMs);
    if (! merge && before.has_value())
    {
        d.undoStack.push_back(std::move(*before));
        if (d.undoStack.size() > kMaxUndoSteps)
            d.undoStack.pop_front();
    }
    d.redoStack.clear();
    d.lastUndoLabel = label;
    d.lastUndoTimeMs = now;
    return true;
}

namespace
{
// Undo and redo are mirror images: `from` gives the target, `to` receives the
// state it replaces.
std::int64_t stepHistory(AudioEngine& engine, AudioEngine::Impl& d, bool isUndo, std::string& error)
{
    if (d.running.load())
    {
        error = isUndo ? "Stop DSP before undoing a change." : "Stop DSP before redoing a change.";
        return -1;
    }
    AppSettings current;
    {
        const juce::ScopedLock lock(d.settingsLock);
        current = d.settings;
    }
    AppSettings target;
    {
        const juce::ScopedLock lock(d.historyLock);
        auto& from = isUndo ? d.undoStack : d.redoStack;
        if (from.empty())
        {
            error.clear();
            return -1;
        }
        target = std::move(from.back());
        from.pop_back();
    }
    // Undo never renames the project nor touches master mute.
    target.projectName = current.projectName;
    target.masterMute = current.masterMute;

    if (! engine.applySettings(target, error))
    {
        const juce::ScopedLock lock(d.historyLock);
        (isUndo ? d.undoStack : d.redoStack).push_back(std::move(target));
        return -1;
    }
    {
        const juce::ScopedLock lock(d.historyLock);
        (isUndo ? d.redoStack : d.undoStack).push_back(std::move(current));
        d.lastUndoLabel.clear();
    }
    d.unsavedChanges.store(true);
    return d.settingsRevision.load();
}
} // namespace

std::int64_t AudioEngine::undo(std::string& error) { return stepHistory(*this, *impl, true, error); }
std::int64_t AudioEngine::redo(std::string& error) { return stepHistory(*this, *impl, false, error); }

bool AudioEngine::canUndo() const
{
    const juce::ScopedLock lock(impl->historyLock);
    return ! impl->undoStack.empty();
}

bool AudioEngine::canRedo() const
{
    const juce::ScopedLock lock(impl->historyLock);
    return ! impl->redoStack.empty();
}

void AudioEngine::clearHistory()
{
    const juce::ScopedLock lock(impl->historyLock);
    impl->undoStack.clear();
    impl->redoStack.clear();
    impl->lastUndoLabel.clear();
}

void AudioEngine::setProjectName(const std::string& name)
{
    const juce::ScopedLock lock(impl->settingsLock);
    impl->settings.projectName = name.empty() ? "Untitled" : name;
    impl->settingsRevision.fetch_add(1);
}

bool AudioEngine::replaceWithNewProject(AppSettings settings, std::string& error)
{
    auto& d = *impl;
    const double rate = d.sampleRate.load();
    if (isSupportedRate(rate))
    {
        const int r = static_cast<int>(std::lround(rate));
        for (int i = 0; i < std::clamp(settings.inputCount, 0, kMaxInputs); ++i)
            settings.inputs[static_cast<size_t>(i)].fir.sampleRateHz = r;
    }
    if (! applySettings(std::move(settings), error))
        return false;
    clearHistory();
    d.unsavedChanges.store(false);
    return true;
}

bool AudioEngine::resetProject(const std::string& configuration, const std::vector<int>& waysPerChannel, std::string& error)
{
    if (impl->running.load())
    {
        error = "Stop DSP before creating a new project.";
        return false;
    }
    if (! isValidSpeakerLayout(configuration, waysPerChannel, error))
        return false;
    return replaceWithNewProject(makeDefaultSettings(configuration, waysPerChannel), error);
}

bool AudioEngine::resetProjectForCurrentDevice(std::string& error)
{
    auto& d = *impl;
    if (d.running.load())
    {
        error = "Stop DSP before creating a new project.";
        return false;
    }
    int inputs = 0;
    int outputs = 0;
    if (auto* device = manager->getCurrentAudioDevice())
    {
        inputs = d.computerAudioInput.load() ? 2 : device->getInputChannelNames().size();
        outputs = device->getOutputChannelNames().size();
    }
    else if (d.computerAudioInput.load())
    {
        inputs = 2;
    }
    inputs = std::clamp(inputs, 0, kMaxDeviceTerminals);
    outputs = std::clamp(outputs, 0, kMaxDeviceTerminals);

    auto project = makeDefaultSettings("empty", {});
    project.inputCount = inputs;
    project.outputCount = outputs;
    project.waysPerChannel.fill(0);
    for (int i = 0; i < inputs; ++i)
    {
        project.inputs[static_cast<size_t>(i)].physicalChannel = i + 1;
        project.nodes.push_back(makeChannelNode(CanvasNodeKind::input, i, 72.0, 76.0 + 116.0 * i));
    }
    for (int i = 0; i < outputs; ++i)
    {
        auto& output = project.outputs[static_cast<size_t>(i)];
        output.physicalChannel = i + 1;
        output.inputIndex = -1;
        project.nodes.push_back(makeChannelNode(CanvasNodeKind::output, i, 760.0, 76.0 + 116.0 * i));
    }
    return replaceWithNewProject(std::move(project), error);
}
} // namespace speaker
