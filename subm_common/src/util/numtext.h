// Number texts: integers and doubles written into caller buffers without allocation.
// Used by the JSON writer (the double text always shows a point or an exponent, so it
// reads back as a double) and by anything that logs numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cmn {

// Buffer sizes, in characters, that always hold a number text with its terminator.
constexpr size_t IntTextBufferSize = 32;
constexpr size_t DblTextBufferSize = 128;

// Decimal integer text, "-" for negatives, no leading zeros; zero is "0".
// Each writes into buf (at least IntTextBufferSize characters), terminates it and
// returns the number of characters written, the terminator not counted.
size_t int2ch(int32_t value, char* buf) noexcept;
size_t int2ch(int64_t value, char* buf) noexcept;
size_t int2ch(int32_t value, wchar_t* buf) noexcept;
size_t int2ch(int64_t value, wchar_t* buf) noexcept;
size_t uint2ch(uint32_t value, char* buf) noexcept;
size_t uint2ch(uint64_t value, char* buf) noexcept;
size_t uint2ch(uint32_t value, wchar_t* buf) noexcept;
size_t uint2ch(uint64_t value, wchar_t* buf) noexcept;

// Shortest round-trip text of a double (Grisu2), laid out as 0.001, 1.5, 15.0, 1000.0,
// 1e16 or 1.5e-7; zero is "0.0" and negative zero "-0.0". NaN and the infinities,
// which have no JSON form, are written "nan", "inf" and "-inf".
// buf holds at least DblTextBufferSize characters; returns the length written.
size_t float2ch(double value, char* buf) noexcept;
size_t float2ch(double value, wchar_t* buf) noexcept;

std::string float2str(double value);
std::wstring float2wstr(double value);

} // namespace cmn
