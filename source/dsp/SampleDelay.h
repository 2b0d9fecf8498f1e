#pragma once

#include <cstdint>
#include <vector>

// Whole-sample delay. A change of delay or bypass crossfades from the old tap
// to the new one (5 ms) rather than resampling, so it never clicks or pitches.
class SampleDelay
{
public:
    SampleDelay();

    // Allocates; call outside the audio path. Forgets the parameters.
    void prepare(unsigned maxDelaySamples, double sampleRate);
    // False (ignored) when the delay exceeds the maximum.
    bool setParams(unsigned delaySamples, bool bypassed) noexcept;
    void processBlock(const float* in, float* out, unsigned n) noexcept;
    void reset() noexcept;

    unsigned getMaxDelay() const noexcept { return maxDelay; }
    unsigned getActiveDelay() const noexcept { return activeDelay; }
    bool isCrossfading() const noexcept { return crossfadeRemaining > 0; }
    std::uint32_t getCrossfadeLength() const noexcept { return crossfadeLength; }

private:
    float tap(const float* in, unsigned i, std::uint32_t delay, bool bypass) const noexcept;
    void startCrossfadeToRequest() noexcept;

    std::vector<float> line;
    std::uint32_t writeIndex = 0;
    std::uint32_t maxDelay = 0;
    std::uint32_t crossfadeLength = 240;
    std::uint32_t crossfadeRemaining = 0;
    std::uint32_t activeDelay = 0;
    bool activeBypass = false;
    std::uint32_t fromDelay = 0;
    bool fromBypass = false;
    std::uint32_t toDelay = 0;
    bool toBypass = false;
    std::uint32_t requestedDelay = 0;
    bool requestedBypass = false;
    bool configured = false;
};
