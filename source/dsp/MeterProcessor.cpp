#include "dsp/MeterProcessor.h"

#include <algorithm>
#include <cmath>

void MeterProcessor::prepare(double sampleRate)
{
    const double fs = std::isfinite(sampleRate) && sampleRate > 0.0 ? sampleRate : 48000.0;
    window.assign(static_cast<std::size_t>(std::max(std::round(0.3 * fs), 1.0)), 0.0f);
    writeIndex = 0;
    sum = 0.0;
    passSum = 0.0;
    decayDbPerSample = 20.0 / fs;
    clipHoldLength = static_cast<std::int64_t>(std::round(2.0 * fs));
    peakDb = floorDb;
    rmsDb = floorDb;
    clearClip();
    windowDirty = false;
}

void MeterProcessor::reset() noexcept
{
    // Repeated resets (a channel without signal is reset every block) stay cheap.
    if (windowDirty)
    {
        std::fill(window.begin(), window.end(), 0.0f);
        windowDirty = false;
    }
    writeIndex = 0;
    sum = 0.0;
    passSum = 0.0;
    peakDb = floorDb;
    rmsDb = floorDb;
    clearClip();
}

void MeterProcessor::process(const float* samples, int count) noexcept
{
    if (samples == nullptr || count <= 0 || window.empty())
        return;

    const std::size_t length = window.size();
    float largest = 0.0f;
    bool clipped = false;
    for (int i = 0; i < count; ++i)
    {
        const float x = samples[i];
        const float squared = x * x;
        sum += static_cast<double>(squared) - static_cast<double>(window[writeIndex]);
        window[writeIndex] = squared;
        passSum += static_cast<double>(squared);
        if (++writeIndex == length)
        {
            // Once per window the running sum restarts from the window's own
            // contents, so rounding (or a passing NaN) cannot linger; summed as
            // they were written, not in one burst that would spike the callback.
            writeIndex = 0;
            sum = passSum;
            passSum = 0.0;
        }
        const float magnitude = std::abs(x);
        largest = std::max(largest, magnitude);
        clipped = clipped || magnitude >= 1.0f;
    }
    windowDirty = true;

    const double blockPeakDb = largest > 0.000001f ? std::max(20.0 * std::log10(static_cast<double>(largest)), floorDb)
                                                   : floorDb;
    peakDb = std::max(blockPeakDb, std::max(peakDb - decayDbPerSample * count, floorDb));

    const double root = std::sqrt(std::max(sum, 0.0) / static_cast<double>(length));
    rmsDb = root > 0.000001 ? std::max(20.0 * std::log10(root), floorDb) : floorDb;

    const auto remaining = clipped ? clipHoldLength : std::max<std::int64_t>(clipHoldRemaining.load(std::memory_order_relaxed) - count, 0);
    clipHoldRemaining.store(remaining, std::memory_order_relaxed);
    clip.store(remaining > 0, std::memory_order_relaxed);
}
