// printf-style formatting into std::wstring / std::string, as used by every log line and error
// text. Output is limited to 2046 characters: a longer text is cut to its first 2046 characters
// (bytes for the narrow form), so an overlong log line is shortened, never lost.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <string>

namespace cmn::detail {

// The stack buffer keeps the per-line cost at one allocation, for the result, even on the
// socket service threads. One element is held back from the print function, so the longest
// text is 2046 characters and a terminator.
constexpr size_t FormatBufferSize = 2048;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
template <class... Args>
std::wstring WideFormat(const wchar_t* format, Args... args) {
    if (!format) return std::wstring();
    wchar_t buf[FormatBufferSize];
    const int n = std::swprintf(buf, FormatBufferSize - 1, format, args...);
    if (n > 0) return std::wstring(buf, static_cast<size_t>(n));
    if (n == 0) return std::wstring();
    // The wide print function fails, rather than cut, when the text does not fit (or when an
    // argument does not convert). Format once more with room to spare and cut; a text that
    // still fails is a conversion error and gives the empty string.
    for (size_t size = 4 * FormatBufferSize; size <= 256 * FormatBufferSize; size *= 4) {
        std::wstring big(size, L'\0');
        const int m = std::swprintf(big.data(), size, format, args...);
        if (m >= 0) {
            big.resize(static_cast<size_t>(m) < FormatBufferSize - 2 ? static_cast<size_t>(m) : FormatBufferSize - 2);
            return big;
        }
    }
    return std::wstring();
}

template <class... Args>
std::string NarrowFormat(const char* format, Args... args) {
    if (!format) return std::string();
    char buf[FormatBufferSize];
    const int n = std::snprintf(buf, FormatBufferSize - 1, format, args...);
    if (n <= 0) return std::string();
    // A text that did not fit was cut; n is the length it would have had.
    const size_t len = static_cast<size_t>(n) < FormatBufferSize - 2 ? static_cast<size_t>(n) : FormatBufferSize - 2;
    return std::string(buf, len);
}
#pragma GCC diagnostic pop

} // namespace cmn::detail

template <class... Args>
std::wstring wstring_format(const std::wstring& format, Args... args) {
    return cmn::detail::WideFormat(format.c_str(), args...);
}

// A literal format needs no temporary string.
template <class... Args>
std::wstring wstring_format(const wchar_t* format, Args... args) {
    return cmn::detail::WideFormat(format, args...);
}

template <class... Args>
std::string string_format(const std::string& format, Args... args) {
    return cmn::detail::NarrowFormat(format.c_str(), args...);
}

template <class... Args>
std::string string_format(const char* format, Args... args) {
    return cmn::detail::NarrowFormat(format, args...);
}
