#pragma once

#include "model/AppSettings.h"

#include <juce_core/juce_core.h>

#include <string>
#include <string_view>

namespace speaker
{
// Reads a project file of any generation into `settings`. On failure returns
// false with one message and leaves `settings` untouched. The name stored in the
// file is kept; callers that follow the file name set it themselves.
bool readProjectFile(const juce::File& file, AppSettings& settings, std::string& error);

// The same over the bytes of a file already in memory (UTF-8, optional byte-order mark).
bool readProjectText(std::string_view utf8, AppSettings& settings, std::string& error);

// The project object as the one-line JSON text that project files hold.
std::string projectJsonText(const juce::var& project);

// Writes `text` to a temporary sibling of `destination`, flushes it to disk and
// moves it over the destination, so a failure never leaves a half-written file.
bool writeTextFileAtomically(const juce::File& destination, const std::string& text, std::string& error);
} // namespace speaker
