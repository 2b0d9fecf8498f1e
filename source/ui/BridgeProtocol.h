#pragma once

#include <juce_core/juce_core.h>

#include <string>

namespace speaker
{
// Messages between a page and its window are {"event": name, "payload": value}.
// Decoding refuses anything else; the JSON reader refuses malformed text.
bool decodeBridgeMessage(const std::string& text, juce::String& event, juce::var& payload);
std::string encodeBridgeMessage(const juce::String& event, const juce::var& payload);

// One "__juce__invoke" payload: {"name", "params", "resultId"}.
struct NativeCall
{
    juce::String name;
    juce::Array<juce::var> params;
    juce::int64 resultId = 0;
};
bool readNativeCall(const juce::var& payload, NativeCall& call);
} // namespace speaker
