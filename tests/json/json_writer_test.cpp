// The compact JSON writer: string escaping, number layout, member order and undefined nodes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "json/json_object.h"

using JSON::Value;

namespace {

template <class T>
Value Make(T x) {
    Value v;
    v = x;
    return v;
}

std::string Hex(std::wstring_view w) {
    std::string s;
    char buf[16];
    for (wchar_t c : w) {
        if (c >= 0x20 && c < 0x7F) {
            s += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "<%X>", static_cast<unsigned>(c));
            s += buf;
        }
    }
    return s;
}

} // namespace

TEST(JsonWriter, EscapesOnlyWhatJsonRequiresPlusTheSolidus) {
    struct Case {
        std::wstring in;
        std::wstring out;  // without the enclosing quotation marks
    } cases[] = {
        {L"", L""},
        {L"plain text", L"plain text"},
        {L"\"", L"\\\""},
        {L"\\", L"\\\\"},
        {L"/", L"\\/"},
        {L"\b\t\n\f\r", L"\\b\\t\\n\\f\\r"},
        {std::wstring(1, L'\0'), L"\\u0000"},
        {L"\x01", L"\\u0001"},
        {L"\x0B", L"\\u000B"},
        {L"\x1F", L"\\u001F"},
        {L"\x7F", L"\x7F"},
        {L"\u00E9\u20AC\uFFFF", L"\u00E9\u20AC\uFFFF"},
        // A surrogate unit, as the parser stores it, is written unchanged.
        {std::wstring{wchar_t(0xD83C), wchar_t(0xDFB5)}, std::wstring{wchar_t(0xD83C), wchar_t(0xDFB5)}},
        // A code point above U+FFFF from elsewhere is split into its pair.
        {L"\U0001F3B5", L"\\uD83C\\uDFB5"},
        {L"a\U0010FFFFb", L"a\\uDBFF\\uDFFFb"},
        {L"\U00010000", L"\\uD800\\uDC00"},
        {std::wstring{wchar_t(0x110000)}, L"\\uFFFD"},
        {std::wstring{wchar_t(-1), L'x'}, L"\\uFFFDx"},
        {L"\"/\t\x01", L"\\\"\\/\\t\\u0001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Hex(c.in));
        EXPECT_EQ(Hex(JSON::PutJsonString(c.in)), Hex(L"\"" + c.out + L"\""));
        EXPECT_EQ(Hex(Make(c.in).GetString()), Hex(L"\"" + c.out + L"\""));
    }
}

TEST(JsonWriter, PutJsonStringAppendsToTheDestination) {
    std::wstring dst = L"x:";
    EXPECT_EQ(&JSON::PutJsonString(dst, L"a\n"), &dst);
    EXPECT_EQ(dst, L"x:\"a\\n\"");
}

TEST(JsonWriter, NumbersAreLaidOutSoDoublesStayDoubles) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        Value node;
        const wchar_t* text;
    } cases[] = {
        {Make<int64_t>(0), L"0"},
        {Make<int64_t>(-5), L"-5"},
        {Make<int64_t>(INT64_MAX), L"9223372036854775807"},
        {Make<int64_t>(INT64_MIN), L"-9223372036854775808"},
        {Make(0.0), L"0.0"},
        {Make(-0.0), L"-0.0"},
        {Make(100.0), L"100.0"},
        {Make(15.0), L"15.0"},
        {Make(1.5), L"1.5"},
        {Make(-2.5), L"-2.5"},
        {Make(0.1), L"0.1"},
        {Make(0.5), L"0.5"},
        {Make(1e-6), L"0.000001"},
        {Make(1e-7), L"1e-7"},
        {Make(1.5e-7), L"1.5e-7"},
        {Make(1e15), L"1000000000000000.0"},
        {Make(1e16), L"1e16"},
        {Make(5e-324), L"5e-324"},
        {Make(1.7976931348623157e308), L"1.7976931348623157e308"},
        {Make(std::numeric_limits<double>::quiet_NaN()), L"null"},
        {Make(inf), L"null"},
        {Make(-inf), L"null"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Hex(c.text));
        EXPECT_EQ(c.node.GetString(), c.text);
    }
}

TEST(JsonWriter, LiteralsContainersAndNestingHaveNoWhitespace) {
    Value v;
    v[L"list"][0] = int64_t{1};
    v[L"list"][1] = 2.5;
    v[L"list"][2] = L"x";
    v[L"list"][3] = JSON::LiteralNull;
    v[L"list"][4] = true;
    v[L"list"][5] = false;
    v[L"list"][6].SetTypeObject();
    v[L"list"][7].SetTypeArray();
    v[L"obj"].SetTypeObject();
    EXPECT_EQ(v.GetString(), L"{\"list\":[1,2.5,\"x\",null,true,false,{},[]],\"obj\":{}}");
}

TEST(JsonWriter, MembersComeOutInAscendingCodeUnitOrder) {
    Value v;
    for (const wchar_t* key : {L"b", L"\u00E9", L"ab", L"a", L"B", L"", L"a\""})
        v[key] = int64_t{1};
    EXPECT_EQ(v.GetString(), L"{\"\":1,\"B\":1,\"a\":1,\"a\\\"\":1,\"ab\":1,\"b\":1,\"\u00E9\":1}");
}

TEST(JsonWriter, UndefinedNodeThrowsAndKeepsWhatWasWritten) {
    const char* const kUndefined = "JSON value undefined: cannot generate text representation";
    Value array;
    array[0] = int64_t{1};
    array[2] = int64_t{3};
    std::wstring text = L"pre";
    try {
        array.GetString(text);
        ADD_FAILURE() << "no exception";
    } catch (const JSON::Exception& e) {
        EXPECT_STREQ(e.what(), kUndefined);
    }
    EXPECT_EQ(text, L"pre[1,");

    for (const Value& node : {Value(), Make(JSON::LiteralUndefinedValue)}) {
        std::wstring out = L"kept";
        try {
            node.GetString(out);
            ADD_FAILURE() << "no exception";
        } catch (const JSON::Exception& e) {
            EXPECT_STREQ(e.what(), kUndefined);
        }
        EXPECT_EQ(out, L"kept");
    }
}

TEST(JsonWriter, GetStringAppendsAndReturnsTheCallersString) {
    std::wstring text = L"[";
    EXPECT_EQ(&Make<int64_t>(7).GetString(text), &text);
    EXPECT_EQ(text, L"[7");
}
