// The JSON text parser, the tree builder and the whole-text and file entry points.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "json/json_parse.h"
#include "support/temp_dir.h"
#include "util/numtext.h"
#include "util/utfconv.h"

using JSON::ParseError_t;
using JSON::Value;

namespace {

enum class Feed {
    Whole,       // like the whole-text entry points: stop once a value is complete
    CharByChar,  // every character, then the end of the text
};

struct Outcome {
    bool ok = false;
    ParseError_t code = JSON::errorSuccess;
    std::string what;  // text of the exception the builder threw, if any
};

// Runs a Parser with a ParsingBuilder on node so that both the error code and the text the
// builder throws can be seen.
Outcome ParseWith(std::wstring_view text, Value& node, Feed feed = Feed::Whole, uint32_t maxNesting = 0) {
    JSON::ParsingBuilder builder(&node);
    JSON::Parser parser(&builder);
    parser.SetMaxNesting(maxNesting);
    Outcome out;
    try {
        bool ok = true;
        for (wchar_t c : text) {
            if (feed == Feed::Whole && c == 0) break;
            ok = parser.Parse(static_cast<char32_t>(c));
            if (!ok || (feed == Feed::Whole && parser.IsFinalState())) break;
        }
        if (ok) ok = parser.ParseEndStream();
        out.ok = ok && parser.IsFinalState();
    } catch (const JSON::Exception& e) {
        out.what = e.what();
    }
    out.code = parser.GetLastError();
    return out;
}

Outcome ParseWith(std::wstring_view text, Feed feed = Feed::Whole) {
    Value node;
    return ParseWith(text, node, feed);
}

std::string Printable(std::wstring_view w) {
    std::string s;
    for (wchar_t c : w) {
        if (c >= 0x20 && c < 0x7F) {
            s += static_cast<char>(c);
        } else {
            s += '<';
            s += std::to_string(static_cast<unsigned long>(c));
            s += '>';
        }
    }
    return s;
}

std::wstring Nested(size_t depth) { return std::wstring(depth, L'[') + std::wstring(depth, L']'); }

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

} // namespace

TEST(JsonParse, MalformedTextsFailWithTheirCodeAndText) {
    struct Case {
        std::wstring text;
        ParseError_t code;
        const char* what;
    } cases[] = {
        {L"", JSON::errorValueExpected, "value expected"},
        {L" \t\r\n", JSON::errorValueExpected, "value expected"},
        {L"[1,]", JSON::errorValueExpected, "value expected"},
        {L"[,1]", JSON::errorValueExpected, "value expected"},
        {L"[", JSON::errorValueExpected, "value expected"},
        {L"]", JSON::errorValueExpected, "value expected"},
        {L"+1", JSON::errorValueExpected, "value expected"},
        {L".5", JSON::errorValueExpected, "value expected"},
        {L"'a'", JSON::errorValueExpected, "value expected"},
        {L"True", JSON::errorValueExpected, "value expected"},
        {L"\v1", JSON::errorValueExpected, "value expected"},
        {L"\u00A01", JSON::errorValueExpected, "value expected"},
        {L"\uFEFF\uFEFF1", JSON::errorValueExpected, "value expected"},
        {L"{\"a\":}", JSON::errorValueExpected, "value expected"},
        {L"[1}", JSON::errorMismatchSquareBrackets, "mismatch or unclosed square brackets"},
        {L"[[]}", JSON::errorCommaOrRBracketExpected, "comma or right square bracket expected"},
        {L"[1 2]", JSON::errorCommaOrRBracketExpected, "comma or right square bracket expected"},
        {L"[true", JSON::errorCommaOrRBracketExpected, "comma or right square bracket expected"},
        {L"[true false]", JSON::errorCommaOrRBracketExpected, "comma or right square bracket expected"},
        {L"[\"a\"", JSON::errorCommaOrRBracketExpected, "comma or right square bracket expected"},
        {L"{\"a\":1]", JSON::errorMismatchCurlyBraces, "mismatch or unclosed curly braces"},
        {L"{\"a\":[]]", JSON::errorCommaOrRBraceExpected, "comma or right curly brace expected"},
        {L"{\"a\":1,}", JSON::errorQuotedKeystringExpected, "key string expected"},
        {L"{1:2}", JSON::errorQuotedKeystringExpected, "key string expected"},
        {L"{,}", JSON::errorQuotedKeystringExpected, "key string expected"},
        {L"{", JSON::errorQuotedKeystringExpected, "key string expected"},
        {L"{\"a\" 1}", JSON::errorColonSeparatorExpected, "colon separator expected"},
        {L"{\"a\"", JSON::errorColonSeparatorExpected, "colon separator expected"},
        {L"{\"a\":1 \"b\":2}", JSON::errorCommaOrRBraceExpected, "comma or right curly brace expected"},
        {L"{\"a\":\"b\"", JSON::errorCommaOrRBraceExpected, "comma or right curly brace expected"},
        {L"\"a\tb\"", JSON::errorInvalidCharacterInString, "invalid character in string"},
        {L"\"a\nb\"", JSON::errorInvalidCharacterInString, "invalid character in string"},
        {L"\"\x01\"", JSON::errorInvalidCharacterInString, "invalid character in string"},
        {L"{\"k\te\":1}", JSON::errorInvalidCharacterInString, "invalid character in string"},
        {L"\"\\u00e9\"", JSON::errorInvalidEscapeSequence, "invalid escape sequence in string"},
        {L"\"\\u12\"", JSON::errorInvalidEscapeSequence, "invalid escape sequence in string"},
        {L"\"\\x41\"", JSON::errorInvalidEscapeSequence, "invalid escape sequence in string"},
        {L"\"\\N\"", JSON::errorInvalidEscapeSequence, "invalid escape sequence in string"},
        {L"\"\\U0041\"", JSON::errorInvalidEscapeSequence, "invalid escape sequence in string"},
        {L"-", JSON::errorNumberDigitExpected, "number digit expected"},
        {L"-a", JSON::errorNumberDigitExpected, "number digit expected"},
        {L"1.", JSON::errorNumberDigitExpected, "number digit expected"},
        {L"[1.]", JSON::errorNumberDigitExpected, "number digit expected"},
        {L"1e", JSON::errorNumberDigitExpected, "number digit expected"},
        {L"1e+", JSON::errorNumberDigitExpected, "number digit expected"},
        {L"9223372036854775808", JSON::errorIntegerDigitsOverflow, "integer digits overflow"},
        {L"-9223372036854775809", JSON::errorIntegerDigitsOverflow, "integer digits overflow"},
        {L"123456789012345678901", JSON::errorIntegerDigitsOverflow, "integer digits overflow"},
        {L"0.10000000000000000000", JSON::errorFractionDigitsOverflow, "fractional digits overflow"},
        {L"1e10000000000000000000", JSON::errorExponentDigitsOverflow, "exponent digits overflow"},
        {L"01", JSON::errorWrongNumberSyntax, "wrong number syntax"},
        {L"-01", JSON::errorWrongNumberSyntax, "wrong number syntax"},
        {L"1x", JSON::errorWrongNumberSyntax, "wrong number syntax"},
        {L"1.5.3", JSON::errorWrongNumberSyntax, "wrong number syntax"},
        {L"1e5e", JSON::errorWrongNumberSyntax, "wrong number syntax"},
        {L"[1:2]", JSON::errorWrongNumberSyntax, "wrong number syntax"},
        {L"1,2", JSON::errorInvalidCommaChar, "invalid comma character"},
        {L"tru", JSON::errorWrongLiteralChar, "wrong literal character"},
        {L"trUe", JSON::errorWrongLiteralChar, "wrong literal character"},
        {L"nul", JSON::errorWrongLiteralChar, "wrong literal character"},
        {L"[fals]", JSON::errorWrongLiteralChar, "wrong literal character"},
        {L"1]", JSON::errorExtraBraceOrBracket, "misplaced extra brace or bracket"},
        {L"0}", JSON::errorExtraBraceOrBracket, "misplaced extra brace or bracket"},
        {L"\"abc", JSON::errorUnclosedString, "unclosed string"},
        {L"{\"ab", JSON::errorUnclosedString, "unclosed string"},
        {L"\"\\", JSON::errorInvalidEscapeSequence, "invalid escape sequence in string"},
        {std::wstring(L"\"a\0b\"", 5), JSON::errorUnclosedString, "unclosed string"},
        {L"[1", JSON::errorUnclosedBracketOrBrace, "unclosed/missing brace or bracket"},
        {L"{\"a\":[1,2", JSON::errorUnclosedBracketOrBrace, "unclosed/missing brace or bracket"},
        {L"{\"a\":1", JSON::errorUnclosedBracketOrBrace, "unclosed/missing brace or bracket"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Printable(c.text));
        const Outcome out = ParseWith(c.text);
        EXPECT_FALSE(out.ok);
        EXPECT_EQ(out.code, c.code);
        EXPECT_EQ(out.what, c.what);
        Value node;
        EXPECT_FALSE(Value::Parse(c.text, node));
        JSON::Parser parser;
        if (c.code != JSON::errorSuccess) {
            EXPECT_FALSE(parser.Parse(c.text, true));
        }
    }
}

TEST(JsonParse, ValidTextsBuildTheTreeTheyDescribe) {
    struct Case {
        const wchar_t* text;
        const wchar_t* written;
    } cases[] = {
        {L"[]", L"[]"},
        {L"{}", L"{}"},
        {L"[[]]", L"[[]]"},
        {L"[{}]", L"[{}]"},
        {L"{\"a\":{}}", L"{\"a\":{}}"},
        {L"{\"a\":[]}", L"{\"a\":[]}"},
        {L"[[],[[]],{}]", L"[[],[[]],{}]"},
        {L" \t\r\n{ \"b\" : 1 ,\n\"a\" : [ true , false , null ] }\r\n", L"{\"a\":[true,false,null],\"b\":1}"},
        {L"[1,[2,[3,{\"k\":[]}]]]", L"[1,[2,[3,{\"k\":[]}]]]"},
        {L"{\"\":0}", L"{\"\":0}"},
        {L"\"s\"", L"\"s\""},
        {L"12", L"12"},
        {L"true", L"true"},
        {L"null", L"null"},
        {L"false", L"false"},
        {L"0", L"0"},
        {L"-0", L"0"},
        {L"9223372036854775807", L"9223372036854775807"},
        {L"-9223372036854775808", L"-9223372036854775808"},
        {L"1.0", L"1.0"},
        {L"-0.0", L"-0.0"},
        {L"0.0", L"0.0"},
        {L"1e5", L"100000.0"},
        {L"1E5", L"100000.0"},
        {L"1e+2", L"100.0"},
        {L"1e-2", L"0.01"},
        {L"0.5", L"0.5"},
        {L"-1.25", L"-1.25"},
        {L"25e-1", L"2.5"},
        {L"[1.5,-2]", L"[1.5,-2]"},
        {L"\"\\b\\f\\n\\r\\t\\\"\\/\\\\\"", L"\"\\b\\f\\n\\r\\t\\\"\\/\\\\\""},
        {L"\"\\u0041\\u00E9\\u001F\"", L"\"A\u00E9\\u001F\""},
        {L"\"\\uFEFF\"", L"\"\uFEFF\""},
        {L"\"\u00E9\u20AC\x7F\"", L"\"\u00E9\u20AC\x7F\""},
        // Characters above U+FFFF are stored as surrogate units, escaped or not.
        {L"\"\\uD83C\\uDFB5\"", L"\"\xD83C\xDFB5\""},
        {L"\"\U0001F3B5\"", L"\"\xD83C\xDFB5\""},
        {L"{\"\U0001F3B5\":1}", L"{\"\xD83C\xDFB5\":1}"},
        {L"\uFEFF[1]", L"[1]"},
        {L"\uFEFF 7", L"7"},
        // A repeated key: the later value wins.
        {L"{\"a\":1,\"a\":2}", L"{\"a\":2}"},
        {L"{\"a\":{\"x\":1},\"b\":0,\"a\":[2]}", L"{\"a\":[2],\"b\":0}"},
        // A key the builder might have used internally is an ordinary key, wherever it stands,
        // so what the writer makes of such an object parses again.
        {L"{\"temporary_key\":1}", L"{\"temporary_key\":1}"},
        {L"{\"b\":1,\"temporary_key\":2}", L"{\"b\":1,\"temporary_key\":2}"},
        {L"{\"temporary_key\":1,\"b\":2}", L"{\"b\":2,\"temporary_key\":1}"},
        {L"{\"a\":1,\"temporary_key\":2,\"b\":3}", L"{\"a\":1,\"b\":3,\"temporary_key\":2}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Printable(c.text));
        Value node;
        ASSERT_TRUE(Value::Parse(c.text, node));
        EXPECT_EQ(node.GetString(), c.written);
        Value viaChars;
        const Outcome out = ParseWith(c.text, viaChars, Feed::CharByChar);
        EXPECT_TRUE(out.ok) << out.what;
        EXPECT_EQ(viaChars.GetString(), c.written);
    }
}

TEST(JsonParse, NumbersWithAPointOrExponentAreDoubles) {
    struct Case {
        const wchar_t* text;
        JSON::ObjectType_t type;
    } cases[] = {
        {L"15", JSON::typeIntNumber}, {L"-0", JSON::typeIntNumber},   {L"15.0", JSON::typeDblNumber},
        {L"1e0", JSON::typeDblNumber}, {L"-0.0", JSON::typeDblNumber}, {L"2E3", JSON::typeDblNumber},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Printable(c.text));
        Value node;
        ASSERT_TRUE(Value::Parse(c.text, node));
        EXPECT_EQ(node.Type(), c.type);
    }
    Value node;
    ASSERT_TRUE(Value::Parse(L"-9223372036854775808", node));
    EXPECT_EQ(static_cast<int64_t>(node), INT64_MIN);
    ASSERT_TRUE(Value::Parse(L"1e5", node));
    EXPECT_EQ(static_cast<double>(node), 100000.0);
    ASSERT_TRUE(Value::Parse(L"-0.0", node));
    EXPECT_TRUE(std::signbit(static_cast<double>(node)));
}

// Number texts are read with correct rounding: what the writer makes of any double reads back
// as that very double, subnormals and the extremes included, and decimal texts land on the
// double nearest to them.
TEST(JsonParse, DoublesReadBackExactly) {
    const auto readBack = [](double d) {
        Value in;
        in = d;
        Value out;
        if (!Value::Parse(in.GetString(), out) || out.Type() != JSON::typeDblNumber) return false;
        const double r = static_cast<double>(out);
        return std::memcmp(&r, &d, sizeof d) == 0;
    };
    for (double d : {5e-324, 2.2250738585072009e-308, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1,
                     1.5e-7, 123456789012345680.0, 9007199254740993.0, -0.0, 1e23, 8.41e21, 5e-310}) {
        EXPECT_TRUE(readBack(d)) << Printable(cmn::float2wstr(d));
    }
    std::mt19937_64 random(20261211);
    size_t failures = 0;
    for (int i = 0; i < 200000; ++i) {
        uint64_t bits = random();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d) && !readBack(d) && ++failures <= 5) ADD_FAILURE() << Printable(cmn::float2wstr(d));
    }
    EXPECT_EQ(failures, 0u);

    struct Case {
        const wchar_t* text;
        double value;
    } decimals[] = {
        {L"0.1", 0.1}, {L"98.5", 98.5}, {L"1.7976931348623157e308", 1.7976931348623157e308},
        {L"4.9406564584124654e-324", 5e-324}, {L"2e-324", 0.0}, {L"1e400", INFINITY},
        {L"9007199254740993.0", 9007199254740992.0},  // halfway: ties to even
        {L"9007199254740993.00000000000000000000000000000000000000000000001", 9007199254740994.0},
        {L"0.000000000000000000000000000000000000000000000000000000000000000000000000001", 1e-75},
    };
    for (const auto& c : decimals) {
        SCOPED_TRACE(Printable(c.text));
        Value node;
        ASSERT_TRUE(Value::Parse(c.text, node));
        ASSERT_EQ(node.Type(), JSON::typeDblNumber);
        EXPECT_EQ(static_cast<double>(node), c.value);
    }
}

TEST(JsonParse, TextAfterTheValueIsIgnoredWholeButRefusedCharByChar) {
    struct Case {
        const wchar_t* text;
        const wchar_t* written;
    } cases[] = {
        {L"{} x", L"{}"}, {L"[1]]", L"[1]"}, {L"1 2", L"1"},
        {L"truex", L"true"}, {L"\"a\"b", L"\"a\""}, {L"{}{}", L"{}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Printable(c.text));
        Value node;
        ASSERT_TRUE(Value::Parse(c.text, node));
        EXPECT_EQ(node.GetString(), c.written);
        const Outcome out = ParseWith(c.text, Feed::CharByChar);
        EXPECT_FALSE(out.ok);
        EXPECT_EQ(out.code, JSON::errorInvalidEndStreamChars);
        EXPECT_EQ(out.what, "invalid end stream chars");
    }
    EXPECT_TRUE(ParseWith(L"[1] \t\r\n", Feed::CharByChar).ok);
}

TEST(JsonParse, WholeTextsNestDeeperThan512Fail) {
    Value node;
    EXPECT_TRUE(Value::Parse(Nested(Value::MaxParseNesting), node));
    EXPECT_FALSE(Value::Parse(Nested(Value::MaxParseNesting + 1), node));
    EXPECT_FALSE(Value::Parse(Nested(200000), node));

    std::wstring objects;
    for (uint32_t i = 0; i <= Value::MaxParseNesting; ++i) objects += L"{\"a\":";
    objects += L"1" + std::wstring(Value::MaxParseNesting + 1, L'}');
    EXPECT_FALSE(Value::Parse(objects, node));

    const Outcome out = ParseWith(L"[{\"a\":[1]}]", node, Feed::Whole, 2);
    EXPECT_EQ(out.code, JSON::errorNestingTooDeep);
    EXPECT_EQ(out.what, "nesting too deep");
    EXPECT_TRUE(ParseWith(L"[{\"a\":1}]", node, Feed::Whole, 2).ok);
}

TEST(JsonParse, ParserWithoutLimitHandlesDeepNestingWithoutRecursion) {
    JSON::Parser parser;
    EXPECT_TRUE(parser.Parse(Nested(200000), true));
    EXPECT_TRUE(parser.IsFinalState());
}

TEST(JsonParse, ErrorCodesHaveFixedTexts) {
    const char* const texts[] = {
        "no error",
        "value expected",
        "invalid end stream chars",
        "mismatch or unclosed square brackets",
        "comma or right square bracket expected",
        "mismatch or unclosed curly braces",
        "key string expected",
        "colon separator expected",
        "comma or right curly brace expected",
        "invalid character in string",
        "invalid escape sequence in string",
        "number digit expected",
        "integer digits overflow",
        "fractional digits overflow",
        "exponent digits overflow",
        "wrong number syntax",
        "invalid comma character",
        "wrong literal character",
        "misplaced extra brace or bracket",
        "unclosed string",
        "unclosed/missing brace or bracket",
        "nesting too deep",
    };
    for (uint32_t code = 0; code < std::size(texts); ++code) {
        SCOPED_TRACE(code);
        EXPECT_STREQ(JSON::ParseErrorText(static_cast<ParseError_t>(code)), texts[code]);
    }
    EXPECT_STREQ(JSON::ParseErrorText(static_cast<ParseError_t>(22)), "unidentified parser error");
    EXPECT_STREQ(JSON::ParseErrorText(static_cast<ParseError_t>(0xFFFFFFFF)), "unidentified parser error");
}

TEST(JsonParse, FirstErrorSticksUntilReset) {
    Value node;
    JSON::ParsingBuilder builder(&node);
    JSON::Parser parser(&builder);
    EXPECT_THROW(parser.Parse(U']'), JSON::Exception);
    EXPECT_TRUE(parser.IsError());
    EXPECT_FALSE(parser.Parse(U'1'));
    EXPECT_EQ(parser.GetLastError(), JSON::errorValueExpected);

    // Reset also resets the builder, so the same node is filled afresh.
    parser.Reset();
    EXPECT_FALSE(parser.IsError());
    EXPECT_EQ(parser.GetLastError(), JSON::errorSuccess);
    EXPECT_FALSE(parser.Parse(L"{\"a\":[1,", true));
    parser.Reset();
    EXPECT_TRUE(parser.Parse(L"[2]", true));
    EXPECT_EQ(node.GetString(), L"[2]");
}

TEST(JsonParse, TextMayArriveInPieces) {
    Value node;
    JSON::ParsingBuilder builder(&node);
    JSON::Parser parser(&builder);
    EXPECT_TRUE(parser.Parse(L"{\"key\":[1", false));
    EXPECT_FALSE(parser.IsFinalState());
    EXPECT_TRUE(parser.Parse(L"2,\"a\\u00", false));
    EXPECT_TRUE(parser.Parse(L"E9\"]}", true));
    EXPECT_EQ(node.GetString(), L"{\"key\":[12,\"a\u00E9\"]}");
}

TEST(JsonParse, EventsFollowTheTextAndEscapedSurrogatesArriveUnitByUnit) {
    struct Recorder : JSON::IParserCallback {
        std::vector<std::string> events;
        void Reset() override { events.push_back("reset"); }
        void SyntaxError(ParseError_t code) override { events.push_back("error " + std::to_string(code)); }
        void ObjectBegin() override { events.push_back("{"); }
        void ObjectNext() override { events.push_back("{,"); }
        void ObjectEnd() override { events.push_back("}"); }
        void ArrayBegin() override { events.push_back("["); }
        void ArrayNext() override { events.push_back("[,"); }
        void ArrayEnd() override { events.push_back("]"); }
        void KeyStringBegin() override { events.push_back("key"); }
        void KeyStringChar(char32_t c) override { events.push_back("k" + std::to_string(c)); }
        void KeyStringEnd() override { events.push_back("/key"); }
        void ValueStringBegin() override { events.push_back("str"); }
        void ValueStringChar(char32_t c) override { events.push_back("v" + std::to_string(c)); }
        void ValueStringEnd() override { events.push_back("/str"); }
        void ValueLiteral(JSON::LiteralValue_t l) override { events.push_back("lit" + std::to_string(l)); }
        void ValueNumberInt(int64_t v) override { events.push_back("int" + std::to_string(v)); }
        void ValueNumberDbl(double v) override { events.push_back("dbl" + std::to_string(v)); }
    } rec;
    JSON::Parser parser(&rec);
    EXPECT_TRUE(parser.Parse(L"{\"k\":[1,\"\\uD83C\\uDFB5\"],\"n\":null,\"d\":0.5}", true));
    const std::vector<std::string> expected = {
        "{", "key", "k107", "/key", "[", "int1", "[,", "str", "v55356", "v57269", "/str", "]",
        "{,", "key", "k110", "/key", "lit1", "{,", "key", "k100", "/key", "dbl0.500000", "}",
    };
    EXPECT_EQ(rec.events, expected);

    rec.events.clear();
    parser.Reset();
    EXPECT_FALSE(parser.Parse(L"[1,]", true));
    EXPECT_EQ(rec.events, (std::vector<std::string>{"reset", "[", "int1", "[,", "error 1"}));
}

TEST(JsonParse, CallbackNeedsToOverrideOnlyTheEventsItWants) {
    struct IntsOnly : JSON::IParserCallback {
        std::vector<int64_t> ints;
        void ValueNumberInt(int64_t v) override { ints.push_back(v); }
    } cb;
    std::unique_ptr<JSON::IParser> parser = JSON::CreateParser(&cb);
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(parser->GetCallback(), &cb);
    for (wchar_t c : std::wstring_view(L"[1,{\"a\":\"x\"},true,2.5,-3]")) ASSERT_TRUE(parser->Parse(c));
    EXPECT_TRUE(parser->ParseEndStream());
    EXPECT_TRUE(parser->IsFinalState());
    EXPECT_EQ(cb.ints, (std::vector<int64_t>{1, -3}));
}

TEST(JsonParse, BuilderRefusesInconsistentEvents) {
    using JSON::ParsingBuilder;
    struct Case {
        const char* label;
        std::function<void(ParsingBuilder&)> events;
        const char* expected;
    } cases[] = {
        {"object end with nothing open", [](ParsingBuilder& b) { b.ObjectEnd(); }, "stack exhausted"},
        {"array end with nothing open", [](ParsingBuilder& b) { b.ArrayEnd(); }, "stack exhausted"},
        {"object comma with nothing open", [](ParsingBuilder& b) { b.ObjectNext(); },
         "stack must not be empty within object"},
        {"key end with nothing open",
         [](ParsingBuilder& b) {
             b.KeyStringBegin();
             b.KeyStringEnd();
         },
         "stack must not be empty within object"},
        {"array comma with nothing open", [](ParsingBuilder& b) { b.ArrayNext(); },
         "stack must not be empty within array"},
        {"object comma inside an array",
         [](ParsingBuilder& b) {
             b.ArrayBegin();
             b.ValueNumberInt(1);
             b.ObjectNext();
         },
         "internal error"},
        {"key inside an array",
         [](ParsingBuilder& b) {
             b.ArrayBegin();
             b.KeyStringBegin();
             b.KeyStringEnd();
         },
         "internal error"},
        {"array comma inside an object",
         [](ParsingBuilder& b) {
             b.ObjectBegin();
             b.KeyStringBegin();
             b.KeyStringChar(U'a');
             b.KeyStringEnd();
             b.ValueNumberInt(1);
             b.ArrayNext();
         },
         "internal error"},
        {"second value for one node",
         [](ParsingBuilder& b) {
             b.ValueNumberInt(1);
             b.ValueLiteral(JSON::LiteralNull);
         },
         "value already assigned"},
        {"value character above U+10FFFF",
         [](ParsingBuilder& b) {
             b.ValueStringBegin();
             b.ValueStringChar(0x110000);
         },
         "illegal UTF-32 character"},
        {"key character above U+10FFFF",
         [](ParsingBuilder& b) {
             b.ObjectBegin();
             b.KeyStringBegin();
             b.KeyStringChar(0x110000);
         },
         "illegal UTF-32 character"},
        {"syntax error", [](ParsingBuilder& b) { b.SyntaxError(JSON::errorUnclosedString); }, "unclosed string"},
        {"unknown syntax error", [](ParsingBuilder& b) { b.SyntaxError(static_cast<ParseError_t>(40)); },
         "unidentified parser error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Value node;
        ParsingBuilder builder(&node);
        std::string what = "<no exception>";
        try {
            c.events(builder);
        } catch (const JSON::Exception& e) {
            what = e.what();
        }
        EXPECT_EQ(what, c.expected);
    }
}

TEST(JsonParse, BuilderClearsItsTargetAndCanBeRebound) {
    Value first;
    first = int64_t{5};
    JSON::ParsingBuilder builder(&first);
    EXPECT_EQ(first.Type(), JSON::typeUndefined);
    builder.ValueStringBegin();
    builder.ValueStringChar(0x1F3B5);
    builder.ValueStringEnd();
    EXPECT_EQ(first.GetString(), L"\"\xD83C\xDFB5\"");

    Value second;
    second = true;
    builder.Reset(&second);
    EXPECT_EQ(second.Type(), JSON::typeUndefined);
    builder.ValueNumberInt(3);
    EXPECT_EQ(second.GetString(), L"3");
}

TEST(JsonParse, Utf8TextsAreDecodedFirst) {
    Value node;
    ASSERT_TRUE(Value::Parse("\xEF\xBB\xBF{\"n\":\"\xC3\xA9\xF0\x9F\x8E\xB5\"}", node));
    EXPECT_EQ(static_cast<const JSON::MyString_t&>(node[L"n"]), (std::wstring{L'\u00E9', wchar_t(0xD83C), wchar_t(0xDFB5)}));
    EXPECT_FALSE(Value::Parse("[\"\xC3\"]", node));
    EXPECT_FALSE(Value::Parse(std::string("[1]\xFF"), node));
}

TEST(JsonParse, EscapedPairWrittenAndEncodedGivesOneFourByteSequence) {
    Value node;
    ASSERT_TRUE(Value::Parse("[\"\\uD83C\\uDFB5\"]", node));
    EXPECT_EQ(text::UTF16_UTF8(node.GetString()), "[\"\xF0\x9F\x8E\xB5\"]");
}

TEST(JsonParse, ParseFileReadsUtf8WithOrWithoutMark) {
    test_support::TempDir tmp;
    struct Case {
        const char* name;
        std::string bytes;
        bool ok;
        const wchar_t* written;
    } cases[] = {
        {"bom.json", "\xEF\xBB\xBF{\"a\":\"\xC3\xA9\"}", true, L"{\"a\":\"\u00E9\"}"},
        {"plain.json", "[1,2.5]\n", true, L"[1,2.5]"},
        {"empty.json", "", false, nullptr},
        {"only-bom.json", "\xEF\xBB\xBF", false, nullptr},
        {"bad-utf8.json", "{\"a\":\"\xC3\"}", false, nullptr},
        {"bad-json.json", "{\"a\":}", false, nullptr},
        {"deep.json", std::string(600, '[') + std::string(600, ']'), false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Value node;
        EXPECT_EQ(Value::ParseFile(Widen(tmp.write(c.name, c.bytes)), node), c.ok);
        if (c.ok) {
            EXPECT_EQ(node.GetString(), c.written);
        }
    }
    Value node;
    EXPECT_FALSE(Value::ParseFile(Widen(tmp.path("missing.json")), node));
    EXPECT_FALSE(Value::ParseFile(Widen(tmp.dir()), node));
}
