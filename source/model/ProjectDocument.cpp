#include "model/ProjectDocument.h"

#include "model/Json.h"
#include "model/ProjectFile.h"

namespace speaker
{
namespace
{
constexpr const char* kNotJson = "The project file is not valid JSON.";
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

    juce::var parsed;
    if (! parseJson(utf8, parsed))
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
    return toJsonText(project);
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
