#include "dsp/Gain.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace
{
bool nearlyEqual(double a, double b, double relative)
{
    return std::abs(a - b) <= relative * std::max(std::abs(a), std::abs(b));
}
} // namespace

bool Gain::setParams(double newSampleRate, double newGainDb, bool newBypassed, bool newPolarityInverted)
{
    if (!std::isfinite(newSampleRate) || newSampleRate <= 0.0 || !std::isfinite(newGainDb))
        return false;

    const double clampedDb = std::clamp(newGainDb, -100.0, 20.0);
    const bool sameGain = configured && nearlyEqual(clampedDb, gainDb, 0x1p-52);
    if (sameGain && newSampleRate == sampleRate && newBypassed == bypassed && newPolarityInverted == polarityInverted)
        return true;

    const double linear = sameGain ? linearGain : std::pow(10.0, clampedDb / 20.0);
    const double target = newBypassed ? 1.0 : (newPolarityInverted ? -linear : linear);
    if (!std::isfinite(target) || std::abs(target) > static_cast<double>(std::numeric_limits<float>::max()))
        return false;
    const auto newTarget = static_cast<float>(target);

    if (!configured)
    {
        currentGain = targetGain = newTarget;
        rampRemaining = 0;
        step = 0.0f;
    }
    else if (!nearlyEqual(newTarget, targetGain, 0x1p-23))
    {
        const double length = std::max(std::round(0.005 * newSampleRate), 1.0);
        rampRemaining = static_cast<std::uint32_t>(std::min(length, 4294967295.0));
        targetGain = newTarget;
        step = static_cast<float>((static_cast<double>(newTarget) - currentGain) / static_cast<double>(rampRemaining));
    }

    sampleRate = newSampleRate;
    gainDb = clampedDb;
    linearGain = linear;
    bypassed = newBypassed;
    polarityInverted = newPolarityInverted;
    configured = true;
    return true;
}

void Gain::snapToTarget() noexcept
{
    currentGain = targetGain;
    rampRemaining = 0;
    step = 0.0f;
}

void Gain::processBlock(const float* in, float* out, unsigned n) noexcept
{
    if (in == nullptr || out == nullptr || n == 0)
        return;

    unsigned i = 0;
    for (; i < n && rampRemaining > 0; ++i)
    {
        currentGain += step;
        if (--rampRemaining == 0)
            currentGain = targetGain;
        out[i] = in[i] * currentGain;
    }

    const float g = currentGain;
    if (g == 1.0f)
    {
        if (in != out)
            std::memmove(out + i, in + i, (n - i) * sizeof(float));
        return;
    }
    for (; i < n; ++i)
        out[i] = in[i] * g;
}
