// Directory listing: the entries of one directory that pass an option mask and a name filter,
// gathered into a container keyed by full path (directory, "/", name).
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "diag/ErrInfo.h"
#include "fs/fsapi.h"

namespace fs {
namespace Dir {

// Which entries List considers.
enum ListOptions : unsigned {
    listFiles = 1,  // everything that is not a directory
    listDirs = 2,   // directories other than "." and ".."
    listDots = 4,   // the "." and ".." entries
};

class INameFilter {
public:
    virtual ~INameFilter() = default;
    virtual bool Accept(const std::wstring& name) const = 0;
};

class AddAllNamesFilter final : public INameFilter {
public:
    bool Accept(const std::wstring&) const override { return true; }
};

// Names that match the whole ECMAScript pattern, ignoring letter case. An invalid pattern
// accepts nothing.
class AddByRegexFilter final : public INameFilter {
public:
    explicit AddByRegexFilter(const std::wstring& pattern);
    ~AddByRegexFilter() override;
    bool IsValid() const { return _regex != nullptr; }
    bool Accept(const std::wstring& name) const override;

private:
    struct Regex;
    std::unique_ptr<Regex> _regex;  // null for an invalid pattern
};

class IContainerWrapper {
public:
    virtual ~IContainerWrapper() = default;
    virtual void Add(const std::wstring& fullPath, const FileDescription& entry) = 0;
};

// Full path → description, ordered by plain comparison of the paths.
class MapContainerWrapper final : public IContainerWrapper {
public:
    explicit MapContainerWrapper(std::map<std::wstring, FileDescription>& map) : _map(map) {}
    void Add(const std::wstring& fullPath, const FileDescription& entry) override { _map[fullPath] = entry; }

private:
    std::map<std::wstring, FileDescription>& _map;
};

// Full paths with their descriptions, in listing order.
class VectorContainerWrapper final : public IContainerWrapper {
public:
    explicit VectorContainerWrapper(std::vector<std::pair<std::wstring, FileDescription>>& items) : _items(items) {}
    void Add(const std::wstring& fullPath, const FileDescription& entry) override { _items.emplace_back(fullPath, entry); }

private:
    std::vector<std::pair<std::wstring, FileDescription>>& _items;
};

// Full paths only, ordered.
class SetContainerWrapper final : public IContainerWrapper {
public:
    explicit SetContainerWrapper(std::set<std::wstring>& paths) : _paths(paths) {}
    void Add(const std::wstring& fullPath, const FileDescription&) override { _paths.insert(fullPath); }

private:
    std::set<std::wstring>& _paths;
};

// Walks dir (normalised, trailing slash removed) to its end or its first error. A path with a
// non-directory element in it lists as empty and successful; any other failure to open it, a
// missing directory included, is the result's error.
ErrInfo List(const std::wstring& dir, const INameFilter& filter, IContainerWrapper& container,
             unsigned options = listFiles);

} // namespace Dir
} // namespace fs
