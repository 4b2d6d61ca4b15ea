#include "fs/filenamehelpers.h"

#include <algorithm>

namespace fs {

namespace {

template <class S>
void DropTrailingZero(S& s) {
    if (!s.empty() && s.back() == 0) s.pop_back();
}

template <class S>
S& TrailingSlash(S& s) {
    DropTrailingZero(s);
    if (s.empty() || s.back() != '/') s.push_back('/');
    return s;
}

template <class S>
S& NoTrailingSlash(S& s) {
    DropTrailingZero(s);
    if (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

template <class S>
S ParentPath(const S& path) {
    const size_t slash = path.rfind('/');
    return slash == S::npos ? S() : path.substr(0, slash);
}

template <class S>
S LastName(const S& path) {
    size_t end = path.size();
    if (end && path[end - 1] == '/') --end;
    const size_t slash = end == 0 ? S::npos : path.rfind('/', end - 1);
    const size_t begin = slash == S::npos ? 0 : slash + 1;
    return path.substr(begin, end - begin);
}

template <class S>
std::vector<S> Split(const S& path, typename S::value_type delimiter) {
    std::vector<S> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find(delimiter, pos);
        if (next == S::npos) next = path.size();
        if (next > pos) parts.push_back(path.substr(pos, next - pos));
        pos = next + 1;
    }
    return parts;
}

template <class S>
S& Normalize(S& s) {
    std::replace(s.begin(), s.end(), typename S::value_type('\\'), typename S::value_type('/'));
    // Where the body begins: what comes before it is kept as it is.
    size_t body = 0;
    bool absolute = false;
    if (s.size() > 2 && s[0] == '/' && s[1] == '/') {
        const size_t server = s.find('/', 2);
        const size_t share = server == S::npos ? S::npos : s.find('/', server + 1);
        body = share == S::npos ? s.size() : share + 1;
        absolute = true;
    } else if (!s.empty() && s[0] == '/') {
        body = 1;
        absolute = true;
    } else if (s.size() > 1 && s[1] == ':') {
        body = (s.size() > 2 && s[2] == '/') ? 3 : 2;
        absolute = body == 3;
    }
    std::vector<S> kept;
    const S dot(1, '.');
    const S dotdot(2, '.');
    size_t pos = body;
    while (pos <= s.size() && body < s.size()) {
        size_t next = s.find('/', pos);
        if (next == S::npos) next = s.size();
        S element = s.substr(pos, next - pos);
        if (element == dotdot) {
            if (!kept.empty() && kept.back() != dotdot) {
                kept.pop_back();
            } else {
                kept.push_back(std::move(element));
            }
        } else if (element != dot) {
            kept.push_back(std::move(element));
        }
        pos = next + 1;
    }
    S out = s.substr(0, body);
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i) out.push_back('/');
        out += kept[i];
    }
    if (absolute && out.empty()) out.push_back('/');
    if (!absolute && body == 0 && !out.empty() && out[0] == '/') out.erase(0, 1);
    s.swap(out);
    return s;
}

} // namespace

std::wstring& EnsureTrailingSlash(std::wstring& s) { return TrailingSlash(s); }
std::string& EnsureTrailingSlash(std::string& s) { return TrailingSlash(s); }
std::wstring& EnsureNoTrailingSlash(std::wstring& s) { return NoTrailingSlash(s); }
std::string& EnsureNoTrailingSlash(std::string& s) { return NoTrailingSlash(s); }
std::wstring GetFileParentPath(const std::wstring& path) { return ParentPath(path); }
std::string GetFileParentPath(const std::string& path) { return ParentPath(path); }
std::wstring GetLastName(const std::wstring& path) { return LastName(path); }
std::string GetLastName(const std::string& path) { return LastName(path); }
std::vector<std::wstring> SplitPath(const std::wstring& path, wchar_t delimiter) { return Split(path, delimiter); }
std::vector<std::string> SplitPath(const std::string& path, char delimiter) { return Split(path, delimiter); }
std::wstring& EnsureNormalizedFilePath(std::wstring& s) { return Normalize(s); }
std::string& EnsureNormalizedFilePath(std::string& s) { return Normalize(s); }

} // namespace fs
