#include "fs/textfiles.h"

#include <cstring>
#include <cwchar>

#include "fs/binary_files.h"
#include "util/utfconv.h"

namespace fs {

ErrInfo ReadStringFromFile(const std::wstring& path, std::wstring& text) {
    std::string bytes;
    ErrInfo err = ReadWholeFile(path, bytes);
    text = text::UTF8_UTF16(bytes);
    return err;
}

ErrInfo ReadStringFromFile(const std::wstring& path, std::string& text) { return ReadWholeFile(path, text); }

ErrInfo WriteStringToFile(const std::wstring& path, const char* text) {
    return WriteWholeFile(path, text, text ? std::strlen(text) : 0);
}

ErrInfo WriteStringToFile(const std::wstring& path, const std::string& text) {
    return WriteWholeFile(path, text.data(), text.size());
}

ErrInfo WriteStringToFile(const std::wstring& path, const wchar_t* text) {
    return WriteStringToFile(path, std::wstring(text ? text : L""));
}

ErrInfo WriteStringToFile(const std::wstring& path, const std::wstring& text) {
    const std::string utf8 = text::UTF16_UTF8(text);
    if (utf8.empty() && !text.empty()) {
        // Nothing encodable: writing an empty file would lose the text without a word.
        std::wstring message = L"encode error: file \"";
        message += path;
        message += L'"';
        return MAKE_ERR_INFO().ApiError(22, message);
    }
    return WriteWholeFile(path, utf8.data(), utf8.size());
}

} // namespace fs
