#pragma once

#include "ui/WebUIBridge.h"

#include <juce_gui_extra/juce_gui_extra.h>

namespace speaker
{
// One window's page: the platform web view showing the page from the bridge.
class WebUIComponent final : public juce::Component
{
public:
    WebUIComponent(AudioEngine& engine, juce::String moduleId, WindowCallbacks callbacks);
    ~WebUIComponent() override;

    WebUIBridge& getBridge() noexcept { return *bridge; }

    void emitError(const juce::String& message) { bridge->emitError(message); }
    void emitConfirmationRequest(const juce::String& kind) { bridge->emitConfirmationRequest(kind); }
    void emitMenuCommand(const juce::String& command) { bridge->emitMenuCommand(command); }
    void emitWorkspaceState(const juce::String& json) { bridge->emitWorkspaceState(json); }
    bool openProjectFile(const juce::File& file) { return bridge->openProjectFile(file); }

    void resized() override;

private:
    // Declared first, destroyed last: the bridge outlives the web view's page.
    std::unique_ptr<WebUIBridge> bridge;
    std::unique_ptr<juce::WebBrowserComponent> browser;
};

// File dialogs through juce::FileChooser, the system clipboard and quitting
// the application: what the desktop gives the bridge.
void installDesktopBridgePlatform();
} // namespace speaker
