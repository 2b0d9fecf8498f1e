#pragma once

#include <cstdint>

// Last check before a device output: a non-finite sample or a DC level that
// stays high would damage drivers, so the engine stops on either.
class OutputSignalGuard
{
public:
    enum Result
    {
        signalSound = 0,
        nonFinite = 1,
        sustainedDc = 2
    };

    OutputSignalGuard() { prepare(48000.0); }
    // An unknown rate (not finite or not positive) counts as 48 kHz.
    void prepare(double sampleRate) noexcept;
    int process(const float* samples, int count) noexcept;
    void reset() noexcept;

    double getDcEstimate() const noexcept { return estimate; }

private:
    double sampleRate = 48000.0;
    double alpha = 0.0;
    double estimate = 0.0;
    std::int64_t runLength = 0;
    std::int64_t limit = 0;
};
