#pragma once

#include <juce_core/juce_core.h>

#include <optional>
#include <string>
#include <vector>

namespace speaker
{
struct ParsedFirFile
{
    std::string fileName;
    int sampleRateHz = 0;
    std::vector<float> coefficients;
};

// Parses an FIR coefficient text file; on failure returns nothing and sets one message.
std::optional<ParsedFirFile> parseFirFile(const juce::File& file, std::string& error);

// The same rules over text already in memory; `fileName` is reported as given.
std::optional<ParsedFirFile> parseFirText(const std::string& text, const std::string& fileName, std::string& error);
} // namespace speaker
