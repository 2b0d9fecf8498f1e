#include "ui/WebUIBridge.h"

#include "analyzer/AnalyzerFft.h"
#include "analyzer/GraphAnalyzer.h"
#include "engine/AudioEngine.h"
#include "engine/UndoLabels.h"
#include "model/FirFile.h"
#include "model/ProjectDocument.h"
#include "model/ProjectFile.h"
#include "ui/BridgeProtocol.h"

#include <VelmoraResources.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <cmath>
#include <mutex>

namespace speaker
{
//==============================================================================
struct NativeCompletion::State
{
    std::function<void(const juce::var&)> deliver;
    juce::var fallback;
    std::atomic<bool> done { false };

    void fire(const juce::var& value)
    {
        if (done.exchange(true) || ! deliver)
            return;
        if (juce::MessageManager::existsAndIsCurrentThread())
            deliver(value);
        else
            juce::MessageManager::callAsync([d = deliver, value] { d(value); });
    }

    ~State() { fire(fallback); }
};

NativeCompletion::NativeCompletion(std::function<void(const juce::var&)> deliver, juce::var fallback)
    : state(std::make_shared<State>())
{
    state->deliver = std::move(deliver);
    state->fallback = std::move(fallback);
}

void NativeCompletion::operator()(const juce::var& result) const
{
    if (state)
        state->fire(result);
}

bool NativeCompletion::isDone() const { return state == nullptr || state->done.load(); }

//==============================================================================
namespace
{
std::vector<WebUIBridge*>& liveBridges()
{
    static std::vector<WebUIBridge*> list;
    return list;
}

std::mutex analyzerCacheLock;
std::vector<std::pair<std::string, std::string>>& analyzerCache()
{
    static std::vector<std::pair<std::string, std::string>> entries;
    return entries;
}

constexpr juce::int64 kMaxTraceBytes = 33554432;
constexpr std::size_t kMaxExportBytes = 67108864;
constexpr std::size_t kMaxPngBase64Bytes = 134217728;

using Args = WebUIBridge::Args;

juce::var arg(const Args& a, int i) { return i < a.size() ? a.getReference(i) : juce::var(); }
bool has(const Args& a, int i) { return i < a.size(); }
juce::String text(const Args& a, int i, const juce::String& fallback = {})
{
    return has(a, i) ? a.getReference(i).toString() : fallback;
}
int integer(const Args& a, int i, int fallback = 0) { return has(a, i) ? static_cast<int>(a.getReference(i)) : fallback; }
double number(const Args& a, int i, double fallback = 0.0)
{
    return has(a, i) ? static_cast<double>(a.getReference(i)) : fallback;
}
bool boolean(const Args& a, int i, bool fallback = false)
{
    return has(a, i) ? static_cast<bool>(a.getReference(i)) : fallback;
}
std::vector<std::string> idList(const Args& a, int i)
{
    std::vector<std::string> ids;
    if (const auto* array = arg(a, i).getArray())
        for (const auto& v : *array)
            ids.push_back(v.toString().toStdString());
    return ids;
}

juce::String jsonText(const juce::var& value) { return juce::JSON::toString(value, true); }

juce::var object(std::initializer_list<std::pair<const char*, juce::var>> fields)
{
    auto o = std::make_unique<juce::DynamicObject>();
    for (const auto& [k, v] : fields)
        o->setProperty(k, v);
    return juce::var(o.release());
}

// Stores the page's Analyzer workspace when it differs; not an undo step.
bool hasProjectExtension(const juce::File& f) { return f.getFileExtension().equalsIgnoreCase(".corv"); }

std::string fileStem(const juce::File& f) { return f.getFileNameWithoutExtension().toStdString(); }

juce::String legalName(const juce::String& suggested) { return juce::File::createLegalFileName(suggested.trim()); }

bool writeBytesAtomically(const juce::File& destination, const void* data, size_t size)
{
    juce::TemporaryFile temp(destination);
    {
        juce::FileOutputStream out(temp.getFile());
        if (! out.openedOk() || ! out.write(data, size))
            return false;
        out.flush();
        if (out.getStatus().failed())
            return false;
    }
    return temp.overwriteTargetFileWithTemporary();
}

// Standard Base64 with "=" padding; anything else is refused.
bool decodeBase64(const juce::String& textIn, juce::MemoryBlock& out)
{
    const auto utf8 = textIn.toStdString();
    if (utf8.size() % 4 != 0)
        return false;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string bytes;
    bytes.reserve(utf8.size() / 4 * 3);
    for (size_t i = 0; i < utf8.size(); i += 4)
    {
        const bool last = i + 4 == utf8.size();
        int v[4];
        int pads = 0;
        for (int k = 0; k < 4; ++k)
        {
            const char c = utf8[i + static_cast<size_t>(k)];
            if (c == '=' && last && k >= 2)
            {
                ++pads;
                v[k] = 0;
                continue;
            }
            if (pads > 0)
                return false;
            v[k] = value(c);
            if (v[k] < 0)
                return false;
        }
        const auto triple = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        bytes += static_cast<char>((triple >> 16) & 0xff);
        if (pads < 2)
            bytes += static_cast<char>((triple >> 8) & 0xff);
        if (pads < 1)
            bytes += static_cast<char>(triple & 0xff);
    }
    out.replaceAll(bytes.data(), bytes.size());
    return true;
}

bool looksLikePng(const juce::MemoryBlock& bytes)
{
    static const unsigned char header[] = { 137, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 73, 72, 68, 82 };
    return bytes.getSize() >= 33 && std::memcmp(bytes.getData(), header, sizeof(header)) == 0;
}

const FirSettings* findFir(const AppSettings& p, const juce::String& scope, int channel, const juce::String& id)
{
    auto firOfModules = [&](const std::vector<InsertedModuleSettings>& modules) -> const FirSettings* {
        for (const auto& m : modules)
            if (m.id == id.toStdString() && m.kind == static_cast<int>(ProcessingModuleKind::firFilter))
                return &m.fir;
        return nullptr;
    };
    if (scope == "node")
    {
        const auto* node = findCanvasNode(p, id.toStdString());
        if (node != nullptr && node->kind == static_cast<int>(CanvasNodeKind::processor)
            && node->processor.kind == static_cast<int>(ProcessingModuleKind::firFilter))
            return &node->processor.fir;
        return nullptr;
    }
    if (channel < 0 || channel >= 16)
        return nullptr;
    if (scope == "input")
        return id == "fir" ? &p.inputs[static_cast<size_t>(channel)].fir
                           : firOfModules(p.inputs[static_cast<size_t>(channel)].insertedModules);
    return firOfModules(p.outputs[static_cast<size_t>(channel)].insertedModules);
}
} // namespace

//==============================================================================
struct WebUIBridge::Analyzer
{
    class WarmupJob final : public juce::ThreadPoolJob
    {
    public:
        WarmupJob() : juce::ThreadPoolJob("Corvana Analyzer warmup") {}
        JobStatus runJob() override
        {
            warmAnalyzerFftCache();
            return jobHasFinished;
        }
    };

    class Job final : public juce::ThreadPoolJob
    {
    public:
        Job(AppSettings p, std::string t, bool path, double rate, GraphAnalyzerOptions o, std::string key,
            std::uint64_t gen, std::shared_ptr<std::atomic<std::uint64_t>> counter,
            juce::WeakReference<WebUIBridge> owner, NativeCompletion done)
            : juce::ThreadPoolJob("Corvana Analyzer"), project(std::move(p)), target(std::move(t)), includePath(path),
              sampleRate(rate), options(std::move(o)), fingerprint(std::move(key)), generation(gen),
              generationCounter(std::move(counter)), window(std::move(owner)), completion(std::move(done))
        {
        }

        JobStatus runJob() override
        {
            auto stale = [this] { return shouldExit() || generationCounter->load() != generation; };
            juce::var result;
            try
            {
                result = analyzeCanvasGraph(project, target, includePath, sampleRate, options, stale);
            }
            catch (...)
            {
                result = object({ { "status", "error" }, { "message", "Analyzer could not complete this calculation." } });
            }
            const auto resultText = jsonText(result);
            const bool cached = ! stale() && result.getProperty("status", {}).toString() != "cancelled";
            if (cached)
                store(fingerprint, resultText.toStdString());
            juce::MessageManager::callAsync([w = window, done = completion, resultText, cached, key = fingerprint] {
                if (w.get() != nullptr)
                    done(resultText);
                if (cached)
                    for (auto* bridge : liveBridges())
                        bridge->emitEvent("analyzerResultChanged", juce::String(key));
            });
            completion = {};
            return jobHasFinished;
        }

    private:
        AppSettings project;
        std::string target;
        bool includePath;
        double sampleRate;
        GraphAnalyzerOptions options;
        std::string fingerprint;
        std::uint64_t generation;
        std::shared_ptr<std::atomic<std::uint64_t>> generationCounter;
        juce::WeakReference<WebUIBridge> window;
        NativeCompletion completion;
    };

    static void store(const std::string& key, std::string value)
    {
        const std::lock_guard guard(analyzerCacheLock);
        auto& entries = analyzerCache();
        entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == key; }),
                      entries.end());
        entries.emplace_back(key, std::move(value));
        while (entries.size() > kAnalyzerCacheSize)
            entries.erase(entries.begin());
    }

    static std::optional<std::string> lookup(const std::string& key)
    {
        const std::lock_guard guard(analyzerCacheLock);
        auto& entries = analyzerCache();
        const auto it = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == key; });
        if (it == entries.end())
            return std::nullopt;
        auto entry = std::move(*it);
        entries.erase(it);
        entries.push_back(std::move(entry));
        return entries.back().second;
    }
};

std::vector<std::pair<std::string, std::string>> WebUIBridge::analyzerCacheEntries()
{
    const std::lock_guard guard(analyzerCacheLock);
    return analyzerCache();
}

void WebUIBridge::clearAnalyzerCache()
{
    const std::lock_guard guard(analyzerCacheLock);
    analyzerCache().clear();
}

//==============================================================================
const std::vector<WebUIBridge*>& WebUIBridge::analyzerResultListeners() { return liveBridges(); }

juce::String WebUIBridge::uiResourceVersion()
{
    static const juce::String version = [] {
        std::uint64_t hash = 14695981039346656037ull;
        const auto* bytes = reinterpret_cast<const unsigned char*>(VelmoraResources::app_js);
        for (int i = 0; i < VelmoraResources::app_jsSize; ++i)
        {
            hash ^= bytes[i];
            hash *= 1099511628211ull;
        }
        return juce::String::toHexString(static_cast<juce::int64>(hash));
    }();
    return version;
}

std::optional<BridgeResource> WebUIBridge::resourceForPath(const std::string& requestPath)
{
    const auto path = requestPath.substr(0, requestPath.find('?'));
    auto endsWith = [&](const std::string& suffix) {
        return path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (path == "/" || path == "/index.html")
    {
        auto html = juce::String::fromUTF8(VelmoraResources::index_html, VelmoraResources::index_htmlSize);
        const auto tag = "?ui=" + uiResourceVersion();
        for (const char* ref : { "./assets/app.js", "./assets/app.css", "./app-icon.png" })
            html = html.replace(ref, juce::String(ref) + tag);
        return BridgeResource { html.toStdString(), "text/html" };
    }
    if (endsWith("/assets/app.js"))
        return BridgeResource { std::string(VelmoraResources::app_js, static_cast<size_t>(VelmoraResources::app_jsSize)),
                                "text/javascript" };
    if (endsWith("/assets/app.css"))
        return BridgeResource { std::string(VelmoraResources::app_css, static_cast<size_t>(VelmoraResources::app_cssSize)),
                                "text/css" };
    if (endsWith("/app-icon.png"))
        return BridgeResource {
            std::string(VelmoraResources::appicon_png, static_cast<size_t>(VelmoraResources::appicon_pngSize)), "image/png"
        };
    return std::nullopt;
}

//==============================================================================
WebUIBridge::WebUIBridge(AudioEngine& e, juce::String id, WindowCallbacks c, std::function<bool()> visible,
                         std::function<bool()> showing)
    : engine(e), moduleId(std::move(id)), callbacks(std::move(c)), isWebViewVisible(std::move(visible)),
      isShowing(std::move(showing))
{
    registerFunctions();
    analyzerPool = std::make_unique<juce::ThreadPool>(1, 0, juce::Thread::Priority::normal);
    analysisGeneration = std::make_shared<std::atomic<std::uint64_t>>(0);
    liveBridges().push_back(this);
    windowId = BridgeServer::instance().addWindow(*this, &WebUIBridge::resourceForPath);

    if (moduleId.isEmpty())
        analyzerPool->addJob(new Analyzer::WarmupJob(), true);

    const bool settingsWindow = moduleId == "audio-setup" || moduleId == "system-settings";
    if (moduleId.isEmpty()
        || (! moduleId.containsChar('.') && ! moduleId.startsWith("analyzer-graph:") && moduleId != "routing"
            && ! settingsWindow))
        runningRateHz = 30;
    else
        runningRateHz = moduleId.endsWith(".fir") || engine.moduleKindForId(moduleId.toStdString()) == "FIR Filter" ? 5 : 2;

    if (! settingsWindow)
    {
        currentRateHz = 2;
        startTimer(500);
    }
}

WebUIBridge::~WebUIBridge()
{
    stopTimer();
    auto& list = liveBridges();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    analysisGeneration->fetch_add(1);
    analyzerPool->removeAllJobs(true, 10000);
    BridgeServer::instance().removeWindow(windowId);
    activeChooser.reset();
    activeChooserCompletion(false);
    currentProjectFile = {};
    analyzerPool.reset();
}

juce::String WebUIBridge::startUrl() const
{
    auto url = juce::String(BridgeServer::instance().windowUrl(windowId)) + "?ui=" + uiResourceVersion();
    if (moduleId.isNotEmpty())
        url << "&module=" << moduleId;
    return url;
}

//==============================================================================
void WebUIBridge::emitEvent(const juce::String& name, const juce::var& payload)
{
    if (isWebViewVisible && ! isWebViewVisible())
        return;
    BridgeServer::instance().send(windowId, encodeBridgeMessage(name, payload));
}

void WebUIBridge::emitError(const juce::String& message) { emitEvent("nativeError", message); }
void WebUIBridge::emitConfirmationRequest(const juce::String& kind) { emitEvent("nativeConfirmation", kind); }
void WebUIBridge::emitMenuCommand(const juce::String& command) { emitEvent("nativeShortcut", command); }
void WebUIBridge::emitWorkspaceState(const juce::String& json) { emitEvent("workspaceChanged", json); }
void WebUIBridge::emitHelpPage(const juce::String& page) { emitEvent("helpPageChanged", page); }

void WebUIBridge::reportFailure(const std::string& message)
{
    if (message.empty())
        return;
    if (juce::String(message).substring(0, 7).equalsIgnoreCase("Unlock "))
        return;
    emitError(juce::String(message));
}

//==============================================================================
void WebUIBridge::timerCallback() { tick(); }

void WebUIBridge::tick()
{
    const bool showing = isShowing ? isShowing() : true;
    const int rate = ! showing ? 1 : (engine.isRunning() ? runningRateHz : 2);
    if (rate != currentRateHz)
    {
        currentRateHz = rate;
        startTimer(1000 / rate);
    }
    if (! showing)
        return;
    emitEvent("telemetryChanged", telemetry());
}

juce::var WebUIBridge::telemetry() const
{
    const auto settings = engine.getSettings();
    const auto load = engine.getDspLoad();
    auto meters = [](int count, auto read) {
        juce::Array<juce::var> list;
        for (int i = 0; i < std::min(count, 16); ++i)
            list.add(AudioEngine::meterToVar(read(i)));
        return juce::var(list);
    };
    auto o = std::make_unique<juce::DynamicObject>();
    o->setProperty("running", engine.isRunning());
    o->setProperty("masterMute", engine.isMasterMuted());
    o->setProperty("masterVolumeDb", settings.masterVolumeDb);
    o->setProperty("sampleRateHz", static_cast<int>(std::lround(engine.getSampleRate())));
    o->setProperty("bufferSize", engine.getBufferSize());
    o->setProperty("settingsRevision", static_cast<juce::int64>(engine.getSettingsRevision()));
    o->setProperty("analysisRevision", static_cast<juce::int64>(engine.getAnalysisRevision()));
    o->setProperty("analyzerWorkspaceRevision", static_cast<juce::int64>(engine.getAnalyzerWorkspaceRevision()));
    o->setProperty("canUndo", engine.canUndo());
    o->setProperty("canRedo", engine.canRedo());
    o->setProperty("hasUnsavedChanges", engine.hasUnsavedChanges());
    o->setProperty("dsp", object({ { "currentPercent", load.loadPercent },
                                   { "callbackTimeMs", load.callbackTimeMs },
                                   { "deadlineMisses", static_cast<juce::int64>(load.deadlineMisses) } }));
    o->setProperty("inputMeters", meters(settings.inputCount, [this](int i) { return engine.getInputMeter(i); }));
    o->setProperty("outputMeters", meters(settings.outputCount, [this](int i) { return engine.getOutputMeter(i); }));
    return juce::var(o.release());
}

//==============================================================================
void WebUIBridge::bridgeMessageReceived(const std::string& message)
{
    juce::String event;
    juce::var payload;
    if (! decodeBridgeMessage(message, event, payload) || event != "__juce__invoke")
        return;
    NativeCall call;
    if (! readNativeCall(payload, call))
        return;
    ++callCounts[call.name];
    invoke(call.name, call.params, deliverTo(call.resultId));
}

int WebUIBridge::getCallCount(const juce::String& name) const
{
    const auto it = callCounts.find(name);
    return it == callCounts.end() ? 0 : it->second;
}

std::function<void(const juce::var&)> WebUIBridge::deliverTo(juce::int64 resultId)
{
    return [weak = juce::WeakReference<WebUIBridge>(this), resultId](const juce::var& result) {
        if (auto* self = weak.get())
            self->emitEvent("__juce__complete", object({ { "promiseId", resultId }, { "result", result } }));
    };
}

void WebUIBridge::invoke(const juce::String& name, const Args& args, std::function<void(const juce::var&)> onResult)
{
    const auto it = std::find_if(functions.begin(), functions.end(), [&](const auto& f) { return f.first == name; });
    if (it == functions.end())
    {
        if (onResult)
            onResult(juce::var());
        return;
    }
    // A function that forgets to answer still answers once, with undefined.
    it->second(args, NativeCompletion(std::move(onResult), juce::var()));
}

const std::vector<const char*>& WebUIBridge::nativeFunctionNames()
{
    static const std::vector<const char*> names = {
        "getState", "getWorkspaceState", "setWorkspaceState", "setAnalyzerWorkspace", "getAudioSetup",
        "getAnalyzerData", "getClipboardText", "setClipboardText", "confirmQuit", "setAudioSetup", "getFirData",
        "setRunning", "setMasterMute", "setParameter", "setPeakingParameters", "setFilterParameters",
        "setAllOutputMute", "addCanvasModule", "addCanvasTerminal", "copyCanvasModule", "pasteCanvasModule",
        "copyCanvasSelection", "pasteCanvasSelection", "createCanvasSubmodule", "ungroupCanvasSubmodule",
        "moveCanvasSubmodule", "renameCanvasSubmodule", "addCanvasSubmodulePort", "moveCanvasSubmodulePort",
        "connectCanvasSubmodulePort", "removeCanvasSubmodulePort", "removeCanvasSelection", "setCanvasItemsLocked",
        "moveCanvasNode", "removeCanvasNode", "connectCanvasNodes", "disconnectCanvasConnection", "insertModule",
        "configureModule", "deleteModule", "copyModule", "pasteModule", "deleteEqBand", "openModuleWindow",
        "openAudioSettings", "getMinimizeToTray", "setMinimizeToTray", "loadFir", "importAnalyzerTrace",
        "exportAnalyzerData", "exportAnalyzerPng", "openProject", "getRecentProjects", "openRecentProject",
        "clearRecentProjects", "saveProject", "saveProjectAs", "undo", "redo", "hasUnsavedChanges", "resetProject",
        "resetProjectForCurrentDevice", "clearClip",
    };
    return names;
}

void WebUIBridge::add(const char* name, NativeFunction function) { functions.emplace_back(name, std::move(function)); }

void WebUIBridge::openDialog(const FileDialogRequest& request,
                             std::function<void(WebUIBridge&, const juce::File&)> chosen, NativeCompletion completion)
{
    // One dialog per window: the one still open is closed and answers false.
    activeChooser.reset();
    activeChooserCompletion(false);
    activeChooserCompletion = completion;
    auto& platform = bridgePlatform();
    if (! platform.openFileDialog)
    {
        activeChooserCompletion = {};
        completion(false);
        return;
    }
    activeChooser = platform.openFileDialog(
        request, [weak = juce::WeakReference<WebUIBridge>(this), chosen, completion](const juce::File& file) {
            auto* self = weak.get();
            if (self == nullptr || file == juce::File())
            {
                completion(false);
                return;
            }
            self->activeChooserCompletion = {};
            chosen(*self, file);
        });
}

//==============================================================================
bool WebUIBridge::openProjectFile(const juce::File& file)
{
    std::string error;
    auto fail = [&](const std::string& message) {
        reportFailure(message);
        return false;
    };
    if (engine.isRunning())
        return fail("Stop DSP before opening a project containing FIR coefficients.");

    AppSettings settings;
    if (! readProjectFile(file, settings, error))
        return fail(error.empty() ? "The project file is not valid JSON." : error);
    settings.projectName = fileStem(file);
    if (! engine.applySettings(std::move(settings), error))
        return fail(error);
    engine.clearHistory();
    engine.clearUnsavedChanges();
    currentProjectFile = hasProjectExtension(file) ? file.getFullPathName() : juce::String();
    if (callbacks.noteRecentProject)
        callbacks.noteRecentProject(file);
    return true;
}

bool WebUIBridge::saveProjectToFile(juce::File file)
{
    if (! hasProjectExtension(file))
        file = file.withFileExtension(".corv");
    auto fail = [&](const std::string& message) {
        reportFailure(message.empty() ? "The project could not be written." : message);
        return false;
    };

    auto project = engine.projectState();
    const auto name = fileStem(file);
    if (auto* o = project.getDynamicObject())
        o->setProperty("projectName", juce::String(name));
    const auto text = projectJsonText(project);

    if (file.isDirectory())
        return fail("The project could not replace its destination file.");

    juce::TemporaryFile temp(file);
    {
        juce::FileOutputStream out(temp.getFile());
        if (! out.openedOk() || ! out.write(text.data(), text.size()))
            return fail("The temporary project file could not be written.");
        out.flush();
        if (out.getStatus().failed())
            return fail("The temporary project file could not be written.");
    }

    if (file.existsAsFile())
    {
        const auto backup = file.getSiblingFile(file.getFileNameWithoutExtension() + ".backup" + file.getFileExtension());
        const auto backupFailed = "The previous project could not be backed up to " + backup.getFileName().toStdString() + ".";
        if (backup.isDirectory())
            return fail(backupFailed);
        juce::TemporaryFile backupTemp(backup);
        if (! file.copyFileTo(backupTemp.getFile()) || ! backupTemp.overwriteTargetFileWithTemporary())
            return fail(backupFailed);
    }

    if (! temp.overwriteTargetFileWithTemporary())
        return fail("The project could not replace its destination file.");

    currentProjectFile = file.getFullPathName();
    engine.setProjectName(name);
    engine.clearUnsavedChanges();
    if (callbacks.noteRecentProject)
        callbacks.noteRecentProject(file);
    return true;
}

//==============================================================================
void WebUIBridge::registerFunctions()
{
    auto& e = engine;
    auto revisionOr = [&e](bool ok) { return ok ? juce::var(static_cast<juce::int64>(e.getSettingsRevision())) : juce::var(-1); };

    // Runs `op` inside an undoable change, reports its message, answers `ok`.
    auto undoable = [this](const juce::String& label, const std::function<bool(std::string&)>& op) {
        std::string error;
        const bool ok = engine.performUndoableChange(label, [&] { return op(error); });
        if (! ok)
            reportFailure(error);
        return ok;
    };
    auto plain = [this](const std::function<bool(std::string&)>& op) {
        std::string error;
        const bool ok = op(error);
        if (! ok)
            reportFailure(error);
        return ok;
    };
    auto idOr = [](bool ok, const std::string& id) { return ok ? juce::var(juce::String(id)) : juce::var(false); };
    auto listOr = [](bool ok, const std::vector<std::string>& ids) {
        if (! ok)
            return juce::var(false);
        juce::Array<juce::var> list;
        for (const auto& id : ids)
            list.add(juce::String(id));
        return juce::var(list);
    };

    // 0-12: state, workspace and window.
    add("getState", [this](const Args&, NativeCompletion done) { done(engine.stateJson()); });
    add("getWorkspaceState", [this](const Args&, NativeCompletion done) {
        done(callbacks.getWorkspaceState ? callbacks.getWorkspaceState() : juce::String("{}"));
    });
    add("setWorkspaceState", [this](const Args& a, NativeCompletion done) {
        const bool ok = a.size() >= 2 && callbacks.setWorkspaceState != nullptr;
        done(ok);
        if (ok)
            callbacks.setWorkspaceState(text(a, 0), arg(a, 1));
    });
    add("setAnalyzerWorkspace", [this, plain](const Args& a, NativeCompletion done) {
        if (a.isEmpty())
            return done(false);
        const auto workspace = text(a, 0).toStdString();
        done(plain([&](std::string& error) { return engine.setAnalyzerWorkspace(workspace, error); }));
    });
    add("getAudioSetup", [this](const Args&, NativeCompletion done) { done(jsonText(engine.audioSetupJson())); });
    add("getAnalyzerData", [this](const Args& a, NativeCompletion done) {
        const auto target = text(a, 0).toStdString();
        const bool includePath = boolean(a, 1, true);
        const double running = engine.getSampleRate();
        double defaultRate = 48000.0;
        for (double r : { 44100.0, 48000.0, 96000.0 })
            if (std::abs(running - r) <= 0.5)
                defaultRate = running;
        const double rate = has(a, 2) ? number(a, 2) : defaultRate;
        GraphAnalyzerOptions options;
        options.excitation = text(a, 3) == "logSweep" ? AnalyzerExcitation::logSweep : AnalyzerExcitation::impulse;
        options.sweepStartHz = number(a, 4, 20.0);
        options.sweepEndHz = number(a, 5, 20000.0);
        options.durationSeconds = number(a, 6, 1.0);
        options.levelDb = number(a, 7, -12.0);
        for (const auto& id : idList(a, 8))
            if (! id.empty() && std::find(options.excitationInputIds.begin(), options.excitationInputIds.end(), id)
                                    == options.excitationInputIds.end())
                options.excitationInputIds.push_back(id);
        const bool cacheOnly = boolean(a, 9);
        const bool skipCache = boolean(a, 10);

        auto project = engine.getSettings();
        auto key = graphAnalysisCacheKey(project, target, includePath, rate, options);
        if (! skipCache)
            if (auto hit = Analyzer::lookup(key))
                return done(juce::String(*hit));
        if (cacheOnly)
            return done(jsonText(object({ { "status", "empty" }, { "message", "Analyze in the main Analyzer." } })));
        const auto generation = analysisGeneration->fetch_add(1) + 1;
        analyzerPool->addJob(new Analyzer::Job(std::move(project), target, includePath, rate, std::move(options),
                                               std::move(key), generation, analysisGeneration,
                                               juce::WeakReference<WebUIBridge>(this), std::move(done)),
                             true);
    });
    add("getClipboardText", [](const Args&, NativeCompletion done) {
        auto& p = bridgePlatform();
        done(p.getClipboardText ? p.getClipboardText() : juce::String());
    });
    add("setClipboardText", [](const Args& a, NativeCompletion done) {
        if (a.isEmpty())
            return done(false);
        if (auto& p = bridgePlatform(); p.setClipboardText)
            p.setClipboardText(text(a, 0));
        done(true);
    });
    add("confirmQuit", [](const Args&, NativeCompletion done) {
        done(true);
        juce::MessageManager::callAsync([] {
            if (auto& p = bridgePlatform(); p.quit)
                p.quit();
        });
    });
    add("setAudioSetup", [this, plain](const Args& a, NativeCompletion done) {
        done(plain([&](std::string& error) { return engine.setAudioSetup(juce::JSON::parse(text(a, 0)), error); }));
    });
    add("getFirData", [this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done("{}");
        const auto project = engine.getSettings();
        const auto scope = text(a, 0);
        const auto* fir = findFir(project, scope == "node" || scope == "input" ? scope : juce::String("output"),
                                  integer(a, 1), text(a, 2));
        if (fir == nullptr)
            return done("{}");
        juce::Array<juce::var> coefficients;
        coefficients.ensureStorageAllocated(static_cast<int>(fir->coefficients.size()));
        for (float c : fir->coefficients)
            coefficients.add(static_cast<double>(c));
        done(jsonText(object({ { "fileName", juce::String(fir->fileName) },
                                { "sampleRateHz", fir->sampleRateHz },
                                { "coefficients", coefficients } })));
    });
    add("setRunning", [this, plain, revisionOr](const Args& a, NativeCompletion done) {
        done(revisionOr(plain([&](std::string& error) { return engine.setRunning(boolean(a, 0), error); })));
    });
    add("setMasterMute", [this, revisionOr](const Args& a, NativeCompletion done) {
        if (a.isEmpty())
            return done(-1);
        engine.setMasterMute(boolean(a, 0));
        done(revisionOr(true));
    });

    // 13-16: parameters.
    add("setParameter", [undoable, revisionOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done(-1);
        const auto path = text(a, 0);
        done(revisionOr(undoable(undoLabel::parameter(path, text(a, 2)),
                                 [&](std::string& error) { return engine.setParameter(path, arg(a, 1), error); })));
    });
    auto filterFunction = [undoable, revisionOr, this](bool peaking) {
        return [undoable, revisionOr, this, peaking](const Args& a, NativeCompletion done) {
            if (a.size() < 4)
                return done(-1);
            const auto path = text(a, 0);
            const double f = number(a, 1), g = number(a, 2), q = number(a, 3);
            const auto control = text(a, 4, "direct");
            if (peaking && ! (std::isfinite(f) && std::isfinite(g) && std::isfinite(q)))
            {
                reportFailure("Peaking Filter parameters must be finite.");
                return done(-1);
            }
            const auto label = peaking ? undoLabel::peaking(path, control) : undoLabel::filter(path, control);
            done(revisionOr(undoable(label, [&](std::string& error) {
                return engine.setFilterParameters(path, f, g, q, error);
            })));
        };
    };
    add("setPeakingParameters", filterFunction(true));
    add("setFilterParameters", filterFunction(false));
    add("setAllOutputMute", [undoable, revisionOr, this](const Args& a, NativeCompletion done) {
        if (a.isEmpty())
            return done(-1);
        done(revisionOr(undoable(undoLabel::allOutputMute, [&](std::string&) {
            engine.setAllOutputMute(boolean(a, 0));
            return true;
        })));
    });

    // 17-36: canvas and Subsystems.
    add("addCanvasModule", [undoable, idOr, this](const Args& a, NativeCompletion done) {
        int kind = 0;
        if (a.size() < 3 || ! processingModuleKindFromName(text(a, 0).toStdString(), kind)
            || kind == static_cast<int>(ProcessingModuleKind::empty))
            return done(false);
        const auto parent = text(a, 3);
        std::string id;
        done(idOr(undoable(undoLabel::addCanvasModule(parent), [&](std::string& error) {
                      return engine.addCanvasModule(kind, number(a, 1), number(a, 2), parent.toStdString(), id, error);
                  }),
                  id));
    });
    add("addCanvasTerminal", [undoable, idOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 4)
            return done(false);
        std::string id;
        done(idOr(undoable(undoLabel::addCanvasTerminal, [&](std::string& error) {
                      return engine.addCanvasTerminal(text(a, 0).toStdString(), integer(a, 1), number(a, 2), number(a, 3),
                                                      id, error);
                  }),
                  id));
    });
    add("copyCanvasModule", [plain, this](const Args& a, NativeCompletion done) {
        done(plain([&](std::string& error) { return engine.copyCanvasModule(text(a, 0).toStdString(), error); }));
    });
    add("pasteCanvasModule", [undoable, idOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done(false);
        std::string id;
        done(idOr(undoable(undoLabel::pasteCanvasModule,
                           [&](std::string& error) { return engine.pasteCanvasModule(number(a, 0), number(a, 1), id, error); }),
                  id));
    });
    add("copyCanvasSelection", [plain, this](const Args& a, NativeCompletion done) {
        done(plain([&](std::string& error) { return engine.copyCanvasSelection(idList(a, 0), error); }));
    });
    add("pasteCanvasSelection", [undoable, listOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done(false);
        std::vector<std::string> ids;
        done(listOr(undoable(undoLabel::pasteCanvasSelection, [&](std::string& error) {
                        return engine.pasteCanvasSelection(number(a, 0), number(a, 1), text(a, 2).toStdString(), ids, error);
                    }),
                    ids));
    });
    add("createCanvasSubmodule", [undoable, idOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 3)
            return done(false);
        std::string id;
        done(idOr(undoable(undoLabel::createCanvasSubmodule, [&](std::string& error) {
                      return engine.createCanvasSubmodule(idList(a, 0), number(a, 1), number(a, 2),
                                                          text(a, 3).toStdString(), id, error);
                  }),
                  id));
    });
    add("ungroupCanvasSubmodule", [undoable, this](const Args& a, NativeCompletion done) {
        done(undoable(undoLabel::ungroupCanvasSubmodule,
                      [&](std::string& error) { return engine.ungroupCanvasSubmodule(text(a, 0).toStdString(), error); }));
    });
    add("moveCanvasSubmodule", [undoable, this](const Args& a, NativeCompletion done) {
        if (a.size() < 3)
            return done(false);
        const auto id = text(a, 0);
        done(undoable(undoLabel::move(id), [&](std::string& error) {
            return engine.moveCanvasSubmodule(id.toStdString(), number(a, 1), number(a, 2), error);
        }));
    });
    add("renameCanvasSubmodule", [undoable, this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done(false);
        const auto id = text(a, 0);
        done(undoable(undoLabel::renameSubmodule(id), [&](std::string& error) {
            return engine.renameCanvasSubmodule(id.toStdString(), text(a, 1).toStdString(), error);
        }));
    });
    add("addCanvasSubmodulePort", [undoable, idOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 4)
            return done(false);
        const auto id = text(a, 0);
        std::string port;
        done(idOr(undoable(undoLabel::addSubmodulePort(id), [&](std::string& error) {
                      return engine.addCanvasSubmodulePort(id.toStdString(), boolean(a, 1), number(a, 2), number(a, 3),
                                                           port, error);
                  }),
                  port));
    });
    add("moveCanvasSubmodulePort", [undoable, this](const Args& a, NativeCompletion done) {
        if (a.size() < 4)
            return done(false);
        const auto port = text(a, 1);
        done(undoable(undoLabel::moveSubmodulePort(port), [&](std::string& error) {
            return engine.moveCanvasSubmodulePort(text(a, 0).toStdString(), port.toStdString(), number(a, 2),
                                                  number(a, 3), error);
        }));
    });
    add("connectCanvasSubmodulePort", [undoable, this](const Args& a, NativeCompletion done) {
        if (a.size() < 3)
            return done(false);
        const auto port = text(a, 1);
        done(undoable(undoLabel::connectSubmodulePort(port), [&](std::string& error) {
            return engine.connectCanvasSubmodulePort(text(a, 0).toStdString(), port.toStdString(),
                                                     text(a, 2).toStdString(), error);
        }));
    });
    add("removeCanvasSubmodulePort", [undoable, this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done(false);
        const auto port = text(a, 1);
        done(undoable(undoLabel::removeSubmodulePort(port), [&](std::string& error) {
            return engine.removeCanvasSubmodulePort(text(a, 0).toStdString(), port.toStdString(), error);
        }));
    });
    add("removeCanvasSelection", [undoable, this](const Args& a, NativeCompletion done) {
        done(undoable(undoLabel::removeCanvasSelection, [&](std::string& error) {
            return engine.removeCanvasSelection(idList(a, 0), idList(a, 1), error);
        }));
    });
    add("setCanvasItemsLocked", [undoable, revisionOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done(-1);
        done(revisionOr(undoable(undoLabel::lockCanvasItems, [&](std::string& error) {
            return engine.setCanvasItemsLocked(idList(a, 0), boolean(a, 1), error);
        })));
    });
    add("moveCanvasNode", [undoable, this](const Args& a, NativeCompletion done) {
        if (a.size() < 3)
            return done(false);
        const auto id = text(a, 0);
        done(undoable(undoLabel::move(id), [&](std::string& error) {
            return engine.moveCanvasNode(id.toStdString(), number(a, 1), number(a, 2), error);
        }));
    });
    add("removeCanvasNode", [undoable, this](const Args& a, NativeCompletion done) {
        done(undoable(undoLabel::removeCanvasNode,
                      [&](std::string& error) { return engine.removeCanvasNode(text(a, 0).toStdString(), error); }));
    });
    add("connectCanvasNodes", [undoable, idOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done(false);
        std::string id;
        done(idOr(undoable(undoLabel::connectCanvasNodes, [&](std::string& error) {
                      return engine.connectCanvasNodes(text(a, 0).toStdString(), text(a, 1).toStdString(),
                                                       text(a, 2).toStdString(), text(a, 3).toStdString(), id, error);
                  }),
                  id));
    });
    add("disconnectCanvasConnection", [undoable, this](const Args& a, NativeCompletion done) {
        done(undoable(undoLabel::disconnectCanvasConnection, [&](std::string& error) {
            return engine.disconnectCanvasConnection(text(a, 0).toStdString(), error);
        }));
    });

    // 37-42: chain modules.
    add("insertModule", [undoable, idOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 4)
            return done(false);
        std::string id;
        done(idOr(undoable(undoLabel::insertModule, [&](std::string& error) {
                      return engine.insertModule(text(a, 0).toStdString(), integer(a, 1), text(a, 2).toStdString(),
                                                 text(a, 3).toStdString(), id, error);
                  }),
                  id));
    });
    add("configureModule", [undoable, revisionOr, this](const Args& a, NativeCompletion done) {
        int kind = 0;
        if (a.size() < 4)
            return done(-1);
        if (! processingModuleKindFromName(text(a, 3).toStdString(), kind))
            kind = -1; // the engine names the unknown kind
        done(revisionOr(undoable(undoLabel::configureModule, [&](std::string& error) {
            return engine.configureModule(text(a, 0).toStdString(), integer(a, 1), text(a, 2).toStdString(), kind, error);
        })));
    });
    add("deleteModule", [undoable, revisionOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 3)
            return done(-1);
        done(revisionOr(undoable(undoLabel::deleteModule, [&](std::string& error) {
            return engine.deleteModule(text(a, 0).toStdString(), integer(a, 1), text(a, 2).toStdString(), error);
        })));
    });
    add("copyModule", [plain, this](const Args& a, NativeCompletion done) {
        if (a.size() < 3)
            return done(false);
        done(plain([&](std::string& error) {
            return engine.copyModule(text(a, 0).toStdString(), integer(a, 1), text(a, 2).toStdString(), boolean(a, 3),
                                     error);
        }));
    });
    add("pasteModule", [undoable, listOr, this](const Args& a, NativeCompletion done) {
        if (a.size() < 5)
            return done(false);
        std::vector<std::string> ids;
        done(listOr(undoable(undoLabel::pasteModule, [&](std::string& error) {
                        return engine.pasteModule(text(a, 0) == "input", integer(a, 1), text(a, 2).toStdString(),
                                                  text(a, 3) == "right", boolean(a, 4), ids, error);
                    }),
                    ids));
    });
    add("deleteEqBand", [undoable, this](const Args& a, NativeCompletion done) {
        if (a.size() < 4)
            return done(false);
        done(undoable(undoLabel::deleteEqBand, [&](std::string& error) {
            return engine.deleteEqBand(text(a, 0).toStdString(), integer(a, 1), integer(a, 2), text(a, 3).toStdString(),
                                       error);
        }));
    });

    // 43-46: windows.
    add("openModuleWindow", [this](const Args& a, NativeCompletion done) {
        done(true);
        if (! a.isEmpty() && callbacks.openModule)
            callbacks.openModule(text(a, 0));
    });
    add("openAudioSettings", [this](const Args&, NativeCompletion done) {
        done(true);
        if (callbacks.openAudioSettings)
            callbacks.openAudioSettings();
    });
    add("getMinimizeToTray", [this](const Args&, NativeCompletion done) {
        done(callbacks.getMinimizeToTray ? callbacks.getMinimizeToTray() : false);
    });
    add("setMinimizeToTray", [this](const Args& a, NativeCompletion done) {
        if (callbacks.setMinimizeToTray)
            callbacks.setMinimizeToTray(boolean(a, 0));
        done(callbacks.getMinimizeToTray ? callbacks.getMinimizeToTray() : false);
    });

    // 47-56: files.
    add("loadFir", [this](const Args& a, NativeCompletion done) {
        if (engine.isRunning())
        {
            reportFailure("Stop DSP before loading an FIR file.");
            return done(false);
        }
        const auto scope = text(a, 0).toStdString();
        const int channel = integer(a, 1);
        const auto id = text(a, 2).toStdString();
        openDialog({ "Load FIR coefficients", {}, "*.txt;*.fir;*.csv", false },
                   [scope, channel, id, done](WebUIBridge& self, const juce::File& file) {
                       std::string error;
                       const auto parsed = parseFirFile(file, error);
                       bool ok = parsed.has_value();
                       if (ok)
                           ok = scope == "node" ? self.engine.loadFirIntoBlock(id, *parsed, error)
                                                : self.engine.loadFirIntoChain(scope == "input", channel, id, *parsed, error);
                       if (! ok)
                           self.reportFailure(error);
                       done(ok);
                   },
                   done);
    });
    add("importAnalyzerTrace", [this](const Args&, NativeCompletion done) {
        openDialog({ "Import Analyzer trace", {}, "*.frd;*.csv;*.txt", false },
                   [done](WebUIBridge& self, const juce::File& file) {
                       if (! file.existsAsFile() || file.getSize() > kMaxTraceBytes)
                       {
                           self.reportFailure("The Analyzer trace is missing or larger than 32 MB.");
                           return done(false);
                       }
                       done(jsonText(object({ { "fileName", file.getFileName() }, { "content", file.loadFileAsString() } })));
                   },
                   done);
    });
    add("exportAnalyzerData", [this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done(false);
        const auto content = text(a, 1);
        if (content.getNumBytesAsUTF8() > kMaxExportBytes)
        {
            reportFailure("The Analyzer export is larger than 64 MB.");
            return done(false);
        }
        auto name = legalName(text(a, 0));
        if (name.isEmpty())
            name = "Analyzer.svg";
        const auto extension = juce::File::createFileWithoutCheckingPath(name).getFileExtension();
        const auto start = juce::File::getSpecialLocation(juce::File::userDocumentsDirectory).getChildFile(name);
        openDialog({ "Export Analyzer data", start, "*" + extension, true },
                   [content, extension, done](WebUIBridge& self, juce::File file) {
                       if (file.getFileExtension().isEmpty() && extension.isNotEmpty())
                           file = file.withFileExtension(extension);
                       const auto bytes = content.replace("\r\n", "\n").toStdString();
                       if (! writeBytesAtomically(file, bytes.data(), bytes.size()))
                       {
                           self.reportFailure("The Analyzer export could not be written.");
                           return done(false);
                       }
                       done(true);
                   },
                   done);
    });
    add("exportAnalyzerPng", [this](const Args& a, NativeCompletion done) {
        if (a.size() < 2)
            return done(false);
        const auto base64 = text(a, 1);
        if (static_cast<size_t>(base64.length()) > kMaxPngBase64Bytes)
        {
            reportFailure("The Analyzer PNG export is larger than 96 MB.");
            return done(false);
        }
        auto bytes = std::make_shared<juce::MemoryBlock>();
        if (! decodeBase64(base64, *bytes) || ! looksLikePng(*bytes))
        {
            reportFailure("The Analyzer PNG data is invalid.");
            return done(false);
        }
        auto name = legalName(text(a, 0));
        if (name.isEmpty())
            name = "Analyzer.png";
        if (! name.endsWithIgnoreCase(".png"))
            name += ".png";
        const auto start = juce::File::getSpecialLocation(juce::File::userDocumentsDirectory).getChildFile(name);
        openDialog({ "Export Analyzer graph", start, "*.png", true },
                   [bytes, done](WebUIBridge& self, juce::File file) {
                       if (file.getFileExtension().isEmpty())
                           file = file.withFileExtension(".png");
                       if (! writeBytesAtomically(file, bytes->getData(), bytes->getSize()))
                       {
                           self.reportFailure("The Analyzer PNG could not be written.");
                           return done(false);
                       }
                       done(true);
                   },
                   done);
    });
    add("openProject", [this](const Args&, NativeCompletion done) {
        if (engine.isRunning())
        {
            reportFailure("Stop DSP before opening a project containing FIR coefficients.");
            return done(false);
        }
        openDialog({ "Open Corvana project", {}, "*.corv;*.lmtr", false },
                   [done](WebUIBridge& self, const juce::File& file) { done(self.openProjectFile(file)); }, done);
    });
    add("getRecentProjects", [this](const Args&, NativeCompletion done) {
        juce::Array<juce::var> list;
        if (callbacks.getRecentProjects)
            for (const auto& f : callbacks.getRecentProjects())
                list.add(object({ { "name", f.getFileName() }, { "path", f.getFullPathName() } }));
        done(list);
    });
    add("openRecentProject", [this](const Args& a, NativeCompletion done) {
        done(callbacks.openRecentProject && ! a.isEmpty() ? callbacks.openRecentProject(juce::File(text(a, 0))) : false);
    });
    add("clearRecentProjects", [this](const Args&, NativeCompletion done) {
        if (callbacks.clearRecentProjects)
            callbacks.clearRecentProjects();
        done(true);
    });
    auto saveAs = [this](NativeCompletion done) {
        const auto start = currentProjectFile.isNotEmpty()
                               ? juce::File(currentProjectFile)
                               : juce::File::getSpecialLocation(juce::File::userDocumentsDirectory)
                                     .getChildFile(juce::String(engine.currentProjectName()) + ".corv");
        openDialog({ "Save Corvana project", start, "*.corv", true },
                   [done](WebUIBridge& self, juce::File file) {
                       if (! hasProjectExtension(file))
                           file = file.withFileExtension(".corv");
                       done(self.saveProjectToFile(file));
                   },
                   done);
    };
    add("saveProject", [this, saveAs](const Args&, NativeCompletion done) {
        if (currentProjectFile.isNotEmpty())
            return done(saveProjectToFile(juce::File(currentProjectFile)));
        saveAs(std::move(done));
    });
    add("saveProjectAs", [saveAs](const Args&, NativeCompletion done) { saveAs(std::move(done)); });

    // 57-62: history and new projects.
    add("undo", [this](const Args&, NativeCompletion done) {
        std::string error;
        const auto revision = engine.undo(error);
        reportFailure(error);
        done(static_cast<juce::int64>(revision));
    });
    add("redo", [this](const Args&, NativeCompletion done) {
        std::string error;
        const auto revision = engine.redo(error);
        reportFailure(error);
        done(static_cast<juce::int64>(revision));
    });
    add("hasUnsavedChanges", [this](const Args&, NativeCompletion done) { done(engine.hasUnsavedChanges()); });
    add("resetProject", [this, plain](const Args& a, NativeCompletion done) {
        std::vector<int> ways;
        if (const auto* array = arg(a, 1).getArray())
            for (const auto& v : *array)
                ways.push_back(static_cast<int>(v));
        const bool ok = plain([&](std::string& error) { return engine.resetProject(text(a, 0).toStdString(), ways, error); });
        if (ok)
            currentProjectFile = {};
        done(ok);
    });
    add("resetProjectForCurrentDevice", [this, plain](const Args&, NativeCompletion done) {
        const bool ok = plain([&](std::string& error) { return engine.resetProjectForCurrentDevice(error); });
        if (ok)
            currentProjectFile = {};
        done(ok);
    });
    add("clearClip", [this](const Args& a, NativeCompletion done) {
        const auto id = text(a, 0);
        const bool isInput = id.startsWith("in");
        const bool isOutput = ! isInput && id.startsWith("out");
        const auto digits = id.fromFirstOccurrenceOf(isInput ? "in" : "out", false, false);
        if ((isInput || isOutput) && digits.isNotEmpty() && digits.containsOnly("0123456789"))
        {
            const int n = digits.getIntValue();
            if (n >= 1 && n <= 16)
                engine.clearClip(isOutput, n - 1);
        }
        done(true);
    });

    jassert(functions.size() == nativeFunctionNames().size());
}
} // namespace speaker
