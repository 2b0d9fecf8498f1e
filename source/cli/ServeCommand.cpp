// corvana-cli serve: the engine and the bridge without a window, for a
// processor box without a display reached through an SSH tunnel, and for the
// browser tests.

#include "engine/AudioEngine.h"
#include "engine/TestAudioDevice.h"
#include "model/ProjectDocument.h"
#include "ui/BridgePlatform.h"
#include "ui/BridgeServer.h"
#include "ui/WebUIBridge.h"

#include <juce_events/juce_events.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr const char* kTestDeviceName = "Corvana Test Device";

// The test device is driven by hand; here a thread drives it at the pace of
// its own format, with silence in, so that Run, meters and load behave.
class TestDeviceClock
{
public:
    explicit TestDeviceClock(speaker::AudioEngine& e) : engine(e) {}
    ~TestDeviceClock() { stop(); }

    void start()
    {
        thread = std::thread([this] {
            using clock = std::chrono::steady_clock;
            auto next = clock::now();
            std::vector<std::vector<float>> inputs(16), outputs(16);
            while (! quit.load())
            {
                auto* device = dynamic_cast<speaker::TestAudioDevice*>(engine.getDeviceManager().getCurrentAudioDevice());
                const int n = device != nullptr ? device->getCurrentBufferSizeSamples() : 256;
                const double rate = device != nullptr && device->getCurrentSampleRate() > 0 ? device->getCurrentSampleRate() : 48000.0;
                if (device != nullptr && device->isPlaying())
                {
                    std::vector<const float*> in;
                    std::vector<float*> out;
                    for (int c = 0; c < device->activeInputCount(); ++c)
                    {
                        inputs[static_cast<size_t>(c)].assign(static_cast<size_t>(n), 0.0f);
                        in.push_back(inputs[static_cast<size_t>(c)].data());
                    }
                    for (int c = 0; c < device->activeOutputCount(); ++c)
                    {
                        outputs[static_cast<size_t>(c)].assign(static_cast<size_t>(n), 0.0f);
                        out.push_back(outputs[static_cast<size_t>(c)].data());
                    }
                    device->processBlock(in.data(), out.data(), n);
                }
                next += std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(n / rate));
                if (next < clock::now() - std::chrono::milliseconds(100))
                    next = clock::now();
                std::this_thread::sleep_until(next);
            }
        });
    }

    void stop()
    {
        quit.store(true);
        if (thread.joinable())
            thread.join();
    }

private:
    speaker::AudioEngine& engine;
    std::atomic<bool> quit { false };
    std::thread thread;
};

bool openTestDevice(speaker::AudioEngine& engine, std::string& error)
{
    speaker::TestDeviceConfig config;
    config.name = kTestDeviceName;
    config.inputChannels = 8;
    config.outputChannels = 8;
    engine.getDeviceManager().addAudioDeviceType(
        std::make_unique<speaker::TestAudioDeviceType>(std::vector<speaker::TestDeviceConfig> { config }));
    juce::DynamicObject::Ptr setup = new juce::DynamicObject();
    setup->setProperty("type", speaker::TestAudioDeviceType::kDefaultTypeName);
    setup->setProperty("inputDeviceName", kTestDeviceName);
    setup->setProperty("outputDeviceName", kTestDeviceName);
    setup->setProperty("sampleRate", 48000);
    setup->setProperty("bufferSize", 256);
    return engine.setAudioSetup(juce::var(setup.get()), error);
}
} // namespace

int runServe(const std::vector<std::string>& args)
{
    // Ctrl-C and SIGTERM are taken by one thread that stops the message loop;
    // every other thread inherits the blocked mask. A page or web view going
    // away in the middle of a send must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    int status = 0;
    {
        auto* mm = juce::MessageManager::getInstance();
        mm->setCurrentThreadAsMessageThread();

        speaker::AudioEngine engine;
        // A real device when one opens (JACK or ALSA); otherwise the test device,
        // so a box or a test machine without audio still runs the whole path.
        const auto deviceError = engine.openAudioDevice(nullptr);
        std::unique_ptr<TestDeviceClock> testClock;
        if (deviceError.isNotEmpty() || engine.getDeviceManager().getCurrentAudioDevice() == nullptr)
        {
            std::string error;
            if (! openTestDevice(engine, error))
            {
                std::cerr << "No audio device could be opened: " << error << '\n';
                return 1;
            }
            testClock = std::make_unique<TestDeviceClock>(engine);
            testClock->start();
            std::cerr << "No audio device is available; using the test device.\n";
        }

        if (! speaker::BridgeServer::instance().isListening())
        {
            std::cerr << speaker::BridgeServer::instance().startError() << '\n';
            return 1;
        }

        auto bridge = std::make_unique<speaker::WebUIBridge>(engine, juce::String(), speaker::WindowCallbacks {},
                                                             [] { return true; }, [] { return true; });
        if (! args.empty())
        {
            const auto file = juce::File::getCurrentWorkingDirectory().getChildFile(juce::String(args[0]));
            std::string error;
            speaker::AppSettings ignored;
            if (! file.existsAsFile() || ! bridge->openProjectFile(file))
            {
                if (! file.existsAsFile())
                    std::cerr << "The project file does not exist.\n";
                else if (! speaker::readProjectFile(file, ignored, error))
                    std::cerr << error << '\n';
                else
                    std::cerr << "The project could not be opened.\n";
                status = 1;
            }
        }

        if (status == 0)
        {
            std::cout << bridge->startUrl() << std::endl;
            std::thread signalWaiter([&stopSignals] {
                int signal = 0;
                sigwait(&stopSignals, &signal);
                if (auto* m = juce::MessageManager::getInstanceWithoutCreating())
                    m->stopDispatchLoop();
            });
            mm->runDispatchLoop();
            // A quit that came from the page: wake the waiter.
            pthread_kill(signalWaiter.native_handle(), SIGTERM);
            signalWaiter.join();
        }

        std::string ignoredError;
        engine.setRunning(false, ignoredError);
        bridge.reset();
        speaker::BridgeServer::shutdown();
        if (testClock)
            testClock->stop();
        engine.getDeviceManager().closeAudioDevice();
    }
    juce::MessageManager::deleteInstance();
    return status;
}
