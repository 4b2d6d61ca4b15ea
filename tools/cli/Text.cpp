#include "Text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace cli {

std::string ToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (char ch : utf8) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out.push_back(ch);
            }
        }
    }
    out += '"';
    return out;
}

bool ParseUint(std::string_view text, uint64_t max, uint64_t& out) {
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v > max) return false;
    out = v;
    return true;
}

bool ParseFrequencyKhz(std::string_view text, uint32_t& khz) {
    uint64_t v = 0;
    if (ParseUint(text, 10000000, v) && v >= 1000) {
        khz = static_cast<uint32_t>(v);
        return true;
    }
    double mhz = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), mhz);
    if (ec != std::errc() || end != text.data() + text.size() || !(mhz >= 0) || mhz > 10000) return false;
    khz = static_cast<uint32_t>(std::lround(mhz * 1000));
    return true;
}

} // namespace cli
