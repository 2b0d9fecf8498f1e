#pragma once

// Checks and clamps of single parameter values. Each returns false with a
// message and leaves the field as it was when the value is refused.

#include "model/AppSettings.h"

#include <juce_core/juce_core.h>

#include <string>

namespace speaker
{
bool setFiniteVolumeDb(const juce::var& value, double& field, std::string& error);
bool setFiniteGainDb(const juce::var& value, double& field, std::string& error);
bool setFiniteDelayUs(const juce::var& value, double& field, std::string& error);
// Whole samples at `sampleRate`, stored as microseconds.
bool setFiniteDelaySamples(const juce::var& value, double& delayUs, double sampleRate, std::string& error);
bool setShelfOrder(const juce::var& value, InsertedModuleSettings& module, std::string& error);
bool setLowPassOrder(const juce::var& value, InsertedModuleSettings& module, std::string& error);
bool setLowPassShape(const juce::var& value, InsertedModuleSettings& module, std::string& error);
bool setHighPassOrder(const juce::var& value, InsertedModuleSettings& module, std::string& error);
bool setHighPassShape(const juce::var& value, InsertedModuleSettings& module, std::string& error);
bool setDivideSafety(const juce::var& value, double& field, double lowest, double highest, std::string& error);

// The value's integer conversion, except that a non-finite or huge number reads
// as 0 or the nearest int instead of being undefined.
int parameterInt(const juce::var& value);
} // namespace speaker
