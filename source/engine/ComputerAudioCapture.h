#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace speaker
{
// The computer's own playback as a stereo input source. This platform has no
// capture facility yet: starting fails with a message and the source never
// becomes active, so the engine's Computer Audio input stays off.
class ComputerAudioCapture
{
public:
    static constexpr const char* kAggregateDeviceName = "Corvana Computer Audio";
    static constexpr const char* kLegacyAggregateDeviceName = "Lumetra Computer Audio";

    // Message thread.
    bool start(double sampleRate, int blockSize, std::string& error);
    void stop();
    static bool isAvailable() noexcept { return false; }

    // Audio thread: copies n delivered samples per side; false when none arrived.
    bool readStereo(float* left, float* right, int n) noexcept;
    // Advanced by every capture callback.
    std::int64_t callbackCounter() const noexcept { return callbacks.load(std::memory_order_acquire); }
    bool isActive() const noexcept { return active.load(std::memory_order_acquire); }

    static bool isAggregateDeviceName(const std::string& name);

private:
    std::atomic<std::int64_t> callbacks { 0 };
    std::atomic<bool> active { false };
};
} // namespace speaker
