// UTF-8 <-> wide conversions and the Windows-1251 narrowing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "util/utfconv.h"

namespace {

std::string HexBytes(const std::string& s) {
    std::string out;
    char buf[8];
    for (unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

std::string HexUnits(const std::wstring& w) {
    std::string out;
    char buf[16];
    for (wchar_t c : w) {
        std::snprintf(buf, sizeof buf, "%X ", static_cast<unsigned>(c));
        out += buf;
    }
    return out;
}

std::wstring W(std::initializer_list<unsigned> units) {
    std::wstring w;
    for (unsigned u : units) w += static_cast<wchar_t>(u);
    return w;
}

} // namespace

TEST(Utf8ToWide, DecodesValidTextAndRejectsAnyMalformedSequenceWhole) {
    struct Case {
        const char* label;
        std::string utf8;
        std::wstring wide;  // empty: rejected (or empty input)
    } cases[] = {
        {"empty", "", L""},
        {"ascii", "abc", L"abc"},
        {"two bytes", "\xC3\xA9", W({0xE9})},
        {"three bytes", "\xE2\x82\xAC", W({0x20AC})},
        {"four bytes give one character", "\xF0\x9F\x8E\xB5", W({0x1F3B5})},
        {"largest code point", "\xF4\x8F\xBF\xBF", W({0x10FFFF})},
        {"boundaries", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80",
         W({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000})},
        {"byte order mark is kept", "\xEF\xBB\xBF" "A", W({0xFEFF, 'A'})},
        {"encoded surrogate is accepted", "\xED\xA0\x80", W({0xD800})},
        {"embedded zero", std::string("a\0b", 3), W({'a', 0, 'b'})},
        {"truncated two bytes", "\xC3", L""},
        {"truncated after text", "abc\xE2\x82", L""},
        {"truncated four bytes", "\xF0\x9F\x8E", L""},
        {"bad continuation", "\xC3(", L""},
        {"lone continuation", "a\x80", L""},
        {"overlong zero", "\xC0\x80", L""},
        {"overlong two bytes", "\xC1\xBF", L""},
        {"overlong three bytes", "\xE0\x80\xAF", L""},
        {"overlong four bytes", "\xF0\x80\x80\xAF", L""},
        {"above U+10FFFF", "\xF4\x90\x80\x80", L""},
        {"five-byte form", "\xF8\x88\x80\x80\x80", L""},
        {"byte FE", "\xFE", L""},
        {"byte FF", "ok\xFF", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(HexUnits(text::UTF8_UTF16(c.utf8)), HexUnits(c.wide));
        EXPECT_EQ(HexUnits(text::UTF8_UTF16(std::string_view(c.utf8))), HexUnits(c.wide));
    }
}

TEST(Utf8ToWide, TerminatedTextStopsAtTheFirstZero) {
    EXPECT_EQ(text::UTF8_UTF16("a\xC3\xA9"), W({'a', 0xE9}));
    EXPECT_EQ(text::UTF8_UTF16(std::string("a\0\xC3", 3).c_str()), L"a");
}

TEST(WideToUtf8, EncodesCodePointsAndRecombinesSurrogatePairs) {
    struct Case {
        const char* label;
        std::wstring wide;
        std::string utf8;  // empty: refused (or empty input)
    } cases[] = {
        {"empty", L"", ""},
        {"ascii", L"abc", "abc"},
        {"boundaries", W({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF}),
         "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {"code point above U+FFFF", W({0x1F3B5}), "\xF0\x9F\x8E\xB5"},
        {"surrogate pair", W({0xD83C, 0xDFB5}), "\xF0\x9F\x8E\xB5"},
        {"last pair", W({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF"},
        {"pair between text", W({'a', 0xD800, 0xDC00, 'b'}), "a\xF0\x90\x80\x80" "b"},
        {"lone high", W({0xD800}), "\xED\xA0\x80"},
        {"lone low", W({0xDC00}), "\xED\xB0\x80"},
        {"high before text", W({0xD83C, 'a'}), "\xED\xA0\xBC" "a"},
        {"low then high is not a pair", W({0xDC00, 0xD800}), "\xED\xB0\x80\xED\xA0\x80"},
        {"two highs then low", W({0xD83C, 0xD83C, 0xDFB5}), "\xED\xA0\xBC\xF0\x9F\x8E\xB5"},
        {"embedded zero", W({'a', 0, 'b'}), std::string("a\0b", 3)},
        {"above U+10FFFF", W({'a', 0x110000}), ""},
        {"negative", std::wstring(1, wchar_t(-1)), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(HexBytes(text::UTF16_UTF8(c.wide)), HexBytes(c.utf8));
        EXPECT_EQ(HexBytes(text::UTF16_UTF8(std::wstring_view(c.wide))), HexBytes(c.utf8));
    }
    EXPECT_EQ(text::UTF16_UTF8(L"\u00E9\0ignored"), "\xC3\xA9");
}

TEST(WideToUtf8, EveryScalarValueRoundTrips) {
    std::wstring all;
    size_t expectedBytes = 0;
    for (unsigned cp = 1; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        all += static_cast<wchar_t>(cp);
        expectedBytes += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    }
    const std::string utf8 = text::UTF16_UTF8(all);
    EXPECT_EQ(utf8.size(), expectedBytes);
    EXPECT_TRUE(text::UTF8_UTF16(utf8) == all);
}

TEST(WideToUtf8, AppendLeavesTheBufferAloneOnFailure) {
    std::string out = "x";
    EXPECT_TRUE(text::AppendUTF8(out, L"\u00E9"));
    EXPECT_EQ(out, "x\xC3\xA9");
    EXPECT_FALSE(text::AppendUTF8(out, W({'a', 0x110000})));
    EXPECT_EQ(out, "x\xC3\xA9");
    EXPECT_TRUE(text::AppendUTF8(out, W({0xD83C, 0xDFB5})));
    EXPECT_EQ(out, "x\xC3\xA9\xF0\x9F\x8E\xB5");
}

TEST(WideToW1251, KeepsAsciiAndCyrillicAndMarksTheRest) {
    struct Case {
        std::wstring wide;
        std::string narrow;
    } cases[] = {
        {W({'A', 'b', 0x416, 0xE9}), "\x41\x62\xC6\x3F"},
        {W({0x410, 0x44F, 0xA7}), "\xC0\xFF\xA7"},
        {W({' ', '~', 0x7F}), " ~\x7F"},
        {W({'\n', 0x1F, 0x401, 0x80, 0x1F3B5}), "?????"},
        {W({'a', 0, 'b'}), "a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(HexUnits(c.wide));
        EXPECT_EQ(HexBytes(text::UTF16_W1251(c.wide)), HexBytes(c.narrow));
        EXPECT_EQ(HexBytes(text::UTF16_W1251(c.wide.c_str())), HexBytes(c.narrow));
    }
}
