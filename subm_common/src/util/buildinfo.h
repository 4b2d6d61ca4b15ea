// Build identification of the library: release, build moment, target and compiler, as narrow
// texts and their wide twins. Nothing in the library decides anything by them; they are for the
// application, the log's file header and whoever inspects the library file.
#pragma once

namespace build {

extern const char* const release_string;   // "1.0.0"
extern const char* const binmod_string;    // build modification tag
extern const char* const compiler;         // name and version of the compiler
extern const char* const target_os;        // "Linux"
extern const char* const build_date;       // "Jan 25 2024"
extern const char* const build_timestamp;  // " Jan 25 2024 19:03:51"
// binmod, release, timestamp, target and compiler in one line
extern const char* const version_string;

extern const wchar_t* const wrelease_string;
extern const wchar_t* const wbinmod_string;
extern const wchar_t* const wcompiler;
extern const wchar_t* const wtarget_os;
extern const wchar_t* const wbuild_date;
extern const wchar_t* const wbuild_timestamp;
extern const wchar_t* const wversion_string;

} // namespace build
