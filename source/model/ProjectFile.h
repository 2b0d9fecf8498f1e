#pragma once

#include "model/AppSettings.h"

#include <juce_core/juce_core.h>

#include <string>

namespace speaker
{
// The project as its JSON object. Without coefficients the result is for display
// only: it cannot be read back.
juce::var settingsToVar(const AppSettings& settings, bool includeFirCoefficients);

// Reads any generation of the format. On failure returns false, sets one message
// and leaves `settings` untouched.
bool settingsFromVar(const juce::var& value, AppSettings& settings, std::string& error);
} // namespace speaker
