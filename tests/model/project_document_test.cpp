#include "model/ProjectDocument.h"
#include "model/ProjectFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <unistd.h>

using namespace speaker;

namespace
{
std::string defaultProjectText()
{
    return projectJsonText(settingsToVar(makeDefaultSettings("stereo", {}), true));
}

std::string readError(const std::string& text)
{
    AppSettings settings = makeDefaultSettings("mono", {});
    const auto before = settings;
    std::string error;
    EXPECT_FALSE(readProjectText(text, settings, error));
    EXPECT_EQ(settings, before);
    return error;
}
} // namespace

TEST(ProjectDocument, ReadsWhatItWrites)
{
    AppSettings settings;
    std::string error;
    ASSERT_TRUE(readProjectText(defaultProjectText(), settings, error)) << error;
    EXPECT_EQ(settings, makeDefaultSettings("stereo", {}));
    ASSERT_TRUE(readProjectText("\xEF\xBB\xBF" + defaultProjectText(), settings, error)) << error;
}

TEST(ProjectDocument, RefusesTextThatIsNotJson)
{
    const std::string notJson = "The project file is not valid JSON.";
    EXPECT_EQ(readError(""), notJson);
    EXPECT_EQ(readError("{\"schemaVersion\": 3,"), notJson);
    EXPECT_EQ(readError(std::string(100000, '[')), notJson);
    EXPECT_EQ(readError(std::string(300, '[') + std::string(300, ']')), notJson);
    EXPECT_EQ(readError(R"({"schemaVersion": 12345678901234567890123})"), "Unsupported project format version.");
    EXPECT_EQ(readError("{\"projectName\": \"\xF0\"}"), notJson);
    EXPECT_EQ(readError(R"({"schemaVersion": -x9999999999999999})"), notJson);

    // Brackets and digits inside strings, and long decimals, are ordinary text.
    EXPECT_EQ(readError(R"({"schemaVersion": 3, "projectName": ")" + std::string(1000, '[') + R"("})"),
              "The project is missing its input or output configuration.");
    EXPECT_EQ(readError(R"({"schemaVersion": 3, "x": "123456789012345678901234", "y": 0.1234567890123456789012})"),
              "The project is missing its input or output configuration.");
    EXPECT_EQ(readError("[]"), "The project root must be a JSON object.");
}

class AtomicWrite : public ::testing::Test
{
protected:
    juce::File folder = juce::File::createTempFile("corvana-write-test");
    void SetUp() override { ASSERT_TRUE(folder.createDirectory()); }
    void TearDown() override
    {
        setImmutable(false);
        chmod(folder.getFullPathName().toRawUTF8(), 0755);
        folder.deleteRecursively();
    }

    // Permissions do not bind root, so root makes the folder immutable instead.
    bool makeFolderReadOnly()
    {
        if (geteuid() != 0)
            return chmod(folder.getFullPathName().toRawUTF8(), 0555) == 0;
        return setImmutable(true);
    }

    bool setImmutable(bool on)
    {
        if (geteuid() != 0)
            return false;
        const auto command = std::string("chattr ") + (on ? "+i " : "-i ") + "'" + folder.getFullPathName().toStdString() + "' 2>/dev/null";
        return std::system(command.c_str()) == 0;
    }
};

TEST_F(AtomicWrite, ReplacesTheDestinationAndLeavesNoTemporaryFile)
{
    const auto destination = folder.getChildFile("Room.corv");
    ASSERT_TRUE(destination.replaceWithText("old"));
    std::string error;
    ASSERT_TRUE(writeTextFileAtomically(destination, "new text", error)) << error;
    EXPECT_EQ(destination.loadFileAsString(), "new text");
    EXPECT_EQ(folder.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 1);
}

TEST_F(AtomicWrite, FailuresLeaveTheDestinationAlone)
{
    std::string error;
    const auto subfolder = folder.getChildFile("Room.corv");
    ASSERT_TRUE(subfolder.createDirectory());
    EXPECT_FALSE(writeTextFileAtomically(subfolder, "text", error));
    EXPECT_EQ(error, "The project could not replace its destination file.");
    EXPECT_TRUE(subfolder.isDirectory());

    const auto destination = folder.getChildFile("Kept.corv");
    ASSERT_TRUE(destination.replaceWithText("old"));
    if (! makeFolderReadOnly())
        GTEST_SKIP() << "this file system cannot make a folder read-only";
    EXPECT_FALSE(writeTextFileAtomically(destination, "new", error));
    EXPECT_EQ(error, "The temporary project file could not be written.");
    EXPECT_EQ(destination.loadFileAsString(), "old");
}
