#include "cli/CliTest.h"

using corvana::test::CliTest;

TEST_F(CliTest, CheckSummarisesTheReferenceProjects)
{
    const auto r = run({ "check", reference("reference-3way-stereo.corv") });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Reference 3-way stereo: 2 inputs, 6 outputs, ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(" Subsystem"), std::string::npos);

    const auto max = run({ "check", reference("reference-8way-stereo-max.corv") });
    EXPECT_EQ(max.exitCode, 0) << max.err;
    EXPECT_NE(max.out.find("16 outputs, 64 Blocks"), std::string::npos) << max.out;
}

TEST_F(CliTest, CheckReportsTheReadersMessage)
{
    const std::vector<std::pair<std::string, std::string>> cases {
        { "not json {", "The project file is not valid JSON." },
        { "[1, 2]", "The project root must be a JSON object." },
        { R"({"schemaVersion": 7, "inputs": [], "outputs": []})", "Unsupported project format version." },
        { R"({"schemaVersion": 3, "inputs": []})", "The project is missing its input or output configuration." },
        { R"({"schemaVersion": 3, "inputs": [], "outputs": []})", "The project is missing its canvas graph." },
    };
    for (const auto& [text, message] : cases)
    {
        const auto r = run({ "check", write("broken.corv", text) });
        EXPECT_EQ(r.exitCode, 1) << text;
        EXPECT_EQ(r.err, message + "\n") << text;
        EXPECT_TRUE(r.out.empty());
    }
}

TEST_F(CliTest, CheckFirPrintsTapsAndRate)
{
    const auto good = run({ "check-fir", write("woofer.txt", "# sample_rate_hz: 48000\n1.0\n0.5\n-0.25\n") });
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_EQ(good.out, "woofer.txt: 3 taps at 48000 Hz\n");

    const auto bad = run({ "check-fir", write("bad.txt", "# sample_rate_hz: 48000\nabc\n") });
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.err, "Invalid FIR coefficient: abc\n");

    const auto missing = run({ "check-fir", folder.getChildFile("none.txt").getFullPathName().toStdString() });
    EXPECT_EQ(missing.err, "The FIR coefficient file does not exist.\n");
}

TEST_F(CliTest, UpgradeWritesTheCurrentFormatAndRefusesBrokenInput)
{
    const auto out = folder.getChildFile("upgraded.corv").getFullPathName().toStdString();
    const auto r = run({ "upgrade", reference("reference-3way-stereo.corv"), out });
    ASSERT_EQ(r.exitCode, 0) << r.err;

    const auto written = juce::JSON::parse(juce::File(out).loadFileAsString());
    EXPECT_EQ(static_cast<int>(written["schemaVersion"]), 3);
    EXPECT_EQ(static_cast<int>(written["canvas"]["version"]), 6);
    EXPECT_TRUE(written["inputs"][0]["fir"]["coefficients"].isArray());
    EXPECT_EQ(run({ "check", out }).exitCode, 0);
    // Only the destination appears: the temporary sibling is gone.
    EXPECT_EQ(folder.getNumberOfChildFiles(juce::File::findFiles), 1);

    // Upgrading the upgraded file changes nothing.
    const auto again = folder.getChildFile("again.corv").getFullPathName().toStdString();
    ASSERT_EQ(run({ "upgrade", out, again }).exitCode, 0);
    EXPECT_EQ(juce::File(again).loadFileAsString(), juce::File(out).loadFileAsString());

    const auto before = juce::File(out).loadFileAsString();
    const auto refused = run({ "upgrade", write("broken.corv", "{}"), out });
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "Unsupported project format version.\n");
    EXPECT_EQ(juce::File(out).loadFileAsString(), before);

    EXPECT_EQ(run({ "upgrade", out, folder.getFullPathName().toStdString() }).exitCode, 1);
}

TEST_F(CliTest, UsageErrorsExitWithTwo)
{
    for (const auto& args : std::vector<std::vector<std::string>> { {}, { "frobnicate" }, { "check" }, { "upgrade", "a" }, { "check", "a", "b" } })
    {
        const auto r = run(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err.rfind("usage: corvana-cli", 0), 0u) << r.err;
    }
}
