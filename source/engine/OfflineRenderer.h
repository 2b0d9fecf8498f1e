#pragma once

#include "engine/AudioEngine.h"
#include "engine/TestAudioDevice.h"

#include <memory>
#include <string>

namespace speaker
{
// Runs a project through the real engine and callback on a test device at full
// speed, for the render tool and the benchmarks. Master mute is released so that
// the render carries sound.
class OfflineRenderer
{
public:
    OfflineRenderer();
    ~OfflineRenderer();

    // Device input channels: at least `minimumInputs` and every physical input the
    // project uses; outputs: every physical output the project uses.
    bool open(const AppSettings& project, double sampleRate, int bufferSize, int minimumInputs, std::string& error);

    int inputChannels() const noexcept { return inputs; }
    int outputChannels() const noexcept { return outputs; }
    int bufferSize() const noexcept { return buffer; }

    // One device callback; one pointer per device input and output channel.
    bool process(const float* const* in, float* const* out) noexcept;

    AudioEngine& getEngine() noexcept { return *engine; }
    TestAudioDevice& getDevice() noexcept { return *device; }

    static int highestPhysicalInput(const AppSettings& project);
    static int highestPhysicalOutput(const AppSettings& project);

private:
    std::unique_ptr<AudioEngine> engine;
    TestAudioDevice* device = nullptr;
    int inputs = 0;
    int outputs = 0;
    int buffer = 0;
};
} // namespace speaker
