#include "fs/fsapi.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "util/utfconv.h"

namespace fs {

namespace {

// Shared object, per-thread error: one thread's failure must not be read as another's.
thread_local int64_t t_lastError = 0;

bool Fail(int64_t& slot) {
    slot = errno;
    return false;
}

TimeVal ToTimeVal(const timespec& t) { return TimeVal{static_cast<int64_t>(t.tv_sec), static_cast<int64_t>(t.tv_nsec)}; }

int64_t ToNanoseconds(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

std::string Narrow(const std::wstring& path) { return text::UTF16_UTF8(path); }

class PosixFile final : public IFile {
public:
    explicit PosixFile(int fd) : _fd(fd) {}
    ~PosixFile() override { Close(); }

    int64_t GetLastError() override { return _lastError; }

    bool Close() override {
        if (_fd < 0) return true;
        const int fd = _fd;
        _fd = -1;
        // The descriptor is gone even when close reports an error: never retry it.
        return ::close(fd) == 0 || Fail(_lastError);
    }

    bool Read(void* buffer, size_t size, size_t& read) override {
        read = 0;
        ssize_t n;
        do {
            n = ::read(_fd, buffer, size);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return Fail(_lastError);
        read = static_cast<size_t>(n);
        return true;
    }

    bool ReadAt(void* buffer, size_t size, uint64_t offset, size_t& read) override {
        read = 0;
        ssize_t n;
        do {
            n = ::pread(_fd, buffer, size, static_cast<off_t>(offset));
        } while (n < 0 && errno == EINTR);
        if (n < 0) return Fail(_lastError);
        read = static_cast<size_t>(n);
        return true;
    }

    bool Write(const void* buffer, size_t size, size_t& written) override {
        written = 0;
        const char* p = static_cast<const char*>(buffer);
        while (written < size) {
            const ssize_t n = ::write(_fd, p + written, size - written);
            if (n < 0) {
                if (errno == EINTR) continue;
                return Fail(_lastError);
            }
            if (n == 0) break;
            written += static_cast<size_t>(n);
        }
        return true;
    }

    bool WriteAt(const void* buffer, size_t size, uint64_t offset, size_t& written) override {
        written = 0;
        const char* p = static_cast<const char*>(buffer);
        while (written < size) {
            const ssize_t n = ::pwrite(_fd, p + written, size - written, static_cast<off_t>(offset + written));
            if (n < 0) {
                if (errno == EINTR) continue;
                return Fail(_lastError);
            }
            if (n == 0) break;
            written += static_cast<size_t>(n);
        }
        return true;
    }

    bool Flush() override { return ::fsync(_fd) == 0 || Fail(_lastError); }

    bool SetPointer(int64_t distance, int method) override {
        uint64_t position;
        return SetPointer(distance, method, position);
    }

    bool SetPointer(int64_t distance, int method, uint64_t& position) override {
        static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
        if (method < pointerBegin || method > pointerEnd) {
            _lastError = EINVAL;
            return false;
        }
        const off_t p = ::lseek(_fd, static_cast<off_t>(distance), whence[method]);
        if (p < 0) return Fail(_lastError);
        position = static_cast<uint64_t>(p);
        return true;
    }

    bool GetPointer(uint64_t& position) override { return SetPointer(0, pointerCurrent, position); }

    uint64_t GetSize() override {
        struct stat st{};
        if (::fstat(_fd, &st) != 0) {
            Fail(_lastError);
            return ~uint64_t{0};
        }
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            _lastError = EINVAL;
            return ~uint64_t{0};
        }
        return static_cast<uint64_t>(st.st_size);
    }

    bool SetEnd() override { return false; }
    bool Lock(bool) override { return false; }
    bool TryLock(bool) override { return false; }
    bool Unlock() override { return false; }

    bool GetLastWriteTime(TimeVal& time) override {
        struct stat st{};
        if (!Stat(st)) return false;
        time = ToTimeVal(st.st_mtim);
        return true;
    }

    bool GetLastWriteTime64(int64_t& nanoseconds) override {
        struct stat st{};
        if (!Stat(st)) return false;
        nanoseconds = ToNanoseconds(st.st_mtim);
        return true;
    }

    bool GetFileTimes(TimeVal& creation, TimeVal& access, TimeVal& write) override {
        struct stat st{};
        if (!Stat(st)) return false;
        creation = ToTimeVal(st.st_ctim);
        access = ToTimeVal(st.st_atim);
        write = ToTimeVal(st.st_mtim);
        return true;
    }

    bool GetFileTimes64(int64_t& creation, int64_t& access, int64_t& write) override {
        struct stat st{};
        if (!Stat(st)) return false;
        creation = ToNanoseconds(st.st_ctim);
        access = ToNanoseconds(st.st_atim);
        write = ToNanoseconds(st.st_mtim);
        return true;
    }

private:
    bool Stat(struct stat& st) { return ::fstat(_fd, &st) == 0 || Fail(_lastError); }

    int _fd;
    int64_t _lastError = 0;
};

class PosixFinder final : public IFileFinder {
public:
    PosixFinder(DIR* dir, std::string path) : _dir(dir), _path(std::move(path)) {}
    ~PosixFinder() override { Close(); }

    int64_t GetLastError() override { return _lastError; }

    bool Close() override {
        if (_dir == nullptr) return true;
        DIR* dir = _dir;
        _dir = nullptr;
        return ::closedir(dir) == 0 || Fail(_lastError);
    }

    bool FindNext(FindFileInfoA& info) override {
        std::string name;
        if (!Next(info, name)) return false;
        const size_t n = name.size() < MaxFindName ? name.size() : MaxFindName;
        std::memcpy(info.FileName, name.data(), n);
        info.FileName[n] = '\0';
        return true;
    }

    bool FindNext(FindFileInfoW& info) override {
        std::string name;
        std::wstring wide;
        do {
            if (!Next(info, name)) return false;
            // A name that is not UTF-8 has no wide form that would lead back to the file.
            wide = text::UTF8_UTF16(name);
        } while (wide.empty());
        const size_t n = wide.size() < MaxFindName ? wide.size() : MaxFindName;
        std::wmemcpy(info.FileName, wide.data(), n);
        info.FileName[n] = L'\0';
        return true;
    }

private:
    bool Next(FileDescription& info, std::string& name) {
        if (_dir == nullptr) {
            _lastError = EBADF;
            return false;
        }
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(_dir);
            if (entry == nullptr) return Fail(_lastError);  // errno 0 at the end of the directory
            name = entry->d_name;
            struct stat st{};
            if (::stat((_path + "/" + name).c_str(), &st) != 0) {
                // Deleted between the two calls (another process's retention, say): not an error.
                if (errno == ENOENT) continue;
                return Fail(_lastError);
            }
            const bool directory = entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN && S_ISDIR(st.st_mode));
            info.FileSize = static_cast<uint64_t>(st.st_size);
            info.CreationTime = ToTimeVal(st.st_ctim);
            info.LastAccessTime = ToTimeVal(st.st_atim);
            info.LastWriteTime = ToTimeVal(st.st_mtim);
            info.Attributes = (static_cast<uint32_t>(st.st_mode) & 0775) | (directory ? uint32_t{attrDirectory} : uint32_t{0});
            _lastError = 0;
            return true;
        }
    }

    DIR* _dir;
    std::string _path;
    int64_t _lastError = 0;
};

class PosixFS final : public IFS {
public:
    bool DelFile(const std::wstring& path) override { return DelFile(Narrow(path)); }
    bool DelFile(const std::string& path) override { return ::unlink(path.c_str()) == 0 || Fail(t_lastError); }

    bool CpyFile(const std::wstring&, const std::wstring&, bool) override {
        throw std::logic_error("CpyFile is not available on this platform");
    }
    bool CpyFile(const std::string&, const std::string&, bool) override {
        throw std::logic_error("CpyFile is not available on this platform");
    }

    bool MovFile(const std::wstring& from, const std::wstring& to, unsigned flags) override {
        return MovFile(Narrow(from), Narrow(to), flags);
    }
    bool MovFile(const std::string& from, const std::string& to, unsigned) override {
        return ::rename(from.c_str(), to.c_str()) == 0 || Fail(t_lastError);
    }

    bool CreateDir(const std::wstring& path) override { return CreateDir(Narrow(path)); }
    bool CreateDir(const std::string& path) override { return ::mkdir(path.c_str(), 0775) == 0 || Fail(t_lastError); }

    bool RemoveDir(const std::wstring& path) override { return RemoveDir(Narrow(path)); }
    bool RemoveDir(const std::string& path) override { return ::rmdir(path.c_str()) == 0 || Fail(t_lastError); }

    bool SetFileAttribs(const std::wstring& path, FileAttr_t attributes) override {
        return SetFileAttribs(Narrow(path), attributes);
    }
    bool SetFileAttribs(const std::string& path, FileAttr_t attributes) override {
        return ::chmod(path.c_str(), static_cast<mode_t>(attributes)) == 0 || Fail(t_lastError);
    }

    bool GetFileAttribs(const std::wstring& path, FileAttr_t& attributes) override {
        return GetFileAttribs(Narrow(path), attributes);
    }
    bool GetFileAttribs(const std::string& path, FileAttr_t& attributes) override {
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) return Fail(t_lastError);
        attributes = static_cast<FileAttr_t>(st.st_mode) & 0775;
        return true;
    }

    int64_t GetLastError() override { return t_lastError; }

    IFile* OpenFile(const std::wstring& path, unsigned flags, FileAttr_t attributes) override {
        return OpenFile(Narrow(path), flags, attributes);
    }

    IFile* OpenFile(const std::string& path, unsigned flags, FileAttr_t attributes) override {
        int oflags = O_CLOEXEC;
        switch (flags & openReadWrite) {
        case openRead: oflags |= O_RDONLY; break;
        case openWrite: oflags |= O_WRONLY; break;
        case openReadWrite: oflags |= O_RDWR; break;
        default: t_lastError = EINVAL; return nullptr;
        }
        if (flags & openWrite) {
            if (flags & openNoCreate) {
                if (flags & openTrunc) oflags |= O_TRUNC;
            } else if (flags & openNoErase) {
                oflags |= O_CREAT | O_EXCL;
            } else {
                oflags |= O_CREAT | ((flags & openTrunc) ? O_TRUNC : 0);
            }
        }
        int fd;
        do {
            fd = ::open(path.c_str(), oflags, static_cast<mode_t>(CreationMode(attributes)));
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            Fail(t_lastError);
            return nullptr;
        }
        IFile* file = new (std::nothrow) PosixFile(fd);
        if (file == nullptr) {
            ::close(fd);
            t_lastError = ENOMEM;
        }
        return file;
    }

    IFileFinder* OpenFileFinder(const std::wstring& dir, FindFileInfoW& first) override {
        PosixFinder* finder = Open(Narrow(dir));
        return finder ? Start(finder, first) : nullptr;
    }
    IFileFinder* OpenFileFinder(const std::string& dir, FindFileInfoA& first) override {
        PosixFinder* finder = Open(dir);
        return finder ? Start(finder, first) : nullptr;
    }

private:
    static PosixFinder* Open(std::string path) {
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        DIR* dir = ::opendir(path.c_str());
        if (dir == nullptr) {
            Fail(t_lastError);
            return nullptr;
        }
        if (path == "/") path.clear();  // entries are named path + "/" + name
        PosixFinder* finder = new (std::nothrow) PosixFinder(dir, std::move(path));
        if (finder == nullptr) {
            ::closedir(dir);
            t_lastError = ENOMEM;
        }
        return finder;
    }

    template <class Info>
    static IFileFinder* Start(PosixFinder* finder, Info& first) {
        if (finder->FindNext(first)) return finder;
        t_lastError = finder->GetLastError();
        delete finder;
        return nullptr;
    }
};

} // namespace

unsigned CreationMode(FileAttr_t attributes) {
    unsigned mode;
    if (attributes & attrSystem) {
        mode = (attributes & attrReadOnly) ? 0555 : 0111;
    } else if (attributes & attrReadOnly) {
        mode = 0444;
    } else {
        mode = (attributes & attrTemporary) ? 0666 : 0644;
    }
    if (attributes & attrHidden) mode &= 0700;
    return mode;
}

void Destroy(IFile* file) { delete file; }
void Destroy(IFileFinder* finder) { delete finder; }

IFS* FsPointer::Get() {
    // Never destroyed: code that runs during the process's exit (the log) may still need it.
    static IFS* const instance = new PosixFS;
    return instance;
}

} // namespace fs
