#include "ui/BridgeProtocol.h"

#include <cmath>

namespace speaker
{
namespace
{
constexpr int kMaxNesting = 64;

bool nestingWithinLimit(const std::string& text)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text)
    {
        if (inString)
        {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{')
        {
            if (++depth > kMaxNesting)
                return false;
        }
        else if (c == ']' || c == '}')
            --depth;
    }
    return true;
}
} // namespace

bool decodeBridgeMessage(const std::string& text, juce::String& event, juce::var& payload)
{
    if (text.empty() || ! nestingWithinLimit(text))
        return false;
    const auto utf8 = juce::String::fromUTF8(text.data(), static_cast<int>(text.size()));
    juce::var parsed;
    if (juce::JSON::parse(utf8, parsed).failed())
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
    return juce::JSON::toString(juce::var(object.release()), true).toStdString();
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
