// Error records. Every fallible operation returns an ErrInfo: empty on success; on failure a shared
// payload (kind, code, text, nested errors) plus where the record was made. A failed record that
// is dropped without being made silent writes its text to the debug log by itself, so an ignored
// failure is never lost; a copy takes that duty over from its source, so it is written once.
//
// Make records with MAKE_ERR_INFO(), which fills in the function's bare name, file and line:
//     return MAKE_ERR_INFO().ApiLastError("socket() failed");
//
// A record and its copies belong to one thread at a time; ErrorState may be fed from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "diag/Statistics.h"

#define MAKE_ERR_INFO() ::ErrInfo(__func__, __FILE__, __LINE__)

enum ErrType : uint32_t {
    EIT_UNDEF = 0,        // no kind set yet
    EIT_API = 1,          // a system call failed; the code is errno
    EIT_HRES = 2,         // a 32-bit result code
    EIT_STRING = 3,       // text only
    EIT_SQL = 4,          // reserved
    EIT_QM6XX = 5,        // reserved
    EIT_CUSTOM_CODE = 6,  // a code of the reporting component's own
};

class ErrInfo;

struct ErrData {
    uint32_t ErrorCode = 0;
    ErrType ErrorType = EIT_UNDEF;
    std::wstring ErrorStr;  // several lines joined by the log's line separator
    std::list<ErrInfo> NestedErrors;
};
using ErrDataPtr = std::shared_ptr<ErrData>;

class ErrInfo {
public:
    // A successful record located at function (bare name), file and line: static texts, not owned.
    ErrInfo(const char* function = "", const char* file = "", int line = 0) noexcept
        : FunctionName(function), FileName(file), FileLine(line) {}
    // A copy shares the payload, takes over location and silence, and silences the source.
    ErrInfo(const ErrInfo& other) noexcept;
    ErrInfo& operator=(const ErrInfo& other) noexcept;
    // Writes the full text to the debug log when in error and not silent.
    virtual ~ErrInfo();

    bool IsOk() const noexcept { return !_DataPtr; }
    explicit operator bool() const noexcept { return IsOk(); }
    void ClearError() noexcept { _DataPtr.reset(); }
    // Silences this record and, recursively, its nested ones.
    ErrInfo& Silent() noexcept;
    bool IsSilent() const noexcept { return SilentOnDestroy; }

    // The payload, made on first use: afterwards the record is in error.
    ErrData& Data();
    const ErrDataPtr& DataPtr();

    // Recording; narrow texts are UTF-8. Each returns the record itself.
    ErrInfo& SetErrorDirect() noexcept { return *this; }
    ErrInfo& SetErrorDirect(const char* text) { return StrError(text); }
    ErrInfo& SetErrorDirect(const std::string& text) { return StrError(text); }
    ErrInfo& SetErrorDirect(const wchar_t* text) { return StrError(text); }
    ErrInfo& SetErrorDirect(const std::wstring& text) { return StrError(text); }

    ErrInfo& StrError(const char* text);
    ErrInfo& StrError(const std::string& text);
    ErrInfo& StrError(const wchar_t* text);
    ErrInfo& StrError(const std::wstring& text);

    ErrInfo& ApiError(uint32_t code, const char* text);
    ErrInfo& ApiError(uint32_t code, const std::string& text);
    ErrInfo& ApiError(uint32_t code, const wchar_t* text);
    ErrInfo& ApiError(uint32_t code, const std::wstring& text);

    // The code is the calling thread's errno: call before any other system call.
    ErrInfo& ApiLastError(const char* text);
    ErrInfo& ApiLastError(const std::string& text);
    ErrInfo& ApiLastError(const wchar_t* text);
    ErrInfo& ApiLastError(const std::wstring& text);

    ErrInfo& HResError(uint32_t code, const char* text);
    ErrInfo& HResError(uint32_t code, const std::string& text);
    ErrInfo& HResError(uint32_t code, const wchar_t* text);
    ErrInfo& HResError(uint32_t code, const std::wstring& text);

    ErrInfo& GenericError(uint32_t code, const char* text);
    ErrInfo& GenericError(uint32_t code, const std::string& text);
    ErrInfo& GenericError(uint32_t code, const wchar_t* text);
    ErrInfo& GenericError(uint32_t code, const std::wstring& text);

    // Appends text as a new line; a record without a kind becomes EIT_STRING.
    ErrInfo& AddError(const char* text);
    ErrInfo& AddError(const std::string& text);
    ErrInfo& AddError(const wchar_t* text);
    ErrInfo& AddError(const std::wstring& text);

    // A successful record becomes a copy of other; a failed one keeps other as a nested error.
    // Either way other is silenced and the combined record stays loggable.
    ErrInfo& operator+=(const ErrInfo& other);

    const std::wstring& GetErrorStr() const noexcept { return _DataPtr ? _DataPtr->ErrorStr : _EmptyString; }
    uint32_t GetErrorCode() const noexcept { return _DataPtr ? _DataPtr->ErrorCode : 0; }
    ErrType GetErrorType() const noexcept { return _DataPtr ? _DataPtr->ErrorType : EIT_UNDEF; }
    // The text of this record, then those of its nested records (one level); returns the count.
    size_t GetErrorsStrList(std::list<std::wstring>& list) const;
    std::wstring GetErrorText() const { return FormatErrorText(0); }
    std::wstring GetErrorTextShort() const { return FormatErrorText(1); }
    // Mode 0: full, with the location; any other mode: without it.
    std::wstring FormatErrorText(int mode) const;

    const char* GetFunctionName() const noexcept { return FunctionName; }
    const char* GetFileName() const noexcept { return FileName; }
    int GetFileLine() const noexcept { return FileLine; }

private:
    ErrInfo& Set(ErrType type, const uint32_t* code, std::wstring&& text);

    ErrDataPtr _DataPtr;
    const char* FunctionName;
    const char* FileName;
    int32_t FileLine;
    // Changed on a const source by copying: the copy takes over the duty to log.
    mutable bool SilentOnDestroy = false;

    static const std::wstring _EmptyString;
};

// An exception carrying an error text (UTF-8).
class ErrException : public std::exception {
public:
    explicit ErrException(const std::string& text) : ErrStr(text) {}
    explicit ErrException(const std::wstring& text);
    explicit ErrException(const ErrInfo& err);
    const char* what() const noexcept override { return ErrStr.c_str(); }

    std::string ErrStr;
};

// Turns a stream of repeated identical failures into one logged transition and at most one
// reminder a minute: the first failure gets an "Ok->Error" line, later failures in the same
// minute are silenced, the first of each new minute gets an "Error->Error" line, and the next
// success logs "Error->OK" with the number of failures.
class ErrorState {
public:
    explicit ErrorState(const std::wstring& info);
    virtual ~ErrorState() = default;

    void SetInfoStr(const std::wstring& info);
    // Feeds the outcome of one attempt; may add a line to err or silence it; returns err.
    ErrInfo& SetState(ErrInfo& err);
    bool IsOk() const noexcept { return ErrCount.load() == 0; }
    uint32_t GetErrCount() const noexcept { return ErrCount.load(); }

    // For tests: the wall clock (seconds since the epoch) that the minute detector reads.
    void SetClockForTest(std::function<int64_t()> nowSeconds);

private:
    std::wstring InfoStr;             // guarded by Mutex
    std::atomic<uint32_t> ErrCount{0};
    std::unique_ptr<MinuteDetector> MinDetector;  // guarded by Mutex
    std::mutex Mutex;
};
