#include "ui/WebUIComponent.h"

namespace speaker
{
WebUIComponent::WebUIComponent(AudioEngine& engine, juce::String moduleId, WindowCallbacks callbacks)
{
    browser = std::make_unique<juce::WebBrowserComponent>();
    auto* view = browser.get();
    bridge = std::make_unique<WebUIBridge>(
        engine, std::move(moduleId), std::move(callbacks), [view] { return view->isVisible(); },
        [this] { return isShowing(); });
    browser->setVisible(true);
    addAndMakeVisible(*browser);
    browser->goToURL(bridge->startUrl());
}

WebUIComponent::~WebUIComponent()
{
    // The bridge stops its timer and jobs first; then the web view goes.
    bridge.reset();
    browser.reset();
}

void WebUIComponent::resized()
{
    if (browser)
        browser->setBounds(getLocalBounds());
}

namespace
{
class ChooserDialog final : public FileDialog
{
public:
    ChooserDialog(const FileDialogRequest& request, FileDialogResult result)
        : chooser(request.title, request.start, request.patterns)
    {
        auto flags = request.save ? juce::FileBrowserComponent::saveMode | juce::FileBrowserComponent::warnAboutOverwriting
                                  : juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectFiles;
        chooser.launchAsync(flags, [result](const juce::FileChooser& c) { result(c.getResult()); });
    }

private:
    juce::FileChooser chooser;
};
} // namespace

void installDesktopBridgePlatform()
{
    auto& p = bridgePlatform();
    p.openFileDialog = [](const FileDialogRequest& request, FileDialogResult result) -> std::unique_ptr<FileDialog> {
        return std::make_unique<ChooserDialog>(request, std::move(result));
    };
    p.getClipboardText = [] { return juce::SystemClipboard::getTextFromClipboard(); };
    p.setClipboardText = [](const juce::String& text) { juce::SystemClipboard::copyTextToClipboard(text); };
    p.quit = [] {
        if (auto* app = juce::JUCEApplicationBase::getInstance())
            app->quit();
    };
}
} // namespace speaker
