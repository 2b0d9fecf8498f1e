#include "model/ProjectDocument.h"

#include "model/ProjectFile.h"

#include <limits>

namespace speaker
{
namespace
{
constexpr const char* kNotJson = "The project file is not valid JSON.";

// The JSON parser recurses once per nesting level, so a hostile file of nothing
// but brackets would exhaust the stack; real projects nest about eight deep. It
// also accumulates integer literals in 64 bits without an overflow check, so a
// literal of more digits than that holds is refused here instead of wrapping.
constexpr int kMaxJsonNesting = 256;
constexpr int kMaxIntegerDigits = 18;

bool isDigit(juce::juce_wchar c) { return c >= '0' && c <= '9'; }

bool isNumberCharacter(juce::juce_wchar c)
{
    return isDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

bool safeForJsonParser(const juce::String& text)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (auto p = text.getCharPointer(); ! p.isEmpty();)
    {
        const auto c = *p;
        if (inString)
        {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        }
        else if (c == '"')
            inString = true;
        else if (c == '[' || c == '{')
        {
            if (++depth > kMaxJsonNesting)
                return false;
        }
        else if (c == ']' || c == '}')
            --depth;
        else if (isDigit(c))
        {
            int digits = 0;
            while (isDigit(*p))
            {
                ++digits;
                ++p;
            }
            const bool integerLiteral = *p != '.' && *p != 'e' && *p != 'E';
            if (integerLiteral && digits > kMaxIntegerDigits)
                return false;
            while (isNumberCharacter(*p))
                ++p;
            continue;
        }
        ++p;
    }
    return true;
}
} // namespace

bool readProjectFile(const juce::File& file, AppSettings& settings, std::string& error)
{
    juce::MemoryBlock data;
    file.loadFileAsData(data);
    return readProjectText(std::string_view(static_cast<const char*>(data.getData()), data.getSize()), settings, error);
}

bool readProjectText(std::string_view utf8, AppSettings& settings, std::string& error)
{
    if (utf8.substr(0, 3) == "\xEF\xBB\xBF")
        utf8.remove_prefix(3);

    // JUCE's strings trust their UTF-8; a malformed sequence would let the parser
    // step past the end of the text.
    juce::var parsed;
    const bool decodable = ! utf8.empty() && utf8.size() < static_cast<size_t>(std::numeric_limits<int>::max())
                        && utf8.find('\0') == std::string_view::npos
                        && juce::CharPointer_UTF8::isValidString(utf8.data(), static_cast<int>(utf8.size()));
    const auto text = decodable ? juce::String::fromUTF8(utf8.data(), static_cast<int>(utf8.size())) : juce::String();
    if (text.isEmpty() || ! safeForJsonParser(text) || juce::JSON::parse(text, parsed).failed())
    {
        error = kNotJson;
        return false;
    }

    AppSettings result;
    std::string message;
    if (! settingsFromVar(parsed, result, message))
    {
        error = message.empty() ? kNotJson : message;
        return false;
    }
    settings = std::move(result);
    return true;
}

std::string projectJsonText(const juce::var& project)
{
    return juce::JSON::toString(project, true, 15).toStdString();
}

bool writeTextFileAtomically(const juce::File& destination, const std::string& text, std::string& error)
{
    if (destination.isDirectory())
    {
        error = "The project could not replace its destination file.";
        return false;
    }

    juce::TemporaryFile temporary(destination);
    {
        juce::FileOutputStream stream(temporary.getFile());
        const bool written = stream.openedOk() && stream.write(text.data(), text.size());
        stream.flush();
        if (! written || stream.getStatus().failed())
        {
            error = "The temporary project file could not be written.";
            return false;
        }
    }
    if (! temporary.overwriteTargetFileWithTemporary())
    {
        error = "The project could not replace its destination file.";
        return false;
    }
    return true;
}
} // namespace speaker
