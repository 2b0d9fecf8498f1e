#include "dsp/OutputSignalGuard.h"

#include <cmath>

void OutputSignalGuard::prepare(double rate) noexcept
{
    sampleRate = std::isfinite(rate) && rate > 0.0 ? rate : 48000.0;
    alpha = 1.0 - std::exp(-1.0 / (0.1 * sampleRate)); // 100 ms one-pole low-pass
    limit = static_cast<std::int64_t>(std::floor(0.25 * sampleRate));
    reset();
}

void OutputSignalGuard::reset() noexcept
{
    estimate = 0.0;
    runLength = 0;
}

int OutputSignalGuard::process(const float* samples, int count) noexcept
{
    if (samples == nullptr)
        return signalSound;
    for (int i = 0; i < count; ++i)
    {
        const float x = samples[i];
        if (!std::isfinite(x))
            return nonFinite;
        estimate += alpha * (static_cast<double>(x) - estimate);
        if (std::abs(estimate) >= 0.2)
        {
            if (++runLength >= limit)
                return sustainedDc;
        }
        else
        {
            runLength = 0;
        }
    }
    return signalSound;
}
