#include "model/FirFile.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

using namespace speaker;

namespace
{
const std::string kMissingFile = "The FIR coefficient file does not exist.";
const std::string kDuplicateMetadata = "The FIR file contains duplicate sample-rate metadata.";
const std::string kInvalidMetadata = "Invalid # sample_rate_hz metadata.";
const std::string kOneNumber = "Each FIR coefficient line must contain exactly one number.";
const std::string kInvalid = "Invalid FIR coefficient: ";
const std::string kTooMany = "FIR files may contain at most 4096 taps.";
const std::string kRate = "Missing or unsupported # sample_rate_hz metadata.";
const std::string kNoCoefficients = "The FIR file contains no coefficients.";

constexpr float kFloatMax = std::numeric_limits<float>::max();

std::string taps(int count)
{
    std::string text = "# sample_rate_hz: 48000\n";
    for (int i = 0; i < count; ++i)
        text += (i == 0 ? "1\n" : "0\n");
    return text;
}

struct Case
{
    const char* name;
    std::string text;
    std::string error; // empty: parses
    int rate = 0;
    std::vector<float> coefficients {};
};

const std::vector<Case>& cases()
{
    static const std::vector<Case> table {
        { "plain file", "# sample_rate_hz: 48000\n1.0\n0.5\n-0.25\n", "", 48000, { 1.0f, 0.5f, -0.25f } },
        { "44100 and CR LF", "# sample_rate_hz: 44100\r\n1\r\n2\r\n", "", 44100, { 1.0f, 2.0f } },
        { "96000 and lone CR", "# sample_rate_hz: 96000\r1\r2\r", "", 96000, { 1.0f, 2.0f } },
        { "mixed line ends, no final one", "# sample_rate_hz: 48000\r\n1\n2\r3", "", 48000, { 1.0f, 2.0f, 3.0f } },
        { "byte-order mark", "\xEF\xBB\xBF# sample_rate_hz: 48000\n0.5\n", "", 48000, { 0.5f } },
        { "metadata after the taps", "0.5\n# sample_rate_hz: 48000\n", "", 48000, { 0.5f } },
        { "key in another case", "# Sample_Rate_Hz: 48000\n1\n", "", 48000, { 1.0f } },
        { "spaces around key, colon and value", "  # sample_rate_hz  :   48000  \n1\n", "", 48000, { 1.0f } },
        { "leading zeros in the rate", "# sample_rate_hz: 048000\n1\n", "", 48000, { 1.0f } },
        { "blank lines, comments, indentation", "\n# designed by hand\n# sample_rate_hz: 48000\n\n\t 0.25 \t\n   \n# note: ignored\n", "", 48000,
            { 0.25f } },
        { "every C number form", "# sample_rate_hz: 48000\n+1\n-.5\n5.\n1e-3\n-2.5E+2\n0\n-0\n", "", 48000,
            { 1.0f, -0.5f, 5.0f, 0.001f, -250.0f, 0.0f, -0.0f } },
        { "tiny values that become float denormals or zero", "# sample_rate_hz: 48000\n1e-40\n1e-300\n", "", 48000,
            { 1e-40f, static_cast<float>(1e-300) } },
        { "largest float", "# sample_rate_hz: 48000\n3.4028234663852886e38\n-3.4028234663852886e38\n", "", 48000, { kFloatMax, -kFloatMax } },
        { "rounds down to the largest float", "# sample_rate_hz: 48000\n3.40282356e38\n", "", 48000, { kFloatMax } },

        { "key without the space is a comment", "#sample_rate_hz: 48000\n1\n", kRate },
        { "key with two spaces is a comment", "#  sample_rate_hz: 48000\n1\n", kRate },
        { "key without a colon is a comment", "# sample_rate_hz 48000\n1\n", kRate },
        { "decimal rate", "# sample_rate_hz: 48000.0\n1\n", kInvalidMetadata },
        { "empty rate", "# sample_rate_hz:\n1\n", kInvalidMetadata },
        { "signed rate", "# sample_rate_hz: +48000\n1\n", kInvalidMetadata },
        { "rate with a comment after it", "# sample_rate_hz: 48000 # Hz\n1\n", kInvalidMetadata },
        { "unsupported rate", "# sample_rate_hz: 22050\n1\n", kRate },
        { "rate too long for any integer", "# sample_rate_hz: 480000000000000000000000000000000\n1\n", kRate },
        { "rate that wraps a 32-bit int to 48000", "# sample_rate_hz: 4295015296\n1\n", kRate },
        { "duplicate metadata", "# sample_rate_hz: 48000\n1\n# SAMPLE_RATE_HZ: 48000\n", kDuplicateMetadata },
        { "duplicate before a bad value", "# sample_rate_hz: 48000\n# sample_rate_hz: x\n", kDuplicateMetadata },
        { "no metadata", "1\n0.5\n", kRate },
        { "empty text", "", kRate },
        { "only comments", "# sample_rate_hz: 48000\n# nothing here\n\n", kNoCoefficients },

        { "comma and space", "# sample_rate_hz: 48000\n0.5, 0.25\n", kOneNumber },
        { "trailing comma", "# sample_rate_hz: 48000\n0.5,\n", kOneNumber },
        { "semicolon", "# sample_rate_hz: 48000\n0.5;0.25\n", kOneNumber },
        { "tab inside", "# sample_rate_hz: 48000\n0.5\t0.25\n", kOneNumber },
        { "separator only", "# sample_rate_hz: 48000\n;\n", kOneNumber },
        { "letters", "# sample_rate_hz: 48000\nabc\n", kInvalid + "abc" },
        { "number with trailing text", "# sample_rate_hz: 48000\n0.5x\n", kInvalid + "0.5x" },
        { "exponent without digits", "# sample_rate_hz: 48000\n1e\n", kInvalid + "1e" },
        { "lone point", "# sample_rate_hz: 48000\n.\n", kInvalid + "." },
        { "lone sign", "# sample_rate_hz: 48000\n-\n", kInvalid + "-" },
        { "hexadecimal", "# sample_rate_hz: 48000\n0x1p-3\n", kInvalid + "0x1p-3" },
        { "infinity", "# sample_rate_hz: 48000\ninf\n", kInvalid + "inf" },
        { "nan", "# sample_rate_hz: 48000\nNaN\n", kInvalid + "NaN" },
        { "decimal comma", "# sample_rate_hz: 48000\n0,5\n", kOneNumber },
        { "beyond float", "# sample_rate_hz: 48000\n1e39\n", kInvalid + "1e39" },
        { "rounds up to float infinity", "# sample_rate_hz: 48000\n-3.40282357e38\n", kInvalid + "-3.40282357e38" },
        { "beyond double", "# sample_rate_hz: 48000\n1e400\n", kInvalid + "1e400" },
        { "underflows double", "# sample_rate_hz: 48000\n1e-400\n", kInvalid + "1e-400" },
        { "control character inside", std::string("# sample_rate_hz: 48000\n1\x01\n"), kInvalid + "1\x01" },
        { "NUL inside", std::string("# sample_rate_hz: 48000\n1\0002\n", 28), kInvalid + std::string("1\0002", 3) },
        { "byte-order mark not at the start", "# sample_rate_hz: 48000\n\xEF\xBB\xBF" "1\n", kInvalid + "\xEF\xBB\xBF" "1" },
        { "first failure wins", "# sample_rate_hz: 48000\nabc\n1,2\n", kInvalid + "abc" },
        { "line failure before the final checks", "1,2\n", kOneNumber },

        { "4096 taps", taps(4096), "", 48000 },
        { "4097 taps", taps(4097), kTooMany },
        { "bad 4097th line reports itself", taps(4096) + "x\n", kInvalid + "x" },
    };
    return table;
}
} // namespace

TEST(FirText, TableOfCases)
{
    for (const auto& c : cases())
    {
        SCOPED_TRACE(c.name);
        std::string error;
        const auto parsed = parseFirText(c.text, "taps.txt", error);
        if (! c.error.empty())
        {
            EXPECT_FALSE(parsed.has_value());
            EXPECT_EQ(error, c.error);
            continue;
        }
        ASSERT_TRUE(parsed.has_value()) << error;
        EXPECT_EQ(parsed->fileName, "taps.txt");
        EXPECT_EQ(parsed->sampleRateHz, c.rate);
        if (! c.coefficients.empty())
        {
            ASSERT_EQ(parsed->coefficients.size(), c.coefficients.size());
            for (size_t i = 0; i < c.coefficients.size(); ++i)
            {
                EXPECT_EQ(parsed->coefficients[i], c.coefficients[i]) << "tap " << i;
                EXPECT_EQ(std::signbit(parsed->coefficients[i]), std::signbit(c.coefficients[i])) << "tap " << i;
            }
        }
    }
}

TEST(FirText, FullLengthKeepsOrder)
{
    std::string text = "# sample_rate_hz: 96000\n";
    for (int i = 0; i < 4096; ++i)
        text += std::to_string(i) + "\n";
    std::string error;
    const auto parsed = parseFirText(text, "ramp.csv", error);
    ASSERT_TRUE(parsed.has_value()) << error;
    ASSERT_EQ(parsed->coefficients.size(), 4096u);
    for (size_t i = 0; i < parsed->coefficients.size(); ++i)
        ASSERT_EQ(parsed->coefficients[i], static_cast<float>(i));
}

// The host may switch to a locale whose decimal separator is a comma; files still use points.
TEST(FirText, IgnoresTheProcessLocale)
{
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    bool switched = false;
    for (const char* name : { "de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8" })
        if (std::setlocale(LC_NUMERIC, name) != nullptr && std::string(std::localeconv()->decimal_point) == ",")
        {
            switched = true;
            break;
        }

    std::string error;
    const auto parsed = parseFirText("# sample_rate_hz: 48000\n0.5\n", "taps.txt", error);
    std::setlocale(LC_NUMERIC, previous.c_str());
    if (! switched)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    ASSERT_TRUE(parsed.has_value()) << error;
    EXPECT_EQ(parsed->coefficients, std::vector<float> { 0.5f });
}

class FirFileOnDisk : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = juce::File::getSpecialLocation(juce::File::tempDirectory).getNonexistentChildFile("corvana-fir", "", false);
        ASSERT_TRUE(folder.createDirectory().wasOk());
    }

    void TearDown() override { folder.deleteRecursively(); }

    juce::File write(const juce::String& name, const std::string& bytes)
    {
        auto file = folder.getChildFile(name);
        // replaceWithData deletes the file for zero bytes.
        EXPECT_TRUE(bytes.empty() ? file.create().wasOk() : file.replaceWithData(bytes.data(), bytes.size()));
        return file;
    }

    juce::File folder;
};

TEST_F(FirFileOnDisk, ReadsRealFiles)
{
    struct FileCase
    {
        const char* name;
        std::string bytes;
        size_t taps;
        int rate;
    };
    const std::vector<FileCase> files {
        { "woofer.txt", "# sample_rate_hz: 48000\n1.0\n0.5\n-0.25\n", 3, 48000 },
        { "bom.txt", "\xEF\xBB\xBF# sample_rate_hz: 44100\r\n0.5\r\n", 1, 44100 },
        { "classic mac.csv", "# sample_rate_hz: 96000\r0.5\r0.25\r", 2, 96000 },
        { "full.txt", taps(4096), 4096, 48000 },
    };
    for (const auto& f : files)
    {
        SCOPED_TRACE(f.name);
        std::string error;
        const auto parsed = parseFirFile(write(f.name, f.bytes), error);
        ASSERT_TRUE(parsed.has_value()) << error;
        EXPECT_EQ(parsed->fileName, f.name);
        EXPECT_EQ(parsed->sampleRateHz, f.rate);
        EXPECT_EQ(parsed->coefficients.size(), f.taps);
    }
}

TEST_F(FirFileOnDisk, ReportsFileProblems)
{
    const auto check = [](const juce::File& file, const std::string& expected)
    {
        std::string error;
        EXPECT_FALSE(parseFirFile(file, error).has_value());
        EXPECT_EQ(error, expected);
    };

    check(folder.getChildFile("missing.txt"), kMissingFile);
    check(folder, kMissingFile);
    check(juce::File(), kMissingFile);
    check(write("long.txt", taps(4097)), kTooMany);
    check(write("empty.txt", ""), kRate);
}
