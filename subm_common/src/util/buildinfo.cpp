// The one translation unit whose __DATE__ and __TIME__ stamp the build.
#include "util/buildinfo.h"

#define SDK_RELEASE "1.0.0"
#define SDK_BINMOD "**UNDEF**"
#define SDK_TARGET_OS "Linux"
#if defined(__clang__)
#define SDK_COMPILER "clang " __clang_version__
#elif defined(__GNUC__)
#define SDK_COMPILER "gcc " __VERSION__
#else
#define SDK_COMPILER "unknown compiler"
#endif
#define SDK_TIMESTAMP " " __DATE__ " " __TIME__
#define SDK_VERSION SDK_BINMOD " " SDK_RELEASE SDK_TIMESTAMP " " SDK_TARGET_OS "-" SDK_COMPILER

namespace build {

const char* const release_string = SDK_RELEASE;
const char* const binmod_string = SDK_BINMOD;
const char* const compiler = SDK_COMPILER;
const char* const target_os = SDK_TARGET_OS;
const char* const build_date = __DATE__;
const char* const build_timestamp = SDK_TIMESTAMP;
const char* const version_string = SDK_VERSION;

const wchar_t* const wrelease_string = L"" SDK_RELEASE;
const wchar_t* const wbinmod_string = L"" SDK_BINMOD;
const wchar_t* const wcompiler = L"" SDK_COMPILER;
const wchar_t* const wtarget_os = L"" SDK_TARGET_OS;
const wchar_t* const wbuild_date = L"" __DATE__;
const wchar_t* const wbuild_timestamp = L"" SDK_TIMESTAMP;
const wchar_t* const wversion_string = L"" SDK_VERSION;

} // namespace build
