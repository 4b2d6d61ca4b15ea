#include "util/numtext.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <string>

namespace {

std::wstring Widen(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

// Calls one of the writers on a buffer filled with garbage, checks that the
// returned length matches the terminated text and returns the text.
template <class Char, class Writer>
std::basic_string<Char> Written(Writer write, size_t bufferSize)
{
    std::basic_string<Char> buf(bufferSize, Char('#'));
    const size_t len = write(buf.data());
    EXPECT_LT(len, bufferSize);
    EXPECT_EQ(buf[len], Char(0));
    buf.resize(len);
    EXPECT_EQ(buf.find(Char(0)), std::basic_string<Char>::npos);
    return buf;
}

std::string Narrow(double v)
{
    return Written<char>([v](char* b) { return cmn::float2ch(v, b); }, cmn::DblTextBufferSize);
}

// ---- integers ---------------------------------------------------------------

struct SignedCase {
    int64_t value;
    const char* text;
};

TEST(IntText, SignedValuesInEveryWidthAndCharacterType)
{
    const SignedCase cases[] = {
        {0, "0"},
        {-1, "-1"},
        {7, "7"},
        {10, "10"},
        {-99, "-99"},
        {100, "100"},
        {1234567, "1234567"},
        {INT32_MAX, "2147483647"},
        {INT32_MIN, "-2147483648"},
        {int64_t(INT32_MAX) + 1, "2147483648"},
        {int64_t(INT32_MIN) - 1, "-2147483649"},
        {1000000000000000000, "1000000000000000000"},
        {INT64_MAX, "9223372036854775807"},
        {INT64_MIN, "-9223372036854775808"},
    };
    constexpr size_t N = cmn::IntTextBufferSize;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const int64_t v = c.value;
        EXPECT_EQ(Written<char>([v](char* b) { return cmn::int2ch(v, b); }, N), c.text);
        EXPECT_EQ(Written<wchar_t>([v](wchar_t* b) { return cmn::int2ch(v, b); }, N),
                  Widen(c.text));
        if (v >= INT32_MIN && v <= INT32_MAX) {
            const auto v32 = static_cast<int32_t>(v);
            EXPECT_EQ(Written<char>([v32](char* b) { return cmn::int2ch(v32, b); }, N), c.text);
            EXPECT_EQ(Written<wchar_t>([v32](wchar_t* b) { return cmn::int2ch(v32, b); }, N),
                      Widen(c.text));
        }
    }
}

struct UnsignedCase {
    uint64_t value;
    const char* text;
};

TEST(IntText, UnsignedValuesInEveryWidthAndCharacterType)
{
    const UnsignedCase cases[] = {
        {0, "0"},
        {9, "9"},
        {10, "10"},
        {999999999, "999999999"},
        {1000000000, "1000000000"},
        {UINT32_MAX, "4294967295"},
        {uint64_t(UINT32_MAX) + 1, "4294967296"},
        {9999999999999999999u, "9999999999999999999"},
        {10000000000000000000u, "10000000000000000000"},
        {UINT64_MAX, "18446744073709551615"},
    };
    constexpr size_t N = cmn::IntTextBufferSize;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const uint64_t v = c.value;
        EXPECT_EQ(Written<char>([v](char* b) { return cmn::uint2ch(v, b); }, N), c.text);
        EXPECT_EQ(Written<wchar_t>([v](wchar_t* b) { return cmn::uint2ch(v, b); }, N),
                  Widen(c.text));
        if (v <= UINT32_MAX) {
            const auto v32 = static_cast<uint32_t>(v);
            EXPECT_EQ(Written<char>([v32](char* b) { return cmn::uint2ch(v32, b); }, N), c.text);
            EXPECT_EQ(Written<wchar_t>([v32](wchar_t* b) { return cmn::uint2ch(v32, b); }, N),
                      Widen(c.text));
        }
    }
}

// ---- doubles: layout --------------------------------------------------------

struct DoubleCase {
    double value;
    const char* text;
};

TEST(DoubleText, LayoutFollowsThePositionOfTheDecimalPoint)
{
    const DoubleCase cases[] = {
        // zero, signed zero
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        // point right before the first digit
        {0.5, "0.5"},
        {0.25, "0.25"},
        {0.1, "0.1"},
        {-0.875, "-0.875"},
        // up to five zeros after the point
        {0.001, "0.001"},
        {0.012, "0.012"},
        {1e-6, "0.000001"},
        {1.5e-6, "0.0000015"},
        {-0.000012345, "-0.000012345"},
        // point inside the digits
        {1.5, "1.5"},
        {-2.5, "-2.5"},
        {123.456, "123.456"},
        {1234567890.125, "1234567890.125"},
        // whole numbers keep ".0"; a whole 17-digit number as well
        {1.0, "1.0"},
        {15.0, "15.0"},
        {-42.0, "-42.0"},
        {9007199254740992.0, "9007199254740992.0"},
        {18014398509481984.0, "18014398509481984.0"},
        // trailing zeros up to 16 digits before the point
        {100.0, "100.0"},
        {1000.0, "1000.0"},
        {-1500.0, "-1500.0"},
        {1e15, "1000000000000000.0"},
        {1.5e15, "1500000000000000.0"},
        {1234567890123450.0, "1234567890123450.0"},
        // exponent form beyond those limits
        {1e16, "1e16"},
        {1.5e16, "1.5e16"},
        {1.2345e22, "1.2345e22"},
        {1e100, "1e100"},
        {1e-7, "1e-7"},
        {-1e-7, "-1e-7"},
        {1.5e-7, "1.5e-7"},
        {1.25e-10, "1.25e-10"},
        {1e-100, "1e-100"},
        // extremes
        {5e-324, "5e-324"},
        {-5e-324, "-5e-324"},
        {2.2250738585072009e-308, "2.225073858507201e-308"}, // largest subnormal
        {DBL_MIN, "2.2250738585072014e-308"},
        {DBL_MAX, "1.7976931348623157e308"},
        {-DBL_MAX, "-1.7976931348623157e308"},
        {DBL_EPSILON, "2.220446049250313e-16"},
        // values without a JSON form
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
        {-std::numeric_limits<double>::quiet_NaN(), "nan"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const double v = c.value;
        EXPECT_EQ(Narrow(v), c.text);
        EXPECT_EQ(Written<wchar_t>([v](wchar_t* b) { return cmn::float2ch(v, b); },
                                   cmn::DblTextBufferSize),
                  Widen(c.text));
        EXPECT_EQ(cmn::float2str(v), c.text);
        EXPECT_EQ(cmn::float2wstr(v), Widen(c.text));
    }
}

// ---- doubles: round trip ------------------------------------------------------

// Significant digits of a number text in any layout ("100.0", "1e+16", "0.0015").
int SignificantDigits(const char* text)
{
    int count = 0;
    int zerosPending = 0;
    for (const char* p = text; *p && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '0') {
            if (count > 0)
                ++zerosPending;
        } else if (*p >= '1' && *p <= '9') {
            count += zerosPending + 1;
            zerosPending = 0;
        }
    }
    return count;
}

// Reads the text back and checks it is the same double and still looks like one.
void ExpectRoundTrip(double v, const char* text)
{
    char* end = nullptr;
    const double back = std::strtod(text, &end);
    ASSERT_EQ(*end, '\0') << text;
    ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(v))
        << text << " for bits 0x" << std::hex << std::bit_cast<uint64_t>(v);
    ASSERT_NE(std::strpbrk(text, ".e"), nullptr) << text;
}

TEST(DoubleText, RandomBitPatternsReadBackAsTheSameDouble)
{
    std::mt19937_64 rng(20240611);
    constexpr int Count = 1000000;
    int tested = 0;
    int longer = 0;
    char ours[cmn::DblTextBufferSize];
    char shortest[64];

    auto check = [&](double v) {
        cmn::float2ch(v, ours);
        ExpectRoundTrip(v, ours);
        const auto r = std::to_chars(shortest, shortest + sizeof shortest - 1, v);
        *r.ptr = '\0';
        const int ourDigits = SignificantDigits(ours);
        ASSERT_LE(ourDigits, 17) << ours;
        if (ourDigits > SignificantDigits(shortest))
            ++longer;
        ++tested;
    };

    while (tested < Count && !HasFatalFailure()) {
        const double v = std::bit_cast<double>(rng());
        if (std::isfinite(v))
            check(v);
    }
    // Every power of two: their lower neighbour is closer than the upper one.
    for (int e = -1074; e <= 1023 && !HasFatalFailure(); ++e) {
        check(std::ldexp(1.0, e));
        check(std::nextafter(std::ldexp(1.0, e), 0.0));
    }

    std::cout << "[ INFO     ] longer than shortest: " << longer << " of " << tested << " ("
              << 100.0 * longer / tested << "%)\n";
    RecordProperty("longer_than_shortest", longer);
    RecordProperty("tested", tested);
}

// Decimal fractions of everyday size land in the layouts without exponent, which
// random bit patterns rarely reach.
TEST(DoubleText, DecimalFractionsReadBackAsTheSameDouble)
{
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200000 && !HasFatalFailure(); ++i) {
        const uint64_t digits = rng() % 100000000000000000u; // up to 17 digits
        const int scale = static_cast<int>(rng() % 40) - 20;
        const double v = static_cast<double>(digits) * std::pow(10.0, scale);
        const double signedV = i % 2 ? -v : v;
        ExpectRoundTrip(signedV, cmn::float2str(signedV).c_str());
    }
}

} // namespace
