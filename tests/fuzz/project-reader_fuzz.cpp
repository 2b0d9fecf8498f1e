// JSON text through the project reader, as a project file would arrive.
#include "model/ProjectDocument.h"
#include "model/ProjectFile.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    speaker::AppSettings settings;
    std::string error;
    if (speaker::readProjectText(std::string_view(reinterpret_cast<const char*>(data), size), settings, error))
    {
        // Whatever the reader accepts must survive its own writer.
        speaker::AppSettings again;
        std::string secondError;
        if (! speaker::settingsFromVar(speaker::settingsToVar(settings, true), again, secondError) || ! (again == settings))
            __builtin_trap();
    }
    return 0;
}
