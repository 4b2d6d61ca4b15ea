#include "util/MulDiv64.h"

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

int64_t ClampToInt64(i128 v) {
    if (v > INT64_MAX) return INT64_MAX;
    if (v < INT64_MIN) return INT64_MIN;
    return static_cast<int64_t>(v);
}

// |product| < 2^127 for 64-bit factors, so neither the product, its negation nor the quotient
// can overflow 128 bits.
int64_t DivSigned(i128 product, i128 divider) {
    if (product == 0) return 0;
    if (divider == 0) return ((product > 0) == (divider >= 0)) ? INT64_MAX : INT64_MIN;
    return ClampToInt64(product / divider);  // division of integers truncates toward zero
}

} // namespace

int64_t MulDiv64(int64_t operant, int64_t multiplier, int64_t divider) noexcept {
    return DivSigned(static_cast<i128>(operant) * multiplier, divider);
}

int64_t MulShr64(int64_t operant, int64_t multiplier, uint8_t rshift) noexcept {
    const i128 product = static_cast<i128>(operant) * multiplier;
    if (rshift >= 127) return 0;
    // A shift rounds toward minus infinity; shifting the magnitude rounds toward zero.
    return ClampToInt64(product < 0 ? -((-product) >> rshift) : product >> rshift);
}

uint64_t MulDiv6432(uint64_t op, uint32_t mu, uint32_t di) noexcept {
    const u128 product = static_cast<u128>(op) * mu;
    if (product == 0) return 0;
    if (di == 0) return UINT64_MAX;
    // Most products fit in 64 bits, and a 64-bit division is several times cheaper.
    if ((product >> 64) == 0) return static_cast<uint64_t>(product) / di;
    const u128 quotient = product / di;
    return quotient > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(quotient);
}

int64_t MulDiv6432(int64_t op, uint32_t mu, uint32_t di) noexcept {
    return DivSigned(static_cast<i128>(op) * mu, di);
}
