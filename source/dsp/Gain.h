#pragma once

#include <cstdint>

// Ramped gain stage of every channel and of Gain Blocks. A change of the
// target is spread linearly over 5 ms so that volume moves never click.
class Gain
{
public:
    // False (and nothing changes) for a non-finite or non-positive rate or a non-finite gain.
    bool setParams(double sampleRate, double gainDb, bool bypassed, bool polarityInverted);
    void processBlock(const float* in, float* out, unsigned n) noexcept;

    // Ends a running ramp on its target, for a reset of processing history.
    void snapToTarget() noexcept;

    float getCurrentGain() const noexcept { return currentGain; }
    float getTargetGain() const noexcept { return targetGain; }
    bool isRamping() const noexcept { return rampRemaining > 0; }
    double getGainDb() const noexcept { return gainDb; }

private:
    float currentGain = 1.0f;
    float targetGain = 1.0f;
    float step = 0.0f;
    std::uint32_t rampRemaining = 0;
    double sampleRate = 0.0;
    double gainDb = 0.0;
    double linearGain = 1.0;
    bool bypassed = false;
    bool polarityInverted = false;
    bool configured = false;
};
