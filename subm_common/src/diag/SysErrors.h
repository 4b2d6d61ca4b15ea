// Texts and tests of system error numbers (errno values), for error records and the file helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace os {

// The calling thread's errno, widened.
int64_t GetLastSysErrCode() noexcept;

// "<code>: <system message>". A buffer of 12 bytes or less gets the message alone; every form
// terminates its buffer and cuts what does not fit.
void SystemErrCodeText(int64_t code, char* buffer, size_t size) noexcept;
void SystemErrCodeText(int64_t code, wchar_t* buffer, size_t size);
void SystemErrCodeText(int64_t code, std::string& text);
void SystemErrCodeText(int64_t code, std::wstring& text);
std::string SystemErrCodeText(int64_t code);
std::wstring SystemErrCodeTextW(int64_t code);

// Predicates used by the directory listing.
constexpr bool isSuccess(int64_t code) noexcept { return code == 0; }
constexpr bool isPathOrFileNotFound(int64_t code) noexcept { return code == 20; }  // ENOTDIR; ENOENT is not
constexpr bool isAccessDenied(int64_t code) noexcept { return code == 13; }        // EACCES
constexpr bool isNoMoreFiles(int64_t code) noexcept { return code == 0; }
constexpr bool isRecoverableScanDir(int64_t) noexcept { return false; }
constexpr int64_t getInvalidSysErrCode() noexcept { return 0x80000000; }  // no valid system error
constexpr bool isInvalid(int64_t code) noexcept { return code == getInvalidSysErrCode(); }

} // namespace os
