#include "message/json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "testing/test_log_capture.h"

namespace analysis::orbx::message {
namespace {

using analysis::orbx::common::TestLogCapture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

template <class E>
std::string ParseError(const std::string& text) {
    Json doc;
    try {
        doc.Parse(text);
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("unexpected exception: ") + e.what();
    }
    return "";
}

std::string RuntimeError(const std::string& text) {
    return ParseError<std::runtime_error>(text);
}

TEST(JsonParseLimits, TextOfExactlyOneMebibyteIsAcceptedAndOneByteMoreIsNot) {
    const std::string head = "{\"a\":\"";
    const std::string tail = "\"}";
    std::string text = head + std::string(kMaxJsonTextSize - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(text.size(), 1048576u);
    Json doc;
    ASSERT_NO_THROW(doc.Parse(text));
    EXPECT_EQ(doc["a"].AsString().size(), kMaxJsonTextSize - head.size() - tail.size());

    text.insert(head.size(), "x");
    EXPECT_EQ(RuntimeError(text), "The length of input string is out of range(1M)");
    EXPECT_EQ(RuntimeError("{}" + std::string(kMaxJsonTextSize - 1, ' ')),
              "The length of input string is out of range(1M)");
}

TEST(JsonParseLimits, EmptyOrBlankTextAndAMissingValueAreEmptyInput) {
    for (const char* text : {"", " \r\n\t\v\f", "{\"a\": ", "{\"a\":[", "{\"a\""}) {
        EXPECT_EQ(RuntimeError(text), "Input string is empty") << text;
    }
}

// Non-object top level, unclosed containers, a leading comma, partial literals, bad numbers.
TEST(JsonParseLimits, NonObjectTopLevelAndUnclosedContainersFail) {
    const char* const broken[] = {
        R"([1])",         R"(5)",         R"(-1)",         R"("s")",        R"(true)",
        R"(null)",        R"({)",         R"({"a":1)",     R"({"a":[1)",    R"({"a":{"b":1})",
        R"({"a":[1,)",    R"(x)",         R"({,"a":1})",   R"({"a":[,1]})", R"({"a":"x\"y"})",
        R"({"a":"open})", R"({"t":tru})", R"({"t":fals})", R"({"a":00})",   R"({"a":1.})",
        R"({"a":-.5})",   R"({"a":007})"};
    for (const char* text : broken) {
        EXPECT_EQ(RuntimeError(text), "Input json string error") << text;
    }
}

// A hostile host must not be able to exhaust the parsing thread's stack.
TEST(JsonParseLimits, NestingBeyondTheMaximumDepthIsASyntaxError) {
    auto nested = [](int depth) {
        std::string text;
        for (int i = 1; i < depth; ++i) {
            text += "{\"a\":";
        }
        text += "{}";
        text += std::string(depth - 1, '}');
        return text;
    };
    Json doc;
    EXPECT_NO_THROW(doc.Parse(nested(kMaxJsonDepth)));
    EXPECT_EQ(RuntimeError(nested(kMaxJsonDepth + 1)), "Input json string error");

    std::string arrays =
        "{\"a\":" + std::string(kMaxJsonDepth - 1, '[') + std::string(kMaxJsonDepth - 1, ']') + "}";
    EXPECT_NO_THROW(doc.Parse(arrays));
    arrays.insert(5, "[");
    arrays.insert(arrays.size() - 1, "]");
    EXPECT_EQ(RuntimeError(arrays), "Input json string error");

    EXPECT_EQ(RuntimeError(std::string(kMaxJsonTextSize, '[')), "Input json string error");
    std::string members;
    while (members.size() + 5 <= kMaxJsonTextSize) {
        members += "{\"a\":";
    }
    EXPECT_EQ(RuntimeError(members), "Input json string error");
}

TEST(JsonParseSeparators, CommasAndColonsAreOptionalAndRepeatable) {
    Json doc("{\"a\" 1 \"b\"::2,,}");
    EXPECT_EQ(doc["a"].AsInt(), 1);
    EXPECT_EQ(doc["b"].AsInt(), 2);

    Json arrays("{\"x\":[1 2],\"y\":[1,,2,],\"z\":[ ]}");
    EXPECT_EQ(arrays["x"].ToString(), "[1,2]");
    EXPECT_EQ(arrays["y"].ToString(), "[1,2]");
    EXPECT_EQ(arrays["z"].ToString(), "[]");

    // A name followed by a comma has no member.
    Json bare("{\"a\",\"b\":2}");
    EXPECT_FALSE(bare.Contains("a"));
    EXPECT_EQ(bare["b"].AsInt(), 2);

    // A later duplicate replaces the earlier member.
    Json dup("{\"a\":1,\"a\":{\"b\":[1,2]},\"a\":2}");
    EXPECT_EQ(dup["a"].GetType(), JsonType::UINT);
    EXPECT_EQ(dup["a"].AsInt(), 2);
    EXPECT_EQ(dup.ToString(), "{\"a\":2}");
}

TEST(JsonParseStrings, LeadingBlanksAreDroppedAndTrailingOnesKept) {
    Json doc("{\" k\":\"  v \",\"e\":\"   \"}");
    EXPECT_TRUE(doc.Contains("k"));
    EXPECT_EQ(doc["k"].AsString(), "v ");
    EXPECT_EQ(doc["e"].AsString(), "");
    EXPECT_EQ(Json("{\"a\":\"x\\\"}")["a"].AsString(), "x\\");
}

// Booleans need the whole word but no separator.
TEST(JsonParseLiterals, NullIsAnyFourCharactersStartingWithN) {
    Json booleans("{\"t\":true\"f\":false}");
    EXPECT_EQ(booleans["t"].GetType(), JsonType::BOOL);
    EXPECT_TRUE(booleans["t"].AsBool());
    EXPECT_FALSE(booleans["f"].AsBool());

    Json doc("{\"n\":nope,\"m\":null}");
    EXPECT_EQ(doc["n"].GetType(), JsonType::NULLVALUE);
    EXPECT_TRUE(doc["m"].AsNull());
    EXPECT_EQ(doc.ToString().size(), std::string("{\"n\":null,\"m\":null}").size());

    Json truncated;
    EXPECT_THROW(truncated.Parse("{\"n\":n}"), std::out_of_range);
    // Four characters taken with the closing brace: the object is left open.
    EXPECT_EQ(RuntimeError("{\"n\":nul}"), "Input json string error");
}

TEST(JsonParseNumbers, IntegersAreLimitedToSignedThirtyTwoBits) {
    Json doc("{\"min\":-2147483648,\"max\":2147483647,\"z\":-0,\"p\":123456789,\"q\":1234567890}");
    EXPECT_EQ(doc["min"].GetType(), JsonType::INT);
    EXPECT_EQ(doc["min"].AsInt64(), -2147483648LL);
    EXPECT_EQ(doc["max"].GetType(), JsonType::UINT);
    EXPECT_EQ(doc["max"].AsUint64(), 2147483647u);
    EXPECT_EQ(doc["z"].GetType(), JsonType::INT);
    EXPECT_EQ(doc["p"].AsInt(), 123456789);
    EXPECT_EQ(doc["q"].AsInt(), 1234567890);

    for (const char* text : {"{\"a\":3000000000}", "{\"a\":2147483648}", "{\"a\":4294967295}",
                             "{\"a\":-2147483649}", "{\"a\":99999999999999999999}"}) {
        EXPECT_EQ(ParseError<std::out_of_range>(text), "stoi") << text;
    }
}

TEST(JsonParseNumbers, PointMakesADoubleAndExponentAloneKeepsTheMantissa) {
    Json doc("{\"e\":1e3,\"d\":1.5e3,\"h\":0.5,\"n\":-2.25,\"x\":0x10,\"o\":01,\"zero\":0}");
    EXPECT_EQ(doc["e"].GetType(), JsonType::UINT);
    EXPECT_EQ(doc["e"].AsInt(), 1);
    EXPECT_EQ(doc["d"].GetType(), JsonType::DOUBLE);
    EXPECT_DOUBLE_EQ(doc["d"].AsDouble(), 1500.0);
    EXPECT_DOUBLE_EQ(doc["h"].AsDouble(), 0.5);
    EXPECT_DOUBLE_EQ(doc["n"].AsDouble(), -2.25);
    // The C conversion reads the whole hexadecimal form; the decimal reading keeps "0".
    EXPECT_EQ(doc["x"].GetType(), JsonType::UINT);
    EXPECT_EQ(doc["x"].AsInt(), 0);
    EXPECT_EQ(doc["o"].AsInt(), 1);
    EXPECT_EQ(doc["zero"].AsInt(), 0);
}

TEST(JsonParseNumbers, RefusedFormsAndConversionErrors) {
    EXPECT_EQ(ParseError<std::invalid_argument>("{\"a\":-}"), "stod");
    EXPECT_EQ(ParseError<std::invalid_argument>("{\"a\":-x}"), "stod");
    EXPECT_EQ(ParseError<std::out_of_range>("{\"a\":1e400}"), "stod");
    EXPECT_EQ(ParseError<std::invalid_argument>("{\"a\":-inf}"), "stoi");
}

TEST(JsonAccessors, MismatchedTypesGiveNeutralValuesAndOneErrorLine) {
    Json doc("{\"i\":3,\"s\":\"t\",\"d\":2.5}");
    TestLogCapture log("warning");
    EXPECT_EQ(doc["i"].AsDouble(), 0.0);
    EXPECT_EQ(doc["d"].AsInt(), 0);
    EXPECT_EQ(doc["s"].AsUint64(), 0u);
    EXPECT_EQ(doc["i"].AsString(), "");
    EXPECT_THAT(doc["i"].AsObject(), IsEmpty());
    EXPECT_THAT(
        log.Texts(),
        ElementsAre("Invalid data type for double variable", "Invalid data type for int variable",
                    "Invalid data type for uint variable", "Invalid data type for string variable",
                    "Invalid data type for object variable"));
}

TEST(JsonBuilding, CopiesAreIndependentOfTheirSource) {
    Json doc("{\"a\":{\"b\":[1,\"x\"]},\"c\":\"y\"}");
    Json copy = doc;
    copy["a"]["b"][1] = "changed";
    copy["c"] = 3;
    EXPECT_EQ(doc["a"]["b"][1].AsString(), "x");
    EXPECT_EQ(doc["c"].AsString(), "y");

    JsonValue::Object members = doc.GetValue().AsObject();
    members["a"]["b"][0] = 9;
    EXPECT_EQ(doc["a"]["b"][0].AsInt(), 1);

    JsonValue outer;
    outer["inner"]["k"] = "deep";
    outer = std::move(outer["inner"]);
    EXPECT_EQ(outer.ToString(), "{\"k\":\"deep\"}");
    outer = outer["k"];
    EXPECT_EQ(outer.AsString(), "deep");

    JsonValue self = "text";
    self = self;
    EXPECT_EQ(self.AsString(), "text");
}

TEST(JsonDocument, OnlyObjectsBecomeDocuments) {
    JsonValue array;
    array.SetArraySize(1);
    try {
        Json doc(array);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a JsonValue without Object type to Json");
    }

    Json doc("{\"k\":1}");
    TestLogCapture log("warning");
    doc = array;
    EXPECT_EQ(doc.ToString(), "{\"k\":1}");
    EXPECT_THAT(log.Texts(), ElementsAre("Cannot assign a JsonValue without Object type to Json"));

    // A failed parse keeps the document.
    EXPECT_THROW(doc.Parse("{\"a\":2"), std::runtime_error);
    EXPECT_EQ(doc.ToString(), "{\"k\":1}");
}

TEST(JsonPrinting, ScalarsUseTheCFormats) {
    Json doc;
    doc["a"] = "x";
    doc["c"] = true;
    const std::string text = doc.ToString();
    EXPECT_TRUE(text == "{\"a\":\"x\",\"c\":true}" || text == "{\"c\":true,\"a\":\"x\"}") << text;

    EXPECT_EQ(JsonValue().ToString(), "");
    const std::pair<JsonValue, const char*> cases[] = {
        {-5, "-5"},
        {static_cast<int64_t>(INT64_MIN), "-9223372036854775808"},
        {static_cast<uint64_t>(UINT64_MAX), "18446744073709551615"},
        {2.5, "2.500000"},
        {1e20, "100000000000000000000.000000"},
        {false, "false"},
        {nullptr, "null"},
        {"", "\"\""},
        {"a\\b c", "\"a\\b c\""},
    };
    for (const auto& [value, printed] : cases) {
        EXPECT_EQ(value.ToString(), printed);
    }
}

}  // namespace
}  // namespace analysis::orbx::message
