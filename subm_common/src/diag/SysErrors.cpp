#include "diag/SysErrors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/numtext.h"
#include "util/utfconv.h"

namespace os {

namespace {

constexpr size_t TextBufferSize = 512;

// The GNU strerror_r returns either the buffer or a static message; copy the latter in.
[[maybe_unused]] void MessageInto(const char* result, char* buffer, size_t size) {
    if (result == buffer) return;
    const size_t n = std::min(std::strlen(result), size - 1);
    std::memcpy(buffer, result, n);
    buffer[n] = '\0';
}
[[maybe_unused]] void MessageInto(int result, char* buffer, size_t size) {
    if (result != 0 && size > 0) buffer[0] = '\0';  // the XSI form: nothing written on failure
}

} // namespace

int64_t GetLastSysErrCode() noexcept { return errno; }

void SystemErrCodeText(int64_t code, char* buffer, size_t size) noexcept {
    if (!buffer || size == 0) return;
    if (size > 12) {
        char number[cmn::IntTextBufferSize];
        size_t n = cmn::int2ch(code, number);
        // The prefix is at most 20 digits and ": "; a 13-byte buffer still has room for some.
        n = std::min(n, size - 3);
        std::memcpy(buffer, number, n);
        buffer[n++] = ':';
        buffer[n++] = ' ';
        buffer += n;
        size -= n;
    }
    buffer[0] = '\0';
    MessageInto(strerror_r(static_cast<int>(code), buffer, size), buffer, size);
}

void SystemErrCodeText(int64_t code, wchar_t* buffer, size_t size) {
    if (!buffer || size == 0) return;
    char narrow[TextBufferSize];
    SystemErrCodeText(code, narrow, sizeof(narrow));
    const std::wstring wide = text::UTF8_UTF16(narrow);
    const size_t n = std::min(wide.size(), size - 1);
    std::wmemcpy(buffer, wide.data(), n);
    buffer[n] = L'\0';
}

void SystemErrCodeText(int64_t code, std::string& text) {
    char buffer[TextBufferSize];
    SystemErrCodeText(code, buffer, sizeof(buffer));
    text = buffer;
}

void SystemErrCodeText(int64_t code, std::wstring& text) {
    wchar_t buffer[TextBufferSize];
    SystemErrCodeText(code, buffer, TextBufferSize);
    text = buffer;
}

std::string SystemErrCodeText(int64_t code) {
    std::string text;
    SystemErrCodeText(code, text);
    return text;
}

std::wstring SystemErrCodeTextW(int64_t code) {
    std::wstring text;
    SystemErrCodeText(code, text);
    return text;
}

} // namespace os
