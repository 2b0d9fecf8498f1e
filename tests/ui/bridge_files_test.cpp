// Opening and saving projects, and the Analyzer's file exchange, through a
// scripted file dialog.

#include "UiTestSupport.h"

#include "model/ProjectDocument.h"

namespace speaker::test
{
namespace
{
class FilesTest : public BridgeTest
{
protected:
    void SetUp() override
    {
        BridgeTest::SetUp();
        folder = juce::File::createTempFile("corvana-files");
        ASSERT_TRUE(folder.createDirectory());
        bridgePlatform().openFileDialog = [this](const FileDialogRequest& request, FileDialogResult result) {
            dialogs.push_back(request);
            juce::MessageManager::callAsync([result, answer = nextAnswer] { result(answer); });
            return std::unique_ptr<FileDialog>();
        };
    }

    void TearDown() override
    {
        folder.setReadOnly(false, true);
        folder.deleteRecursively();
        BridgeTest::TearDown();
    }

    juce::File folder;
    juce::File nextAnswer;
    std::vector<FileDialogRequest> dialogs;
};

TEST_F(FilesTest, SaveWritesProjectKeepsBackupAndNamesTheProject)
{
    auto& b = makeBridge();
    const auto room = folder.getChildFile("Room.corv");
    ASSERT_TRUE(b.saveProjectToFile(folder.getChildFile("Room.txt")));
    EXPECT_TRUE(room.existsAsFile());
    EXPECT_FALSE(folder.getChildFile("Room.txt").exists());
    EXPECT_EQ(b.getCurrentProjectFile(), room.getFullPathName());
    EXPECT_FALSE(engine->hasUnsavedChanges());
    EXPECT_EQ(engine->currentProjectName(), "Room");
    const auto first = room.loadFileAsString();
    EXPECT_EQ(juce::JSON::parse(first)["projectName"].toString(), "Room");

    call(b, "setParameter", { "masterVolumeDb", -3.0 });
    ASSERT_TRUE(b.saveProjectToFile(room));
    const auto backup = folder.getChildFile("Room.backup.corv");
    EXPECT_EQ(backup.loadFileAsString(), first);
    const auto second = room.loadFileAsString();
    EXPECT_NE(second, first);

    call(b, "setParameter", { "masterVolumeDb", -9.0 });
    ASSERT_TRUE(b.saveProjectToFile(room));
    EXPECT_EQ(backup.loadFileAsString(), second);

    // No temporary siblings are left behind.
    EXPECT_EQ(folder.getNumberOfChildFiles(juce::File::findFiles), 2);
}

TEST_F(FilesTest, SaveFailuresLeaveEverythingAsItWas)
{
    auto& b = makeBridge();
    PageSocket page(BridgeServer::instance().bridgePath(b.getWindowId()));
    ASSERT_TRUE(pumpUntil([&] { return BridgeServer::instance().connectionCount(b.getWindowId()) == 1; }));
    call(b, "setParameter", { "masterVolumeDb", -3.0 });
    ASSERT_TRUE(engine->hasUnsavedChanges());

    // A destination that is a folder.
    const auto asFolder = folder.getChildFile("Folder.corv");
    ASSERT_TRUE(asFolder.createDirectory());
    EXPECT_FALSE(b.saveProjectToFile(asFolder));
    juce::var message;
    ASSERT_TRUE(page.waitFor("nativeError", message));
    EXPECT_EQ(message.toString(), "The project could not replace its destination file.");
    EXPECT_TRUE(asFolder.isDirectory());

    // A read-only folder: nothing can be written beside the destination.
    const auto locked = folder.getChildFile("locked");
    ASSERT_TRUE(locked.createDirectory());
    const auto existing = locked.getChildFile("Old.corv");
    ASSERT_TRUE(existing.replaceWithText("previous"));
    ASSERT_TRUE(locked.setReadOnly(true));
    if (! locked.getChildFile("probe").create().wasOk()) // root ignores permissions
    {
        EXPECT_FALSE(b.saveProjectToFile(existing));
        ASSERT_TRUE(page.waitFor("nativeError", message));
        EXPECT_EQ(message.toString(), "The temporary project file could not be written.");
        EXPECT_EQ(existing.loadFileAsString(), "previous");
    }
    locked.setReadOnly(false);

    // A backup sibling that cannot be replaced stops the save before the move.
    const auto guarded = folder.getChildFile("Guarded.corv");
    ASSERT_TRUE(guarded.replaceWithText("old"));
    ASSERT_TRUE(folder.getChildFile("Guarded.backup.corv").createDirectory());
    EXPECT_FALSE(b.saveProjectToFile(guarded));
    ASSERT_TRUE(page.waitFor("nativeError", message));
    EXPECT_EQ(message.toString(), "The previous project could not be backed up to Guarded.backup.corv.");
    EXPECT_EQ(guarded.loadFileAsString(), "old");

    EXPECT_TRUE(engine->hasUnsavedChanges());
    EXPECT_TRUE(b.getCurrentProjectFile().isEmpty());
}

TEST_F(FilesTest, FailedOpenKeepsProjectHistoryAndDirtyFlag)
{
    auto& b = makeBridge();
    PageSocket page(BridgeServer::instance().bridgePath(b.getWindowId()));
    ASSERT_TRUE(pumpUntil([&] { return BridgeServer::instance().connectionCount(b.getWindowId()) == 1; }));
    call(b, "setParameter", { "masterVolumeDb", -4.0 });
    const auto before = engine->getSettings();

    const auto broken = folder.getChildFile("Broken.corv");
    ASSERT_TRUE(broken.replaceWithText("{ not json"));
    nextAnswer = broken;
    EXPECT_FALSE(static_cast<bool>(call(b, "openProject")));
    juce::var message;
    ASSERT_TRUE(page.waitFor("nativeError", message));
    EXPECT_EQ(message.toString(), "The project file is not valid JSON.");
    EXPECT_EQ(engine->getSettings(), before);
    EXPECT_TRUE(engine->canUndo());
    EXPECT_TRUE(engine->hasUnsavedChanges());
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].title, "Open Corvana project");
    EXPECT_EQ(dialogs[0].patterns, "*.corv;*.lmtr");
}

TEST_F(FilesTest, OpenFollowsTheFileNameAndLegacyFilesStayUnbound)
{
    std::vector<juce::File> noted;
    WindowCallbacks callbacks;
    callbacks.noteRecentProject = [&](const juce::File& f) { noted.push_back(f); };
    auto& withRecent = makeBridge({}, callbacks);
    const auto saved = folder.getChildFile("Stored.corv");
    ASSERT_TRUE(withRecent.saveProjectToFile(saved));
    const auto renamed = folder.getChildFile("Living Room.corv");
    ASSERT_TRUE(saved.copyFileTo(renamed));
    ASSERT_TRUE(withRecent.openProjectFile(renamed));
    EXPECT_EQ(engine->currentProjectName(), "Living Room");
    EXPECT_EQ(withRecent.getCurrentProjectFile(), renamed.getFullPathName());
    EXPECT_FALSE(engine->canUndo());
    EXPECT_FALSE(engine->hasUnsavedChanges());

    const auto legacy = folder.getChildFile("Old.lmtr");
    ASSERT_TRUE(saved.copyFileTo(legacy));
    ASSERT_TRUE(withRecent.openProjectFile(legacy));
    EXPECT_TRUE(withRecent.getCurrentProjectFile().isEmpty());
    ASSERT_EQ(noted.size(), 3u);
    EXPECT_EQ(noted.back(), legacy);

    // Save after a legacy open asks where to write.
    nextAnswer = folder.getChildFile("Converted");
    EXPECT_TRUE(static_cast<bool>(call(withRecent, "saveProject")));
    ASSERT_FALSE(dialogs.empty());
    EXPECT_EQ(dialogs.back().title, "Save Corvana project");
    EXPECT_TRUE(dialogs.back().save);
    EXPECT_TRUE(folder.getChildFile("Converted.corv").existsAsFile());
}

TEST_F(FilesTest, CancelledDialogsAnswerFalseSilently)
{
    auto& b = makeBridge();
    PageSocket page(BridgeServer::instance().bridgePath(b.getWindowId()));
    ASSERT_TRUE(pumpUntil([&] { return BridgeServer::instance().connectionCount(b.getWindowId()) == 1; }));
    nextAnswer = juce::File();
    for (const char* name : { "openProject", "saveProjectAs", "importAnalyzerTrace", "loadFir" })
        EXPECT_FALSE(static_cast<bool>(call(b, name, { "node", 0, "node1" }))) << name;
    EXPECT_FALSE(static_cast<bool>(call(b, "exportAnalyzerData", { "a.csv", "x" })));
    pumpFor(100);
    EXPECT_EQ(page.count("nativeError"), 0);
}

TEST_F(FilesTest, AnalyzerExportsCheckSizesAndPngData)
{
    auto& b = makeBridge();
    PageSocket page(BridgeServer::instance().bridgePath(b.getWindowId()));
    ASSERT_TRUE(pumpUntil([&] { return BridgeServer::instance().connectionCount(b.getWindowId()) == 1; }));

    nextAnswer = folder.getChildFile("curve");
    ASSERT_TRUE(static_cast<bool>(call(b, "exportAnalyzerData", { "Response.csv", "f,db\r\n1,2\r\n" })));
    EXPECT_EQ(folder.getChildFile("curve.csv").loadFileAsString(), "f,db\n1,2\n");
    EXPECT_EQ(dialogs.back().title, "Export Analyzer data");
    EXPECT_EQ(dialogs.back().patterns, "*.csv");

    juce::MemoryBlock png;
    const unsigned char header[] = { 137, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 73, 72, 68, 82 };
    png.append(header, sizeof(header));
    png.append(std::string(20, '\0').data(), 20);
    nextAnswer = folder.getChildFile("graph");
    // JUCE's own Base64 differs from the standard one; build the text by hand.
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto base64 = [](const juce::MemoryBlock& bytes) {
        std::string out;
        const auto* d = static_cast<const unsigned char*>(bytes.getData());
        for (size_t i = 0; i < bytes.getSize(); i += 3)
        {
            const size_t n = std::min<size_t>(3, bytes.getSize() - i);
            unsigned v = static_cast<unsigned>(d[i]) << 16 | (n > 1 ? d[i + 1] << 8 : 0) | (n > 2 ? d[i + 2] : 0);
            out += alphabet[(v >> 18) & 63];
            out += alphabet[(v >> 12) & 63];
            out += n > 1 ? alphabet[(v >> 6) & 63] : '=';
            out += n > 2 ? alphabet[v & 63] : '=';
        }
        return juce::String(out);
    };
    page.clear();
    dialogs.clear();
    ASSERT_TRUE(static_cast<bool>(call(b, "exportAnalyzerPng", { "Graph", base64(png) })));
    const auto written = folder.getChildFile("graph.png");
    EXPECT_EQ(written.getSize(), static_cast<juce::int64>(png.getSize()));
    EXPECT_EQ(dialogs.back().title, "Export Analyzer graph");

    juce::MemoryBlock jpeg;
    const unsigned char jpegHeader[] = { 0xff, 0xd8, 0xff, 0xe0 };
    for (int i = 0; i < 10; ++i)
        jpeg.append(jpegHeader, sizeof(jpegHeader));
    const juce::String invalid[] = { base64(jpeg), base64(png).dropLastCharacters(1), "AAAA*AAA", base64(png) + "=" };
    for (const auto& text : invalid)
    {
        EXPECT_FALSE(static_cast<bool>(call(b, "exportAnalyzerPng", { "Graph.png", text })));
        juce::var message;
        ASSERT_TRUE(page.waitFor("nativeError", message));
        EXPECT_EQ(message.toString(), "The Analyzer PNG data is invalid.");
    }

    // A trace larger than 32 MB.
    const auto big = folder.getChildFile("big.frd");
    {
        juce::FileOutputStream out(big);
        std::string block(1 << 20, '1');
        for (int i = 0; i < 33; ++i)
            out.write(block.data(), block.size());
    }
    nextAnswer = big;
    EXPECT_FALSE(static_cast<bool>(call(b, "importAnalyzerTrace")));
    juce::var message;
    ASSERT_TRUE(page.waitFor("nativeError", message));
    EXPECT_EQ(message.toString(), "The Analyzer trace is missing or larger than 32 MB.");

    const auto trace = folder.getChildFile("driver.frd");
    ASSERT_TRUE(trace.replaceWithText("20 80 0\n", false, false, "\n"));
    nextAnswer = trace;
    const auto answer = juce::JSON::parse(call(b, "importAnalyzerTrace").toString());
    EXPECT_EQ(answer["fileName"].toString(), "driver.frd");
    EXPECT_EQ(answer["content"].toString(), "20 80 0\n");
}
} // namespace
} // namespace speaker::test
