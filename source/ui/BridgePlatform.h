#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

namespace speaker
{
struct FileDialogRequest
{
    juce::String title;
    juce::File start;
    juce::String patterns;
    bool save = false;
};

// An open dialog; destroying it closes it without an answer.
class FileDialog
{
public:
    virtual ~FileDialog() = default;
};

// The chosen file, or juce::File() when the dialog was cancelled.
using FileDialogResult = std::function<void(const juce::File&)>;

// What the bridge needs from the platform: file dialogs, the clipboard and
// quitting. The application installs the desktop's; serve and the tests
// install their own.
struct BridgePlatform
{
    std::function<std::unique_ptr<FileDialog>(const FileDialogRequest&, FileDialogResult)> openFileDialog;
    std::function<juce::String()> getClipboardText;
    std::function<void(const juce::String&)> setClipboardText;
    std::function<void()> quit;
};

// Process-wide. Starts with dialogs that cancel, a clipboard inside the
// process and a quit that stops the message loop.
BridgePlatform& bridgePlatform();
void resetBridgePlatform();
} // namespace speaker
