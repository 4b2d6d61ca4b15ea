// Conversions between the UTF-8 text of the wire, files and the public interface and the
// wide text (one code point per wchar_t) that the library keeps internally.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace text {

// Decodes UTF-8. Any malformed or truncated sequence, overlong form or value above
// U+10FFFF makes the whole result empty; a byte order mark is kept as U+FEFF.
std::wstring UTF8_UTF16(std::string_view utf8);
std::wstring UTF8_UTF16(const std::string& utf8);
std::wstring UTF8_UTF16(const char* utf8);

// True when utf8 decodes: the rules of UTF8_UTF16 without producing anything.
bool IsValidUTF8(std::string_view utf8) noexcept;

// Decodes a valid UTF-8 text piecewise: at most capacity characters from the front of utf8 into
// out, removing the bytes it used from utf8; returns the number of characters. For long texts
// that should not be decoded into one large string first. Check IsValidUTF8 beforehand.
size_t DecodeUTF8Prefix(std::string_view& utf8, wchar_t* out, size_t capacity) noexcept;

// Encodes to UTF-8. A high surrogate followed by a low surrogate becomes one 4-byte
// sequence (the JSON library stores characters above U+FFFF as such pairs); a lone
// surrogate becomes its 3-byte sequence. Any value above U+10FFFF makes the result empty.
std::string UTF16_UTF8(std::wstring_view wide);
std::string UTF16_UTF8(const std::wstring& wide);
std::string UTF16_UTF8(const wchar_t* wide);

// Appends the UTF-8 encoding of wide to out; returns false (out unchanged) when a value
// cannot be encoded. Lets hot paths reuse one output buffer.
bool AppendUTF8(std::string& out, std::wstring_view wide);

// Writes the UTF-8 sequence of one code point (at most U+10FFFF) to out, which has room for
// four bytes; returns its length.
size_t EncodeUTF8(uint32_t codePoint, char* out) noexcept;

// Windows-1251: printable ASCII, the section sign and the basic Cyrillic letters;
// everything else becomes '?'. Stops at the first zero character.
std::string UTF16_W1251(const std::wstring& wide);
std::string UTF16_W1251(const wchar_t* wide);

} // namespace text
