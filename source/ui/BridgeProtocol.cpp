#include "ui/BridgeProtocol.h"

#include "model/Json.h"

#include <cmath>

namespace speaker
{
bool decodeBridgeMessage(const std::string& text, juce::String& event, juce::var& payload)
{
    juce::var parsed;
    if (! parseJson(text, parsed))
        return false;
    auto* object = parsed.getDynamicObject();
    if (object == nullptr || ! object->getProperty("event").isString())
        return false;
    event = object->getProperty("event").toString();
    payload = object->getProperty("payload");
    return event.isNotEmpty();
}

std::string encodeBridgeMessage(const juce::String& event, const juce::var& payload)
{
    auto object = std::make_unique<juce::DynamicObject>();
    object->setProperty("event", event);
    object->setProperty("payload", payload);
    return toCompactJson(juce::var(object.release()));
}

bool readNativeCall(const juce::var& payload, NativeCall& call)
{
    auto* object = payload.getDynamicObject();
    if (object == nullptr)
        return false;
    const auto name = object->getProperty("name");
    const auto id = object->getProperty("resultId");
    if (! name.isString() || ! (id.isInt() || id.isInt64() || id.isDouble()))
        return false;
    const double idValue = id;
    if (! std::isfinite(idValue) || std::abs(idValue) > 9007199254740992.0)
        return false;
    call.name = name.toString();
    call.resultId = static_cast<juce::int64>(id);
    call.params.clearQuick();
    if (const auto* params = object->getProperty("params").getArray())
        call.params.addArray(*params);
    return true;
}
} // namespace speaker
