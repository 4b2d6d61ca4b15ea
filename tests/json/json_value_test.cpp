// JSON::Value: conversions, access rules, lookup, arrays, deletion and copying.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "json/json_object.h"

using JSON::Value;

namespace {

// The exception text of f, or a marker when it does not throw JSON::Exception.
std::string Thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const JSON::Exception& e) {
        return e.what();
    }
    return "<no exception>";
}

template <class T>
Value Make(T x) {
    Value v;
    v = x;
    return v;
}

Value Undefined() { return Value(); }

Value FromText(const wchar_t* text) {
    Value v;
    EXPECT_TRUE(Value::Parse(text, v)) << "bad fixture text";
    return v;
}

std::string Narrow(std::wstring_view w) {
    std::string s;
    for (wchar_t c : w) s += static_cast<char>(c);
    return s;
}

std::string Dbl(double d) {
    std::ostringstream os;
    os << std::setprecision(17) << d;
    return os.str();
}

enum class Target { Bool, I16, I32, I64, U16, U32, U64, Double, Float, WString, WView };

// The result of reading v as target, as text, or "!" and the exception text.
std::string Read(const Value& v, Target target) {
    try {
        switch (target) {
        case Target::Bool: return static_cast<bool>(v) ? "true" : "false";
        case Target::I16: return std::to_string(static_cast<int16_t>(v));
        case Target::I32: return std::to_string(static_cast<int32_t>(v));
        case Target::I64: return std::to_string(static_cast<int64_t>(v));
        case Target::U16: return std::to_string(static_cast<uint16_t>(v));
        case Target::U32: return std::to_string(static_cast<uint32_t>(v));
        case Target::U64: return std::to_string(static_cast<uint64_t>(v));
        case Target::Double: return Dbl(static_cast<double>(v));
        case Target::Float: return Dbl(static_cast<float>(v));
        case Target::WString: return Narrow(static_cast<const JSON::MyString_t&>(v));
        case Target::WView: return Narrow(static_cast<std::wstring_view>(v));
        }
    } catch (const JSON::Exception& e) {
        return std::string("!") + e.what();
    }
    return "?";
}

struct ConversionCase {
    const char* label;
    Value node;
    Target target;
    const char* expected;
};

const char* const kNumeric = "!access numeric value for object with another type";
const char* const kInt = "!access 'int' value for object with another type";
const char* const kUInt = "!access 'unsigned int' value for object with another type";
const char* const kDouble = "!access 'double' value for object with another type";
const char* const kString = "!access 'wstring' value for non-string object";

} // namespace

TEST(JsonValue, ScalarConversionsAcceptOnlyTheirKindsAndRanges) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const ConversionCase cases[] = {
        {"int to bool", Make<int64_t>(2), Target::Bool, "true"},
        {"zero to bool", Make<int64_t>(0), Target::Bool, "false"},
        {"double to bool", Make(0.5), Target::Bool, "true"},
        {"double zero to bool", Make(0.0), Target::Bool, "false"},
        {"NaN to bool", Make(nan), Target::Bool, "true"},
        {"true to bool", Make(true), Target::Bool, "true"},
        {"false to bool", Make(false), Target::Bool, "false"},
        {"null to bool", Make(JSON::LiteralNull), Target::Bool, "false"},
        {"string to bool", Make(L"1"), Target::Bool, kNumeric},
        {"undefined to bool", Undefined(), Target::Bool, kNumeric},

        {"int16 max", Make<int64_t>(32767), Target::I16, "32767"},
        {"int16 min", Make<int64_t>(-32768), Target::I16, "-32768"},
        {"int16 above", Make<int64_t>(32768), Target::I16, "!overflow 'int16_t' value"},
        {"int16 below", Make<int64_t>(-32769), Target::I16, "!overflow 'int16_t' value"},
        {"int16 from double", Make(5.0), Target::I16, kInt},

        {"int32 max", Make<int64_t>(INT32_MAX), Target::I32, "2147483647"},
        {"int32 min", Make<int64_t>(INT32_MIN), Target::I32, "-2147483648"},
        {"int32 above", Make<int64_t>(int64_t{INT32_MAX} + 1), Target::I32, "!overflow 'int32_t' value"},
        {"int32 below", Make<int64_t>(int64_t{INT32_MIN} - 1), Target::I32, "!overflow 'int32_t' value"},
        {"int32 from integral double", Make(5.0), Target::I32, kInt},
        {"int32 from true", Make(true), Target::I32, kInt},

        {"int64 of 70000", Make<int64_t>(70000), Target::I64, "70000"},
        {"int64 from double", Make(5.0), Target::I64, "!access 'int64_t' value for object with another type"},
        {"int64 of stored uint64 max", Make(UINT64_MAX), Target::I64, "-1"},

        {"uint16 max", Make<int64_t>(65535), Target::U16, "65535"},
        {"uint16 of 70000", Make<int64_t>(70000), Target::U16, "!overflow 'uint16_t' value"},
        {"uint16 of -1", Make<int64_t>(-1), Target::U16, "!overflow 'uint16_t' value"},
        {"uint16 from string", Make(L"5"), Target::U16, kUInt},

        {"uint32 max", Make<int64_t>(UINT32_MAX), Target::U32, "4294967295"},
        {"uint32 above", Make<int64_t>(int64_t{UINT32_MAX} + 1), Target::U32, "!overflow 'uint32_t' value"},
        {"uint32 of -1", Make<int64_t>(-1), Target::U32, "!overflow 'uint32_t' value"},
        {"uint32 from null", Make(JSON::LiteralNull), Target::U32, kUInt},

        {"uint64 of -1", Make<int64_t>(-1), Target::U64, "18446744073709551615"},
        {"uint64 max round trip", Make(UINT64_MAX), Target::U64, "18446744073709551615"},
        {"uint64 from double", Make(1.0), Target::U64, "!access 'uint64_t' value for object with another type"},

        {"double from int", Make<int64_t>(-7), Target::Double, "-7"},
        {"double from double", Make(2.5), Target::Double, "2.5"},
        {"double from literal", Make(true), Target::Double, kDouble},
        {"double from string", Make(L"2.5"), Target::Double, kDouble},
        {"float from double", Make(2.5), Target::Float, "2.5"},
        {"float from int", Make<int64_t>(3), Target::Float, "3"},
        {"float from object", FromText(L"{}"), Target::Float, kDouble},

        {"wstring", Make(L"abc"), Target::WString, "abc"},
        {"wstring from int", Make<int64_t>(1), Target::WString, kString},
        {"wstring_view", Make(L"abc"), Target::WView, "abc"},
        {"wstring_view from array", FromText(L"[]"), Target::WView, kString},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Read(c.node, c.target), c.expected);
    }
}

TEST(JsonValue, NarrowUnsignedAssignmentsWidenWithoutSignExtension) {
    EXPECT_EQ(Make<uint32_t>(UINT32_MAX).GetString(), L"4294967295");
    EXPECT_EQ(Make<uint16_t>(UINT16_MAX).GetString(), L"65535");
    EXPECT_EQ(Make<int16_t>(-1).GetString(), L"-1");
    EXPECT_EQ(Make(UINT64_MAX).GetString(), L"-1");
}

TEST(JsonValue, AssignmentReplacesAnyKindAndLeavesNoStaleContent) {
    Value v = FromText(L"{\"a\":[1,2]}");
    v = int64_t{5};
    EXPECT_EQ(v.Type(), JSON::typeIntNumber);
    EXPECT_EQ(v.GetString(), L"5");
    v = L"s";
    EXPECT_EQ(v.Type(), JSON::typeString);
    EXPECT_EQ(v.GetString(), L"\"s\"");
    v = 1.5;
    EXPECT_EQ(v.Type(), JSON::typeDblNumber);
    v = JSON::LiteralNull;
    EXPECT_EQ(v.Type(), JSON::typeLiteral);
    EXPECT_EQ(v.GetString(), L"null");
    v = JSON::MyString_t(L"moved");
    EXPECT_EQ(v.GetString(), L"\"moved\"");
    // The object it once was must not resurface through key access.
    EXPECT_EQ(Thrown([&] { v[L"a"]; }), "access object{} item for non-object object");
}

TEST(JsonValue, SetTypeOnlyGivesAnUndefinedNodeItsKind) {
    Value v;
    v.SetType(JSON::typeString);
    EXPECT_EQ(v.Type(), JSON::typeString);
    v = L"kept";
    v.SetType(JSON::typeString);  // same kind: content stays
    EXPECT_EQ(v.GetString(), L"\"kept\"");
    EXPECT_EQ(Thrown([&] { v.SetTypeObject(); }), "invalid set type attempt; object already has another type");
    EXPECT_EQ(v.GetString(), L"\"kept\"");

    v.Clear();
    EXPECT_EQ(v.Type(), JSON::typeUndefined);
    v.SetTypeArray();
    EXPECT_EQ(v.GetString(), L"[]");
}

TEST(JsonValue, ConstantAccessNeverCreatesAndNamesWhatIsWrong) {
    const Value array = FromText(L"[10,20]");
    const Value object = FromText(L"{\"k\":1}");
    const Value empty = FromText(L"{}");
    const Value number = Make<int64_t>(1);
    struct Case {
        const char* label;
        std::function<void()> access;
        const char* expected;
    } cases[] = {
        {"negative index", [&] { array[-1]; }, "access array[] element with negative index"},
        {"negative 64-bit index", [&] { array[int64_t{-5}]; }, "access array[] element with negative index"},
        {"index past end", [&] { array[2]; }, "index out of array bounds in array[] element access"},
        {"unsigned index past end", [&] { array[uint64_t{7}]; }, "index out of array bounds in array[] element access"},
        {"index into object", [&] { object[0]; }, "access array[] element for non-array object"},
        {"key into array", [&] { array[L"k"]; }, "access object{} item for non-object object"},
        {"key into number", [&] { number[std::wstring_view(L"k")]; }, "access object{} item for non-object object"},
        {"key into empty object", [&] { empty[L"k"]; }, "access item in empty object{}"},
        {"missing key", [&] { object[L"x"]; }, "key not found in object{} for item access"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Thrown(c.access), c.expected);
    }
    EXPECT_EQ(static_cast<int32_t>(array[1]), 20);
    EXPECT_EQ(static_cast<int32_t>(array[uint16_t{0}]), 10);
    EXPECT_EQ(static_cast<int32_t>(object[L"k"]), 1);
    EXPECT_EQ(array.GetString(), L"[10,20]");
    EXPECT_EQ(object.GetString(), L"{\"k\":1}");
}

TEST(JsonValue, ChangeableIndexGrowsAnArrayWithUndefinedElements) {
    Value v;
    v[20] = int64_t{1};
    EXPECT_EQ(v.Type(), JSON::typeArray);
    ASSERT_EQ(v.ArraySize(), 21u);
    EXPECT_EQ(v[0].Type(), JSON::typeUndefined);
    EXPECT_EQ(v[19].Type(), JSON::typeUndefined);
    EXPECT_EQ(static_cast<int32_t>(v[20]), 1);
    v[uint64_t{2}] = L"x";  // within the size: no growth
    EXPECT_EQ(v.ArraySize(), 21u);
    EXPECT_EQ(Thrown([&] { v[-1]; }), "access array[] element with negative index");
    EXPECT_EQ(Thrown([&] { v[L"k"]; }), "access object{} item for non-object object");
    EXPECT_EQ(v.ArraySize(), 21u);
}

TEST(JsonValue, ChangeableKeyInsertsOnceAndRefusesOtherKinds) {
    Value v;
    v[L"b"] = int64_t{2};
    v[std::wstring(L"a")] = int64_t{1};
    v[std::wstring_view(L"b")] = int64_t{3};
    EXPECT_EQ(v.Type(), JSON::typeObject);
    EXPECT_EQ(v.ObjectSize(), 2u);
    EXPECT_EQ(v.GetString(), L"{\"a\":1,\"b\":3}");
    v[L"c"];  // inserted undefined
    EXPECT_EQ(v.ObjectSize(), 3u);
    EXPECT_EQ(Thrown([&] { v[0]; }), "access array[] element for non-array object");

    Value s = Make(L"text");
    EXPECT_EQ(Thrown([&] { s[L"k"]; }), "access object{} item for non-object object");
    EXPECT_EQ(Thrown([&] { s[1]; }), "access array[] element for non-array object");
    EXPECT_EQ(s.GetString(), L"\"text\"");
}

TEST(JsonValue, FindReturnsNoneForAbsenceButThrowsForNonObjects) {
    Value object = FromText(L"{\"a\":1}");
    ASSERT_NE(object.Find(L"a"), nullptr);
    EXPECT_EQ(static_cast<int32_t>(*object.Find(L"a")), 1);
    EXPECT_EQ(object.Find(L"b"), nullptr);
    EXPECT_EQ(FromText(L"{}").Find(L"a"), nullptr);
    Value undefined;
    EXPECT_EQ(Thrown([&] { undefined.Find(L"a"); }), "access object{} item for non-object object");
    EXPECT_EQ(undefined.Type(), JSON::typeUndefined);
    const Value array = FromText(L"[]");
    EXPECT_EQ(Thrown([&] { array.Find(L"a"); }), "access object{} item for non-object object");
}

TEST(JsonValue, FindMultiKeyWalksAPathOfKeys) {
    const Value tree = FromText(L"{\"a\":{\"b\":1,\"\":{\"b\":2}},\"s\":\"str\",\"e\":{\"b\":3}}");
    struct Case {
        const wchar_t* path;
        const char* expected;  // written form of the member, "none", or "!" and the exception text
    } cases[] = {
        {L"a.b", "1"},
        {L"a..b", "2"},  // the empty segment is the empty key
        {L"e..b", "none"},
        {L"a.c", "none"},
        {L"x.b", "none"},
        {L".b", "none"},
        {L"s", "\"str\""},
        {L"a.", "!invalid key"},
        {L"", "!invalid key"},
        {L"s.b", "!access object{} item for non-object object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        std::string got;
        try {
            const Value* found = tree.FindMultiKey(c.path, L'.');
            got = found ? Narrow(found->GetString()) : "none";
        } catch (const JSON::Exception& e) {
            got = std::string("!") + e.what();
        }
        EXPECT_EQ(got, c.expected);
    }
    Value changeable = tree;
    Value* b = changeable.FindMultiKey(L"a/b", L'/');
    ASSERT_NE(b, nullptr);
    *b = int64_t{9};
    EXPECT_EQ(static_cast<int32_t>(changeable[L"a"][L"b"]), 9);
}

TEST(JsonValue, AtCreatesEveryMissingSegment) {
    Value v;
    v.At(L"x.y.z", L'.') = int64_t{1};
    v.At(L"x..w", L'.') = true;
    v.At(L"x.y.z", L'.') = int64_t{2};
    EXPECT_EQ(v.GetString(), L"{\"x\":{\"\":{\"w\":true},\"y\":{\"z\":2}}}");
    EXPECT_EQ(Thrown([&] { v.At(L"x.y.z.q", L'.'); }), "access object{} item for non-object object");
}

TEST(JsonValue, DeleteMultiKeyRemovesTheLastSegmentOnly) {
    Value v = FromText(L"{\"a\":{\"b\":1,\"c\":2}}");
    EXPECT_TRUE(v.DeleteMultiKey(L"a.b", L'.'));
    EXPECT_FALSE(v.DeleteMultiKey(L"a.b", L'.'));
    EXPECT_FALSE(v.DeleteMultiKey(L"q.c", L'.'));
    EXPECT_EQ(v.GetString(), L"{\"a\":{\"c\":2}}");
}

TEST(JsonValue, TryGetFallsBackToTheDefaultWithoutThrowing) {
    const Value v = FromText(
        L"{\"s\":\"str\",\"n\":5,\"neg\":-1,\"big\":5000000000,\"t\":true,\"d\":2.5,\"nul\":null}");
    EXPECT_EQ(v.TryGet<std::wstring>(L"s", L"def"), L"str");
    EXPECT_EQ(v.TryGet<std::wstring>(L"n", L"def"), L"def");
    EXPECT_EQ(v.TryGet<std::wstring>(L"missing", L"def"), L"def");
    EXPECT_EQ(v.TryGet<uint32_t>(L"n", 7), 5u);
    EXPECT_EQ(v.TryGet<uint32_t>(L"neg", 7), 7u);
    EXPECT_EQ(v.TryGet<uint32_t>(L"big", 7), 7u);
    EXPECT_EQ(v.TryGet<uint32_t>(L"d", 7), 7u);
    EXPECT_EQ(v.TryGet<uint64_t>(L"big", 7), 5000000000u);
    EXPECT_EQ(v.TryGet<uint64_t>(L"neg", 7), UINT64_MAX);
    EXPECT_EQ(v.TryGet<int32_t>(L"neg", 0), -1);
    EXPECT_EQ(v.TryGet<int32_t>(L"s", 9), 9);
    EXPECT_TRUE(v.TryGet<bool>(L"t", false));
    EXPECT_TRUE(v.TryGet<bool>(L"n", false));
    EXPECT_FALSE(v.TryGet<bool>(L"nul", true));
    EXPECT_TRUE(v.TryGet<bool>(L"s", true));

    EXPECT_EQ(Make(L"x").TryGet<int32_t>(L"s", 4), 4);
    EXPECT_EQ(Value().TryGet<std::wstring>(L"s", L"d"), L"d");
    EXPECT_EQ(FromText(L"[1]").TryGet<int32_t>(L"0", 4), 4);
}

TEST(JsonValue, SetArraySizeGrowsWithTheElementKindAndShrinksFromTheEnd) {
    Value v;
    v.SetArraySize(3, JSON::typeObject);
    EXPECT_EQ(v.GetString(), L"[{},{},{}]");
    v[0][L"k"] = int64_t{1};
    v.SetArraySize(1);
    EXPECT_EQ(v.GetString(), L"[{\"k\":1}]");
    v.SetArraySize(2, JSON::typeString);
    EXPECT_EQ(v.GetString(), L"[{\"k\":1},\"\"]");
    v.SetArraySize(3);
    EXPECT_EQ(v[2].Type(), JSON::typeUndefined);
    v.SetArraySize(0);
    EXPECT_EQ(v.GetString(), L"[]");

    Value n = Make<int64_t>(1);
    EXPECT_EQ(Thrown([&] { n.SetArraySize(2); }), "invalid set type attempt; object already has another type");
    EXPECT_EQ(n.GetString(), L"1");
}

TEST(JsonValue, ClearArrayEmptiesArraysAndRefusesOtherKinds) {
    Value v;
    v.ClearArray();
    EXPECT_EQ(v.GetString(), L"[]");
    v = FromText(L"[1,2]");
    v.ClearArray();
    EXPECT_EQ(v.GetString(), L"[]");
    Value s = Make(L"s");
    EXPECT_EQ(Thrown([&] { s.ClearArray(); }), "invalid clear array attempt; object is not an array");
    Value o = FromText(L"{}");
    EXPECT_EQ(Thrown([&] { o.ClearArray(); }), "invalid clear array attempt; object is not an array");
}

TEST(JsonValue, SetArrayOverwritesLeadingElementsAndKeepsTheRest) {
    Value v;
    EXPECT_TRUE(v.SetArray(std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(v.GetString(), L"[1,2,3]");
    EXPECT_TRUE(v.SetArray(std::vector<std::wstring>{L"a"}));
    EXPECT_EQ(v.GetString(), L"[\"a\",2,3]");

    Value keyed;
    keyed.SetArray(L"k", std::vector<int32_t>{4, 5});
    EXPECT_EQ(keyed.GetString(), L"{\"k\":[4,5]}");

    Value filled;
    filled.SetArray(std::vector<int32_t>{1, 2}, [](Value& element, const int32_t& item) { element[L"id"] = item; });
    EXPECT_EQ(filled.GetString(), L"[{\"id\":1},{\"id\":2}]");

    Value o = FromText(L"{}");
    EXPECT_EQ(Thrown([&] { o.SetArray(std::vector<int32_t>{1}); }),
              "invalid set type attempt; object already has another type");
}

TEST(JsonValue, TryGetArrayStopsAtTheFirstElementThatDoesNotConvert) {
    std::vector<int32_t> ints{99};
    EXPECT_TRUE(FromText(L"[1,-2,3]").TryGetArray(ints));
    EXPECT_EQ(ints, (std::vector<int32_t>{1, -2, 3}));
    EXPECT_FALSE(FromText(L"[1,\"x\",3]").TryGetArray(ints));
    EXPECT_EQ(ints, (std::vector<int32_t>{1}));
    EXPECT_FALSE(FromText(L"[1,5000000000]").TryGetArray(ints));
    EXPECT_EQ(ints, (std::vector<int32_t>{1}));
    EXPECT_FALSE(FromText(L"{}").TryGetArray(ints));
    EXPECT_TRUE(ints.empty());
    EXPECT_TRUE(FromText(L"[]").TryGetArray(ints));
    EXPECT_TRUE(ints.empty());

    std::vector<std::wstring> strings;
    EXPECT_TRUE(FromText(L"[\"a\",\"b\"]").TryGetArray(strings));
    EXPECT_EQ(strings, (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_FALSE(FromText(L"[\"a\",1]").TryGetArray(strings));
    EXPECT_EQ(strings, (std::vector<std::wstring>{L"a"}));

    const Value keyed = FromText(L"{\"k\":[7,8],\"s\":\"x\"}");
    EXPECT_TRUE(keyed.TryGetArray(L"k", ints));
    EXPECT_EQ(ints, (std::vector<int32_t>{7, 8}));
    EXPECT_FALSE(keyed.TryGetArray(L"missing", ints));
    EXPECT_TRUE(ints.empty());
    EXPECT_FALSE(keyed.TryGetArray(L"s", ints));
    EXPECT_FALSE(FromText(L"[]").TryGetArray(L"k", ints));

    std::vector<std::wstring> made;
    EXPECT_TRUE(FromText(L"[{\"n\":\"a\"},{\"n\":\"b\"}]")
                    .TryGetArray(made, [](const Value& e) { return static_cast<const JSON::MyString_t&>(e[L"n"]); }));
    EXPECT_EQ(made, (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_FALSE(FromText(L"[{\"n\":\"a\"},{}]")
                     .TryGetArray(made, [](const Value& e) { return static_cast<const JSON::MyString_t&>(e[L"n"]); }));
    EXPECT_EQ(made, (std::vector<std::wstring>{L"a"}));
}

TEST(JsonValue, SizesAreRefusedForTheWrongKind) {
    EXPECT_EQ(FromText(L"[1,2]").ArraySize(), 2u);
    EXPECT_EQ(FromText(L"{\"a\":1}").ObjectSize(), 1u);
    EXPECT_EQ(Thrown([] { FromText(L"{}").ArraySize(); }), "access array[] size for non-array object");
    EXPECT_EQ(Thrown([] { Value().ArraySize(); }), "access array[] size for non-array object");
    EXPECT_THROW(FromText(L"[]").ObjectSize(), JSON::Exception);
}

TEST(JsonValue, GetMapIsACopyAndEnumerationFollowsKeyOrder) {
    const Value v = FromText(L"{\"b\":2,\"a\":1,\"c\":3}");
    JSON::MyObject_t map = v.GetMap();
    map.erase(L"a");
    EXPECT_EQ(v.ObjectSize(), 3u);

    std::wstring seen;
    v.EnumSubObjects([&](const JSON::MyString_t& key, const Value& member) {
        seen += key + L"=" + member.GetString() + L";";
    });
    EXPECT_EQ(seen, L"a=1;b=2;c=3;");

    EXPECT_EQ(Thrown([] { FromText(L"[]").GetMap(); }), "map access for a non-map object");
    EXPECT_EQ(Thrown([] { Value().EnumSubObjects([](const JSON::MyString_t&, const Value&) {}); }),
              "enumerate object{} items for non-object object");
}

TEST(JsonValue, DeleteByIndexShiftsLaterElementsDown) {
    Value v = FromText(L"[1,2,3]");
    v.Delete(uint64_t{1});
    EXPECT_EQ(v.GetString(), L"[1,3]");
    EXPECT_EQ(Thrown([&] { v.Delete(uint64_t{2}); }), "index out of array bounds in array delete element");
    EXPECT_EQ(v.GetString(), L"[1,3]");
    Value o = FromText(L"{\"a\":1}");
    EXPECT_EQ(Thrown([&] { o.Delete(uint64_t{0}); }), "attempt to delete array element for non-array value");
}

TEST(JsonValue, DeleteByKeyReportsWhetherAMemberWent) {
    Value v = FromText(L"{\"a\":1,\"b\":2}");
    EXPECT_TRUE(v.Delete(L"a"));
    EXPECT_FALSE(v.Delete(L"a"));
    EXPECT_EQ(v.GetString(), L"{\"b\":2}");

    Value undefined;
    EXPECT_FALSE(undefined.Delete(L"a"));
    EXPECT_EQ(undefined.GetString(), L"{}");

    Value n = Make<int64_t>(1);
    EXPECT_EQ(Thrown([&] { n.Delete(L"a"); }), "attempt to delete subobject{} for non-object");
    Value a = FromText(L"[1]");
    EXPECT_EQ(Thrown([&] { a.Delete(std::wstring_view(L"a")); }), "attempt to delete subobject{} for non-object");
}

TEST(JsonValue, DeleteAllEmptiesContainersAndStringsKeepingTheirKind) {
    struct Case {
        const wchar_t* text;
        const wchar_t* after;  // nullptr: throws
    } cases[] = {
        {L"{\"a\":1}", L"{}"},
        {L"[1,[2]]", L"[]"},
        {L"\"abc\"", L"\"\""},
        {L"1", nullptr},
        {L"2.5", nullptr},
        {L"true", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        Value v = FromText(c.text);
        if (c.after) {
            EXPECT_TRUE(v.DeleteAll());
            EXPECT_EQ(v.GetString(), c.after);
        } else {
            EXPECT_EQ(Thrown([&] { v.DeleteAll(); }), "attempt to delete all content; must be object/array/string");
            EXPECT_EQ(v.GetString(), c.text);
        }
    }
    Value undefined;
    EXPECT_EQ(Thrown([&] { undefined.DeleteAll(); }), "attempt to delete all content; must be object/array/string");
}

TEST(JsonValue, CopyIsDeep) {
    Value original = FromText(L"{\"a\":{\"list\":[1,{\"x\":\"y\"}]}}");
    Value copy = original;
    copy[L"a"][L"list"][1][L"x"] = L"changed";
    copy[L"a"][L"list"][5] = int64_t{1};
    copy[L"b"] = true;
    EXPECT_EQ(original.GetString(), L"{\"a\":{\"list\":[1,{\"x\":\"y\"}]}}");

    Value assigned;
    assigned = original;
    original.Clear();
    EXPECT_EQ(assigned.GetString(), L"{\"a\":{\"list\":[1,{\"x\":\"y\"}]}}");
}

TEST(JsonValue, ExceptionTextIsCutTo255Characters) {
    const std::string longText(400, 'x');
    JSON::Exception e(longText.c_str());
    EXPECT_EQ(std::string(e.what()), longText.substr(0, 255));
    EXPECT_STREQ(JSON::Exception("short").what(), "short");
}
