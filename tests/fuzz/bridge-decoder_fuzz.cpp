// Page messages as they arrive on a window's WebSocket, through the decoder and
// the reading of native calls.
#include "ui/BridgeProtocol.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    juce::String event;
    juce::var payload;
    if (speaker::decodeBridgeMessage(text, event, payload))
    {
        speaker::NativeCall call;
        speaker::readNativeCall(payload, call);
        // What the decoder accepts, the encoder writes back in a form it accepts again.
        juce::String again;
        juce::var againPayload;
        if (! speaker::decodeBridgeMessage(speaker::encodeBridgeMessage(event, payload), again, againPayload) || again != event)
            __builtin_trap();
    }
    return 0;
}
