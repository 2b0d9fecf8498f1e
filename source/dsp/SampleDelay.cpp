#include "dsp/SampleDelay.h"

#include <algorithm>
#include <cmath>

SampleDelay::SampleDelay() { prepare(0, 48000.0); }

void SampleDelay::prepare(unsigned maxDelaySamples, double sampleRate)
{
    line.assign(static_cast<std::size_t>(maxDelaySamples) + 1, 0.0f);
    writeIndex = 0;
    maxDelay = maxDelaySamples;
    crossfadeLength = std::isfinite(sampleRate) && sampleRate > 0.0
                          ? static_cast<std::uint32_t>(std::max(std::round(0.005 * sampleRate), 1.0))
                          : 240;
    crossfadeRemaining = 0;
    activeDelay = fromDelay = toDelay = requestedDelay = 0;
    activeBypass = fromBypass = toBypass = requestedBypass = false;
    configured = false;
}

bool SampleDelay::setParams(unsigned delaySamples, bool bypassed) noexcept
{
    if (delaySamples > maxDelay)
        return false;
    requestedDelay = delaySamples;
    requestedBypass = bypassed;
    if (!configured)
    {
        activeDelay = delaySamples;
        activeBypass = bypassed;
        crossfadeRemaining = 0;
        configured = true;
        return true;
    }
    // While a crossfade runs the request waits for it to finish.
    if (crossfadeRemaining == 0 && (delaySamples != activeDelay || bypassed != activeBypass))
        startCrossfadeToRequest();
    return true;
}

void SampleDelay::startCrossfadeToRequest() noexcept
{
    fromDelay = activeDelay;
    fromBypass = activeBypass;
    toDelay = requestedDelay;
    toBypass = requestedBypass;
    crossfadeRemaining = std::max<std::uint32_t>(crossfadeLength, 1);
}

float SampleDelay::tap(const float* in, unsigned i, std::uint32_t delay, bool bypass) const noexcept
{
    if (bypass || delay == 0)
        return in[i];
    const auto length = static_cast<std::uint32_t>(line.size());
    const std::uint32_t index = writeIndex >= delay ? writeIndex - delay : writeIndex + length - delay;
    return line[index];
}

void SampleDelay::processBlock(const float* in, float* out, unsigned n) noexcept
{
    if (in == nullptr || out == nullptr || n == 0)
        return;
    const auto length = static_cast<std::uint32_t>(line.size());
    for (unsigned i = 0; i < n; ++i)
    {
        line[writeIndex] = in[i];
        float y;
        if (crossfadeRemaining == 0)
        {
            y = tap(in, i, activeDelay, activeBypass);
        }
        else
        {
            const float from = tap(in, i, fromDelay, fromBypass);
            const float to = tap(in, i, toDelay, toBypass);
            const std::uint32_t total = std::max<std::uint32_t>(crossfadeLength, 1);
            const float position = static_cast<float>(total - crossfadeRemaining + 1) / static_cast<float>(total);
            y = from + (to - from) * position;
            if (--crossfadeRemaining == 0)
            {
                activeDelay = toDelay;
                activeBypass = toBypass;
                if (requestedDelay != activeDelay || requestedBypass != activeBypass)
                    startCrossfadeToRequest();
            }
        }
        // Written after reading the input: out may alias in.
        out[i] = y;
        if (++writeIndex == length)
            writeIndex = 0;
    }
}

void SampleDelay::reset() noexcept
{
    std::fill(line.begin(), line.end(), 0.0f);
    writeIndex = 0;
    activeDelay = requestedDelay;
    activeBypass = requestedBypass;
    crossfadeRemaining = 0;
}
