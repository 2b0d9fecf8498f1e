// Under Xvfb: the embedded web view loads the page, the page connects through
// the served backend and calls getState. Exits 0 when it did, 1 on time-out.

#include "engine/AudioEngine.h"
#include "ui/BridgeServer.h"
#include "ui/WebUIComponent.h"

#include <juce_gui_extra/juce_gui_extra.h>

#include <csignal>
#include <iostream>

namespace juce
{
int juce_gtkWebkitMain(int argc, const char* argv[]);
}

namespace
{
class CheckApplication final : public juce::JUCEApplication, private juce::Timer
{
public:
    const juce::String getApplicationName() override { return "Corvana web view check"; }
    const juce::String getApplicationVersion() override { return "0"; }
    bool moreThanOneInstanceAllowed() override { return true; }

    void initialise(const juce::String&) override
    {
        engine = std::make_unique<speaker::AudioEngine>();
        window = std::make_unique<juce::DocumentWindow>("Corvana", juce::Colours::black, 0);
        view = new speaker::WebUIComponent(*engine, {}, {});
        window->setContentOwned(view, false);
        window->centreWithSize(900, 600);
        window->setVisible(true);
        started = juce::Time::getMillisecondCounterHiRes();
        startTimer(50);
    }

    void shutdown() override
    {
        window.reset();
        speaker::BridgeServer::shutdown();
        engine.reset();
    }

private:
    void timerCallback() override
    {
        auto& bridge = view->getBridge();
        const bool connected = speaker::BridgeServer::instance().connectionCount(bridge.getWindowId()) > 0;
        if (connected && bridge.getCallCount("getState") > 0)
        {
            std::cout << "The page connected and called getState after "
                      << juce::roundToInt(juce::Time::getMillisecondCounterHiRes() - started) << " ms." << std::endl;
            stopTimer();
            setApplicationReturnValue(0);
            quit();
        }
        else if (juce::Time::getMillisecondCounterHiRes() - started > 90000.0)
        {
            std::cout << "The page did not call getState (connected: " << connected << ")." << std::endl;
            stopTimer();
            setApplicationReturnValue(1);
            quit();
        }
    }

    std::unique_ptr<speaker::AudioEngine> engine;
    std::unique_ptr<juce::DocumentWindow> window;
    speaker::WebUIComponent* view = nullptr;
    double started = 0.0;
};

juce::JUCEApplicationBase* create() { return new CheckApplication(); }
} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 2 && juce::String(argv[1]) == "--juce-gtkwebkitfork-child")
        return juce::juce_gtkWebkitMain(argc, const_cast<const char**>(argv));
    std::signal(SIGPIPE, SIG_IGN);
    juce::JUCEApplicationBase::createInstance = &create;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
