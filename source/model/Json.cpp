#include "model/Json.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace speaker
{
namespace
{
constexpr int kMaxNesting = 256;

using Json = nlohmann::ordered_json;

bool convert(const Json& json, juce::var& out, int depth)
{
    if (depth > kMaxNesting)
        return false;

    switch (json.type())
    {
        case Json::value_t::null:
            out = juce::var();
            return true;
        case Json::value_t::boolean:
            out = json.get<bool>();
            return true;
        case Json::value_t::number_integer:
        {
            const auto v = json.get<std::int64_t>();
            if (v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max())
                out = static_cast<int>(v);
            else
                out = static_cast<juce::int64>(v);
            return true;
        }
        case Json::value_t::number_unsigned:
        {
            const auto v = json.get<std::uint64_t>();
            if (v <= static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
                out = static_cast<int>(v);
            else if (v <= static_cast<std::uint64_t>(std::numeric_limits<juce::int64>::max()))
                out = static_cast<juce::int64>(v);
            else
                out = static_cast<double>(v);
            return true;
        }
        case Json::value_t::number_float:
            out = json.get<double>();
            return true;
        case Json::value_t::string:
        {
            const auto& s = json.get_ref<const std::string&>();
            out = juce::String::fromUTF8(s.data(), static_cast<int>(s.size()));
            return true;
        }
        case Json::value_t::array:
        {
            juce::Array<juce::var> items;
            items.ensureStorageAllocated(static_cast<int>(json.size()));
            for (const auto& element : json)
            {
                juce::var item;
                if (! convert(element, item, depth + 1))
                    return false;
                items.add(std::move(item));
            }
            out = std::move(items);
            return true;
        }
        case Json::value_t::object:
        {
            auto object = juce::DynamicObject::Ptr(new juce::DynamicObject());
            for (const auto& [key, element] : json.items())
            {
                if (key.empty())
                    return false;
                juce::var item;
                if (! convert(element, item, depth + 1))
                    return false;
                object->setProperty(juce::Identifier(juce::String::fromUTF8(key.data(), static_cast<int>(key.size()))), item);
            }
            out = juce::var(object.get());
            return true;
        }
        case Json::value_t::binary:
        case Json::value_t::discarded:
            break;
    }
    return false;
}
// Written straight from the var tree: several times faster than building a
// second document to dump, which matters for the snapshot at the canvas limits.
void appendJson(std::string& out, const juce::var& value)
{
    if (value.isBool())
        out += static_cast<bool>(value) ? "true" : "false";
    else if (value.isInt() || value.isInt64())
        out += std::to_string(static_cast<juce::int64>(value));
    else if (value.isDouble())
    {
        const double v = static_cast<double>(value);
        if (! std::isfinite(v))
        {
            out += "null";
            return;
        }
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof(buffer), v);
        out.append(buffer, result.ptr);
    }
    else if (value.isString())
    {
        out += '"';
        for (const char c : value.toString().toStdString())
        {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\')
                out += '\\', out += c;
            else if (byte < 0x20)
            {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
                out += escaped;
            }
            else
                out += c;
        }
        out += '"';
    }
    else if (const auto* array = value.getArray())
    {
        out += '[';
        for (int i = 0; i < array->size(); ++i)
        {
            if (i > 0)
                out += ',';
            appendJson(out, array->getReference(i));
        }
        out += ']';
    }
    else if (auto* object = value.getDynamicObject())
    {
        out += '{';
        bool first = true;
        for (const auto& property : object->getProperties())
        {
            if (! first)
                out += ',';
            first = false;
            appendJson(out, property.name.toString());
            out += ':';
            appendJson(out, property.value);
        }
        out += '}';
    }
    else
        out += "null";
}
} // namespace

bool parseJson(std::string_view utf8, juce::var& result)
{
    // The parser itself keeps its own stack; the depth limit protects the
    // recursive conversion and everything that walks the result later.
    bool tooDeep = false;
    const Json::parser_callback_t limitDepth = [&tooDeep](int depth, Json::parse_event_t, Json&) {
        if (depth > kMaxNesting)
            tooDeep = true;
        return ! tooDeep;
    };
    const auto json = Json::parse(utf8.begin(), utf8.end(), limitDepth, false);
    if (tooDeep || json.is_discarded())
        return false;

    juce::var converted;
    if (! convert(json, converted, 0))
        return false;
    result = std::move(converted);
    return true;
}

std::string toCompactJson(const juce::var& value)
{
    std::string text;
    appendJson(text, value);
    return text;
}

std::string toJsonText(const juce::var& value)
{
    const auto text = juce::JSON::toString(value, true, 15).toStdString();
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
    {
        // Every backslash in the writer's output starts an escape of two characters.
        if (text[i] == '\\' && i + 1 < text.size())
        {
            result += text[i + 1] == 'a' ? std::string("\\u0007") : text.substr(i, 2);
            ++i;
        }
        else
            result += text[i];
    }
    return result;
}
} // namespace speaker
