// The native function table: registration, minimum counts and failure
// results, undo labels, the "nativeError" rule, completion exactly once, and
// the Analyzer jobs with their shared cache.

#include "UiTestSupport.h"

namespace speaker::test
{
namespace
{
using FunctionsTest = BridgeTest;

TEST_F(FunctionsTest, RegistersTheSixtyThreeNamesInTableOrder)
{
    const auto& names = WebUIBridge::nativeFunctionNames();
    ASSERT_EQ(names.size(), 63u);
    EXPECT_STREQ(names.front(), "getState");
    EXPECT_STREQ(names[12], "setMasterMute");
    EXPECT_STREQ(names[43], "openModuleWindow");
    EXPECT_STREQ(names.back(), "clearClip");
    auto& b = makeBridge();
    for (const char* name : names)
    {
        if (juce::String(name) == "confirmQuit" || juce::String(name).startsWith("open") || juce::String(name).startsWith("save")
            || juce::String(name) == "loadFir" || juce::String(name).startsWith("import") || juce::String(name) == "getAnalyzerData")
            continue; // dialogs, analyses and quitting have tests of their own
        int answers = 0;
        call(b, name, {}, &answers);
        EXPECT_EQ(answers, 1) << name;
    }
}

TEST_F(FunctionsTest, TooFewArgumentsFailAtOnceWithoutMessage)
{
    auto& b = makeBridge();
    PageSocket page(BridgeServer::instance().bridgePath(b.getWindowId()));
    ASSERT_TRUE(pumpUntil([&] { return BridgeServer::instance().connectionCount(b.getWindowId()) == 1; }));
    const auto revision = engine->getSettingsRevision();
    struct Case
    {
        const char* name;
        std::initializer_list<juce::var> args;
        juce::var failure;
    };
    const Case cases[] = {
        { "setParameter", { "masterVolumeDb" }, -1 },
        { "setPeakingParameters", { "nodes.node1", 100.0, 1.0 }, -1 },
        { "setFilterParameters", { "nodes.node1", 100.0, 1.0 }, -1 },
        { "setAllOutputMute", {}, -1 },
        { "setMasterMute", {}, -1 },
        { "addCanvasModule", { "Gain", 1.0 }, false },
        { "addCanvasModule", { "Empty", 1.0, 2.0 }, false },
        { "addCanvasModule", { "No Such Block", 1.0, 2.0 }, false },
        { "addCanvasTerminal", { "Input", 0, 1.0 }, false },
        { "pasteCanvasModule", { 1.0 }, false },
        { "pasteCanvasSelection", { 1.0 }, false },
        { "createCanvasSubmodule", { juce::Array<juce::var>(), 1.0 }, false },
        { "moveCanvasSubmodule", { "submodule1", 1.0 }, false },
        { "renameCanvasSubmodule", { "submodule1" }, false },
        { "addCanvasSubmodulePort", { "submodule1", true, 1.0 }, false },
        { "moveCanvasSubmodulePort", { "submodule1", "input1", 1.0 }, false },
        { "connectCanvasSubmodulePort", { "submodule1", "input1" }, false },
        { "removeCanvasSubmodulePort", { "submodule1" }, false },
        { "setCanvasItemsLocked", { juce::Array<juce::var>() }, -1 },
        { "moveCanvasNode", { "node1", 1.0 }, false },
        { "connectCanvasNodes", { "in1" }, false },
        { "insertModule", { "input", 0, "in" }, false },
        { "configureModule", { "input", 0, "module1" }, -1 },
        { "deleteModule", { "input", 0 }, -1 },
        { "copyModule", { "input", 0 }, false },
        { "pasteModule", { "input", 0, "in", "right" }, false },
        { "deleteEqBand", { "node", 0, 0 }, false },
        { "exportAnalyzerData", { "a.csv" }, false },
        { "exportAnalyzerPng", { "a.png" }, false },
        { "setWorkspaceState", { "modulesWidth" }, false },
        { "setAnalyzerWorkspace", {}, false },
        { "setClipboardText", {}, false },
    };
    for (const auto& c : cases)
    {
        const auto result = call(b, c.name, c.args);
        EXPECT_TRUE(result == c.failure) << c.name << " answered " << result.toString();
    }
    EXPECT_EQ(call(b, "getFirData", { "input" }).toString(), "{}");
    EXPECT_EQ(call(b, "getFirData", { "input", 16, "fir" }).toString(), "{}");
    EXPECT_EQ(call(b, "getWorkspaceState").toString(), "{}");
    EXPECT_TRUE(static_cast<bool>(call(b, "clearClip", { "out17" })));
    EXPECT_TRUE(static_cast<bool>(call(b, "clearClip", { "side3" })));
    pumpFor(100);
    EXPECT_EQ(page.count("nativeError"), 0);
    EXPECT_EQ(engine->getSettingsRevision(), revision);
}

TEST_F(FunctionsTest, ParameterLabelsCoalesceOneGestureIntoOneUndoStep)
{
    auto& b = makeBridge();
    // A drag with a control id: one step however long it takes.
    for (double db : { -1.0, -2.0, -3.0 })
        EXPECT_GE(static_cast<juce::int64>(call(b, "setParameter", { "masterVolumeDb", db, "fader-1" })), 0);
    EXPECT_GE(static_cast<juce::int64>(call(b, "undo")), 0);
    EXPECT_EQ(engine->getSettings().masterVolumeDb, 0.0);
    EXPECT_FALSE(engine->canUndo());

    // Two gestures: two steps.
    call(b, "setParameter", { "masterVolumeDb", -1.0, "fader-1" });
    call(b, "setParameter", { "masterVolumeDb", -2.0, "fader-2" });
    call(b, "undo");
    EXPECT_EQ(engine->getSettings().masterVolumeDb, -1.0);
    EXPECT_TRUE(engine->canUndo());
    EXPECT_GE(static_cast<juce::int64>(call(b, "redo")), 0);
    EXPECT_EQ(engine->getSettings().masterVolumeDb, -2.0);
}

TEST_F(FunctionsTest, FailuresReachThePageExceptLockHints)
{
    auto& b = makeBridge();
    PageSocket page(BridgeServer::instance().bridgePath(b.getWindowId()));
    ASSERT_TRUE(pumpUntil([&] { return BridgeServer::instance().connectionCount(b.getWindowId()) == 1; }));
    b.reportFailure("Unlock this Block before changing its settings.");
    b.reportFailure("UNLOCK this Block.");
    b.reportFailure("");
    b.reportFailure("Stop DSP before undoing a change.");
    juce::var message;
    ASSERT_TRUE(page.waitFor("nativeError", message));
    EXPECT_EQ(message.toString(), "Stop DSP before undoing a change.");
    pumpFor(100);
    EXPECT_EQ(page.count("nativeError"), 0);

    EXPECT_EQ(static_cast<int>(call(b, "setPeakingParameters", { "nodes.x", std::numeric_limits<double>::quiet_NaN(), 0.0, 1.0 })), -1);
    ASSERT_TRUE(page.waitFor("nativeError", message));
    EXPECT_EQ(message.toString(), "Peaking Filter parameters must be finite.");

    EXPECT_FALSE(static_cast<bool>(call(b, "setAnalyzerWorkspace", { "[]" })));
    ASSERT_TRUE(page.waitFor("nativeError", message));
    EXPECT_EQ(message.toString(), "The Analyzer workspace is invalid.");
}

TEST_F(FunctionsTest, WindowCallbacksAndDefaults)
{
    bool tray = false;
    juce::String opened;
    std::pair<juce::String, juce::var> workspace;
    WindowCallbacks callbacks;
    callbacks.openModule = [&](const juce::String& id) { opened = id; };
    callbacks.getMinimizeToTray = [&] { return tray; };
    callbacks.setMinimizeToTray = [&](bool on) { tray = on; };
    callbacks.getWorkspaceState = [] { return juce::String("{\"navigationSection\":\"library\"}"); };
    callbacks.setWorkspaceState = [&](const juce::String& k, const juce::var& v) { workspace = { k, v }; };
    callbacks.getRecentProjects = [] { return std::vector<juce::File> { juce::File("/rooms/Studio.corv") }; };
    auto& b = makeBridge({}, callbacks);
    EXPECT_TRUE(static_cast<bool>(call(b, "setMinimizeToTray", { true })));
    EXPECT_TRUE(tray);
    EXPECT_TRUE(static_cast<bool>(call(b, "openModuleWindow", { "routing" })));
    EXPECT_EQ(opened, "routing");
    EXPECT_TRUE(static_cast<bool>(call(b, "setWorkspaceState", { "modulesWidth", 300 })));
    EXPECT_EQ(workspace.first, "modulesWidth");
    EXPECT_EQ(static_cast<int>(workspace.second), 300);
    EXPECT_EQ(call(b, "getWorkspaceState").toString(), "{\"navigationSection\":\"library\"}");
    const auto recent = call(b, "getRecentProjects");
    ASSERT_EQ(recent.size(), 1);
    EXPECT_EQ(recent[0]["name"].toString(), "Studio.corv");
    EXPECT_EQ(recent[0]["path"].toString(), "/rooms/Studio.corv");
    EXPECT_TRUE(static_cast<bool>(call(b, "setClipboardText", { "copied" })));
    EXPECT_EQ(call(b, "getClipboardText").toString(), "copied");
}

TEST_F(FunctionsTest, TelemetryRatesFollowRoleAndVisibility)
{
    struct Case
    {
        const char* moduleId;
        int runningRate;
        int startRate;
    };
    const Case cases[] = {
        { "", 30, 2 },         { "node3", 30, 2 },          { "in1.module2", 2, 2 }, { "out1.fir", 5, 2 },
        { "routing", 2, 2 },   { "analyzer-graph:a1", 2, 2 }, { "audio-setup", 2, 0 }, { "system-settings", 2, 0 },
    };
    for (const auto& c : cases)
    {
        auto& b = makeBridge(c.moduleId);
        EXPECT_EQ(b.getRunningRateHz(), c.runningRate) << c.moduleId;
        EXPECT_EQ(b.getCurrentRateHz(), c.startRate) << c.moduleId;
    }
}

TEST_F(FunctionsTest, AnalyzerCacheHitsEvictsAndAnswersEmptyForDetachedWindows)
{
    auto& main = makeBridge();
    auto& graph = makeBridge("analyzer-graph:a1");
    PageSocket graphPage(BridgeServer::instance().bridgePath(graph.getWindowId()));
    ASSERT_TRUE(pumpUntil([&] { return BridgeServer::instance().connectionCount(graph.getWindowId()) == 1; }));
    const auto target = call(main, "addCanvasModule", { "Gain", 100.0, 100.0 }).toString();
    ASSERT_TRUE(target.isNotEmpty());

    // Cache-only before any analysis: "empty".
    auto empty = juce::JSON::parse(call(graph, "getAnalyzerData", { target, true, 48000.0, "impulse", 20.0, 20000.0, 1.0, -12.0,
                                                                     juce::Array<juce::var>(), true }).toString());
    EXPECT_EQ(empty["status"].toString(), "empty");
    EXPECT_EQ(empty["message"].toString(), "Analyze in the main Analyzer.");

    // The main Analyzer runs it; the result is cached and announced.
    const auto first = call(main, "getAnalyzerData", { target, true, 48000.0, "impulse", 20.0, 20000.0, 1.0, -12.0,
                                                       juce::Array<juce::var>(), false, true });
    EXPECT_NE(juce::JSON::parse(first.toString())["status"].toString(), "cancelled");
    juce::var key;
    ASSERT_TRUE(graphPage.waitFor("analyzerResultChanged", key));
    EXPECT_EQ(WebUIBridge::analyzerCacheEntries().size(), 1u);
    EXPECT_EQ(WebUIBridge::analyzerCacheEntries().back().first, key.toString().toStdString());

    // The detached window now gets the cached text, with no new announcement.
    const auto cached = call(graph, "getAnalyzerData", { target, true, 48000.0, "impulse", 20.0, 20000.0, 1.0, -12.0,
                                                         juce::Array<juce::var>(), true });
    EXPECT_EQ(cached.toString(), first.toString());
    pumpFor(100);
    EXPECT_EQ(graphPage.count("analyzerResultChanged"), 0);

    // Twelve more distinct requests push the first one out.
    for (int i = 1; i <= 12; ++i)
        call(main, "getAnalyzerData", { target, true, 48000.0, "impulse", 20.0, 20000.0, 1.0, -12.0 - i,
                                        juce::Array<juce::var>(), false, true });
    const auto entries = WebUIBridge::analyzerCacheEntries();
    EXPECT_EQ(entries.size(), WebUIBridge::kAnalyzerCacheSize);
    for (const auto& e : entries)
        EXPECT_NE(e.first, key.toString().toStdString());
}

TEST_F(FunctionsTest, NewerRequestCancelsTheRunningOneAndClosedWindowsGetNothing)
{
    auto& main = makeBridge();
    const auto target = call(main, "addCanvasModule", { "Gain", 100.0, 100.0 }).toString();
    ASSERT_TRUE(target.isNotEmpty());
    auto slow = std::make_shared<juce::var>();
    auto slowAnswers = std::make_shared<int>(0);
    main.invoke("getAnalyzerData",
                { target, true, 96000.0, "logSweep", 20.0, 20000.0, 20.0, -12.0, juce::Array<juce::var>(), false, true },
                [slow, slowAnswers](const juce::var& v) {
                    *slow = v;
                    ++*slowAnswers;
                });
    const auto quick = call(main, "getAnalyzerData", { target, true, 48000.0, "impulse", 20.0, 20000.0, 1.0, -12.0,
                                                       juce::Array<juce::var>(), false, true });
    ASSERT_TRUE(pumpUntil([&] { return *slowAnswers > 0; }, 30000));
    EXPECT_EQ(juce::JSON::parse(slow->toString())["status"].toString(), "cancelled");
    EXPECT_EQ(*slowAnswers, 1);
    for (const auto& e : WebUIBridge::analyzerCacheEntries())
        EXPECT_EQ(e.second.find("cancelled"), std::string::npos);

    // A window closed while its analysis runs: the completion is dropped.
    auto& doomed = makeBridge("node9");
    auto answers = std::make_shared<int>(0);
    doomed.invoke("getAnalyzerData",
                  { target, true, 96000.0, "logSweep", 20.0, 20000.0, 20.0, -12.0, juce::Array<juce::var>(), false, true },
                  [answers](const juce::var&) { ++*answers; });
    bridges.pop_back();
    pumpFor(300);
    EXPECT_LE(*answers, 1); // delivered at most once, and never to a closed page
}
} // namespace
} // namespace speaker::test
