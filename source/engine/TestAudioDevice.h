#pragma once

#include "engine/AudioClock.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <vector>

namespace speaker
{
// A device whose format the caller chooses and whose callbacks the caller drives
// one buffer at a time, on whatever thread it likes. Used by the tests and by the
// offline renderer, so that both run the real callback through the real
// AudioDeviceManager without audio hardware.
struct TestDeviceConfig
{
    juce::String name = "Test Device";
    int inputChannels = 2;
    int outputChannels = 2;
    juce::Array<double> sampleRates { 44100.0, 48000.0, 96000.0 };
    juce::Array<int> bufferSizes { 32, 64, 128, 256, 512, 1024 };
    int defaultBufferSize = 256;
};

class TestAudioDevice final : public juce::AudioIODevice
{
public:
    TestAudioDevice(const juce::String& driverName, const TestDeviceConfig& output, const TestDeviceConfig& input);
    ~TestAudioDevice() override;

    juce::StringArray getOutputChannelNames() override;
    juce::StringArray getInputChannelNames() override;
    juce::Array<double> getAvailableSampleRates() override;
    juce::Array<int> getAvailableBufferSizes() override;
    int getDefaultBufferSize() override;
    juce::String open(const juce::BigInteger& inputChannels, const juce::BigInteger& outputChannels,
                      double sampleRate, int bufferSizeSamples) override;
    void close() override;
    bool isOpen() override;
    void start(juce::AudioIODeviceCallback* callback) override;
    void stop() override;
    bool isPlaying() override;
    juce::String getLastError() override;
    int getCurrentBufferSizeSamples() override;
    double getCurrentSampleRate() override;
    int getCurrentBitDepth() override;
    juce::BigInteger getActiveOutputChannels() const override;
    juce::BigInteger getActiveInputChannels() const override;
    int getOutputLatencyInSamples() override;
    int getInputLatencyInSamples() override;

    int activeInputCount() const;
    int activeOutputCount() const;

    // One device callback of `numSamples` (normally the buffer size). `inputs` and
    // `outputs` hold one pointer per active channel. Returns false when the device
    // is not playing; the outputs are then left as they were.
    bool processBlock(const float* const* inputs, float* const* outputs, int numSamples);

    // Runs callbacks of the current buffer size over `numSamples` samples. inputs[k]
    // feeds active input k (shorter or missing channels read as silence). Returns
    // one vector of numSamples per active output.
    std::vector<std::vector<float>> run(const std::vector<std::vector<float>>& inputs, int numSamples);

    // What a driver does on its own: the device goes away, reports an error, or
    // restarts (possibly in another format) without being asked.
    void simulateStop();
    void simulateError(const juce::String& message);
    void simulateRestart(double sampleRate, int bufferSize);

    // Opening fails with this text while it is not empty (a device that is gone).
    void setOpenError(const juce::String& message);

    std::int64_t callbackCount() const noexcept { return callbacks.load(); }

private:
    void waitForCallbackToFinish() const;

    TestDeviceConfig outputSpec;
    TestDeviceConfig inputSpec;
    juce::BigInteger activeInputs;
    juce::BigInteger activeOutputs;
    double rate = 0.0;
    int bufferSize = 0;
    bool opened = false;
    juce::String lastError;
    juce::String openError;
    std::atomic<juce::AudioIODeviceCallback*> callback { nullptr };
    std::atomic<int> inCallback { 0 };
    std::atomic<std::int64_t> callbacks { 0 };
    std::uint64_t hostTimeNs = 0;
    std::vector<std::vector<float>> scratchIn;
    std::vector<std::vector<float>> scratchOut;
};

class TestAudioDeviceType final : public juce::AudioIODeviceType
{
public:
    static constexpr const char* kDefaultTypeName = "Test";

    explicit TestAudioDeviceType(std::vector<TestDeviceConfig> devices, bool separateInputsAndOutputs = false,
                                 const juce::String& driverName = kDefaultTypeName);

    void scanForDevices() override;
    juce::StringArray getDeviceNames(bool wantInputNames = false) const override;
    int getDefaultDeviceIndex(bool forInput) const override;
    int getIndexOfDevice(juce::AudioIODevice* device, bool asInput) const override;
    bool hasSeparateInputsAndOutputs() const override;
    juce::AudioIODevice* createDevice(const juce::String& outputDeviceName, const juce::String& inputDeviceName) override;

private:
    const TestDeviceConfig* find(const juce::String& name) const;

    std::vector<TestDeviceConfig> configs;
    bool separate;
};

// A clock that a test moves by hand: every reading advances it by `step`, so one
// callback (two readings) appears to take exactly `step` seconds.
class SteppingClock final : public AudioClock
{
public:
    explicit SteppingClock(double stepSeconds = 0.0) : step(stepSeconds) {}
    void setStep(double stepSeconds) noexcept { step.store(stepSeconds); }
    double nowSeconds() noexcept override
    {
        const auto t = now.load();
        now.store(t + step.load());
        return t;
    }

private:
    std::atomic<double> now { 0.0 };
    std::atomic<double> step;
};
} // namespace speaker
