#pragma once

#include "engine/AudioClock.h"
#include "model/AppSettings.h"
#include "model/FirFile.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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

    // FIR loading (the parsed file comes from the FIR file parser).
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
