#pragma once

// Shared by the engine tests: an engine on the test device, and a small builder
// for canvas graphs.

#include "engine/AudioEngine.h"
#include "engine/TestAudioDevice.h"
#include "support/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

namespace speaker::test
{
inline int kind(ProcessingModuleKind k) { return static_cast<int>(k); }

// A canvas graph under construction; the counts and physical channels default to
// input k and output k on device channel k + 1, everything audible.
struct Graph
{
    AppSettings settings;

    Graph(int inputs = 2, int outputs = 2)
    {
        settings.inputCount = inputs;
        settings.outputCount = outputs;
        settings.masterMute = false;
        for (int i = 0; i < kMaxInputs; ++i)
            settings.inputs[static_cast<size_t>(i)].physicalChannel = i + 1;
        for (int i = 0; i < kMaxOutputs; ++i)
            settings.outputs[static_cast<size_t>(i)].physicalChannel = i + 1;
    }

    Graph& input(const std::string& id, int channel)
    {
        CanvasNodeSettings node;
        node.id = id;
        node.kind = static_cast<int>(CanvasNodeKind::input);
        node.channelIndex = channel;
        settings.nodes.push_back(node);
        return *this;
    }

    Graph& output(const std::string& id, int channel)
    {
        CanvasNodeSettings node;
        node.id = id;
        node.kind = static_cast<int>(CanvasNodeKind::output);
        node.channelIndex = channel;
        settings.nodes.push_back(node);
        return *this;
    }

    Graph& block(const std::string& id, ProcessingModuleKind k,
                 const std::function<void(InsertedModuleSettings&)>& configure = {})
    {
        CanvasNodeSettings node;
        node.id = id;
        node.kind = static_cast<int>(CanvasNodeKind::processor);
        node.processor.id = id;
        node.processor.kind = static_cast<int>(k);
        if (configure)
            configure(node.processor);
        settings.nodes.push_back(node);
        return *this;
    }

    Graph& wire(const std::string& from, const std::string& to, const std::string& port = {})
    {
        CanvasConnectionSettings c;
        c.id = "connection" + std::to_string(settings.connections.size() + 1);
        c.source = from;
        c.target = to;
        c.targetPort = port;
        settings.connections.push_back(c);
        return *this;
    }

    CanvasNodeSettings& node(const std::string& id) { return *findCanvasNode(settings, id); }
};

// x[k] = amplitude * (-1)^k: a full-scale-free test signal with no DC, so the
// DC guard never sees it.
inline std::vector<float> alternating(float amplitude, int samples)
{
    std::vector<float> x(static_cast<size_t>(samples));
    for (int k = 0; k < samples; ++k)
        x[static_cast<size_t>(k)] = (k % 2 == 0) ? amplitude : -amplitude;
    return x;
}

inline std::vector<float> constant(float value, int samples)
{
    return std::vector<float>(static_cast<size_t>(samples), value);
}

inline double dbToGain(double db) { return std::pow(10.0, db / 20.0); }

// An engine whose device manager only knows the test driver.
class EngineTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { juce::MessageManager::getInstance(); }

    void SetUp() override { createEngine(); }
    void TearDown() override
    {
        engine.reset();
    }

    void createEngine(TestDeviceConfig config = defaultConfig(), bool separate = false)
    {
        engine.reset();
        engine = std::make_unique<AudioEngine>();
        // Every callback appears to take 10 us, so a busy machine never trips the
        // deadline; the deadline tests install their own clock.
        engine->setClock(&fastClock);
        deviceConfig = config;
        engine->getDeviceManager().addAudioDeviceType(std::make_unique<TestAudioDeviceType>(std::vector<TestDeviceConfig> { config }, separate));
    }

    static TestDeviceConfig defaultConfig()
    {
        TestDeviceConfig config;
        config.inputChannels = 4;
        config.outputChannels = 4;
        config.sampleRates.add(88200.0);
        return config;
    }

    // Opens the test device through the engine's audio setup path.
    void openDevice(double rate = 48000.0, int buffer = 256)
    {
        std::string error;
        juce::DynamicObject::Ptr setup = new juce::DynamicObject();
        setup->setProperty("type", TestAudioDeviceType::kDefaultTypeName);
        setup->setProperty("inputDeviceName", deviceConfig.name);
        setup->setProperty("outputDeviceName", deviceConfig.name);
        setup->setProperty("sampleRate", rate);
        setup->setProperty("bufferSize", buffer);
        if (! engine->setAudioSetup(juce::var(setup.get()), error))
        {
            // Formats the engine refuses are opened directly, as a driver would.
            juce::AudioDeviceManager::AudioDeviceSetup s;
            s.inputDeviceName = s.outputDeviceName = deviceConfig.name;
            s.sampleRate = rate;
            s.bufferSize = buffer;
            auto& manager = engine->getDeviceManager();
            manager.setCurrentAudioDeviceType(TestAudioDeviceType::kDefaultTypeName, true);
            ASSERT_TRUE(manager.setAudioDeviceSetup(s, true).isEmpty());
        }
        device = dynamic_cast<TestAudioDevice*>(engine->getDeviceManager().getCurrentAudioDevice());
        ASSERT_NE(device, nullptr);
    }

    void apply(const Graph& graph)
    {
        std::string error;
        ASSERT_TRUE(engine->applySettings(graph.settings, error)) << error;
    }

    void run()
    {
        std::string error;
        ASSERT_TRUE(engine->setRunning(true, error)) << error;
    }

    // Opens 48 kHz / 256, applies the graph, Runs.
    void start(const Graph& graph, double rate = 48000.0, int buffer = 256)
    {
        openDevice(rate, buffer);
        apply(graph);
        engine->setMasterMute(graph.settings.masterMute);
        run();
    }

    std::vector<std::vector<float>> process(const std::vector<std::vector<float>>& inputs, int samples)
    {
        return device->run(inputs, samples);
    }

    SteppingClock fastClock { 1.0e-5 };
    TestDeviceConfig deviceConfig;
    std::unique_ptr<AudioEngine> engine;
    TestAudioDevice* device = nullptr;
};

// Drives the device from its own thread, like a driver, until stopped. Records
// output channel 0 into a preallocated buffer.
class CallbackPump
{
public:
    CallbackPump(TestAudioDevice& d, std::vector<float> inputBlock, size_t capacity,
                 bool guarded = false, int pauseMicroseconds = 50)
        : device(d), input(std::move(inputBlock)), recorded(capacity, 0.0f)
    {
        thread = std::thread([this, guarded, pauseMicroseconds] {
            const int n = device.getCurrentBufferSizeSamples();
            const int ins = device.activeInputCount();
            const int outs = device.activeOutputCount();
            std::vector<std::vector<float>> inBuffers(static_cast<size_t>(ins), std::vector<float>(static_cast<size_t>(n)));
            for (auto& b : inBuffers)
                std::copy_n(input.begin(), std::min(input.size(), b.size()), b.begin());
            std::vector<std::vector<float>> outBuffers(static_cast<size_t>(outs), std::vector<float>(static_cast<size_t>(n)));
            std::vector<const float*> inPointers;
            std::vector<float*> outPointers;
            for (auto& b : inBuffers)
                inPointers.push_back(b.data());
            for (auto& b : outBuffers)
                outPointers.push_back(b.data());
            while (! stopRequested.load())
            {
                if (guarded)
                {
                    const corvana::test::RealtimeGuard guard;
                    device.processBlock(inPointers.data(), outPointers.data(), n);
                    allocationCount += guard.allocations();
                    lockCount += guard.locks();
                }
                else
                {
                    device.processBlock(inPointers.data(), outPointers.data(), n);
                }
                ++blocks;
                const auto at = written.load();
                if (outs > 0 && at + static_cast<size_t>(n) <= recorded.size())
                {
                    std::copy_n(outBuffers[0].begin(), n, recorded.begin() + static_cast<std::ptrdiff_t>(at));
                    written.store(at + static_cast<size_t>(n));
                }
                if (pauseMicroseconds > 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(pauseMicroseconds));
            }
        });
    }

    ~CallbackPump() { stop(); }

    void stop()
    {
        stopRequested.store(true);
        if (thread.joinable())
            thread.join();
    }

    void waitForBlocks(std::int64_t count) const
    {
        const auto target = blocks.load() + count;
        while (blocks.load() < target)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }

    const std::vector<float>& output() const { return recorded; }
    size_t samplesWritten() const { return written.load(); }
    std::int64_t blockCount() const { return blocks.load(); }
    std::uint64_t allocations() const { return allocationCount.load(); }
    std::uint64_t locks() const { return lockCount.load(); }

private:
    TestAudioDevice& device;
    std::vector<float> input;
    std::vector<float> recorded;
    std::atomic<size_t> written { 0 };
    std::atomic<std::int64_t> blocks { 0 };
    std::atomic<bool> stopRequested { false };
    std::atomic<std::uint64_t> allocationCount { 0 };
    std::atomic<std::uint64_t> lockCount { 0 };
    std::thread thread;
};
} // namespace speaker::test
