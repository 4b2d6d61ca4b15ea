// Text helpers of the tool: UTF-8 for wide texts, JSON string literals, numbers as the user
// types them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cli {

// One code point per wchar_t, as the public interface delivers; a value that is no character
// becomes U+FFFD.
std::string ToUtf8(std::wstring_view text);
// A JSON string literal, quotes included.
std::string JsonString(std::string_view utf8);
// A whole decimal number within max; false for anything else.
bool ParseUint(std::string_view text, uint64_t max, uint64_t& out);
// A frequency in kHz ("94300") or in MHz ("94.3", "95"): a number below 1000 is taken as MHz,
// as no broadcast band lies below 1 MHz when counted in kHz. The result is in kHz.
bool ParseFrequencyKhz(std::string_view text, uint32_t& khz);

} // namespace cli
