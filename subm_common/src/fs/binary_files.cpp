#include "fs/binary_files.h"

#include "fs/fsapi.h"

namespace fs {

namespace {

std::wstring Step(const wchar_t* step, const std::wstring& path) {
    std::wstring text = step;
    text += L" error: file \"";
    text += path;
    text += L'"';
    return text;
}

template <class Bytes>
ErrInfo ReadWhole(const std::wstring& path, Bytes& bytes) {
    bytes.clear();
    FsPointer fs;
    FilePtr file(fs->OpenFile(path, openRead));
    if (!file) return MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(fs->GetLastError()), Step(L"open", path));
    const uint64_t size = file->GetSize();
    if (size == ~uint64_t{0}) {
        return MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(file->GetLastError()), Step(L"getsize", path));
    }
    if (size == 0) return ErrInfo();
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::exception&) {
        bytes.clear();
        return MAKE_ERR_INFO().ApiError(12, Step(L"read", path));  // out of memory
    }
    size_t read = 0;
    if (!file->Read(bytes.data(), bytes.size(), read) || read != bytes.size()) {
        bytes.clear();
        return MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(file->GetLastError()), Step(L"read", path));
    }
    return ErrInfo();
}

} // namespace

ErrInfo ReadWholeFile(const std::wstring& path, std::vector<char>& bytes) { return ReadWhole(path, bytes); }
ErrInfo ReadWholeFile(const std::wstring& path, std::string& bytes) { return ReadWhole(path, bytes); }

ErrInfo WriteToFile(const std::wstring& path, const void* data, size_t size, bool overwrite, bool flush) {
    FsPointer fs;
    FilePtr file(fs->OpenFile(path, openWrite | (overwrite ? openTrunc : 0u), 0));
    if (!file) return MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(fs->GetLastError()), Step(L"open", path));
    if (!overwrite && !file->SetPointer(0, pointerEnd)) {
        return MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(file->GetLastError()), Step(L"SetPointer", path));
    }
    size_t written = 0;
    if (!file->Write(data, size, written) || written != size) {
        return MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(file->GetLastError()), Step(L"write", path));
    }
    if (flush && !file->Flush()) {
        return MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(file->GetLastError()), Step(L"flush", path));
    }
    return ErrInfo();
}

ErrInfo WriteWholeFile(const std::wstring& path, const void* data, size_t size) {
    return WriteToFile(path, data, size, true, true);
}

} // namespace fs
