// Corvana: one main window showing the page in the platform web view.

#include "engine/AudioEngine.h"
#include "ui/BridgeServer.h"
#include "ui/WebUIComponent.h"

#include <juce_gui_extra/juce_gui_extra.h>

#include <csignal>

namespace juce
{
// The web view's helper process runs this same executable with a flag.
int juce_gtkWebkitMain(int argc, const char* argv[]);
} // namespace juce

namespace speaker
{
namespace
{
class MainWindow final : public juce::DocumentWindow
{
public:
    explicit MainWindow(AudioEngine& engine)
        : juce::DocumentWindow("Corvana", juce::Colour(0xff101418), juce::DocumentWindow::allButtons)
    {
        setUsingNativeTitleBar(true);
        setContentOwned(new WebUIComponent(engine, {}, {}), false);
        setResizable(true, true);
        centreWithSize(1280, 800);
        setVisible(true);
    }

    void closeButtonPressed() override { juce::JUCEApplication::getInstance()->systemRequestedQuit(); }
};

class CorvanaApplication final : public juce::JUCEApplication
{
public:
    const juce::String getApplicationName() override { return "Corvana"; }
    const juce::String getApplicationVersion() override { return "0.1.0"; }
    bool moreThanOneInstanceAllowed() override { return true; }

    void initialise(const juce::String&) override
    {
        installDesktopBridgePlatform();
        engine = std::make_unique<AudioEngine>();
        engine->openAudioDevice(nullptr);
        if (! BridgeServer::instance().isListening())
        {
            juce::NativeMessageBox::showMessageBoxAsync(juce::MessageBoxIconType::WarningIcon, "Corvana",
                                                        juce::String(BridgeServer::instance().startError()));
        }
        window = std::make_unique<MainWindow>(*engine);
    }

    void shutdown() override
    {
        window.reset();
        BridgeServer::shutdown();
        if (engine)
        {
            std::string ignored;
            engine->setRunning(false, ignored);
        }
        engine.reset();
    }

    void systemRequestedQuit() override { quit(); }

private:
    std::unique_ptr<AudioEngine> engine;
    std::unique_ptr<MainWindow> window;
};

juce::JUCEApplicationBase* createApplication() { return new CorvanaApplication(); }
} // namespace
} // namespace speaker

int main(int argc, char* argv[])
{
    if (argc >= 2 && juce::String(argv[1]) == "--juce-gtkwebkitfork-child")
        return juce::juce_gtkWebkitMain(argc, const_cast<const char**>(argv));
    // A web view helper or a page going away mid-send must not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    juce::JUCEApplicationBase::createInstance = &speaker::createApplication;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char**>(argv));
}
