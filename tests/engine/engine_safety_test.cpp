// Safety stops, Run refusals and the device lifecycle.

#include "EngineTestSupport.h"

#include "dsp/OutputSignalGuard.h"

#include <algorithm>
#include <limits>

namespace speaker::test
{
namespace
{
Graph oneChannel()
{
    Graph g(1, 1);
    g.input("in1", 0).output("out1", 0).wire("in1", "out1");
    return g;
}

Graph twoChannels()
{
    Graph g(2, 2);
    g.input("in1", 0).input("in2", 1).output("out1", 0).output("out2", 1).wire("in1", "out1").wire("in2", "out2");
    return g;
}

bool silent(const std::vector<std::vector<float>>& out, size_t from = 0, size_t to = std::numeric_limits<size_t>::max())
{
    for (const auto& channel : out)
        for (size_t i = from; i < std::min(to, channel.size()); ++i)
            if (channel[i] != 0.0f)
                return false;
    return true;
}
} // namespace

using SafetyStopTest = EngineTest;

TEST_F(SafetyStopTest, NonFiniteOutputStopsBeforeTheDeviceSeesIt)
{
    for (const float bad : { std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity() })
    {
        createEngine();
        Graph g = twoChannels();
        start(g);
        process({ alternating(0.5f, 2048), alternating(0.5f, 2048) }, 2048);

        auto x = alternating(0.5f, 256);
        x[100] = bad; // only input 1 carries it
        const auto out = process({ x, alternating(0.5f, 256) }, 256);
        EXPECT_TRUE(silent(out)) << "every device output of that block is cleared";
        EXPECT_EQ(engine->getPendingSafetyStop(), safetyStopNonFiniteOutput);
        EXPECT_FALSE(engine->isRunning());
        EXPECT_TRUE(engine->isMasterMuted());
        EXPECT_EQ(engine->getOutputMeter(1).peakDb, -120.0);
    }
}

TEST_F(SafetyStopTest, SustainedDcStopsAfterAQuarterSecondNotBefore)
{
    start(oneChannel());
    // Where the guard's 100 ms smoother has held 0.2 or more for 0.25 s.
    OutputSignalGuard reference;
    reference.prepare(48000.0);
    // The input's own 20 ms fade-in comes before the guard.
    const float channelStep = static_cast<float>(1.0 / (0.02 * 48000.0));
    float fade = 0.0f;
    int tripSample = -1;
    for (int i = 0; i < 48000 && tripSample < 0; ++i)
    {
        fade = std::min(fade + channelStep, 1.0f);
        const float x = 0.5f * fade;
        if (reference.process(&x, 1) == 2)
            tripSample = i;
    }
    ASSERT_GT(tripSample, 12000);
    const int tripBlock = tripSample / 256;

    process({ constant(0.5f, tripBlock * 256) }, tripBlock * 256);
    EXPECT_EQ(engine->getPendingSafetyStop(), 0);
    EXPECT_TRUE(engine->isRunning());
    const auto out = process({ constant(0.5f, 256) }, 256);
    EXPECT_EQ(engine->getPendingSafetyStop(), safetyStopSustainedDc);
    EXPECT_TRUE(silent(out));
}

TEST_F(SafetyStopTest, MissedDeadlineStopsOnTheClockNotTheMachine)
{
    SteppingClock clock;
    engine->setClock(&clock);
    start(oneChannel());
    const double blockSeconds = 256.0 / 48000.0;

    clock.setStep(blockSeconds * 0.99);
    process({ alternating(0.5f, 2560) }, 2560);
    EXPECT_TRUE(engine->isRunning());
    EXPECT_NEAR(engine->getDspLoad().callbackTimeMs, blockSeconds * 990.0, 1e-9);
    EXPECT_GT(engine->getDspLoad().loadPercent, 10.0);

    clock.setStep(blockSeconds * 1.001);
    const auto out = process({ alternating(0.5f, 256) }, 256);
    EXPECT_TRUE(silent(out));
    EXPECT_EQ(engine->getPendingSafetyStop(), safetyStopDeadlineMissed);
    EXPECT_EQ(engine->getDspLoad().deadlineMisses, 1);
    EXPECT_NEAR(engine->getDspLoad().loadPercent, 100.1, 1e-3);
    engine->setClock(&fastClock);
}

TEST_F(SafetyStopTest, BlockLongerThanTheScratchIsAnUnsupportedFormat)
{
    start(oneChannel());
    std::vector<float> in(2048, 0.25f);
    std::vector<std::vector<float>> outs(4, std::vector<float>(2048, 0.7f));
    std::vector<const float*> inPointers(4, in.data());
    std::vector<float*> outPointers;
    for (auto& o : outs)
        outPointers.push_back(o.data());
    ASSERT_TRUE(device->processBlock(inPointers.data(), outPointers.data(), 2048));
    EXPECT_EQ(engine->getPendingSafetyStop(), safetyStopUnsupportedFormat);
    EXPECT_TRUE(silent(outs));
}

TEST_F(SafetyStopTest, DeviceEventsWhileRunning)
{
    struct Case
    {
        const char* name;
        std::function<void(TestAudioDevice&)> event;
        int code;
        const char* statusWord;
    };
    const Case cases[] = {
        { "stop", [](TestAudioDevice& d) { d.simulateStop(); }, safetyStopDeviceStopped, "Stopped" },
        { "error", [](TestAudioDevice& d) { d.simulateError("The cable fell out."); }, safetyStopDeviceError, "Error" },
        { "restart at another rate replaces the stop", [](TestAudioDevice& d) { d.simulateRestart(44100.0, 256); },
          safetyStopSampleRateChanged, "Active" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        createEngine();
        start(oneChannel());
        process({ alternating(0.5f, 1024) }, 1024);
        c.event(*device);
        EXPECT_EQ(engine->getPendingSafetyStop(), c.code);
        EXPECT_FALSE(engine->isRunning());
        EXPECT_TRUE(engine->isMasterMuted());
        EXPECT_EQ(engine->getProcessingStatus().status, c.statusWord);
    }
}

TEST_F(SafetyStopTest, RestartAtTheSameRateIsNoRateChange)
{
    start(oneChannel());
    device->simulateRestart(48000.0, 512);
    EXPECT_EQ(engine->getPendingSafetyStop(), safetyStopDeviceStopped);
    EXPECT_EQ(engine->getBufferSize(), 512);
}

TEST_F(SafetyStopTest, FirstCauseWinsUntilTaken)
{
    start(oneChannel());
    process({ alternating(0.5f, 1024) }, 1024);
    auto x = alternating(0.5f, 256);
    x[3] = std::numeric_limits<float>::quiet_NaN();
    process({ x }, 256);
    device->simulateError("later");
    device->simulateRestart(96000.0, 256);
    EXPECT_EQ(engine->getPendingSafetyStop(), safetyStopNonFiniteOutput);

    EXPECT_EQ(engine->takeSafetyStop(), safetyStopNonFiniteOutput);
    EXPECT_EQ(engine->getPendingSafetyStop(), 0);
    EXPECT_TRUE(engine->getSettings().masterMute);
}

TEST_F(SafetyStopTest, RunDoesNotClearMasterMute)
{
    start(oneChannel());
    process({ alternating(0.5f, 1024) }, 1024);
    device->simulateError("glitch");
    ASSERT_FALSE(engine->isRunning());
    const auto revision = engine->getSettingsRevision();
    EXPECT_EQ(engine->takeSafetyStop(), safetyStopDeviceError);
    EXPECT_GT(engine->getSettingsRevision(), revision);

    run();
    EXPECT_TRUE(engine->isMasterMuted());
    auto out = process({ alternating(0.5f, 4096) }, 4096);
    EXPECT_TRUE(silent(out));

    engine->setMasterMute(false);
    out = process({ alternating(0.5f, 4096) }, 4096);
    EXPECT_NEAR(std::abs(out[0].back()), 0.5f, 1e-6);
}

TEST_F(SafetyStopTest, EveryCodeHasItsMessage)
{
    EXPECT_EQ(AudioEngine::safetyStopMessage(1), "Safety stop: The audio device was disconnected or stopped. Master Mute is on. Check the device, then press Run manually.");
    EXPECT_EQ(AudioEngine::safetyStopMessage(3), "Safety stop: The audio device sample rate changed. Master Mute is on. Check the FIR sample rates, then press Run manually.");
    EXPECT_EQ(AudioEngine::safetyStopMessage(6), "Safety stop: DSP processing exceeded the audio buffer deadline. Master Mute is on. Increase the buffer size, then press Run manually.");
    EXPECT_EQ(AudioEngine::safetyStopMessage(8), "Safety stop: A sustained DC offset was detected at a DSP output. Master Mute is on. Check the signal source and filters, then press Run manually.");
    for (int code = 1; code <= 8; ++code)
        EXPECT_EQ(AudioEngine::safetyStopMessage(code).rfind("Safety stop: ", 0), 0u) << code;
    EXPECT_TRUE(AudioEngine::safetyStopMessage(0).empty());
}

TEST_F(SafetyStopTest, RunRefusals)
{
    std::string error;
    // No device at all: the format check comes first.
    EXPECT_FALSE(engine->setRunning(true, error));
    EXPECT_EQ(error, "Select a 44.1, 48, or 96 kHz device with a 32\xe2\x80\x93" "1024 sample buffer.");

    openDevice(88200.0, 256);
    EXPECT_EQ(engine->getProcessingStatus().status, "Error");
    EXPECT_FALSE(engine->setRunning(true, error));
    EXPECT_EQ(error, "Only 44.1, 48, or 96 kHz and 32\xe2\x80\x93" "1024 sample buffers are supported.");

    openDevice(48000.0, 256);
    EXPECT_EQ(engine->getProcessingStatus().status, "Active");
    EXPECT_EQ(engine->getProcessingStatus().detail, "Started Test Device at 48000 Hz / 256 samples.");
    EXPECT_FALSE(engine->setRunning(true, error));
    EXPECT_EQ(error, "Add an Input, Output, or DSP Block before starting DSP.");

    Graph g = oneChannel();
    g.settings.outputs[0].insertedModules.push_back({});
    apply(g);
    EXPECT_FALSE(engine->setRunning(true, error));
    EXPECT_EQ(error, "Cannot start DSP because OUT1 contains an empty Choose Module slot. Choose a module type or delete the empty module.");

    Graph fir = oneChannel();
    fir.block("node1", ProcessingModuleKind::firFilter).wire("in1", "node1");
    apply(fir);
    // Loaded while the device ran at 44.1 kHz: blocks Run at 48 kHz.
    engine->applyParameterEdit([](AppSettings& s) {
        s.nodes[2].processor.fir.fileName = "room.txt";
        s.nodes[2].processor.fir.sampleRateHz = 44100;
    });
    EXPECT_FALSE(engine->setRunning(true, error));
    EXPECT_EQ(error, "The FIR design sample rate does not match the audio device sample rate.");
}

TEST_F(SafetyStopTest, AudioSetupChangeWhileRunningStopsWithoutASafetyStop)
{
    start(oneChannel());
    process({ alternating(0.5f, 1024) }, 1024);
    openDevice(96000.0, 128);
    EXPECT_FALSE(engine->isRunning());
    EXPECT_TRUE(engine->isMasterMuted());
    EXPECT_EQ(engine->getPendingSafetyStop(), 0);
    EXPECT_EQ(engine->getSampleRate(), 96000.0);
    EXPECT_EQ(engine->getBufferSize(), 128);
}

TEST_F(SafetyStopTest, AudioSetupRefusals)
{
    std::string error;
    const auto setup = [](const char* type, const char* in, const char* out, double rate, int buffer) {
        juce::DynamicObject::Ptr o = new juce::DynamicObject();
        o->setProperty("type", type);
        o->setProperty("inputDeviceName", in);
        o->setProperty("outputDeviceName", out);
        o->setProperty("sampleRate", rate);
        o->setProperty("bufferSize", buffer);
        return juce::var(o.get());
    };
    EXPECT_FALSE(engine->setAudioSetup({}, error));
    EXPECT_EQ(error, "Invalid audio setup.");
    EXPECT_FALSE(engine->setAudioSetup(setup("Test", "Test Device", "Test Device", 22050, 256), error));
    EXPECT_EQ(error, "Choose input/output devices, 44.1, 48, or 96 kHz, and a 32\xe2\x80\x93" "1024 sample buffer.");
    EXPECT_FALSE(engine->setAudioSetup(setup("Test", "Test Device", "Test Device", 48000, 2048), error));
    EXPECT_FALSE(engine->setAudioSetup(setup("Nope", "Test Device", "Test Device", 48000, 256), error));
    EXPECT_EQ(error, "The selected audio driver is not available.");
    EXPECT_FALSE(engine->setAudioSetup(setup("Test", "Computer Audio", "Test Device", 48000, 256), error));
    EXPECT_EQ(error, "Computer Audio is not available with the selected audio driver.");
    EXPECT_FALSE(engine->setAudioSetup(setup("Test", "Other", "Test Device", 48000, 256), error));
    EXPECT_EQ(error, "The selected audio driver requires one device for both input and output.");
    // As a JSON string.
    EXPECT_TRUE(engine->setAudioSetup(juce::JSON::toString(setup("Test", "Test Device", "Test Device", 44100, 64)), error)) << error;
    EXPECT_EQ(engine->getSampleRate(), 44100.0);
}

TEST_F(SafetyStopTest, AudioSetupJsonListsDriversDevicesAndChannels)
{
    openDevice();
    const auto json = engine->audioSetupJson();
    EXPECT_EQ(json["currentType"].toString(), "Test");
    EXPECT_EQ(json["inputDeviceName"].toString(), "Test Device");
    EXPECT_EQ(static_cast<double>(json["sampleRate"]), 48000.0);
    EXPECT_EQ(static_cast<int>(json["bufferSize"]), 256);
    const auto* types = json["types"].getArray();
    ASSERT_NE(types, nullptr);
    ASSERT_EQ(types->size(), 1);
    const auto& type = types->getReference(0);
    EXPECT_EQ(type["name"].toString(), "Test");
    EXPECT_FALSE(static_cast<bool>(type["separateInputsAndOutputs"]));
    EXPECT_FALSE(static_cast<bool>(type["computerAudioAvailable"]));
    EXPECT_EQ(type["inputDevices"][0].toString(), "Test Device");
    EXPECT_EQ(static_cast<int>(type["inputDeviceChannelCounts"][0]), 4);
    EXPECT_EQ(static_cast<int>(type["outputDeviceChannelCounts"][0]), 4);
}

TEST_F(SafetyStopTest, SeparateDriverOffersComputerAudioWhichCannotStartHere)
{
    TestDeviceConfig config = defaultConfig();
    createEngine(config, true);
    const auto json = engine->audioSetupJson();
    const auto& type = json["types"][0];
    EXPECT_TRUE(static_cast<bool>(type["computerAudioAvailable"]));
    EXPECT_EQ(type["inputDevices"][1].toString(), "Computer Audio");
    EXPECT_EQ(static_cast<int>(type["inputDeviceChannelCounts"][1]), 2);

    juce::DynamicObject::Ptr o = new juce::DynamicObject();
    o->setProperty("type", "Test");
    o->setProperty("inputDeviceName", "Computer Audio");
    o->setProperty("outputDeviceName", "Test Device");
    o->setProperty("sampleRate", 48000);
    o->setProperty("bufferSize", 256);
    std::string error;
    EXPECT_FALSE(engine->setAudioSetup(juce::var(o.get()), error));
    EXPECT_EQ(error, "Computer Audio capture is not available on this system.");
    EXPECT_FALSE(engine->isComputerAudioInput());
}

TEST_F(SafetyStopTest, DeviceStateCarriesTheComputerAudioFlag)
{
    ASSERT_TRUE(engine->openAudioDevice(nullptr).isEmpty());
    EXPECT_EQ(engine->getPendingSafetyStop(), 0) << "opening is no safety stop";
    EXPECT_EQ(engine->getSampleRate(), 48000.0);
    EXPECT_EQ(engine->getBufferSize(), 256);
    auto* open = engine->getDeviceManager().getCurrentAudioDevice();
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->getActiveInputChannels().countNumberOfSetBits(), 4);
    EXPECT_EQ(open->getActiveOutputChannels().countNumberOfSetBits(), 4);
    const auto state = engine->createAudioDeviceState();
    ASSERT_NE(state, nullptr);
    EXPECT_TRUE(state->hasAttribute("computerAudioInput"));
    EXPECT_FALSE(state->getBoolAttribute("computerAudioInput"));
}
} // namespace speaker::test
