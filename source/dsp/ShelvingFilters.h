#pragma once

#include "dsp/IirSections.h"

// Second-order shelving filters (cookbook forms) whose coefficient changes
// are crossfaded over 5 ms at the filter's rate. A clamped gain of 0 dB is
// the identity. Until the first successful setParams the filter passes audio.
class ShelvingFilterBase
{
public:
    float processSample(float x) noexcept { return biquad.processSample(x); }
    // In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept { biquad.processBlock(in, out, numSamples); }
    // Clears the states and ends any crossfade on the newest coefficients.
    void reset() noexcept { biquad.reset(); }

    // The values of the last successful setParams, as designed (clamped).
    double getSampleRate() const noexcept { return designedRate; }
    double getFrequency() const noexcept { return designedFrequencyHz; }
    double getGainDb() const noexcept { return designedGainDb; }
    double getQ() const noexcept { return designedQ; }
    bool isConfigured() const noexcept { return biquad.isConfigured(); }
    bool isCrossfading() const noexcept { return biquad.isCrossfading(); }

    // Coefficients currently running (the older set during a crossfade).
    const BiquadCoefficients& coefficients() const noexcept { return biquad.coefficients(); }
    const BiquadCoefficients& newestCoefficients() const noexcept { return biquad.newestCoefficients(); }
    const CrossfadingBiquad& filter() const noexcept { return biquad; }

protected:
    ShelvingFilterBase() = default;
    bool apply(bool highShelf, double rate, double frequency, double gain, double q) noexcept;

    CrossfadingBiquad biquad;
    double designedRate = 48000.0;
    double designedFrequencyHz = 1000.0;
    double designedGainDb = 0.0;
    double designedQ = 0.7071067811865476;
};

class LowShelvingFilter : public ShelvingFilterBase
{
public:
    // False (previous coefficients kept) for a non-finite argument or an unusable rate.
    bool setParams(double sampleRate, double frequencyHz, double gainDb, double q) noexcept
    {
        return apply(false, sampleRate, frequencyHz, gainDb, q);
    }
};

class HighShelvingFilter : public ShelvingFilterBase
{
public:
    bool setParams(double sampleRate, double frequencyHz, double gainDb, double q) noexcept
    {
        return apply(true, sampleRate, frequencyHz, gainDb, q);
    }
};
