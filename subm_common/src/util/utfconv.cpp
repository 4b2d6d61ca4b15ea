#include "util/utfconv.h"

#include <cstdint>
#include <cstddef>
#include <cstring>

namespace text {

namespace {

constexpr uint32_t MaxCodePoint = 0x10FFFF;

bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Decodes from p into out until the input ends or out holds capacity characters; p is left after
// the last sequence used. Returns the number of characters, or -1 on a malformed text. Encoded
// surrogates are accepted like the standard UTF-8 code conversion facet does, so a lone
// surrogate written by UTF16_UTF8 reads back.
ptrdiff_t Decode(const unsigned char*& p, const unsigned char* end, wchar_t* out, size_t capacity) {
    wchar_t* const start = out;
    wchar_t* const outEnd = out + capacity;
    while (p < end && out < outEnd) {
        // ASCII runs dominate JSON text; take eight at a time when they are all ASCII.
        while (end - p >= 8 && outEnd - out >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080ull) break;
            for (int i = 0; i < 8; ++i) out[i] = static_cast<wchar_t>(p[i]);
            out += 8;
            p += 8;
        }
        if (p == end || out == outEnd) break;
        uint32_t c = *p;
        if (c < 0x80) {
            *out++ = static_cast<wchar_t>(c);
            ++p;
            continue;
        }
        size_t need;
        uint32_t min;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1, min = 0x80, c &= 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2, min = 0x800, c &= 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3, min = 0x10000, c &= 0x07;
        } else {
            return -1;  // continuation byte first, C0/C1 (always overlong), or F5 and above
        }
        if (static_cast<size_t>(end - p) <= need) return -1;  // truncated at the end
        for (size_t i = 1; i <= need; ++i) {
            const uint32_t b = p[i];
            if ((b & 0xC0) != 0x80) return -1;
            c = (c << 6) | (b & 0x3F);
        }
        if (c < min || c > MaxCodePoint) return -1;
        *out++ = static_cast<wchar_t>(c);
        p += need + 1;
    }
    return out - start;
}

} // namespace

size_t EncodeUTF8(uint32_t c, char* out) noexcept {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

std::wstring UTF8_UTF16(std::string_view utf8) {
    std::wstring wide;
    if (utf8.empty()) return wide;
    wide.resize(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const ptrdiff_t n = Decode(p, p + utf8.size(), wide.data(), wide.size());
    if (n < 0) return std::wstring();
    wide.resize(static_cast<size_t>(n));
    return wide;
}

bool IsValidUTF8(std::string_view utf8) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = p + utf8.size();
    while (p < end) {
        while (end - p >= 16) {
            uint64_t words[2];
            std::memcpy(words, p, 16);
            if ((words[0] | words[1]) & 0x8080808080808080ull) break;
            p += 16;
        }
        if (p == end) break;
        if (*p < 0x80) {
            ++p;
            continue;
        }
        wchar_t one;
        if (Decode(p, end, &one, 1) < 0) return false;
    }
    return true;
}

size_t DecodeUTF8Prefix(std::string_view& utf8, wchar_t* out, size_t capacity) noexcept {
    const auto* begin = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* p = begin;
    const ptrdiff_t n = Decode(p, p + utf8.size(), out, capacity);
    if (n < 0) {
        utf8 = std::string_view();
        return 0;
    }
    utf8.remove_prefix(static_cast<size_t>(p - begin));
    return static_cast<size_t>(n);
}

std::wstring UTF8_UTF16(const std::string& utf8) { return UTF8_UTF16(std::string_view(utf8)); }

std::wstring UTF8_UTF16(const char* utf8) {
    return utf8 ? UTF8_UTF16(std::string_view(utf8)) : std::wstring();
}

bool AppendUTF8(std::string& out, std::wstring_view wide) {
    const size_t old = out.size();
    // Encoded through a stack buffer: sizing out for the worst case (4 bytes a character) would
    // first have to fill four times the output with zeros.
    char buf[1024];
    size_t n = 0;
    const size_t count = wide.size();
    for (size_t i = 0; i < count; ++i) {
        if (n > sizeof(buf) - 4) {
            out.append(buf, n);
            n = 0;
        }
        uint32_t c = static_cast<uint32_t>(wide[i]);
        if (c < 0x80) {
            buf[n++] = static_cast<char>(c);
            continue;
        }
        if (c > MaxCodePoint) {
            out.resize(old);
            return false;
        }
        if (IsHighSurrogate(c) && i + 1 < count && IsLowSurrogate(static_cast<uint32_t>(wide[i + 1]))) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(wide[i + 1]) - 0xDC00);
            ++i;
        }
        n += EncodeUTF8(c, buf + n);
    }
    out.append(buf, n);
    return true;
}

std::string UTF16_UTF8(std::wstring_view wide) {
    std::string out;
    if (!AppendUTF8(out, wide)) return std::string();
    return out;
}

std::string UTF16_UTF8(const std::wstring& wide) { return UTF16_UTF8(std::wstring_view(wide)); }

std::string UTF16_UTF8(const wchar_t* wide) {
    return wide ? UTF16_UTF8(std::wstring_view(wide)) : std::string();
}

std::string UTF16_W1251(const wchar_t* wide) {
    std::string out;
    if (!wide) return out;
    for (; *wide; ++wide) {
        const uint32_t c = static_cast<uint32_t>(*wide);
        if ((c >= 32 && c <= 127) || c == 167)
            out += static_cast<char>(c);
        else if (c >= 0x410 && c <= 0x44F)
            out += static_cast<char>(c - 0x350);
        else
            out += '?';
    }
    return out;
}

std::string UTF16_W1251(const std::wstring& wide) { return UTF16_W1251(wide.c_str()); }

} // namespace text
