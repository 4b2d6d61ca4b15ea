// The process-wide file-system object: file, directory and directory-listing operations over
// the POSIX calls. Wide paths are converted to UTF-8 before every system call.
//
// Threads: the object behind FsPointer is shared by all threads; its last error is kept per
// thread, so a caller reads the code of its own last failure. A file or finder object belongs to
// one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace fs {

// Open flags.
enum : unsigned {
    openRead = 1,
    openWrite = 2,
    openReadWrite = 3,
    openTrunc = 4,
    openNoCreate = 8,
    openNoErase = 16,  // create only: an existing file makes the open fail
    openSharedWrite = 256,
    openNoSharedRead = 512,
};

// Attribute bits. Only OpenFile interprets them (the permissions of a file it creates); the
// values GetFileAttribs and the listing report are permission bits masked with 0775, plus
// attrDirectory for listed directories.
using FileAttr_t = uint32_t;
enum : FileAttr_t {
    attrReadOnly = 1,
    attrSystem = 2,
    attrHidden = 4,
    attrArchive = 8,
    attrTemporary = 16,
    attrCompressed = 32,
    attrEncrypted = 64,
    attrSparseFile = 128,
    attrReparsePoint = 256,
    attrOffline = 512,
    attrNotContIndexed = 1024,
    attrDirectory = 2048,
    attrDevice = 4096,
};

// File-pointer methods of SetPointer.
enum : int { pointerBegin = 0, pointerCurrent = 1, pointerEnd = 2 };

struct TimeVal {
    int64_t Seconds = 0;
    int64_t Nanoseconds = 0;
};

struct FileDescription {
    uint64_t FileSize = 0;
    TimeVal CreationTime;  // the status-change time: the system keeps no creation time
    TimeVal LastAccessTime;
    TimeVal LastWriteTime;
    uint32_t Attributes = 0;
};

constexpr size_t MaxFindName = 511;

struct FindFileInfoW : FileDescription {
    wchar_t FileName[MaxFindName + 1] = {};
};
struct FindFileInfoA : FileDescription {
    char FileName[MaxFindName + 1] = {};
};

// An open file. Every operation records the system error code of its last failure.
class IFile {
public:
    virtual ~IFile() = default;
    virtual int64_t GetLastError() = 0;
    virtual bool Close() = 0;
    // One read (repeated after an interruption); read is the number of bytes read.
    virtual bool Read(void* buffer, size_t size, size_t& read) = 0;
    virtual bool ReadAt(void* buffer, size_t size, uint64_t offset, size_t& read) = 0;
    // Repeats until everything is written or a non-interruption error occurs.
    virtual bool Write(const void* buffer, size_t size, size_t& written) = 0;
    virtual bool WriteAt(const void* buffer, size_t size, uint64_t offset, size_t& written) = 0;
    // Commits the data to storage.
    virtual bool Flush() = 0;
    virtual bool SetPointer(int64_t distance, int method) = 0;
    virtual bool SetPointer(int64_t distance, int method, uint64_t& position) = 0;
    virtual bool GetPointer(uint64_t& position) = 0;
    // Regular files and directories only; all ones on failure.
    virtual uint64_t GetSize() = 0;
    // Not supported here: false.
    virtual bool SetEnd() = 0;
    virtual bool Lock(bool exclusive) = 0;
    virtual bool TryLock(bool exclusive) = 0;
    virtual bool Unlock() = 0;
    virtual bool GetLastWriteTime(TimeVal& time) = 0;
    virtual bool GetLastWriteTime64(int64_t& nanosecondsSinceEpoch) = 0;
    virtual bool GetFileTimes(TimeVal& creation, TimeVal& access, TimeVal& write) = 0;
    virtual bool GetFileTimes64(int64_t& creation, int64_t& access, int64_t& write) = 0;
};

// An open directory listing; "." and ".." are listed like any entry.
class IFileFinder {
public:
    virtual ~IFileFinder() = default;
    virtual int64_t GetLastError() = 0;
    virtual bool Close() = 0;
    // False at the end of the directory (last error 0) or on an error (its code).
    virtual bool FindNext(FindFileInfoW& info) = 0;
    virtual bool FindNext(FindFileInfoA& info) = 0;
};

class IFS {
public:
    virtual ~IFS() = default;
    virtual bool DelFile(const std::wstring& path) = 0;
    virtual bool DelFile(const std::string& path) = 0;
    // Not available on this platform: throws std::logic_error.
    virtual bool CpyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) = 0;
    virtual bool CpyFile(const std::string& from, const std::string& to, bool failIfExists) = 0;
    // A rename; flags are not used.
    virtual bool MovFile(const std::wstring& from, const std::wstring& to, unsigned flags = 0) = 0;
    virtual bool MovFile(const std::string& from, const std::string& to, unsigned flags = 0) = 0;
    // One directory level, permissions 0775.
    virtual bool CreateDir(const std::wstring& path) = 0;
    virtual bool CreateDir(const std::string& path) = 0;
    // An empty directory.
    virtual bool RemoveDir(const std::wstring& path) = 0;
    virtual bool RemoveDir(const std::string& path) = 0;
    // attributes go to chmod unchanged, as permission bits.
    virtual bool SetFileAttribs(const std::wstring& path, FileAttr_t attributes) = 0;
    virtual bool SetFileAttribs(const std::string& path, FileAttr_t attributes) = 0;
    virtual bool GetFileAttribs(const std::wstring& path, FileAttr_t& attributes) = 0;
    virtual bool GetFileAttribs(const std::string& path, FileAttr_t& attributes) = 0;
    // The system error code of the calling thread's last failed call.
    virtual int64_t GetLastError() = 0;
    // Null on failure; release the file with Destroy.
    virtual IFile* OpenFile(const std::wstring& path, unsigned flags, FileAttr_t attributes = 0) = 0;
    virtual IFile* OpenFile(const std::string& path, unsigned flags, FileAttr_t attributes = 0) = 0;
    // Opens dir and reads its first entry into first; null on failure. Release with Destroy.
    virtual IFileFinder* OpenFileFinder(const std::wstring& dir, FindFileInfoW& first) = 0;
    virtual IFileFinder* OpenFileFinder(const std::string& dir, FindFileInfoA& first) = 0;
};

void Destroy(IFile* file);
void Destroy(IFileFinder* finder);

struct Destroyer {
    void operator()(IFile* file) const { Destroy(file); }
    void operator()(IFileFinder* finder) const { Destroy(finder); }
};
using FilePtr = std::unique_ptr<IFile, Destroyer>;
using FinderPtr = std::unique_ptr<IFileFinder, Destroyer>;

// The permission bits OpenFile asks for when it creates a file with these attributes (the
// process's file-creation mask applies on top).
unsigned CreationMode(FileAttr_t attributes);

// The one process-wide file-system object, created on first use and kept until the process ends.
class FsPointer {
public:
    IFS* operator->() const { return Get(); }
    IFS& operator*() const { return *Get(); }
    static IFS* Get();
};

} // namespace fs
