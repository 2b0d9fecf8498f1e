#pragma once

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace corvana::test
{
struct CliResult
{
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built corvana-cli as a user would, in a scratch folder of its own.
class CliTest : public ::testing::Test
{
protected:
    juce::TemporaryFile outFile, errFile;
    juce::File folder = juce::File::createTempFile("corvana-cli-test");

    void SetUp() override { ASSERT_TRUE(folder.createDirectory()); }
    void TearDown() override { folder.deleteRecursively(); }

    static std::string quoted(const std::string& s)
    {
        std::string result = "'";
        for (const char c : s)
            result += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return result + "'";
    }

    CliResult run(const std::vector<std::string>& args)
    {
        std::string command = quoted(CORVANA_CLI_PATH);
        for (const auto& a : args)
            command.append(" ").append(quoted(a));
        command.append(" >").append(quoted(outFile.getFile().getFullPathName().toStdString()));
        command.append(" 2>").append(quoted(errFile.getFile().getFullPathName().toStdString()));
        const int status = std::system(command.c_str());
        CliResult r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = outFile.getFile().loadFileAsString().toStdString();
        r.err = errFile.getFile().loadFileAsString().toStdString();
        return r;
    }

    std::string write(const std::string& name, const std::string& text)
    {
        const auto f = folder.getChildFile(name);
        f.replaceWithText(text, false, false, "\n");
        return f.getFullPathName().toStdString();
    }

    std::string pathIn(const std::string& name) const { return folder.getChildFile(name).getFullPathName().toStdString(); }

    static std::string reference(const std::string& name) { return std::string(CORVANA_BENCH_PROJECTS_DIR) + "/" + name; }
};
} // namespace corvana::test
