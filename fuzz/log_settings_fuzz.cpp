// The log settings file: the input is the file's text, written beside a program folder of our
// own (a fresh scratch folder per run) and read by the log's constructor exactly as a program's
// log reads its file at start. When the configured folder lies inside the scratch folder, one
// record is written and flushed, so the file side and the retention pass run with the settings
// too.
//
// The text decides where the log creates its folder and files, /var/log/ by default, so while a
// log lives every call here that would change the file system outside the scratch folder is
// refused (the library sees EACCES): mkdir, rmdir, unlink, rename, chmod and any open that
// could write. The executable's definitions take the place of the C library's for the shared
// SDK as well.
//
// Checked: a read file gives an absolute, normalised folder ending in "/fuzzlog.logs", an empty
// file none; an accepted record is written within the flush timeout.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "diag/debug_log.h"
#include "util/utfconv.h"

namespace {

std::atomic<bool> gGuarding{false};
std::string gRoot;  // the scratch folder: set once before any guarding, constant afterwards

// Inside the scratch folder, spelled without a step upwards.
bool Allowed(const char* path) {
    if (!gGuarding.load(std::memory_order_acquire)) return true;
    if (path == nullptr || std::strncmp(path, gRoot.c_str(), gRoot.size()) != 0 || path[gRoot.size()] != '/')
        return false;
    const std::string_view rest(path + gRoot.size());
    return rest.find("/../") == std::string_view::npos && !rest.ends_with("/..");
}

template <class F>
F Real(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

int Refuse() {
    errno = EACCES;
    return -1;
}

} // namespace

extern "C" {

int mkdir(const char* path, mode_t mode) {
    static const auto real = Real<int (*)(const char*, mode_t)>("mkdir");
    return Allowed(path) ? real(path, mode) : Refuse();
}

int rmdir(const char* path) {
    static const auto real = Real<int (*)(const char*)>("rmdir");
    return Allowed(path) ? real(path) : Refuse();
}

int unlink(const char* path) {
    static const auto real = Real<int (*)(const char*)>("unlink");
    return Allowed(path) ? real(path) : Refuse();
}

int rename(const char* from, const char* to) {
    static const auto real = Real<int (*)(const char*, const char*)>("rename");
    return Allowed(from) && Allowed(to) ? real(from, to) : Refuse();
}

int chmod(const char* path, mode_t mode) {
    static const auto real = Real<int (*)(const char*, mode_t)>("chmod");
    return Allowed(path) ? real(path, mode) : Refuse();
}

int open(const char* path, int flags, ...) {
    static const auto real = Real<int (*)(const char*, int, ...)>("open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    const bool writes = (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_TMPFILE)) != 0;
    if (writes && !Allowed(path)) return Refuse();
    return real(path, flags, mode);
}

} // extern "C"

namespace {

[[noreturn]] void Fail(const char* what, const std::wstring& folder) {
    std::fprintf(stderr, "log_settings_fuzz: %s\nfolder: %s\n", what, text::UTF16_UTF8(folder).c_str());
    std::abort();
}

void RemoveScratch() {
    std::error_code ec;
    if (!gRoot.empty()) std::filesystem::remove_all(gRoot, ec);
}

bool Normalised(const std::wstring& folder) {
    if (folder.empty() || folder[0] != L'/' || folder.find(L"//") != std::wstring::npos) return false;
    const std::wstring ending = L"/fuzzlog.logs";
    if (folder.size() < ending.size() || folder.compare(folder.size() - ending.size(), ending.size(), ending) != 0)
        return false;
    // Steps above the root are left at the front ("/../x"); the system reads them as the root.
    size_t start = 0;
    while (folder.compare(start, 4, L"/../") == 0) start += 3;
    const std::wstring slashed = folder.substr(start) + L'/';
    return slashed.find(L"/./") == std::wstring::npos && slashed.find(L"/../") == std::wstring::npos;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/log_settings_fuzz.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("log_settings_fuzz: mkdtemp");
        std::exit(1);
    }
    std::error_code ec;
    gRoot = std::filesystem::canonical(pattern, ec).string();
    if (ec) gRoot = pattern;
    std::atexit(RemoveScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace sfs = std::filesystem;
    const std::string program = gRoot + "/program";
    std::error_code ec;
    sfs::remove_all(program, ec);
    sfs::create_directory(program, ec);
    if (FILE* f = std::fopen((program + "/fuzzlog.log_settings.json").c_str(), "wb")) {
        if (size != 0) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }

    gGuarding.store(true, std::memory_order_release);
    {
        CDebugLog log(L"fuzzlog", text::UTF8_UTF16(program));
        const std::wstring& folder = log.GetLogFolder();
        if (size == 0 && !folder.empty()) Fail("an empty file sets a folder", folder);
        // The text is read whole: any byte makes it content, parsed or not.
        if (size != 0 && !Normalised(folder)) Fail("the folder is not absolute, normalised and the log's own", folder);
        log.GetLogStreamState(L"RtpStreams");
        log.IsLogEnabled(L"TestLogStreamId");

        const std::wstring inside = text::UTF8_UTF16(gRoot) + L'/';
        if (folder.compare(0, inside.size(), inside) == 0 && folder.find(L'\0') == std::wstring::npos) {
            log.SetEntriesPerMinLimit(0);
            log.LogRecord("log settings fuzz record");
            if (!log.Flush(std::chrono::seconds(5))) Fail("an accepted record is not written", folder);
        }
        // The destructor waits for a running retention pass in steps of several milliseconds;
        // waiting here in finer steps keeps runs short. The pass of one file deletes nothing.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (log.IsRetentionPassActive() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    gGuarding.store(false, std::memory_order_release);
    sfs::remove_all(program, ec);
    return 0;
}
