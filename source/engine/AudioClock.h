#pragma once

namespace speaker
{
// Time source of the audio callback's load measurement. The engine uses the
// steady clock unless a test installs its own, so that deadline handling can be
// checked without a slow machine.
class AudioClock
{
public:
    virtual ~AudioClock() = default;
    // Seconds since an arbitrary origin; called from the audio thread, must not
    // allocate or lock.
    virtual double nowSeconds() noexcept = 0;
};
} // namespace speaker
