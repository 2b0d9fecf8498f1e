#pragma once

#include "engine/AudioClock.h"
#include "model/AppSettings.h"
#include "model/FirFile.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace speaker
{
struct ProcessingStatus
{
    std::string status = "Stopped";
    std::string detail = "Audio engine has not started.";
    std::int64_t revision = 0;
};

struct MeterReading
{
    double peakDb = -120.0;
    double rmsDb = -120.0;
    bool clip = false;
};

struct DspLoadFigures
{
    double loadPercent = 0.0;
    double callbackTimeMs = 0.0;
    std::int64_t deadlineMisses = 0;
    double smoothedLoad = 0.0;
};

// Safety-stop codes; the first cause since the last take wins.
enum SafetyStopCode : int
{
    safetyStopNone = 0,
    safetyStopDeviceStopped = 1,
    safetyStopDeviceError = 2,
    safetyStopSampleRateChanged = 3,
    safetyStopUnsupportedFormat = 4,
    safetyStopCaptureStalled = 5,
    safetyStopDeadlineMissed = 6,
    safetyStopNonFiniteOutput = 7,
    safetyStopSustainedDc = 8,
};

// The real-time engine: owns the device manager, the project, its lock-free
// mirror for the audio thread and every processor. All public functions run on
// the message thread unless marked otherwise.
class AudioEngine final : public juce::AudioIODeviceCallback
{
public:
    AudioEngine();
    ~AudioEngine() override;
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    juce::AudioDeviceManager& getDeviceManager() noexcept;

    // Opens the device from a saved device state (nullptr for the defaults) and
    // enables every available channel. Returns the device manager's message.
    juce::String openAudioDevice(const juce::XmlElement* savedState);
    // The device state to save, with the Computer Audio flag.
    std::unique_ptr<juce::XmlElement> createAudioDeviceState() const;

    // Project.
    AppSettings getSettings() const;
    bool applySettings(AppSettings settings, std::string& error);
    // A structural edit: `edit` changes a copy; on success the copy is validated
    // and published inside a graph mutation (fade out, suspend, publish, fade in).
    bool applyCanvasEdit(const std::function<bool(AppSettings&, std::string&)>& edit, std::string& error);
    // A parameter edit that changes no structure; published while audio runs.
    void applyParameterEdit(const std::function<void(AppSettings&)>& edit);
    std::int64_t getSettingsRevision() const noexcept;
    std::int64_t getAnalysisRevision() const noexcept;
    bool hasUnsavedChanges() const noexcept;
    void clearUnsavedChanges() noexcept;

    // FIR loading (the parsed file comes from the FIR file parser). Each is one
    // undoable change labelled "loadFir" of its own: callers do not wrap them.
    bool loadFirIntoBlock(const std::string& nodeId, const ParsedFirFile& file, std::string& error);
    // `isInput` selects an input or an output chain; for inputs the id "fir" is
    // the input's own FIR stage.
    bool loadFirIntoChain(bool isInput, int channel, const std::string& moduleId, const ParsedFirFile& file,
                          std::string& error);

    // Run / Stop and master mute.
    bool setRunning(bool run, std::string& error);
    bool isRunning() const noexcept;
    void setMasterMute(bool mute);
    bool isMasterMuted() const noexcept;

    // Safety stop: the pending code, and taking it (swaps it with 0; turns the
    // project's master mute on). Returns the code taken.
    int getPendingSafetyStop() const noexcept;
    int takeSafetyStop();
    static std::string safetyStopMessage(int code);

    // Audio setup exchanged with the page.
    juce::var audioSetupJson();
    bool setAudioSetup(const juce::var& setup, std::string& error);
    static juce::String enableAllAvailableAudioChannels(juce::AudioDeviceManager& manager, bool enableInputs);
    bool isComputerAudioInput() const noexcept;

    // Figures for the state snapshot and telemetry.
    ProcessingStatus getProcessingStatus() const;
    DspLoadFigures getDspLoad() const noexcept;
    MeterReading getInputMeter(int input) const noexcept;
    MeterReading getOutputMeter(int output) const noexcept;
    double getSampleRate() const noexcept;
    int getBufferSize() const noexcept;
    bool isPrepared() const noexcept;

    // nullptr restores the steady clock. Only while no callback runs.
    void setClock(AudioClock* clock) noexcept;

    // ---------------------------------------------------------------------
    // Editing. Every operation runs on the message thread, returns false with
    // one message in `error` (possibly empty) and then leaves the project as it
    // was. The native functions wrap each in performUndoableChange with the
    // label of engine/UndoLabels.h.

    // Parameter paths ("nodes.node3.eq.0.frequencyHz", "outputs.2.mute", ...).
    bool setParameter(const juce::String& path, const juce::var& value, std::string& error);
    // Frequency, gain and Q of band 0 of a filter Block or chain module.
    bool setFilterParameters(const juce::String& path, double frequencyHz, double gainDb, double q, std::string& error);
    void setAllOutputMute(bool mute);

    // Canvas. `kind` is a ProcessingModuleKind; `terminalKind` is "Input" or "Output".
    bool addCanvasModule(int kind, double x, double y, const std::string& subsystemId, std::string& newId, std::string& error);
    bool addCanvasTerminal(const std::string& terminalKind, int channel, double x, double y, std::string& newId,
                           std::string& error);
    bool copyCanvasModule(const std::string& nodeId, std::string& error);
    bool pasteCanvasModule(double x, double y, std::string& newId, std::string& error);
    bool copyCanvasSelection(const std::vector<std::string>& ids, std::string& error);
    bool pasteCanvasSelection(double x, double y, const std::string& target, std::vector<std::string>& newIds,
                              std::string& error);
    bool removeCanvasSelection(const std::vector<std::string>& ids, const std::vector<std::string>& connectionIds,
                               std::string& error);
    bool removeCanvasNode(const std::string& nodeId, std::string& error);
    bool setCanvasItemsLocked(const std::vector<std::string>& ids, bool locked, std::string& error);
    bool moveCanvasNode(const std::string& nodeId, double x, double y, std::string& error);
    bool connectCanvasNodes(const std::string& source, const std::string& target, const std::string& sourcePort,
                            const std::string& targetPort, std::string& connectionId, std::string& error);
    bool disconnectCanvasConnection(const std::string& connectionId, std::string& error);

    // Subsystems.
    bool createCanvasSubmodule(const std::vector<std::string>& ids, double x, double y, const std::string& parent,
                               std::string& newId, std::string& error);
    bool ungroupCanvasSubmodule(const std::string& id, std::string& error);
    bool moveCanvasSubmodule(const std::string& id, double x, double y, std::string& error);
    bool renameCanvasSubmodule(const std::string& id, const std::string& name, std::string& error);
    bool addCanvasSubmodulePort(const std::string& id, bool isInput, double x, double y, std::string& newPortId,
                                std::string& error);
    bool moveCanvasSubmodulePort(const std::string& id, const std::string& portId, double x, double y, std::string& error);
    bool connectCanvasSubmodulePort(const std::string& id, const std::string& portId, const std::string& nodeId,
                                    std::string& error);
    bool removeCanvasSubmodulePort(const std::string& id, const std::string& portId, std::string& error);

    // Chains of the project inputs and outputs. `side` "input" selects an input,
    // anything else an output; `direction` "right" places after the anchor.
    bool insertModule(const std::string& side, int channel, const std::string& anchor, const std::string& direction,
                      std::string& newId, std::string& error);
    // `kind` is a ProcessingModuleKind.
    bool configureModule(const std::string& side, int channel, const std::string& moduleId, int kind, std::string& error);
    bool deleteModule(const std::string& side, int channel, const std::string& entry, std::string& error);
    bool copyModule(const std::string& side, int channel, const std::string& entry, bool append, std::string& error);
    bool pasteModule(bool isInput, int channel, const std::string& anchor, bool after, bool replace,
                     std::vector<std::string>& newIds, std::string& error);
    // `scope` "node", "input", or anything else for an output.
    bool deleteEqBand(const std::string& scope, int channel, int band, const std::string& id, std::string& error);

    // History. The change reports its own message; a failed change records nothing.
    bool performUndoableChange(const juce::String& label, const std::function<bool()>& change);
    // Both answer the new settings revision, or -1 (an empty stack leaves `error` empty).
    std::int64_t undo(std::string& error);
    std::int64_t redo(std::string& error);
    bool canUndo() const;
    bool canRedo() const;
    // Milliseconds for the coalescing rules; an empty function restores the
    // high-resolution counter.
    void setHistoryClock(std::function<double()> nowMs);

    // New projects: both clear the history and the dirty flag on success.
    bool replaceWithNewProject(AppSettings settings, std::string& error);
    bool resetProject(const std::string& configuration, const std::vector<int>& waysPerChannel, std::string& error);
    bool resetProjectForCurrentDevice(std::string& error);
    // Opening a file: empties both stacks and the merge label.
    void clearHistory();
    // Saving under a new name ("Untitled" when empty); the name survives undo.
    void setProjectName(const std::string& name);

    // State.
    juce::String stateJson();
    juce::var projectState() const;
    std::string currentProjectName() const;
    std::string moduleKindForId(const std::string& id) const;
    static juce::var meterToVar(const MeterReading& meter);
    std::int64_t getAnalyzerWorkspaceRevision() const noexcept;
    // Stores the page's Analyzer workspace (an object's JSON text); not an undo step.
    bool setAnalyzerWorkspace(std::string_view workspaceJson, std::string& error);
    // Puts out the clip indicator of one input or output meter until its next clip.
    void clearClip(bool output, int index) noexcept;

    // Device callbacks.
    void audioDeviceIOCallbackWithContext(const float* const* inputChannelData, int numInputChannels,
                                          float* const* outputChannelData, int numOutputChannels, int numSamples,
                                          const juce::AudioIODeviceCallbackContext& context) override;
    void audioDeviceAboutToStart(juce::AudioIODevice* device) override;
    void audioDeviceStopped() override;
    void audioDeviceError(const juce::String& errorMessage) override;

    struct Impl;
    // The engine's own files and its tests reach the runtime mirror through this.
    Impl& getImpl() noexcept { return *impl; }

private:
    std::unique_ptr<Impl> impl;
    std::unique_ptr<juce::AudioDeviceManager> manager;
};
} // namespace speaker
