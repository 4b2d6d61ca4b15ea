// printf-style formatting into strings and its length limit.
#include <gtest/gtest.h>

#include <string>

#include "util/StdStringFormat.h"

namespace {

TEST(StringFormat, FormatsTheHouseConversions) {
    EXPECT_EQ(wstring_format(L"%ls=%d %u %zu %llu %lld %08X", L"k", -5, 7u, size_t{8}, 18446744073709551615ull,
                             -9223372036854775807ll - 1, 0xABCu),
              L"k=-5 7 8 18446744073709551615 -9223372036854775808 00000ABC");
    EXPECT_EQ(string_format("%s:%d", "port", 15001), "port:15001");
    const std::wstring format = L"[%ls]";
    EXPECT_EQ(wstring_format(format, L"x"), L"[x]");
    EXPECT_EQ(string_format(std::string("%c%c"), 'o', 'k'), "ok");
}

TEST(StringFormat, EmptyOutputIsEmpty) {
    EXPECT_EQ(wstring_format(L""), L"");
    EXPECT_EQ(wstring_format(L"%ls", L""), L"");
    EXPECT_EQ(string_format(""), "");
    EXPECT_EQ(wstring_format(static_cast<const wchar_t*>(nullptr)), L"");
}

// At most 2046 characters: a longer text is cut, never dropped (a log line must not vanish).
TEST(StringFormat, LengthLimit) {
    struct Case {
        size_t length;
        size_t wideLength, narrowLength;
    } cases[] = {
        {1, 1, 1},          {2045, 2045, 2045}, {2046, 2046, 2046},
        {2047, 2046, 2046}, {2048, 2046, 2046}, {5000, 2046, 2046}, {100000, 2046, 2046},
    };
    for (const Case& c : cases) {
        std::wstring wide;
        std::string narrow;
        for (size_t i = 0; i < c.length; ++i) {
            wide += static_cast<wchar_t>(L'a' + i % 26);
            narrow += static_cast<char>('a' + i % 26);
        }
        // Once through an argument, once as the format itself, one character coming from "%%".
        EXPECT_EQ(wstring_format(L"%ls", wide.c_str()), wide.substr(0, c.wideLength)) << c.length;
        EXPECT_EQ(string_format("%s", narrow.c_str()), narrow.substr(0, c.narrowLength)) << c.length;
        std::wstring wideFormat = wide;
        std::string narrowFormat = narrow;
        wideFormat.replace(0, 1, L"%%");
        narrowFormat.replace(0, 1, "%%");
        std::wstring wideExpected = wide;
        std::string narrowExpected = narrow;
        wideExpected[0] = L'%';
        narrowExpected[0] = '%';
        EXPECT_EQ(wstring_format(wideFormat), wideExpected.substr(0, c.wideLength)) << c.length;
        EXPECT_EQ(string_format(narrowFormat), narrowExpected.substr(0, c.narrowLength)) << c.length;
    }
}

} // namespace
