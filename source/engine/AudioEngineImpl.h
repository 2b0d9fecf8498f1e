#pragma once

// The engine's private state, shared by the files of the engine only.

#include "dsp/ArithmeticProcessor.h"
#include "dsp/CrossoverFilterBank.h"
#include "dsp/FirFilter.h"
#include "dsp/Gain.h"
#include "dsp/MeterProcessor.h"
#include "dsp/OutputSignalGuard.h"
#include "dsp/ParametricEQ.h"
#include "dsp/PeakingFilter.h"
#include "dsp/SampleDelay.h"
#include "dsp/ShelvingFilterProcessor.h"
#include "engine/AudioEngine.h"
#include "engine/ComputerAudioCapture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace speaker
{
inline constexpr int kNodeSlots = kMaxCanvasNodes;
inline constexpr int kMinDeviceBuffer = 32;
inline constexpr int kMaxDeviceBuffer = 1024;
inline constexpr int kMinScratchLength = 1024;

struct RuntimeBand
{
    std::atomic<bool> enabled { false };
    std::atomic<int> type { 0 };
    std::atomic<double> frequencyHz { 1000.0 };
    std::atomic<double> gainDb { 0.0 };
    std::atomic<double> q { 1.0 };
    std::atomic<std::int64_t> revision { 0 };
};

// Every field is an atomic so that publishing while audio runs is well defined;
// structural fields only change while the graph is suspended.
struct RuntimeNode
{
    std::atomic<bool> valid { false };
    std::atomic<int> kind { 0 };
    std::atomic<int> channelIndex { -1 };
    std::atomic<int> sourceA { -1 };
    std::atomic<int> sourceB { -1 };
    std::atomic<bool> configured { false };
    std::atomic<int> processorKind { static_cast<int>(ProcessingModuleKind::empty) };
    std::atomic<bool> bypassed { false };
    std::atomic<double> gainDb { 0.0 };
    std::atomic<bool> polarityInverted { false };
    std::atomic<double> delayUs { 0.0 };
    std::atomic<std::int64_t> delayRevision { 0 };
    std::atomic<int> shelfOrder { 2 };
    std::atomic<int> lowPassOrder { 2 };
    std::atomic<int> lowPassShape { 0 };
    std::atomic<int> highPassOrder { 2 };
    std::atomic<int> highPassShape { 0 };
    std::atomic<double> divideFloorDb { -120.0 };
    std::atomic<double> divideLimitDb { 20.0 };
    std::array<RuntimeBand, kMaxEqBands> bands;
};

struct RuntimeChannel
{
    std::atomic<int> deviceChannel { 0 };
    std::atomic<double> volumeDb { 0.0 };
    std::atomic<bool> mute { false };
    std::atomic<bool> solo { false };
    // Fixed output stages: raised by direct parameter edits.
    std::atomic<std::int64_t> delayRevision { 0 };
    std::array<std::atomic<std::int64_t>, kMaxEqBands> bandRevisions {};
};

// What copyCanvasSelection leaves for pasteCanvasSelection.
struct CanvasClipboard
{
    std::vector<CanvasNodeSettings> nodes;
    std::vector<CanvasConnectionSettings> connections;
    std::vector<CanvasSubmoduleSettings> submodules;
    std::vector<std::string> rootIds;
    double originX = 0.0;
    double originY = 0.0;
};

// One node slot's processors; a slot uses the one of its Block kind.
struct SlotProcessors
{
    FirFilter fir;
    ParametricEQ16Band eq;
    PeakingFilter peaking;
    ShelvingFilterProcessor shelf;
    std::unique_ptr<LowPassFilterBank> lowPass;
    std::unique_ptr<HighPassFilterBank> highPass;
    Gain gain;
    SampleDelay delay;
    ArithmeticProcessor arithmetic;
    std::array<std::int64_t, kMaxEqBands> lastBandRevision {};
    std::int64_t lastDelayRevision = 0;
};

// Meter figures as the message thread reads them.
struct MeterMirror
{
    std::atomic<double> peakDb { -120.0 };
    std::atomic<double> rmsDb { -120.0 };
    std::atomic<bool> clip { false };
    std::atomic<bool> resetRequested { false };
};

struct ChannelMeter
{
    MeterProcessor meter;
    MeterMirror mirror;
    bool isReset = true; // audio thread: skips repeated resets
};

struct AudioEngine::Impl
{
    explicit Impl(AudioEngine& owner);

    AudioEngine& engine;
    juce::AudioDeviceManager* deviceManager = nullptr;

    // Message thread.
    juce::CriticalSection settingsLock;
    juce::CriticalSection mutationLock;
    AppSettings settings;
    std::atomic<std::int64_t> settingsRevision { 0 };
    std::atomic<std::int64_t> analysisRevision { 0 };
    std::atomic<bool> unsavedChanges { false };
    std::atomic<std::int64_t> analyzerWorkspaceRevision { 0 };

    // Clipboards (settings lock): not part of the project, untouched by undo.
    std::vector<InsertedModuleSettings> moduleClipboard;
    CanvasClipboard canvasClipboard;

    // Undo history (history lock; never taken while the settings lock is held).
    juce::CriticalSection historyLock;
    std::deque<AppSettings> undoStack;
    std::deque<AppSettings> redoStack;
    juce::String lastUndoLabel;
    double lastUndoTimeMs = 0.0;
    std::function<double()> historyClock;
    double historyNowMs() const;

    // Per-node and rest-of-project pieces of the last state snapshot (message thread).
    struct StateSnapshotCache;
    std::shared_ptr<StateSnapshotCache> stateCache;

    // Runtime mirror.
    std::array<RuntimeChannel, kMaxInputs> inputs;
    std::array<RuntimeChannel, kMaxOutputs> outputs;
    std::array<RuntimeNode, kNodeSlots> nodes;
    std::array<std::atomic<int>, kNodeSlots> executionOrder {};
    std::atomic<int> executionOrderLength { 0 };

    // Processors.
    std::vector<SlotProcessors> slots { static_cast<size_t>(kNodeSlots) };
    std::array<Gain, kMaxInputs> inputGains;
    std::array<Gain, kMaxOutputs> outputGains;
    std::array<ChannelMeter, kMaxInputs> inputMeters;
    std::array<ChannelMeter, kMaxOutputs> outputMeters;
    std::array<OutputSignalGuard, kMaxOutputs> outputGuards;
    std::array<float, kMaxInputs> inputFades {};
    std::array<float, kMaxOutputs> outputFades {};
    // Chain FIRs: loaded with the project, never processed by the callback.
    std::array<FirFilter, kMaxInputs> inputOwnFirs;
    std::vector<FirFilter> inputChainFirs { static_cast<size_t>(kMaxInputs * kMaxInsertedModules) };
    std::vector<FirFilter> outputChainFirs { static_cast<size_t>(kMaxOutputs * kMaxInsertedModules) };

    // Scratch.
    int scratchLength = 0;
    std::vector<float> nodeBuffers;
    std::vector<float> captureBuffers;
    std::array<bool, kNodeSlots> hasSignal {};
    float* nodeBuffer(int slot) noexcept { return nodeBuffers.data() + static_cast<size_t>(slot) * static_cast<size_t>(scratchLength); }

    ComputerAudioCapture capture;

    // Shared flags and figures.
    std::atomic<bool> computerAudioInput { false };
    std::atomic<bool> running { false };
    std::atomic<bool> metersClearedWhileStopped { false };
    std::atomic<bool> stopping { false };
    float runRamp = 0.0f;
    std::atomic<bool> graphFadeRequest { false };
    std::atomic<bool> graphFaded { false };
    std::atomic<bool> graphSuspended { false };
    float mutationRamp = 1.0f;
    std::atomic<bool> masterMute { true };
    std::atomic<double> masterVolumeDb { 0.0 };
    std::atomic<int> inputCount { 2 };
    std::atomic<int> outputCount { 4 };
    std::atomic<int> callbacksInFlight { 0 };
    std::atomic<double> sampleRate { 0.0 };
    std::atomic<int> bufferSize { 0 };
    std::atomic<bool> prepared { false };
    std::atomic<bool> shuttingDown { false };
    std::atomic<int> safetyStopReason { 0 };
    std::int64_t captureStallSamples = 0;
    std::int64_t lastCaptureCounter = 0;
    bool captureSeen = false;
    std::atomic<bool> captureNeedsRestart { false };
    std::atomic<double> dspLoadPercent { 0.0 };
    std::atomic<double> callbackTimeMs { 0.0 };
    std::atomic<std::int64_t> deadlineMisses { 0 };
    std::atomic<double> smoothedLoad { 0.0 };
    std::atomic<double> lastSampleRate { 0.0 };
    std::atomic<AudioClock*> clock { nullptr };

    // Device status.
    mutable std::mutex statusLock;
    ProcessingStatus status;
    std::string deviceName;
    std::string lastDeviceError;

    // Publishing (message thread, settings lock held).
    void publishSettings();
    void configureSlot(int slot, const CanvasNodeSettings& node);
    void suspendCanvasGraphForMutation();
    void resetCanvasProcessingHistory();
    void resetProcessingHistory();
    void resetSlotHistory(SlotProcessors& slot);
    bool prepareFirFilters(const AppSettings& project, std::string& error);
    bool prepareInputInsertedFirs(int input, const std::vector<InsertedModuleSettings>& modules, std::string& error);
    bool prepareOutputInsertedFirs(int output, const std::vector<InsertedModuleSettings>& modules, std::string& error);
    void prepareProcessors(double fs);
    void waitForCallbacks() const;
    // Structural commit of an edited copy (settings lock held): optional
    // validation, graph mutation, FIR loading when FIR Blocks changed, publish.
    bool commitCanvasCopy(AppSettings& copy, bool validate, bool prepareFirs, std::string& error);
    // In-place edits: the page re-reads the state, nothing is published.
    void markInPlaceEdit();
    // FIR loads without the undo step.
    bool loadFirIntoBlockNow(const std::string& nodeId, const ParsedFirFile& file, std::string& error);
    bool loadFirIntoChainNow(bool isInput, int channel, const std::string& moduleId, const ParsedFirFile& file,
                             std::string& error);

    // Audio thread.
    void processCallback(const float* const* in, int numIn, float* const* out, int numOut, int n) noexcept;
    void processBlock(int slot, const RuntimeNode& node, float* buffer, int n, double fs) noexcept;
    void tripSafetyStop(int code) noexcept;
    void resetAllMeters() noexcept;
    void resetMeter(ChannelMeter& meter) noexcept;
    void updateMeter(ChannelMeter& meter, const float* samples, int n) noexcept;
    double now() const noexcept;

    void setStatus(const std::string& word, const std::string& detail);
};

// RAII scope of a structural edit: fades the graph out, suspends it, and lets it
// fade back in when destroyed.
class CanvasGraphMutation
{
public:
    explicit CanvasGraphMutation(AudioEngine::Impl& impl);
    ~CanvasGraphMutation();
    CanvasGraphMutation(const CanvasGraphMutation&) = delete;
    CanvasGraphMutation& operator=(const CanvasGraphMutation&) = delete;

    bool resetHistory = false;

private:
    AudioEngine::Impl& impl;
    const juce::ScopedLock lock;
};

// Every FIR of a project that must match the device rate, with the placeholder
// rule applied by the callers.
template <typename Settings, typename Fn>
void forEachProjectFir(Settings& project, Fn&& fn)
{
    for (auto& input : project.inputs)
    {
        if (std::find(input.moduleOrder.begin(), input.moduleOrder.end(), "fir") != input.moduleOrder.end())
            fn(input.fir);
        for (auto& module : input.insertedModules)
            if (module.kind == static_cast<int>(ProcessingModuleKind::firFilter))
                fn(module.fir);
    }
    for (auto& output : project.outputs)
        for (auto& module : output.insertedModules)
            if (module.kind == static_cast<int>(ProcessingModuleKind::firFilter))
                fn(module.fir);
    for (auto& node : project.nodes)
        if (node.kind == static_cast<int>(CanvasNodeKind::processor)
            && node.processor.kind == static_cast<int>(ProcessingModuleKind::firFilter))
            fn(node.processor.fir);
}
} // namespace speaker
