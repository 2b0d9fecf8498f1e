// corvana-cli analyze, run as a program on the reference project.

#include "cli/CliTest.h"

namespace
{
class AnalyzeCliTest : public corvana::test::CliTest
{
protected:
    corvana::test::CliResult analyze(const std::vector<std::string>& options)
    {
        std::vector<std::string> args { "analyze", reference("reference-3way-stereo.corv") };
        args.insert(args.end(), options.begin(), options.end());
        return run(args);
    }

    static juce::StringArray lines(const std::string& text)
    {
        juce::StringArray l;
        l.addLines(juce::String(text));
        l.removeEmptyStrings();
        return l;
    }
};
} // namespace

TEST_F(AnalyzeCliTest, JsonPrintsTheResultObject)
{
    const auto r = analyze({ "--target", "out1", "--format", "json" });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto result = juce::JSON::parse(juce::String(r.out));
    EXPECT_EQ(result["status"].toString(), "ok");
    EXPECT_EQ(result["targetId"].toString(), "out1");
    EXPECT_EQ(result["mode"].toString(), "path");
    EXPECT_EQ(result["path"].size(), 10); // in1, eight Blocks, out1
    EXPECT_EQ(result["magnitudeDb"].size(), 401);

    const auto block = analyze({ "--target", "node6", "--mode", "block", "--rate", "48000", "--level", "-20",
                                 "--format", "json" });
    ASSERT_EQ(block.exitCode, 0) << block.err;
    const auto delay = juce::JSON::parse(juce::String(block.out));
    EXPECT_EQ(static_cast<int>(delay["peakSample"]), 24); // 500 us
    EXPECT_EQ(static_cast<double>(delay["levelDb"]), -20.0);
}

TEST_F(AnalyzeCliTest, CsvAndFrdCarryTheResponse)
{
    const auto json = juce::JSON::parse(juce::String(analyze({ "--target", "out3", "--format", "json" }).out));
    const auto* magnitude = json["magnitudeDb"].getArray();
    ASSERT_NE(magnitude, nullptr);

    const auto csv = analyze({ "--target", "out3", "--format", "csv" });
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    const auto rows = lines(csv.out);
    ASSERT_EQ(rows.size(), 402);
    EXPECT_EQ(rows[0], "frequency_hz,magnitude_db,phase_degrees");
    for (int i = 1; i < rows.size(); ++i)
    {
        const auto cells = juce::StringArray::fromTokens(rows[i], ",", "");
        ASSERT_EQ(cells.size(), 3) << rows[i];
        EXPECT_NEAR(cells[1].getDoubleValue(), static_cast<double>((*magnitude)[i - 1]), 1e-9) << i;
    }

    const auto frd = analyze({ "--target", "out3", "--format", "frd" });
    ASSERT_EQ(frd.exitCode, 0) << frd.err;
    const auto frdLines = lines(frd.out);
    int data = 0;
    for (const auto& line : frdLines)
    {
        if (line.startsWith("*"))
            continue;
        const auto cells = juce::StringArray::fromTokens(line, "\t", "");
        ASSERT_EQ(cells.size(), 3) << line;
        EXPECT_NEAR(cells[1].getDoubleValue(), static_cast<double>((*magnitude)[data]), 1e-9);
        ++data;
    }
    EXPECT_EQ(data, 401);
}

TEST_F(AnalyzeCliTest, SweepCsvAddsDistortionColumnsAndWritesToAFile)
{
    const auto path = pathIn("response.csv");
    const auto r = analyze({ "--target", "out1", "--sweep", "--start", "20", "--end", "20000", "--duration", "1",
                             "--inputs", "in1", "--format", "csv", "-o", path });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.out.empty());
    const auto rows = lines(juce::File(path).loadFileAsString().toStdString());
    ASSERT_EQ(rows.size(), 402);
    EXPECT_EQ(rows[0], "frequency_hz,magnitude_db,phase_degrees,thd_db,h2_db,h3_db");
    const auto low = juce::StringArray::fromTokens(rows[1], ",", "");
    ASSERT_EQ(low.size(), 6);
    EXPECT_EQ(low[0], "20");
    EXPECT_TRUE(low[3].isNotEmpty() && low[4].isNotEmpty() && low[5].isNotEmpty());
    // Above a quarter of the rate there is no distortion point to read.
    const auto high = juce::StringArray::fromTokens(rows[401], ",", "");
    ASSERT_EQ(high.size(), 6);
    EXPECT_TRUE(high[3].isEmpty() && high[5].isEmpty());
}

TEST_F(AnalyzeCliTest, FailedAnalysesPrintTheirMessage)
{
    const auto missing = analyze({ "--target", "node99", "--format", "json" });
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "The selected analysis target no longer exists.\n");
    EXPECT_TRUE(missing.out.empty());

    const auto rate = analyze({ "--target", "out1", "--rate", "96000", "--format", "frd" });
    EXPECT_EQ(rate.exitCode, 1);
    EXPECT_EQ(rate.err, "FIR sample rate 48000 Hz does not match the Analyzer sample rate 96000 Hz.\n");

    const auto notOnPath = analyze({ "--target", "out1", "--inputs", "in2", "--format", "csv" });
    EXPECT_EQ(notOnPath.exitCode, 1);
    EXPECT_EQ(notOnPath.err, "Select at least one Input on this signal path.\n");
}

TEST_F(AnalyzeCliTest, MalformedRequestsAreUsageErrors)
{
    const std::vector<std::vector<std::string>> cases {
        { "--target", "out1" },
        { "--format", "json" },
        { "--target", "out1", "--format", "xml" },
        { "--target", "out1", "--mode", "chain", "--format", "json" },
        { "--target", "out1", "--rate", "fast", "--format", "json" },
        { "--target", "out1", "--format", "json", "--level" },
        { "--target", "out1", "--colour", "red", "--format", "json" },
    };
    for (const auto& c : cases)
    {
        const auto r = analyze(c);
        EXPECT_EQ(r.exitCode, 2) << juce::StringArray([&] {
            juce::StringArray a;
            for (const auto& s : c)
                a.add(s);
            return a;
        }()).joinIntoString(" ");
        EXPECT_NE(r.err.find("usage: corvana-cli analyze PROJECT"), std::string::npos);
    }
}
