// Path texts: trailing slashes, parent and last element, splitting and normalisation. Pure text
// work, no system calls; each for wide and narrow strings.
#pragma once

#include <string>
#include <vector>

namespace fs {

// Drop one trailing zero character, then append "/" unless the text ends with one ("" gives "/").
std::wstring& EnsureTrailingSlash(std::wstring& s);
std::string& EnsureTrailingSlash(std::string& s);
// Drop one trailing zero character, then one trailing "/".
std::wstring& EnsureNoTrailingSlash(std::wstring& s);
std::string& EnsureNoTrailingSlash(std::string& s);

// The text before the last slash; empty when there is none.
std::wstring GetFileParentPath(const std::wstring& path);
std::string GetFileParentPath(const std::string& path);
// The last path element (a trailing slash is ignored); empty when there is none.
std::wstring GetLastName(const std::wstring& path);
std::string GetLastName(const std::string& path);
// The non-empty elements between delimiters.
std::vector<std::wstring> SplitPath(const std::wstring& path, wchar_t delimiter = L'/');
std::vector<std::string> SplitPath(const std::string& path, char delimiter = '/');

// Backslashes become slashes; "." elements go; ".." removes itself and the element before it
// (one that has none before it stays). The server and share of a network path ("//srv/share")
// and a drive prefix ("c:") are left as they are; an absolute path never becomes empty, a
// relative one never starts with a slash. a/./b gives a/b, /a/../b gives /b, /.. stays /..
std::wstring& EnsureNormalizedFilePath(std::wstring& s);
std::string& EnsureNormalizedFilePath(std::string& s);

} // namespace fs
