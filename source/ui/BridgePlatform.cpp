#include "ui/BridgePlatform.h"

#include <juce_events/juce_events.h>

namespace speaker
{
namespace
{
BridgePlatform makeDefault()
{
    auto clipboard = std::make_shared<juce::String>();
    BridgePlatform p;
    p.openFileDialog = [](const FileDialogRequest&, FileDialogResult result) -> std::unique_ptr<FileDialog> {
        // Without a desktop there is nobody to answer: the dialog is cancelled.
        juce::MessageManager::callAsync([result] { result(juce::File()); });
        return nullptr;
    };
    p.getClipboardText = [clipboard] { return *clipboard; };
    p.setClipboardText = [clipboard](const juce::String& text) { *clipboard = text; };
    p.quit = [] {
        if (auto* mm = juce::MessageManager::getInstanceWithoutCreating())
            mm->stopDispatchLoop();
    };
    return p;
}
} // namespace

BridgePlatform& bridgePlatform()
{
    static BridgePlatform platform = makeDefault();
    return platform;
}

void resetBridgePlatform() { bridgePlatform() = makeDefault(); }
} // namespace speaker
