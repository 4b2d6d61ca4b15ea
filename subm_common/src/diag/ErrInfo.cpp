#include "diag/ErrInfo.h"

#include "diag/IEnvironment.h"
#include "diag/SysErrors.h"
#include "util/StdStringFormat.h"
#include "util/utfconv.h"

const std::wstring ErrInfo::_EmptyString;

namespace {

std::wstring Widen(const char* utf8) { return utf8 ? text::UTF8_UTF16(utf8) : std::wstring(); }

// Location texts come from the compiler and are ASCII: widened character by character.
void AppendNarrow(std::wstring& out, const char* text) {
    if (!text) return;
    for (; *text; ++text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
}

IDebugLogPtr ProcessLog() { return Environment()->DebugLog(); }

} // namespace

ErrInfo::ErrInfo(const ErrInfo& other) noexcept
    : _DataPtr(other._DataPtr),
      FunctionName(other.FunctionName),
      FileName(other.FileName),
      FileLine(other.FileLine),
      SilentOnDestroy(other.SilentOnDestroy) {
    other.SilentOnDestroy = true;
}

ErrInfo& ErrInfo::operator=(const ErrInfo& other) noexcept {
    if (this == &other) return *this;
    // The record overwritten here keeps no duty of its own: the new content is what counts.
    _DataPtr = other._DataPtr;
    FunctionName = other.FunctionName;
    FileName = other.FileName;
    FileLine = other.FileLine;
    SilentOnDestroy = other.SilentOnDestroy;
    other.SilentOnDestroy = true;
    return *this;
}

ErrInfo::~ErrInfo() {
    if (!_DataPtr || SilentOnDestroy) return;
    try {
        DbgLogRecord(ProcessLog(), DbgLevel::ErrorsOnly, GetErrorText());
    } catch (...) {
        // Nothing may leave a destructor; losing the record is all that can happen here.
    }
}

ErrInfo& ErrInfo::Silent() noexcept {
    SilentOnDestroy = true;
    if (_DataPtr)
        for (ErrInfo& nested : _DataPtr->NestedErrors) nested.Silent();
    return *this;
}

ErrData& ErrInfo::Data() { return *DataPtr(); }

const ErrDataPtr& ErrInfo::DataPtr() {
    if (!_DataPtr) _DataPtr = std::make_shared<ErrData>();
    return _DataPtr;
}

ErrInfo& ErrInfo::Set(ErrType type, const uint32_t* code, std::wstring&& text) {
    ErrData& data = Data();
    data.ErrorType = type;
    if (code) data.ErrorCode = *code;
    data.ErrorStr = std::move(text);
    return *this;
}

ErrInfo& ErrInfo::StrError(const char* text) { return Set(EIT_STRING, nullptr, Widen(text)); }
ErrInfo& ErrInfo::StrError(const std::string& text) { return Set(EIT_STRING, nullptr, text::UTF8_UTF16(text)); }
ErrInfo& ErrInfo::StrError(const wchar_t* text) { return Set(EIT_STRING, nullptr, text ? text : L""); }
ErrInfo& ErrInfo::StrError(const std::wstring& text) { return Set(EIT_STRING, nullptr, std::wstring(text)); }

ErrInfo& ErrInfo::ApiError(uint32_t code, const char* text) { return Set(EIT_API, &code, Widen(text)); }
ErrInfo& ErrInfo::ApiError(uint32_t code, const std::string& text) {
    return Set(EIT_API, &code, text::UTF8_UTF16(text));
}
ErrInfo& ErrInfo::ApiError(uint32_t code, const wchar_t* text) { return Set(EIT_API, &code, text ? text : L""); }
ErrInfo& ErrInfo::ApiError(uint32_t code, const std::wstring& text) {
    return Set(EIT_API, &code, std::wstring(text));
}

// errno is read before the text is converted: the conversion may not touch it, but nothing
// between the failure and this point should have the chance to.
ErrInfo& ErrInfo::ApiLastError(const char* text) {
    const auto code = static_cast<uint32_t>(os::GetLastSysErrCode());
    return Set(EIT_API, &code, Widen(text));
}
ErrInfo& ErrInfo::ApiLastError(const std::string& text) {
    const auto code = static_cast<uint32_t>(os::GetLastSysErrCode());
    return Set(EIT_API, &code, text::UTF8_UTF16(text));
}
ErrInfo& ErrInfo::ApiLastError(const wchar_t* text) {
    const auto code = static_cast<uint32_t>(os::GetLastSysErrCode());
    return Set(EIT_API, &code, text ? text : L"");
}
ErrInfo& ErrInfo::ApiLastError(const std::wstring& text) {
    const auto code = static_cast<uint32_t>(os::GetLastSysErrCode());
    return Set(EIT_API, &code, std::wstring(text));
}

ErrInfo& ErrInfo::HResError(uint32_t code, const char* text) { return Set(EIT_HRES, &code, Widen(text)); }
ErrInfo& ErrInfo::HResError(uint32_t code, const std::string& text) {
    return Set(EIT_HRES, &code, text::UTF8_UTF16(text));
}
ErrInfo& ErrInfo::HResError(uint32_t code, const wchar_t* text) { return Set(EIT_HRES, &code, text ? text : L""); }
ErrInfo& ErrInfo::HResError(uint32_t code, const std::wstring& text) {
    return Set(EIT_HRES, &code, std::wstring(text));
}

ErrInfo& ErrInfo::GenericError(uint32_t code, const char* text) { return Set(EIT_CUSTOM_CODE, &code, Widen(text)); }
ErrInfo& ErrInfo::GenericError(uint32_t code, const std::string& text) {
    return Set(EIT_CUSTOM_CODE, &code, text::UTF8_UTF16(text));
}
ErrInfo& ErrInfo::GenericError(uint32_t code, const wchar_t* text) {
    return Set(EIT_CUSTOM_CODE, &code, text ? text : L"");
}
ErrInfo& ErrInfo::GenericError(uint32_t code, const std::wstring& text) {
    return Set(EIT_CUSTOM_CODE, &code, std::wstring(text));
}

ErrInfo& ErrInfo::AddError(const char* text) { return AddError(Widen(text)); }
ErrInfo& ErrInfo::AddError(const std::string& text) { return AddError(text::UTF8_UTF16(text)); }
ErrInfo& ErrInfo::AddError(const wchar_t* text) { return AddError(std::wstring(text ? text : L"")); }

ErrInfo& ErrInfo::AddError(const std::wstring& text) {
    ErrData& data = Data();
    if (data.ErrorType == EIT_UNDEF) data.ErrorType = EIT_STRING;
    if (data.ErrorStr.empty()) {
        data.ErrorStr = text;
        return *this;
    }
    // The log's own separator keeps the extra lines indented under the record in the log file.
    const IDebugLogPtr log = ProcessLog();
    data.ErrorStr += log ? log->GetNl() : std::wstring(L"\r\n");
    data.ErrorStr += text;
    return *this;
}

ErrInfo& ErrInfo::operator+=(const ErrInfo& other) {
    if (other.IsOk()) return *this;
    if (IsOk()) {
        // Becomes other, but keeps its own duty to log: the combined record stays loggable.
        const bool silent = SilentOnDestroy;
        *this = other;
        SilentOnDestroy = SilentOnDestroy && silent;
        return *this;
    }
    _DataPtr->NestedErrors.push_back(other);  // the copy silences other
    return *this;
}

size_t ErrInfo::GetErrorsStrList(std::list<std::wstring>& list) const {
    list.clear();
    if (!_DataPtr) return 0;
    list.push_back(_DataPtr->ErrorStr);
    for (const ErrInfo& nested : _DataPtr->NestedErrors) list.push_back(nested.GetErrorStr());
    return list.size();
}

std::wstring ErrInfo::FormatErrorText(int mode) const {
    std::wstring out;
    if (!_DataPtr) return out;
    const ErrData& data = *_DataPtr;
    if (data.ErrorType != EIT_STRING) {
        out += wstring_format(L" ErrType=%u ErrCode=%u/%Xh", static_cast<unsigned>(data.ErrorType), data.ErrorCode,
                              data.ErrorCode);
        if (data.ErrorType == EIT_API) {
            out += L" (";
            out += os::SystemErrCodeTextW(data.ErrorCode);
            out += L")";
        }
    }
    if (!data.ErrorStr.empty()) {
        out += L" ErrStr=";
        out += data.ErrorStr;
    }
    if (mode == 0) {
        out += L" Method=";
        AppendNarrow(out, FunctionName);
        out += L" File=";
        AppendNarrow(out, FileName);
        out += L" Line=";
        out += std::to_wstring(FileLine);
    }
    return out;
}

ErrException::ErrException(const std::wstring& text) : ErrStr(text::UTF16_UTF8(text)) {}

ErrException::ErrException(const ErrInfo& err) : ErrStr(text::UTF16_UTF8(err.GetErrorText())) {}

// --- ErrorState ------------------------------------------------------------------------------

ErrorState::ErrorState(const std::wstring& info) : InfoStr(info), MinDetector(std::make_unique<MinuteDetector>(1)) {}

void ErrorState::SetInfoStr(const std::wstring& info) {
    std::lock_guard<std::mutex> lock(Mutex);
    InfoStr = info;
}

ErrInfo& ErrorState::SetState(ErrInfo& err) {
    if (err.IsOk()) {
        // Success while Ok, the common case, takes no lock.
        if (ErrCount.load() == 0) return err;
        std::lock_guard<std::mutex> lock(Mutex);
        const uint32_t count = ErrCount.load();
        if (count != 0) {
            // Logged when this record goes out of scope, at the end of this block.
            ErrInfo transition("SetState", __FILE__, __LINE__);
            transition.StrError(wstring_format(L"ErrState: Error->OK, Info='%ls', ErrCount = %u", InfoStr.c_str(), count));
            ErrCount.store(0);
        }
        return err;
    }
    std::lock_guard<std::mutex> lock(Mutex);
    const uint32_t count = ErrCount.load() + 1;
    ErrCount.store(count);
    if (count == 1) {
        MinDetector->ResetMinue();
        err.AddError(wstring_format(L"ErrState: Ok->Error, Info='%ls', ErrCount = %u", InfoStr.c_str(), count));
    } else if (MinDetector->CheckMinue()) {
        err.AddError(wstring_format(L"ErrState: Error->Error, Info='%ls', ErrCount = %u", InfoStr.c_str(), count));
    } else {
        err.Silent();
    }
    return err;
}

void ErrorState::SetClockForTest(std::function<int64_t()> nowSeconds) {
    std::lock_guard<std::mutex> lock(Mutex);
    MinDetector->SetClock(std::move(nowSeconds));
}
