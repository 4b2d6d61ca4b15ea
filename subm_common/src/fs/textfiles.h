// Whole files as text: UTF-8 on disk, wide or narrow in memory.
#pragma once

#include <string>

#include "diag/ErrInfo.h"

namespace fs {

// Into wide text the bytes are decoded from UTF-8 (a file that does not decode gives an empty
// text); into a narrow string they are taken as they are.
ErrInfo ReadStringFromFile(const std::wstring& path, std::wstring& text);
ErrInfo ReadStringFromFile(const std::wstring& path, std::string& text);

// The file afterwards holds exactly the text, on disk: narrow text as its bytes (up to its
// terminator), wide text encoded as UTF-8.
ErrInfo WriteStringToFile(const std::wstring& path, const char* text);
ErrInfo WriteStringToFile(const std::wstring& path, const std::string& text);
ErrInfo WriteStringToFile(const std::wstring& path, const wchar_t* text);
ErrInfo WriteStringToFile(const std::wstring& path, const std::wstring& text);

} // namespace fs
