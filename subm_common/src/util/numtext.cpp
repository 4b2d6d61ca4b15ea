#include "util/numtext.h"

#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

namespace cmn {
namespace {

// ---- integers --------------------------------------------------------------

// "00" "01" ... "99".
constexpr auto DigitPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// Writes the digits of v so that they end at end; returns where they start.
// Two digits per division halves the divisions.
template <class Unsigned>
char* WriteDigitsBackwards(Unsigned v, char* end) noexcept
{
    char* p = end;
    while (v >= 100) {
        const auto pair = static_cast<unsigned>(v % 100);
        v /= 100;
        p -= 2;
        std::memcpy(p, &DigitPairs[2 * pair], 2);
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, &DigitPairs[2 * static_cast<unsigned>(v)], 2);
    } else {
        *--p = static_cast<char>('0' + v);
    }
    return p;
}

// The text is formed in a local buffer and then copied, so each character type
// gets the same narrow text.
template <class Char, class Unsigned>
size_t WriteInteger(Unsigned magnitude, bool negative, Char* buf) noexcept
{
    char tmp[24];
    char* const end = tmp + sizeof tmp;
    char* p = WriteDigitsBackwards(magnitude, end);
    if (negative)
        *--p = '-';
    const auto len = static_cast<size_t>(end - p);
    for (size_t i = 0; i < len; ++i)
        buf[i] = static_cast<Char>(p[i]);
    buf[len] = 0;
    return len;
}

// The magnitude of a negative value is taken in the unsigned type, so the most
// negative value needs no special case.
template <class Char, class Signed>
size_t WriteSigned(Signed value, Char* buf) noexcept
{
    using Unsigned = std::make_unsigned_t<Signed>;
    const bool negative = value < 0;
    const Unsigned magnitude = negative ? Unsigned(0) - static_cast<Unsigned>(value)
                                        : static_cast<Unsigned>(value);
    return WriteInteger(magnitude, negative, buf);
}

// ---- doubles: Grisu2 (Loitsch, "Printing Floating-Point Numbers Quickly and
// Accurately with Integers", PLDI 2010) --------------------------------------

__extension__ typedef unsigned __int128 Uint128;

// f * 2^e with a 64-bit significand.
struct DiyFp {
    uint64_t f;
    int e;
};

// The upper 64 bits of the 128-bit product, rounded to nearest.
DiyFp Multiply(DiyFp x, DiyFp y) noexcept
{
    const Uint128 product = static_cast<Uint128>(x.f) * y.f;
    const auto hi = static_cast<uint64_t>(product >> 64);
    const auto lo = static_cast<uint64_t>(product);
    return {hi + (lo >> 63), x.e + y.e + 64};
}

struct CachedPower {
    uint64_t f;
    int16_t e;
};

// 10^k for k = -348, -340, ..., 340: f is 10^k / 2^e rounded to the nearest
// integer, with e chosen so that 2^63 <= f < 2^64. Computed exactly with
// Python's fractions.Fraction:
//   for k in range(-348, 341, 8):
//       v = Fraction(10) ** k; e = <the e with 2**63 <= v / 2**e < 2**64>
//       f = floor(v / 2**e + Fraction(1, 2))
// A step of 8 decimal exponents (26.6 binary) fits the 28-bit target window below.
constexpr int CachedPowersFirstK = -348;
constexpr int CachedPowersStepK = 8;
constexpr CachedPower CachedPowers[87] = {
    {0xFA8FD5A0081C0288, -1220}, // 1e-348
    {0xBAAEE17FA23EBF76, -1193}, // 1e-340
    {0x8B16FB203055AC76, -1166}, // 1e-332
    {0xCF42894A5DCE35EA, -1140}, // 1e-324
    {0x9A6BB0AA55653B2D, -1113}, // 1e-316
    {0xE61ACF033D1A45DF, -1087}, // 1e-308
    {0xAB70FE17C79AC6CA, -1060}, // 1e-300
    {0xFF77B1FCBEBCDC4F, -1034}, // 1e-292
    {0xBE5691EF416BD60C, -1007}, // 1e-284
    {0x8DD01FAD907FFC3C, -980}, // 1e-276
    {0xD3515C2831559A83, -954}, // 1e-268
    {0x9D71AC8FADA6C9B5, -927}, // 1e-260
    {0xEA9C227723EE8BCB, -901}, // 1e-252
    {0xAECC49914078536D, -874}, // 1e-244
    {0x823C12795DB6CE57, -847}, // 1e-236
    {0xC21094364DFB5637, -821}, // 1e-228
    {0x9096EA6F3848984F, -794}, // 1e-220
    {0xD77485CB25823AC7, -768}, // 1e-212
    {0xA086CFCD97BF97F4, -741}, // 1e-204
    {0xEF340A98172AACE5, -715}, // 1e-196
    {0xB23867FB2A35B28E, -688}, // 1e-188
    {0x84C8D4DFD2C63F3B, -661}, // 1e-180
    {0xC5DD44271AD3CDBA, -635}, // 1e-172
    {0x936B9FCEBB25C996, -608}, // 1e-164
    {0xDBAC6C247D62A584, -582}, // 1e-156
    {0xA3AB66580D5FDAF6, -555}, // 1e-148
    {0xF3E2F893DEC3F126, -529}, // 1e-140
    {0xB5B5ADA8AAFF80B8, -502}, // 1e-132
    {0x87625F056C7C4A8B, -475}, // 1e-124
    {0xC9BCFF6034C13053, -449}, // 1e-116
    {0x964E858C91BA2655, -422}, // 1e-108
    {0xDFF9772470297EBD, -396}, // 1e-100
    {0xA6DFBD9FB8E5B88F, -369}, // 1e-92
    {0xF8A95FCF88747D94, -343}, // 1e-84
    {0xB94470938FA89BCF, -316}, // 1e-76
    {0x8A08F0F8BF0F156B, -289}, // 1e-68
    {0xCDB02555653131B6, -263}, // 1e-60
    {0x993FE2C6D07B7FAC, -236}, // 1e-52
    {0xE45C10C42A2B3B06, -210}, // 1e-44
    {0xAA242499697392D3, -183}, // 1e-36
    {0xFD87B5F28300CA0E, -157}, // 1e-28
    {0xBCE5086492111AEB, -130}, // 1e-20
    {0x8CBCCC096F5088CC, -103}, // 1e-12
    {0xD1B71758E219652C, -77}, // 1e-4
    {0x9C40000000000000, -50}, // 1e4
    {0xE8D4A51000000000, -24}, // 1e12
    {0xAD78EBC5AC620000, 3}, // 1e20
    {0x813F3978F8940984, 30}, // 1e28
    {0xC097CE7BC90715B3, 56}, // 1e36
    {0x8F7E32CE7BEA5C70, 83}, // 1e44
    {0xD5D238A4ABE98068, 109}, // 1e52
    {0x9F4F2726179A2245, 136}, // 1e60
    {0xED63A231D4C4FB27, 162}, // 1e68
    {0xB0DE65388CC8ADA8, 189}, // 1e76
    {0x83C7088E1AAB65DB, 216}, // 1e84
    {0xC45D1DF942711D9A, 242}, // 1e92
    {0x924D692CA61BE758, 269}, // 1e100
    {0xDA01EE641A708DEA, 295}, // 1e108
    {0xA26DA3999AEF774A, 322}, // 1e116
    {0xF209787BB47D6B85, 348}, // 1e124
    {0xB454E4A179DD1877, 375}, // 1e132
    {0x865B86925B9BC5C2, 402}, // 1e140
    {0xC83553C5C8965D3D, 428}, // 1e148
    {0x952AB45CFA97A0B3, 455}, // 1e156
    {0xDE469FBD99A05FE3, 481}, // 1e164
    {0xA59BC234DB398C25, 508}, // 1e172
    {0xF6C69A72A3989F5C, 534}, // 1e180
    {0xB7DCBF5354E9BECE, 561}, // 1e188
    {0x88FCF317F22241E2, 588}, // 1e196
    {0xCC20CE9BD35C78A5, 614}, // 1e204
    {0x98165AF37B2153DF, 641}, // 1e212
    {0xE2A0B5DC971F303A, 667}, // 1e220
    {0xA8D9D1535CE3B396, 694}, // 1e228
    {0xFB9B7CD9A4A7443C, 720}, // 1e236
    {0xBB764C4CA7A44410, 747}, // 1e244
    {0x8BAB8EEFB6409C1A, 774}, // 1e252
    {0xD01FEF10A657842C, 800}, // 1e260
    {0x9B10A4E5E9913129, 827}, // 1e268
    {0xE7109BFBA19C0C9D, 853}, // 1e276
    {0xAC2820D9623BF429, 880}, // 1e284
    {0x80444B5E7AA7CF85, 907}, // 1e292
    {0xBF21E44003ACDD2D, 933}, // 1e300
    {0x8E679C2F5E44FF8F, 960}, // 1e308
    {0xD433179D9C8CB841, 986}, // 1e316
    {0x9E19DB92B4E31BA9, 1013}, // 1e324
    {0xEB96BF6EBADF77D9, 1039}, // 1e332
    {0xAF87023B9BF0EE6B, 1066}, // 1e340
};

// The scaled upper boundary's exponent is kept in [-60, -32]: its integer part
// then fits 32 bits and its fraction times 10 still fits 64 bits.
constexpr int MinTargetExponent = -60;
constexpr int MaxTargetExponent = -32;
// The cached powers are 8 * log2(10) binary exponents apart: one always lands
// in the window.
static_assert(CachedPowersStepK * 3.3219280948873623 < MaxTargetExponent - MinTargetExponent);

// Picks the cached power 10^k that brings a number with binary exponent e into
// the target window; returns its index. k is the smallest exponent with
// e + e_c + 64 >= MinTargetExponent, i.e. ceil((MinTargetExponent - e - 1) *
// log10(2)); 78913 / 2^18 stands for log10(2) and is exact in floor() over the
// whole exponent range of doubles.
int CachedPowerIndex(int e) noexcept
{
    const int x = MinTargetExponent - e - 1;
    const int k = -((-x * 78913) >> 18);
    return (k - CachedPowersFirstK + CachedPowersStepK - 1) / CachedPowersStepK;
}

constexpr uint32_t Pow10[10] = {1,      10,      100,      1000,      10000,
                                100000, 1000000, 10000000, 100000000, 1000000000};

// Number of decimal digits, none for 0. 1233 / 4096 stands for log10(2), so t is
// the count or one less.
int DecimalLength(uint32_t v) noexcept
{
    const int t = ((32 - std::countl_zero(v | 1)) * 1233) >> 12;
    return t + (v >= Pow10[t]);
}

// Moves the last digit down while the candidate stays inside the interval and gets
// closer to the scaled value. rest: upper boundary minus candidate; delta: width
// of the interval; step: one unit of the last digit; dist: upper boundary minus
// the scaled value.
void Weed(char* digits, int len, uint64_t delta, uint64_t rest, uint64_t step,
          uint64_t dist) noexcept
{
    while (rest < dist && delta - rest >= step &&
           (rest + step < dist || dist - rest > rest + step - dist)) {
        --digits[len - 1];
        rest += step;
    }
}

// Emits the digits of the upper boundary hi until what remains is within delta
// of it. Returns kappa: the digits times 10^kappa approximate w.
int GenerateDigits(DiyFp w, DiyFp hi, uint64_t delta, char* digits, int& len) noexcept
{
    const int shift = -hi.e;
    const uint64_t one = uint64_t(1) << shift;
    const uint64_t mask = one - 1;
    uint64_t dist = hi.f - w.f;
    auto p1 = static_cast<uint32_t>(hi.f >> shift);
    uint64_t p2 = hi.f & mask;

    int kappa = DecimalLength(p1);
    len = 0;
    while (kappa > 0) {
        const uint32_t div = Pow10[kappa - 1];
        digits[len++] = static_cast<char>('0' + p1 / div);
        p1 %= div;
        --kappa;
        const uint64_t rest = (static_cast<uint64_t>(p1) << shift) + p2;
        if (rest <= delta) {
            Weed(digits, len, delta, rest, static_cast<uint64_t>(div) << shift, dist);
            return kappa;
        }
    }
    // Fraction digits: p2, delta and dist are scaled together, so they stay
    // comparable; all are below 'one' here, so times 10 cannot overflow.
    for (;;) {
        p2 *= 10;
        delta *= 10;
        dist *= 10;
        digits[len++] = static_cast<char>('0' + (p2 >> shift));
        p2 &= mask;
        --kappa;
        if (p2 < delta) {
            Weed(digits, len, delta, p2, one, dist);
            return kappa;
        }
    }
}

// A positive finite double as digits (at most 17, no leading or trailing zeros)
// times 10^k; returns k.
int Grisu2(uint64_t bits, char* digits, int& len) noexcept
{
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    const auto biased = static_cast<int>(bits >> 52);
    uint64_t f = fraction;
    int e = -1074;
    if (biased != 0) {
        f |= uint64_t(1) << 52;
        e = biased - 1075;
    }

    // Boundaries halfway to the neighbours; the lower one is closer when f is a
    // power of two, except at the smallest normal exponent.
    DiyFp upper{(f << 1) + 1, e - 1};
    const int upperShift = std::countl_zero(upper.f);
    upper.f <<= upperShift;
    upper.e -= upperShift;
    DiyFp lower = (fraction == 0 && biased > 1) ? DiyFp{(f << 2) - 1, e - 2}
                                                : DiyFp{(f << 1) - 1, e - 1};
    lower.f <<= lower.e - upper.e;
    lower.e = upper.e;
    // 2f+1 has one bit more than f, so the normalized value shares the exponent.
    const DiyFp w{f << (e - upper.e), upper.e};

    const int index = CachedPowerIndex(upper.e);
    const DiyFp c{CachedPowers[index].f, CachedPowers[index].e};
    const int cachedK = CachedPowersFirstK + index * CachedPowersStepK;

    const DiyFp scaledW = Multiply(w, c);
    DiyFp scaledUpper = Multiply(upper, c);
    DiyFp scaledLower = Multiply(lower, c);
    // Each product may be off by one unit: narrow the interval so that every
    // number kept inside it lies inside the true one.
    ++scaledLower.f;
    --scaledUpper.f;

    int k = GenerateDigits(scaledW, scaledUpper, scaledUpper.f - scaledLower.f, digits, len)
          - cachedK;
    while (len > 1 && digits[len - 1] == '0') {
        --len;
        ++k;
    }
    return k;
}

// Past these limits the exponent form is used. Whole numbers get ".0" so that
// the text reads back as a double, not as an integer.
constexpr int MaxDigitsBeforeDot = 16;
constexpr int MaxZeroesAfterDot = 5;

char* PutDigits(char* out, const char* digits, int count) noexcept
{
    std::memcpy(out, digits, static_cast<size_t>(count));
    return out + count;
}

char* PutZeros(char* out, int count) noexcept
{
    std::memset(out, '0', static_cast<size_t>(count));
    return out + count;
}

size_t WriteDouble(double value, char* buf) noexcept
{
    const auto bits = std::bit_cast<uint64_t>(value);
    const uint64_t magnitude = bits & ~(uint64_t(1) << 63);
    const uint64_t infinity = uint64_t(0x7FF) << 52;
    char* out = buf;
    if (magnitude > infinity) {
        std::memcpy(buf, "nan", 4);
        return 3;
    }
    if (bits >> 63)
        *out++ = '-';
    if (magnitude == infinity) {
        std::memcpy(out, "inf", 4);
        return static_cast<size_t>(out + 3 - buf);
    }
    if (magnitude == 0) {
        std::memcpy(out, "0.0", 4);
        return static_cast<size_t>(out + 3 - buf);
    }

    char digits[24];
    int n = 0;
    const int k = Grisu2(magnitude, digits, n);
    const int p = n + k;

    if (p <= 0 && p >= -MaxZeroesAfterDot) {
        *out++ = '0';
        *out++ = '.';
        out = PutZeros(out, -p);
        out = PutDigits(out, digits, n);
    } else if (p > 0 && k < 0) {
        out = PutDigits(out, digits, p);
        *out++ = '.';
        out = PutDigits(out, digits + p, n - p);
    } else if (k == 0 || (k > 0 && p <= MaxDigitsBeforeDot)) {
        out = PutDigits(out, digits, n);
        out = PutZeros(out, k);
        *out++ = '.';
        *out++ = '0';
    } else {
        *out++ = digits[0];
        if (n > 1) {
            *out++ = '.';
            out = PutDigits(out, digits + 1, n - 1);
        }
        *out++ = 'e';
        int exponent = p - 1;
        if (exponent < 0) {
            *out++ = '-';
            exponent = -exponent;
        }
        if (exponent >= 100) {
            *out++ = static_cast<char>('0' + exponent / 100);
            exponent %= 100;
            std::memcpy(out, &DigitPairs[2 * exponent], 2);
            out += 2;
        } else if (exponent >= 10) {
            std::memcpy(out, &DigitPairs[2 * exponent], 2);
            out += 2;
        } else {
            *out++ = static_cast<char>('0' + exponent);
        }
    }
    *out = 0;
    return static_cast<size_t>(out - buf);
}

} // namespace

size_t int2ch(int32_t value, char* buf) noexcept { return WriteSigned(value, buf); }
size_t int2ch(int64_t value, char* buf) noexcept { return WriteSigned(value, buf); }
size_t int2ch(int32_t value, wchar_t* buf) noexcept { return WriteSigned(value, buf); }
size_t int2ch(int64_t value, wchar_t* buf) noexcept { return WriteSigned(value, buf); }
size_t uint2ch(uint32_t value, char* buf) noexcept { return WriteInteger(value, false, buf); }
size_t uint2ch(uint64_t value, char* buf) noexcept { return WriteInteger(value, false, buf); }
size_t uint2ch(uint32_t value, wchar_t* buf) noexcept { return WriteInteger(value, false, buf); }
size_t uint2ch(uint64_t value, wchar_t* buf) noexcept { return WriteInteger(value, false, buf); }

size_t float2ch(double value, char* buf) noexcept { return WriteDouble(value, buf); }

size_t float2ch(double value, wchar_t* buf) noexcept
{
    char narrow[DblTextBufferSize];
    const size_t len = WriteDouble(value, narrow);
    for (size_t i = 0; i <= len; ++i)
        buf[i] = static_cast<wchar_t>(narrow[i]);
    return len;
}

std::string float2str(double value)
{
    char buf[DblTextBufferSize];
    return std::string(buf, WriteDouble(value, buf));
}

std::wstring float2wstr(double value)
{
    wchar_t buf[DblTextBufferSize];
    return std::wstring(buf, float2ch(value, buf));
}

} // namespace cmn
