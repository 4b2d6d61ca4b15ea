// Whole files as bytes: read all of a file, write or append a buffer. Failures come back as
// error records (kind EIT_API, the system's code, a text naming the step and the file).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "diag/ErrInfo.h"

namespace fs {

// An empty file gives no bytes and success.
ErrInfo ReadWholeFile(const std::wstring& path, std::vector<char>& bytes);
ErrInfo ReadWholeFile(const std::wstring& path, std::string& bytes);

// Creates a missing file. overwrite false appends to what is there; flush puts the data on disk
// before returning.
ErrInfo WriteToFile(const std::wstring& path, const void* data, size_t size, bool overwrite, bool flush);
// The file afterwards holds exactly data, on disk.
ErrInfo WriteWholeFile(const std::wstring& path, const void* data, size_t size);

} // namespace fs
