// Integer scaling without intermediate overflow.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "util/MulDiv64.h"

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

TEST(MulDiv, Table) {
    constexpr int64_t I64Max = INT64_MAX, I64Min = INT64_MIN;
    struct Case {
        int64_t a, b, c, expected;
    } cases[] = {
        {7, -3, 2, -10},  // truncation toward zero
        {-7, 3, 2, -10},
        {-7, -3, 2, 10},
        {7, 3, -2, -10},
        {0, 5, 0, 0},
        // Exact where a double would have kept only 53 bits.
        {(1ll << 62) + 1, 3, 3, (1ll << 62) + 1},
        {I64Max, I64Max, I64Max, I64Max},
        {I64Min, I64Min, I64Min, I64Min},
        {I64Min, -1, 1, I64Max},  // 2^63 does not fit: stays at the top
        {I64Max, 2, 1, I64Max},
        {I64Max, -2, 1, I64Min},
        {5, 1, 0, I64Max},  // division by zero: the product's sign picks the end
        {-5, 1, 0, I64Min},
        {5, -1, 0, I64Min},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MulDiv64(c.a, c.b, c.c), c.expected) << c.a << " * " << c.b << " / " << c.c;
}

TEST(MulShr, Table) {
    struct Case {
        int64_t a, b;
        uint8_t shift;
        int64_t expected;
    } cases[] = {
        {7, 3, 1, 10},
        {-7, 3, 1, -10},  // toward zero, not toward minus infinity
        {1ll << 62, 1ll << 62, 62, 1ll << 62},
        {-1, 1, 0, -1},
        {-1, 1, 200, 0},
        {INT64_MAX, INT64_MAX, 64, INT64_MAX / 2},
    };
    for (const Case& c : cases) EXPECT_EQ(MulShr64(c.a, c.b, c.shift), c.expected) << c.a << " " << int(c.shift);
}

TEST(MulDiv6432, Table) {
    const uint64_t op = (1ull << 32) + 1;
    EXPECT_EQ(MulDiv6432(op, 3u, 2u), 6442450945u);
    EXPECT_EQ(MulDiv6432(-static_cast<int64_t>(op), 3u, 2u), -6442450945);
    EXPECT_EQ(MulDiv6432(static_cast<int64_t>(op), 3u, 2u), 6442450945);
    EXPECT_EQ(MulDiv6432(int64_t{0}, 3u, 0u), 0);
    EXPECT_EQ(MulDiv6432(uint64_t{0}, 3u, 0u), 0u);
    // Here the 96-bit schoolbook division overflows its 64-bit partial remainder.
    EXPECT_EQ(MulDiv6432(uint64_t{0xEA90A8F0D66B829E}, 0x8E73CA47u, 0xEC148CB5u), 10198889737742449211u);
    // Quotients beyond the result type and divisions by zero stay at its ends.
    EXPECT_EQ(MulDiv6432(UINT64_MAX, 3u, 2u), UINT64_MAX);
    EXPECT_EQ(MulDiv6432(uint64_t{1}, 1u, 0u), UINT64_MAX);
    EXPECT_EQ(MulDiv6432(INT64_MIN, 1u, 1u), INT64_MIN);  // negating INT64_MIN must not overflow
    EXPECT_EQ(MulDiv6432(INT64_MIN, 2u, 1u), INT64_MIN);
    EXPECT_EQ(MulDiv6432(INT64_MAX, 2u, 1u), INT64_MAX);
    EXPECT_EQ(MulDiv6432(int64_t{-1}, 1u, 0u), INT64_MIN);
}

// Random operands of every magnitude (a random number of significant bits each), checked
// against the definition of truncated division rather than a second copy of the formula:
// q × d ≤ p < (q + 1) × d for the exact product p.
class Operands {
public:
    uint64_t Next(int maxBits) {
        const int bits = std::uniform_int_distribution<int>(0, maxBits)(_Rng);
        return bits == 0 ? 0 : _Rng() >> (64 - bits);
    }
    bool Coin() { return _Rng() & 1; }

private:
    std::mt19937_64 _Rng{20240125};
};

TEST(MulDiv6432, MatchesExactDivisionOnRandomValues) {
    Operands r;
    for (int i = 0; i < 200000; ++i) {
        const uint64_t op = r.Next(64);
        const auto mu = static_cast<uint32_t>(r.Next(32));
        const auto di = static_cast<uint32_t>(r.Next(32)) | 1u;
        const u128 p = static_cast<u128>(op) * mu;
        const uint64_t q = MulDiv6432(op, mu, di);
        if (p / di > UINT64_MAX) {
            ASSERT_EQ(q, UINT64_MAX);
            continue;
        }
        ASSERT_LE(static_cast<u128>(q) * di, p) << op << " " << mu << " " << di;
        ASSERT_LT(p - static_cast<u128>(q) * di, di) << op << " " << mu << " " << di;

        const int64_t sop = r.Coin() ? static_cast<int64_t>(op >> 1) : -static_cast<int64_t>(op >> 1);
        const int64_t sq = MulDiv6432(sop, mu, di);
        const uint64_t uq = MulDiv6432(op >> 1, mu, di);
        if (uq > static_cast<uint64_t>(INT64_MAX)) continue;
        ASSERT_EQ(sq, sop < 0 ? -static_cast<int64_t>(uq) : static_cast<int64_t>(uq)) << sop;
    }
}

TEST(MulDiv64, MatchesExactDivisionOnRandomValues) {
    Operands r;
    for (int i = 0; i < 200000; ++i) {
        const auto sign = [&](uint64_t v) { return static_cast<int64_t>(v >> 1) * (r.Coin() ? -1 : 1); };
        const int64_t a = sign(r.Next(64)), b = sign(r.Next(64)), c = sign(r.Next(64) | 2);
        const i128 p = static_cast<i128>(a) * b;
        const int64_t q = MulDiv64(a, b, c);
        const i128 exact = p / c;  // truncated toward zero, like the function
        if (exact > INT64_MAX || exact < INT64_MIN) {
            ASSERT_EQ(q, exact > 0 ? INT64_MAX : INT64_MIN);
            continue;
        }
        // |p - q·c| < |c| with the remainder's sign the product's (or zero).
        const i128 rem = p - static_cast<i128>(q) * c;
        const i128 absRem = rem < 0 ? -rem : rem;
        const i128 absC = c < 0 ? -static_cast<i128>(c) : c;
        ASSERT_LT(absRem, absC) << a << " " << b << " " << c;
        ASSERT_TRUE(rem == 0 || (rem < 0) == (p < 0)) << a << " " << b << " " << c;
    }
}

} // namespace
