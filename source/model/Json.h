#pragma once

#include <juce_core/juce_core.h>

#include <string>
#include <string_view>

namespace speaker
{
// Strict JSON text (UTF-8) into a juce::var: objects keep their key order,
// integers become int or int64 as they fit, everything else double. Refuses
// malformed UTF-8, nesting deeper than any document of ours, and empty keys.
// JUCE's own parser is not used for text from outside: it folds integer
// overflow silently, recurses without bound and splits characters outside the
// Basic Multilingual Plane.
bool parseJson(std::string_view utf8, juce::var& result);

// One-line JSON text as JUCE writes it (numbers with up to 15 decimals), made
// strictly valid: JUCE escapes the bell character as "\a", which no strict
// reader accepts.
std::string toJsonText(const juce::var& value);

// Compact JSON for messages to the page: shortest round-trip numbers, no
// spaces, non-finite numbers as null. Several times faster than JUCE's writer.
std::string toCompactJson(const juce::var& value);
} // namespace speaker
