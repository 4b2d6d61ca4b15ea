#include "fs/dirlist.h"

// GCC 12 warns about its own regular-expression compiler when optimising with sanitizers
// (a false -Wmaybe-uninitialized inside std::function); the warning is not about this code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include "diag/SysErrors.h"
#include "fs/filenamehelpers.h"

namespace fs {
namespace Dir {

struct AddByRegexFilter::Regex {
    std::wregex Value;
};

AddByRegexFilter::AddByRegexFilter(const std::wstring& pattern) {
    try {
        _regex = std::make_unique<Regex>();
        _regex->Value.assign(pattern, std::regex_constants::ECMAScript | std::regex_constants::icase);
    } catch (const std::exception&) {
        _regex.reset();
    }
}

AddByRegexFilter::~AddByRegexFilter() = default;

bool AddByRegexFilter::Accept(const std::wstring& name) const {
    if (!_regex) return false;
    try {
        return std::regex_match(name, _regex->Value);
    } catch (const std::exception&) {
        return false;  // too complex for the engine: not a name we can vouch for
    }
}

namespace {

std::wstring ListError(const wchar_t* step, const std::wstring& dir) {
    std::wstring text = step;
    text += L" error: directory \"";
    text += dir;
    text += L'"';
    return text;
}

bool IsDots(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

} // namespace

ErrInfo List(const std::wstring& dir, const INameFilter& filter, IContainerWrapper& container, unsigned options) {
    std::wstring path = dir;
    EnsureNormalizedFilePath(path);
    if (path.size() > 1) EnsureNoTrailingSlash(path);
    const std::wstring prefix = path == L"/" ? std::wstring() : path;

    FsPointer fs;
    FindFileInfoW info;
    FinderPtr finder(fs->OpenFileFinder(path, info));
    if (!finder) {
        const int64_t code = fs->GetLastError();
        if (os::isPathOrFileNotFound(code)) return ErrInfo();
        return MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), ListError(L"open", path));
    }
    do {
        const bool directory = (info.Attributes & attrDirectory) != 0;
        const unsigned kind = !directory ? listFiles : IsDots(info.FileName) ? listDots : listDirs;
        if ((options & kind) != 0) {
            std::wstring name = info.FileName;
            if (filter.Accept(name)) container.Add(prefix + L"/" + name, info);
        }
    } while (finder->FindNext(info));
    const int64_t code = finder->GetLastError();
    if (!os::isNoMoreFiles(code)) return MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), ListError(L"read", path));
    return ErrInfo();
}

} // namespace Dir
} // namespace fs
