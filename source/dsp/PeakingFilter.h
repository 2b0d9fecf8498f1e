#pragma once

#include "dsp/IirSections.h"

#include <cstdint>

// Peaking equaliser section with crossfaded coefficient changes and a ramped
// bypass (5 ms each at the filter's rate). While bypassed the filter keeps
// running so that un-bypassing starts from a current state.
class PeakingFilter
{
public:
    // False (previous coefficients kept) for a non-finite argument or an unusable rate.
    bool setParams(double sampleRate, double frequencyHz, double gainDb, double q) noexcept;
    void setBypassed(bool shouldBeBypassed) noexcept;

    float processSample(float x) noexcept;
    // In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept;
    // Clears the states and ends the crossfade and the bypass ramp on their targets.
    void reset() noexcept;

    double getSampleRate() const noexcept { return designedRate; }
    double getFrequency() const noexcept { return designedFrequencyHz; }
    double getGainDb() const noexcept { return designedGainDb; }
    double getQ() const noexcept { return designedQ; }
    bool isBypassed() const noexcept { return bypassed; }
    bool isConfigured() const noexcept { return biquad.isConfigured(); }
    bool isCrossfading() const noexcept { return biquad.isCrossfading(); }
    bool isBypassRamping() const noexcept { return mixRemaining != 0; }
    // 1 = filtered, 0 = dry.
    double getBypassMix() const noexcept { return mixCurrent; }

    const BiquadCoefficients& coefficients() const noexcept { return biquad.coefficients(); }
    const BiquadCoefficients& newestCoefficients() const noexcept { return biquad.newestCoefficients(); }
    const CrossfadingBiquad& filter() const noexcept { return biquad; }

private:
    float processRampSample(float x) noexcept;

    CrossfadingBiquad biquad;
    double designedRate = 48000.0;
    double designedFrequencyHz = 1000.0;
    double designedGainDb = 0.0;
    double designedQ = 0.7071067811865476;
    bool bypassed = false;
    double mixCurrent = 1.0;
    double mixStart = 1.0;
    double mixTarget = 1.0;
    std::uint32_t mixTotal = 0;
    std::uint32_t mixRemaining = 0;
};
