#include "model/FirFile.h"

#include "model/AppSettings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <string_view>

namespace speaker
{
namespace
{
constexpr const char* kMissingFileMessage = "The FIR coefficient file does not exist.";
constexpr const char* kUnreadableFileMessage = "The FIR coefficient file could not be read.";
constexpr const char* kDuplicateMetadataMessage = "The FIR file contains duplicate sample-rate metadata.";
constexpr const char* kInvalidMetadataMessage = "Invalid # sample_rate_hz metadata.";
constexpr const char* kOneNumberMessage = "Each FIR coefficient line must contain exactly one number.";
constexpr const char* kInvalidCoefficientPrefix = "Invalid FIR coefficient: ";
constexpr const char* kTooManyTapsMessage = "FIR files may contain at most 4096 taps.";
constexpr const char* kUnsupportedRateMessage = "Missing or unsupported # sample_rate_hz metadata.";
constexpr const char* kNoCoefficientsMessage = "The FIR file contains no coefficients.";

constexpr std::string_view kMetadataKey = "# sample_rate_hz";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view trimmed(std::string_view text)
{
    while (! text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (! text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

bool isMetadataKey(std::string_view key)
{
    key = trimmed(key);
    if (key.size() != kMetadataKey.size())
        return false;
    for (size_t i = 0; i < key.size(); ++i)
    {
        const char c = (key[i] >= 'A' && key[i] <= 'Z') ? static_cast<char>(key[i] - 'A' + 'a') : key[i];
        if (c != kMetadataKey[i])
            return false;
    }
    return true;
}

// Decimal digits only; very long values saturate so that they simply fail the rate check.
bool parseRate(std::string_view text, long long& rate)
{
    if (text.empty())
        return false;
    rate = 0;
    for (const char c : text)
    {
        if (! isDigit(c))
            return false;
        if (rate < 1'000'000'000'000LL)
            rate = rate * 10 + (c - '0');
    }
    return true;
}

// The plain decimal form the C library accepts: sign, digits with an optional point, optional
// exponent. Hexadecimal, "inf" and "nan" are not coefficients.
bool isDecimalNumber(std::string_view token)
{
    size_t i = 0;
    if (i < token.size() && (token[i] == '+' || token[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < token.size() && isDigit(token[i]))
        ++i, ++digits;
    if (i < token.size() && token[i] == '.')
    {
        ++i;
        while (i < token.size() && isDigit(token[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E'))
    {
        ++i;
        if (i < token.size() && (token[i] == '+' || token[i] == '-'))
            ++i;
        size_t exponentDigits = 0;
        while (i < token.size() && isDigit(token[i]))
            ++i, ++exponentDigits;
        if (exponentDigits == 0)
            return false;
    }
    return i == token.size();
}

// Read in the "C" locale: the host may have switched LC_NUMERIC to one with a decimal comma.
locale_t cLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

bool parseCoefficient(std::string_view token, float& value)
{
    if (! isDecimalNumber(token))
        return false;

    const std::string text(token);
    char* end = nullptr;
    errno = 0;
    const double parsed = strtod_l(text.c_str(), &end, cLocale());
    if (end != text.c_str() + text.size() || errno == ERANGE || ! std::isfinite(parsed))
        return false;

    // Narrowing rounds to nearest: up to half a float step above the largest float still gives
    // that float, from there on the tap would be infinite. Done by hand to keep the cast defined.
    constexpr double largest = static_cast<double>(std::numeric_limits<float>::max());
    constexpr double infinityFrom = largest + 0x1p103;
    const double magnitude = std::abs(parsed);
    if (magnitude >= infinityFrom)
        return false;
    if (magnitude > largest)
        value = parsed > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max();
    else
        value = static_cast<float>(parsed);
    return true;
}

bool isSupportedRate(long long rate)
{
    for (const int supported : kFirSampleRates)
        if (std::abs(static_cast<double>(rate) - supported) <= 0.5)
            return true;
    return false;
}
} // namespace

std::optional<ParsedFirFile> parseFirText(const std::string& text, const std::string& fileName, std::string& error)
{
    std::string_view rest = text;
    if (rest.starts_with(kUtf8Bom))
        rest.remove_prefix(kUtf8Bom.size());

    ParsedFirFile result;
    result.fileName = fileName;
    bool haveRate = false;
    long long rate = 0;

    while (! rest.empty())
    {
        // Lines end in LF, CR LF or a lone CR.
        const size_t lineEnd = rest.find_first_of("\r\n");
        std::string_view line = rest.substr(0, lineEnd);
        if (lineEnd == std::string_view::npos)
            rest = {};
        else
            rest.remove_prefix(lineEnd + ((rest[lineEnd] == '\r' && lineEnd + 1 < rest.size() && rest[lineEnd + 1] == '\n') ? 2 : 1));

        line = trimmed(line);
        if (line.empty())
            continue;

        if (line.front() == '#')
        {
            const size_t colon = line.find(':');
            if (colon == std::string_view::npos || ! isMetadataKey(line.substr(0, colon)))
                continue; // comment

            if (haveRate)
            {
                error = kDuplicateMetadataMessage;
                return std::nullopt;
            }
            if (! parseRate(trimmed(line.substr(colon + 1)), rate))
            {
                error = kInvalidMetadataMessage;
                return std::nullopt;
            }
            haveRate = true;
            continue;
        }

        if (line.find_first_of(",; \t") != std::string_view::npos)
        {
            error = kOneNumberMessage;
            return std::nullopt;
        }

        float value = 0.0f;
        if (! parseCoefficient(line, value))
        {
            error = std::string(kInvalidCoefficientPrefix) + std::string(line);
            return std::nullopt;
        }
        if (result.coefficients.size() >= static_cast<size_t>(kMaxFirCoefficients))
        {
            error = kTooManyTapsMessage;
            return std::nullopt;
        }
        result.coefficients.push_back(value);
    }

    if (! haveRate || ! isSupportedRate(rate))
    {
        error = kUnsupportedRateMessage;
        return std::nullopt;
    }
    if (result.coefficients.empty())
    {
        error = kNoCoefficientsMessage;
        return std::nullopt;
    }

    result.sampleRateHz = static_cast<int>(rate);
    return result;
}

std::optional<ParsedFirFile> parseFirFile(const juce::File& file, std::string& error)
{
    if (! file.existsAsFile())
    {
        error = kMissingFileMessage;
        return std::nullopt;
    }

    juce::MemoryBlock data;
    if (! file.loadFileAsData(data))
    {
        error = kUnreadableFileMessage;
        return std::nullopt;
    }

    const std::string text = data.getSize() == 0 ? std::string() : std::string(static_cast<const char*>(data.getData()), data.getSize());
    return parseFirText(text, file.getFileName().toStdString(), error);
}
} // namespace speaker
