#pragma once

#include "ui/BridgePlatform.h"
#include "ui/BridgeServer.h"

#include <juce_events/juce_events.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace speaker
{
class AudioEngine;

// The ten callbacks of the window manager, each optional.
struct WindowCallbacks
{
    std::function<void(const juce::String&)> openModule;
    std::function<void()> openAudioSettings;
    std::function<bool()> getMinimizeToTray;
    std::function<void(bool)> setMinimizeToTray;
    std::function<void(const juce::File&)> noteRecentProject;
    std::function<std::vector<juce::File>()> getRecentProjects;
    std::function<bool(const juce::File&)> openRecentProject;
    std::function<void()> clearRecentProjects;
    std::function<juce::String()> getWorkspaceState;
    std::function<void(const juce::String&, const juce::var&)> setWorkspaceState;
};

// Calls its function exactly once: explicitly, or with the failure value when
// the last copy goes away uncalled. Delivery happens on the message thread.
class NativeCompletion
{
public:
    NativeCompletion() = default;
    NativeCompletion(std::function<void(const juce::var&)> deliver, juce::var fallback);
    void operator()(const juce::var& result) const;
    bool isDone() const;

private:
    struct State;
    std::shared_ptr<State> state;
};

// What a window shows the page: the resource provider, the native functions,
// telemetry and events. WebUIComponent puts it behind a web view; serve runs it
// without one. Message thread only.
class WebUIBridge final : public BridgeEndpoint, private juce::Timer
{
public:
    using Args = juce::Array<juce::var>;
    using NativeFunction = std::function<void(const Args&, NativeCompletion)>;

    // isWebViewVisible gates every emission; isShowing drives the telemetry rate.
    WebUIBridge(AudioEngine& engine, juce::String moduleId, WindowCallbacks callbacks,
                std::function<bool()> isWebViewVisible, std::function<bool()> isShowing);
    ~WebUIBridge() override;

    const juce::String& getModuleId() const noexcept { return moduleId; }
    const std::string& getWindowId() const noexcept { return windowId; }
    // The window's address with "?ui=" and, for a module window, "&module=".
    juce::String startUrl() const;

    void emitEvent(const juce::String& name, const juce::var& payload);
    void emitError(const juce::String& message);
    void emitConfirmationRequest(const juce::String& kind);
    void emitMenuCommand(const juce::String& command);
    void emitWorkspaceState(const juce::String& json);
    void emitHelpPage(const juce::String& page);

    // Reports a failure message unless it is a lock hint ("Unlock ...").
    void reportFailure(const std::string& message);

    bool openProjectFile(const juce::File& file);
    bool saveProjectToFile(juce::File file);
    const juce::String& getCurrentProjectFile() const noexcept { return currentProjectFile; }

    // Calls a native function as the page would; `onResult` gets the result.
    // Unknown names answer undefined.
    void invoke(const juce::String& name, const Args& args, std::function<void(const juce::var&)> onResult);
    static const std::vector<const char*>& nativeFunctionNames();
    // How often the pages called a function (for the host's own checks).
    int getCallCount(const juce::String& name) const;

    int getRunningRateHz() const noexcept { return runningRateHz; }
    int getCurrentRateHz() const noexcept { return currentRateHz; }
    // One telemetry tick, as the timer runs it.
    void tick();
    juce::var telemetry() const;

    // Every live bridge, in creation order.
    static const std::vector<WebUIBridge*>& analyzerResultListeners();
    static juce::String uiResourceVersion();
    static std::optional<BridgeResource> resourceForPath(const std::string& path);

    void bridgeMessageReceived(const std::string& text) override;

    // Analyzer process-wide cache (fingerprint, result text), oldest first.
    static std::vector<std::pair<std::string, std::string>> analyzerCacheEntries();
    static void clearAnalyzerCache();
    static constexpr std::size_t kAnalyzerCacheSize = 12;

private:
    struct Analyzer;
    void timerCallback() override;
    void registerFunctions();
    void add(const char* name, NativeFunction function);
    void openDialog(const FileDialogRequest& request, std::function<void(WebUIBridge&, const juce::File&)> chosen,
                    NativeCompletion completion);
    std::function<void(const juce::var&)> deliverTo(juce::int64 resultId);

    AudioEngine& engine;
    juce::String moduleId;
    WindowCallbacks callbacks;
    std::function<bool()> isWebViewVisible;
    std::function<bool()> isShowing;
    std::vector<std::pair<juce::String, NativeFunction>> functions;
    std::unique_ptr<juce::ThreadPool> analyzerPool;
    std::shared_ptr<std::atomic<std::uint64_t>> analysisGeneration;
    int runningRateHz = 2;
    int currentRateHz = 0;
    std::unique_ptr<FileDialog> activeChooser;
    NativeCompletion activeChooserCompletion;
    juce::String currentProjectFile;
    std::string windowId;
    std::map<juce::String, int> callCounts;

    JUCE_DECLARE_WEAK_REFERENCEABLE(WebUIBridge)
};
} // namespace speaker
