#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

// Level meter of one channel: decaying peak, 300 ms RMS and a 2 s clip hold.
// One update per block.
class MeterProcessor
{
public:
    // Allocates the RMS window; call outside the audio path.
    void prepare(double sampleRate);
    void process(const float* samples, int count) noexcept;
    // Back to silence, including the RMS window, so old audio never reappears.
    void reset() noexcept;

    double getPeakDb() const noexcept { return peakDb; }
    double getRmsDb() const noexcept { return rmsDb; }
    bool isClipping() const noexcept { return clip.load(std::memory_order_relaxed); }

    // From any thread: the clip indicator goes out until the next clipped block.
    void clearClip() noexcept
    {
        clipHoldRemaining.store(0, std::memory_order_relaxed);
        clip.store(false, std::memory_order_relaxed);
    }

    static constexpr double floorDb = -120.0;

private:
    std::vector<float> window; // squared samples
    std::size_t writeIndex = 0;
    double sum = 0.0;
    double passSum = 0.0; // squares written since the window last wrapped
    double decayDbPerSample = 0.0;
    std::int64_t clipHoldLength = 0;
    double peakDb = floorDb;
    double rmsDb = floorDb;
    // Atomic: the clip indicator is cleared from the message thread.
    std::atomic<std::int64_t> clipHoldRemaining { 0 };
    std::atomic<bool> clip { false };
    bool windowDirty = false;
};
