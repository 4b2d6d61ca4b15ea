#include "fs/getrunningmodule.h"

#include <climits>
#include <unistd.h>

#include "fs/filenamehelpers.h"
#include "util/utfconv.h"

namespace fs {

std::string ModuleNameFromPath(const std::string& path, bool keepPath, bool keepExt) {
    std::string name = path;
    const size_t slash = name.rfind('/');
    if (!keepExt) {
        const size_t dot = name.rfind('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.resize(dot);
    }
    if (!keepPath) {
        if (slash != std::string::npos) name.erase(0, slash + 1);
    } else {
        EnsureNormalizedFilePath(name);
    }
    return name;
}

std::string GetRunningModuleName(bool keepPath, bool keepExt, const void*) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    // A full buffer may be a cut path: no answer is better than a wrong one.
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::string();
    return ModuleNameFromPath(std::string(buf, static_cast<size_t>(n)), keepPath, keepExt);
}

std::wstring GetRunningModuleNameW(bool keepPath, bool keepExt, const void* module) {
    return text::UTF8_UTF16(GetRunningModuleName(keepPath, keepExt, module));
}

std::wstring GetRunningModuleNameExtW(const void* module) { return GetRunningModuleNameW(false, true, module); }

std::wstring GetRunningModulePathNameW(const void* module) { return GetRunningModuleNameW(true, false, module); }

} // namespace fs
