#include "engine/TestAudioDevice.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace speaker
{
namespace
{
juce::StringArray channelNames(const char* prefix, int count)
{
    juce::StringArray names;
    for (int i = 0; i < count; ++i)
        names.add(juce::String(prefix) + " " + juce::String(i + 1));
    return names;
}

juce::BigInteger limited(const juce::BigInteger& wanted, int available)
{
    juce::BigInteger result = wanted;
    result.setRange(available, std::max(result.getHighestBit() + 1 - available, 0), false);
    return result;
}
} // namespace

TestAudioDevice::TestAudioDevice(const juce::String& driverName, const TestDeviceConfig& output, const TestDeviceConfig& input)
    : juce::AudioIODevice(output.name, driverName), outputSpec(output), inputSpec(input)
{
}

TestAudioDevice::~TestAudioDevice()
{
    close();
}

juce::StringArray TestAudioDevice::getOutputChannelNames() { return channelNames("Output", outputSpec.outputChannels); }
juce::StringArray TestAudioDevice::getInputChannelNames() { return channelNames("Input", inputSpec.inputChannels); }
juce::Array<double> TestAudioDevice::getAvailableSampleRates() { return outputSpec.sampleRates; }
juce::Array<int> TestAudioDevice::getAvailableBufferSizes() { return outputSpec.bufferSizes; }
int TestAudioDevice::getDefaultBufferSize() { return outputSpec.defaultBufferSize; }

juce::String TestAudioDevice::open(const juce::BigInteger& inputChannels, const juce::BigInteger& outputChannels,
                                   double sampleRate, int bufferSizeSamples)
{
    close();
    if (openError.isNotEmpty())
    {
        lastError = openError;
        return lastError;
    }
    activeInputs = limited(inputChannels, inputSpec.inputChannels);
    activeOutputs = limited(outputChannels, outputSpec.outputChannels);
    rate = sampleRate;
    bufferSize = bufferSizeSamples;
    opened = true;
    lastError.clear();
    return {};
}

void TestAudioDevice::close()
{
    stop();
    opened = false;
}

bool TestAudioDevice::isOpen() { return opened; }

void TestAudioDevice::start(juce::AudioIODeviceCallback* newCallback)
{
    if (! opened || newCallback == nullptr || callback.load() == newCallback)
        return;
    stop();
    newCallback->audioDeviceAboutToStart(this);
    callback.store(newCallback);
}

void TestAudioDevice::stop()
{
    if (auto* old = callback.exchange(nullptr))
    {
        waitForCallbackToFinish();
        old->audioDeviceStopped();
    }
}

bool TestAudioDevice::isPlaying() { return callback.load() != nullptr; }
juce::String TestAudioDevice::getLastError() { return lastError; }
int TestAudioDevice::getCurrentBufferSizeSamples() { return bufferSize; }
double TestAudioDevice::getCurrentSampleRate() { return rate; }
int TestAudioDevice::getCurrentBitDepth() { return 32; }
juce::BigInteger TestAudioDevice::getActiveOutputChannels() const { return activeOutputs; }
juce::BigInteger TestAudioDevice::getActiveInputChannels() const { return activeInputs; }
int TestAudioDevice::getOutputLatencyInSamples() { return 0; }
int TestAudioDevice::getInputLatencyInSamples() { return 0; }
int TestAudioDevice::activeInputCount() const { return activeInputs.countNumberOfSetBits(); }
int TestAudioDevice::activeOutputCount() const { return activeOutputs.countNumberOfSetBits(); }

void TestAudioDevice::waitForCallbackToFinish() const
{
    while (inCallback.load() != 0)
        std::this_thread::yield();
}

bool TestAudioDevice::processBlock(const float* const* inputs, float* const* outputs, int numSamples)
{
    inCallback.fetch_add(1);
    auto* target = callback.load();
    if (target == nullptr)
    {
        inCallback.fetch_sub(1);
        return false;
    }
    juce::AudioIODeviceCallbackContext context;
    context.hostTimeNs = &hostTimeNs;
    target->audioDeviceIOCallbackWithContext(inputs, activeInputCount(), outputs, activeOutputCount(), numSamples, context);
    if (rate > 0.0)
        hostTimeNs += static_cast<std::uint64_t>(std::llround(numSamples * 1.0e9 / rate));
    callbacks.fetch_add(1);
    inCallback.fetch_sub(1);
    return true;
}

std::vector<std::vector<float>> TestAudioDevice::run(const std::vector<std::vector<float>>& inputs, int numSamples)
{
    const int ins = activeInputCount();
    const int outs = activeOutputCount();
    const int block = std::max(bufferSize, 1);
    std::vector<std::vector<float>> result(static_cast<size_t>(outs), std::vector<float>(static_cast<size_t>(std::max(numSamples, 0))));
    scratchIn.assign(static_cast<size_t>(ins), std::vector<float>(static_cast<size_t>(block)));
    scratchOut.assign(static_cast<size_t>(outs), std::vector<float>(static_cast<size_t>(block)));
    std::vector<const float*> inPointers;
    std::vector<float*> outPointers;
    for (auto& channel : scratchIn)
        inPointers.push_back(channel.data());
    for (auto& channel : scratchOut)
        outPointers.push_back(channel.data());

    for (int start = 0; start < numSamples; start += block)
    {
        const int n = std::min(block, numSamples - start);
        for (int c = 0; c < ins; ++c)
        {
            auto& channel = scratchIn[static_cast<size_t>(c)];
            std::fill(channel.begin(), channel.end(), 0.0f);
            if (static_cast<size_t>(c) >= inputs.size())
                continue;
            const auto& source = inputs[static_cast<size_t>(c)];
            for (int i = 0; i < n && static_cast<size_t>(start + i) < source.size(); ++i)
                channel[static_cast<size_t>(i)] = source[static_cast<size_t>(start + i)];
        }
        for (auto& channel : scratchOut)
            std::fill(channel.begin(), channel.end(), 0.0f);
        processBlock(inPointers.data(), outPointers.data(), n);
        for (int c = 0; c < outs; ++c)
            std::copy_n(scratchOut[static_cast<size_t>(c)].begin(), n, result[static_cast<size_t>(c)].begin() + start);
    }
    return result;
}

void TestAudioDevice::simulateStop()
{
    stop();
}

void TestAudioDevice::simulateError(const juce::String& message)
{
    if (auto* target = callback.load())
        target->audioDeviceError(message);
}

void TestAudioDevice::simulateRestart(double sampleRate, int newBufferSize)
{
    auto* target = callback.exchange(nullptr);
    if (target != nullptr)
    {
        waitForCallbackToFinish();
        target->audioDeviceStopped();
    }
    rate = sampleRate;
    bufferSize = newBufferSize;
    if (target != nullptr)
    {
        target->audioDeviceAboutToStart(this);
        callback.store(target);
    }
}

void TestAudioDevice::setOpenError(const juce::String& message)
{
    openError = message;
}

TestAudioDeviceType::TestAudioDeviceType(std::vector<TestDeviceConfig> devices, bool separateInputsAndOutputs,
                                         const juce::String& driverName)
    : juce::AudioIODeviceType(driverName), configs(std::move(devices)), separate(separateInputsAndOutputs)
{
}

void TestAudioDeviceType::scanForDevices() {}

juce::StringArray TestAudioDeviceType::getDeviceNames(bool wantInputNames) const
{
    juce::StringArray names;
    for (const auto& config : configs)
        if (! separate || (wantInputNames ? config.inputChannels > 0 : config.outputChannels > 0))
            names.add(config.name);
    return names;
}

int TestAudioDeviceType::getDefaultDeviceIndex(bool) const { return 0; }

int TestAudioDeviceType::getIndexOfDevice(juce::AudioIODevice* device, bool asInput) const
{
    return device == nullptr ? -1 : getDeviceNames(asInput).indexOf(device->getName());
}

bool TestAudioDeviceType::hasSeparateInputsAndOutputs() const { return separate; }

const TestDeviceConfig* TestAudioDeviceType::find(const juce::String& name) const
{
    for (const auto& config : configs)
        if (config.name == name)
            return &config;
    return nullptr;
}

juce::AudioIODevice* TestAudioDeviceType::createDevice(const juce::String& outputDeviceName, const juce::String& inputDeviceName)
{
    const auto* output = find(outputDeviceName.isNotEmpty() ? outputDeviceName : inputDeviceName);
    if (output == nullptr)
        return nullptr;
    TestDeviceConfig input = *output;
    if (separate)
    {
        const auto* chosen = inputDeviceName.isNotEmpty() ? find(inputDeviceName) : nullptr;
        input.inputChannels = chosen != nullptr ? chosen->inputChannels : 0;
    }
    TestDeviceConfig outputOnly = *output;
    if (separate && outputDeviceName.isEmpty())
        outputOnly.outputChannels = 0;
    return new TestAudioDevice(getTypeName(), outputOnly, input);
}
} // namespace speaker
