#include "engine/ComputerAudioCapture.h"

namespace speaker
{
bool ComputerAudioCapture::start(double, int, std::string& error)
{
    active.store(false, std::memory_order_release);
    error = "Computer Audio capture is not available on this system.";
    return false;
}

void ComputerAudioCapture::stop()
{
    active.store(false, std::memory_order_release);
}

bool ComputerAudioCapture::readStereo(float*, float*, int) noexcept
{
    return false;
}

bool ComputerAudioCapture::isAggregateDeviceName(const std::string& name)
{
    return name == kAggregateDeviceName || name == kLegacyAggregateDeviceName;
}
} // namespace speaker
