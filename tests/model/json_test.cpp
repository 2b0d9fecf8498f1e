#include "model/Json.h"
#include "model/ProjectDocument.h"
#include "model/ProjectFile.h"

#include <gtest/gtest.h>

#include <limits>

using namespace speaker;

namespace
{
juce::var parsed(std::string_view text)
{
    juce::var v;
    EXPECT_TRUE(parseJson(text, v)) << text;
    return v;
}
} // namespace

TEST(Json, KeepsNumberKindsAndKeyOrder)
{
    const auto v = parsed(R"({"z": 1, "a": 3000000000, "m": 2.5, "big": 12345678901234567890123, "t": true, "n": null, "s": [1, "x"]})");
    const auto& props = v.getDynamicObject()->getProperties();
    ASSERT_EQ(props.size(), 7);
    EXPECT_EQ(props.getName(0).toString(), "z");
    EXPECT_EQ(props.getName(1).toString(), "a");
    EXPECT_TRUE(v["z"].isInt());
    EXPECT_TRUE(v["a"].isInt64());
    EXPECT_EQ(static_cast<juce::int64>(v["a"]), 3000000000LL);
    EXPECT_TRUE(v["m"].isDouble());
    EXPECT_TRUE(v["big"].isDouble());
    EXPECT_DOUBLE_EQ(static_cast<double>(v["big"]), 1.2345678901234568e22);
    EXPECT_TRUE(v["t"].isBool());
    EXPECT_TRUE(v["n"].isVoid());
    EXPECT_EQ(v["s"].size(), 2);
}

TEST(Json, RefusesWhatIsNotStrictJson)
{
    for (const std::string_view text : { "", "{", "{\"a\": 1} trailing", "{'a': 1}", "[-x1]", "{\"\": 1}", "[NaN]",
                                         "\"\xF0\"", "[1,]" })
    {
        juce::var v = 42;
        EXPECT_FALSE(parseJson(text, v)) << text;
        EXPECT_EQ(static_cast<int>(v), 42) << "the target stays untouched";
    }
    EXPECT_FALSE(parseJson(std::string(100000, '['), *std::make_unique<juce::var>()));
    EXPECT_TRUE(parseJson(std::string(200, '[') + std::string(200, ']'), *std::make_unique<juce::var>()));
}

TEST(Json, TextSurvivesWritingAndReading)
{
    // Characters outside the Basic Multilingual Plane, control characters and the bell.
    const juce::String name = juce::String::fromUTF8("Living room \xF0\x9F\x94\x8A \a\t\\a \"q\" \xC3\xA9");
    auto object = juce::DynamicObject::Ptr(new juce::DynamicObject());
    object->setProperty("name", name);
    const auto text = toJsonText(juce::var(object.get()));
    EXPECT_EQ(text.find("\\a\""), std::string::npos);
    EXPECT_EQ(parsed(text)["name"].toString(), name);
}

TEST(Json, ProjectNamesOutsideTheBasicPlaneSurviveAFile)
{
    auto project = makeDefaultSettings("stereo", {});
    project.projectName = "Kitchen \xF0\x9F\x8E\xB5";
    project.analyzerWorkspace = "{\"title\":\"\xF0\x9F\x8E\xB5\"}";
    AppSettings back;
    std::string error;
    ASSERT_TRUE(readProjectText(projectJsonText(settingsToVar(project, true)), back, error)) << error;
    EXPECT_EQ(back.projectName, project.projectName);
    EXPECT_EQ(parsed(back.analyzerWorkspace)["title"].toString(), juce::String::fromUTF8("\xF0\x9F\x8E\xB5"));
}

TEST(Json, CompactTextParsesToTheSameValues)
{
    const auto v = parsed(R"({"b": [1, 2.5, -3000000000, true, null, "\u00e9\ud83c\udfb5 \"q\"\n"], "a": {"x": 0.1}})");
    const auto text = toCompactJson(v);
    EXPECT_EQ(toCompactJson(parsed(R"({"a": [1, 2.5, true, null, "x y"]})")), R"({"a":[1,2.5,true,null,"x y"]})");
    EXPECT_EQ(toCompactJson(parsed(text)), text);
    EXPECT_EQ(parsed(text)["b"][5].toString(), v["b"][5].toString());
    EXPECT_EQ(static_cast<double>(parsed(text)["a"]["x"]), 0.1);
    EXPECT_EQ(toCompactJson(juce::var(std::numeric_limits<double>::infinity())), "null");
}
