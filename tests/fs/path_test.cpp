// Path texts, the program-name rule and the permissions a created file asks for: pure functions,
// checked by tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/filenamehelpers.h"
#include "fs/fsapi.h"
#include "fs/getrunningmodule.h"

namespace {

using namespace std::string_literals;

TEST(FsPath, TrailingSlashHelpers) {
    struct Case {
        std::string in, withSlash, withoutSlash;
    };
    const Case cases[] = {
        {"", "/", ""},
        {"/var/log/", "/var/log/", "/var/log"},
        {"/var/log", "/var/log/", "/var/log"},
        {"/", "/", ""},
        {"a/\0"s, "a/", "a"},  // a C-string terminator carried in the string goes first
    };
    for (const Case& c : cases) {
        std::string with = c.in, without = c.in;
        EXPECT_EQ(fs::EnsureTrailingSlash(with), c.withSlash) << c.in;
        EXPECT_EQ(fs::EnsureNoTrailingSlash(without), c.withoutSlash) << c.in;
    }
    std::wstring wide = L"x";
    EXPECT_EQ(fs::EnsureTrailingSlash(wide), L"x/");
}

TEST(FsPath, ParentLastNameAndSplit) {
    struct Case {
        std::string path, parent, last;
    };
    const Case cases[] = {
        {"/var/log/x.log", "/var/log", "x.log"},
        {"x.log", "", "x.log"},
        {"/var/log/", "/var/log", "log"},
        {"/x", "", "x"},
        {"/", "", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fs::GetFileParentPath(c.path), c.parent) << c.path;
        EXPECT_EQ(fs::GetLastName(c.path), c.last) << c.path;
    }
    EXPECT_EQ(fs::GetLastName(std::wstring(L"/a/b\u00e9")), L"b\u00e9");
    EXPECT_EQ(fs::SplitPath("/a//b/c/"s), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(fs::SplitPath(L"a;b"s, L';'), (std::vector<std::wstring>{L"a", L"b"}));
}

TEST(FsPath, NormalisationSimplifiesTheBodyAndKeepsItsPrefix) {
    const std::pair<std::string, std::string> cases[] = {
        {"a/./b", "a/b"},
        {"a/../b", "b"},
        {"/a/../b", "/b"},
        {"/..", "/.."},
        {"x\\y", "x/y"},
        {"./a", "a"},
        {"/./a", "/a"},
        {"a/..", ""},
        {"/a/..", "/"},
        {"../../a", "../../a"},
        {"a/b/../../..", ".."},
        {"a//b", "a//b"},  // empty elements stay
        {"a/.", "a"},
        {"//srv/share/../x", "//srv/share/../x"},
        {"\\\\srv\\share\\a\\..\\b", "//srv/share/b"},
        {"c:/a/../b", "c:/b"},
        {"c:a/./b", "c:a/b"},
        {"/var/log/", "/var/log/"},
    };
    for (const auto& [in, out] : cases) {
        std::string s = in;
        EXPECT_EQ(fs::EnsureNormalizedFilePath(s), out) << in;
    }
    std::wstring wide = L"/opt/\u00e4pp/./bin/../x";
    EXPECT_EQ(fs::EnsureNormalizedFilePath(wide), L"/opt/\u00e4pp/x");
}

TEST(FsPath, ProgramNameFromItsPath) {
    struct Case {
        std::string path;
        bool keepPath, keepExt;
        std::string name;
    };
    const Case cases[] = {
        {"/opt/app/player.bin", false, true, "player.bin"},
        {"/opt/app/player.bin", true, false, "/opt/app/player"},
        {"/opt/app/player.bin", false, false, "player"},
        {"/opt/app/./x/../player.bin", true, true, "/opt/app/player.bin"},
        {"/opt/app.d/player", true, false, "/opt/app.d/player"},  // a dot before the last slash is no extension
        {"/opt/app/player.tar.gz", false, false, "player.tar"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fs::ModuleNameFromPath(c.path, c.keepPath, c.keepExt), c.name) << c.path << c.keepPath << c.keepExt;
    }
}

TEST(FsPath, PermissionsOfACreatedFile) {
    const std::pair<fs::FileAttr_t, unsigned> cases[] = {
        {0, 0644},
        {fs::attrReadOnly, 0444},
        {fs::attrTemporary, 0666},
        {fs::attrSystem, 0111},
        {fs::attrSystem | fs::attrReadOnly, 0555},
        {fs::attrSystem | fs::attrHidden, 0100},
        {fs::attrHidden, 0600},
        {fs::attrReadOnly | fs::attrTemporary, 0444},
    };
    for (const auto& [attributes, mode] : cases) EXPECT_EQ(fs::CreationMode(attributes), mode) << attributes;
}

} // namespace
