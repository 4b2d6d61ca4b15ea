// The name and path of the running program's executable, as the system reports it for the
// process (/proc/self/exe); a shared library's own location plays no part. The module arguments
// exist for callers written against module handles and are not used. Empty when the system
// does not say.
#pragma once

#include <string>

namespace fs {

// keepPath false cuts everything up to the last slash; keepExt false cuts the extension (from
// the last dot after the last slash). A path that keeps its directory part is normalised.
std::string GetRunningModuleName(bool keepPath = true, bool keepExt = true, const void* module = nullptr);
std::wstring GetRunningModuleNameW(bool keepPath = true, bool keepExt = true, const void* module = nullptr);
// The file name with its extension: player.bin for /opt/app/player.bin.
std::wstring GetRunningModuleNameExtW(const void* module = nullptr);
// The full path without the extension: /opt/app/player for /opt/app/player.bin.
std::wstring GetRunningModulePathNameW(const void* module = nullptr);

// The rule above applied to a given executable path.
std::string ModuleNameFromPath(const std::string& path, bool keepPath, bool keepExt);

} // namespace fs
