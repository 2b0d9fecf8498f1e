#include "engine/OfflineRenderer.h"

#include <algorithm>

namespace speaker
{
namespace
{
constexpr const char* kDeviceName = "Offline";
}

OfflineRenderer::OfflineRenderer()
{
    juce::MessageManager::getInstance();
}

OfflineRenderer::~OfflineRenderer() = default;

int OfflineRenderer::highestPhysicalInput(const AppSettings& project)
{
    int highest = 0;
    for (int i = 0; i < std::clamp(project.inputCount, 0, kMaxInputs); ++i)
        highest = std::max(highest, project.inputs[static_cast<size_t>(i)].physicalChannel);
    return highest;
}

int OfflineRenderer::highestPhysicalOutput(const AppSettings& project)
{
    int highest = 0;
    for (int i = 0; i < std::clamp(project.outputCount, 0, kMaxOutputs); ++i)
        highest = std::max(highest, project.outputs[static_cast<size_t>(i)].physicalChannel);
    return highest;
}

bool OfflineRenderer::open(const AppSettings& project, double sampleRate, int bufferSize, int minimumInputs, std::string& error)
{
    engine = std::make_unique<AudioEngine>();
    TestDeviceConfig config;
    config.name = kDeviceName;
    config.inputChannels = std::clamp(std::max(minimumInputs, highestPhysicalInput(project)), 1, kMaxPhysicalChannel);
    config.outputChannels = std::clamp(highestPhysicalOutput(project), 1, kMaxPhysicalChannel);
    config.sampleRates = { sampleRate };
    config.bufferSizes = { bufferSize };
    config.defaultBufferSize = bufferSize;
    engine->getDeviceManager().addAudioDeviceType(std::make_unique<TestAudioDeviceType>(std::vector<TestDeviceConfig> { config }));

    juce::DynamicObject::Ptr setup = new juce::DynamicObject();
    setup->setProperty("type", TestAudioDeviceType::kDefaultTypeName);
    setup->setProperty("inputDeviceName", kDeviceName);
    setup->setProperty("outputDeviceName", kDeviceName);
    setup->setProperty("sampleRate", sampleRate);
    setup->setProperty("bufferSize", bufferSize);
    if (! engine->setAudioSetup(juce::var(setup.get()), error))
        return false;
    device = dynamic_cast<TestAudioDevice*>(engine->getDeviceManager().getCurrentAudioDevice());
    if (device == nullptr)
    {
        error = "The offline audio device could not be opened.";
        return false;
    }
    if (! engine->applySettings(project, error))
        return false;
    engine->setMasterMute(false);
    if (! engine->setRunning(true, error))
        return false;
    inputs = device->activeInputCount();
    outputs = device->activeOutputCount();
    buffer = bufferSize;
    return true;
}

bool OfflineRenderer::process(const float* const* in, float* const* out) noexcept
{
    return device != nullptr && device->processBlock(in, out, buffer);
}
} // namespace speaker
