// The file-system object, whole-file reading and writing and directory listing, on real files in
// a scratch folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "fs/binary_files.h"
#include "fs/dirlist.h"
#include "fs/fsapi.h"
#include "fs/getrunningmodule.h"
#include "fs/textfiles.h"
#include "support/temp_dir.h"
#include "util/utfconv.h"

namespace {

using test_support::TempDir;

std::wstring W(const std::string& s) { return text::UTF8_UTF16(s); }

std::string Content(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(fs::ReadWholeFile(W(path), bytes).IsOk()) << path;
    return bytes;
}

unsigned ModeOf(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// The permissions the system gives created files, without the process's creation mask.
class NoUmask {
public:
    NoUmask() : _old(::umask(0)) {}
    ~NoUmask() { ::umask(_old); }

private:
    mode_t _old;
};

TEST(FsWholeFile, ReadReportsEachFailureWithTheFileAndTheSystemCode) {
    TempDir dir;
    const std::string missing = dir.path("missing.bin");
    std::string bytes = "old";
    ErrInfo err = fs::ReadWholeFile(W(missing), bytes);
    err.Silent();
    EXPECT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetErrorType(), EIT_API);
    EXPECT_EQ(err.GetErrorCode(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(err.GetErrorStr(), L"open error: file \"" + W(missing) + L"\"");
    EXPECT_TRUE(bytes.empty());

    // A directory opens for reading but does not read.
    err = fs::ReadWholeFile(W(dir.dir()), bytes);
    err.Silent();
    EXPECT_EQ(err.GetErrorCode(), static_cast<uint32_t>(EISDIR));
    EXPECT_EQ(err.GetErrorStr(), L"read error: file \"" + W(dir.dir()) + L"\"");

    std::vector<char> none{'x'};
    EXPECT_TRUE(fs::ReadWholeFile(W(dir.write("empty", "")), none).IsOk());
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(Content(dir.write("data", std::string("a\0b", 3))), std::string("a\0b", 3));
}

TEST(FsWholeFile, WriteAppendsOrReplaces) {
    TempDir dir;
    const std::string path = dir.write("f", "old");
    ASSERT_TRUE(fs::WriteToFile(W(path), "+new", 4, false, false).IsOk());
    EXPECT_EQ(Content(path), "old+new");
    ASSERT_TRUE(fs::WriteToFile(W(path), "xy", 2, true, true).IsOk());
    EXPECT_EQ(Content(path), "xy");
    ASSERT_TRUE(fs::WriteToFile(W(dir.path("created")), "c", 1, false, false).IsOk());
    EXPECT_EQ(Content(dir.path("created")), "c");

    ErrInfo err = fs::WriteWholeFile(W(dir.path("no/such/dir")), "x", 1);
    err.Silent();
    EXPECT_EQ(err.GetErrorCode(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(err.GetErrorStr(), L"open error: file \"" + W(dir.path("no/such/dir")) + L"\"");
}

TEST(FsWholeFile, TextIsUtf8OnDisk) {
    TempDir dir;
    const std::wstring path = W(dir.path("t.txt"));
    ASSERT_TRUE(fs::WriteStringToFile(path, std::wstring(L"gr\u00fc\u00df \U0001F600")).IsOk());
    EXPECT_EQ(Content(dir.path("t.txt")), "gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80");
    std::wstring wide;
    ASSERT_TRUE(fs::ReadStringFromFile(path, wide).IsOk());
    EXPECT_EQ(wide, L"gr\u00fc\u00df \U0001F600");

    ASSERT_TRUE(fs::WriteStringToFile(path, "narrow").IsOk());
    std::string narrow;
    ASSERT_TRUE(fs::ReadStringFromFile(path, narrow).IsOk());
    EXPECT_EQ(narrow, "narrow");

    // Bytes that are not UTF-8 read as no text, not as a failure.
    dir.write("bad.txt", "\xFF\xFE" "abc");
    wide = L"old";
    EXPECT_TRUE(fs::ReadStringFromFile(W(dir.path("bad.txt")), wide).IsOk());
    EXPECT_TRUE(wide.empty());
}

TEST(FsOpenFile, FlagsDecideCreationAndTruncation) {
    struct Case {
        const char* what;
        unsigned flags;
        bool exists;
        bool opens;
        int error;            // when it does not open
        const char* content;  // afterwards; null: no file
    };
    const Case cases[] = {
        {"read, missing", fs::openRead, false, false, ENOENT, nullptr},
        {"read with trunc never truncates", fs::openRead | fs::openTrunc, true, true, 0, "old"},
        {"no access bits", 0, true, false, EINVAL, "old"},
        {"write keeps", fs::openWrite, true, true, 0, "old"},
        {"write creates", fs::openWrite, false, true, 0, ""},
        {"write trunc", fs::openWrite | fs::openTrunc, true, true, 0, ""},
        {"no-create, missing", fs::openWrite | fs::openNoCreate, false, false, ENOENT, nullptr},
        {"no-create keeps", fs::openWrite | fs::openNoCreate, true, true, 0, "old"},
        {"no-create trunc", fs::openReadWrite | fs::openNoCreate | fs::openTrunc, true, true, 0, ""},
        {"no-erase, existing", fs::openWrite | fs::openNoErase, true, false, EEXIST, "old"},
        {"no-erase creates", fs::openWrite | fs::openNoErase, false, true, 0, ""},
    };
    fs::FsPointer fsys;
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = c.exists ? dir.write("f", "old") : dir.path("f");
        fs::FilePtr file(fsys->OpenFile(path, c.flags));
        EXPECT_EQ(file != nullptr, c.opens) << c.what;
        if (!c.opens) {
            EXPECT_EQ(fsys->GetLastError(), c.error) << c.what;
        }
        file.reset();
        if (c.content) {
            EXPECT_EQ(Content(path), c.content) << c.what;
        } else {
            EXPECT_FALSE(std::filesystem::exists(path)) << c.what;
        }
    }
}

TEST(FsOpenFile, AttributesGiveTheCreatedFilesPermissions) {
    NoUmask noUmask;
    TempDir dir;
    fs::FsPointer fsys;
    const std::pair<fs::FileAttr_t, unsigned> cases[] = {
        {0, 0644}, {fs::attrReadOnly, 0444}, {fs::attrTemporary, 0666}, {fs::attrSystem | fs::attrHidden, 0100}};
    int i = 0;
    for (const auto& [attributes, mode] : cases) {
        std::string name = "f";
        name += std::to_string(i++);
        const std::string path = dir.path(name);
        fs::FilePtr file(fsys->OpenFile(path, fs::openWrite, attributes));
        ASSERT_TRUE(file) << attributes;
        EXPECT_EQ(ModeOf(path), mode) << attributes;
    }
    // An existing file keeps its permissions.
    fs::FilePtr again(fsys->OpenFile(dir.path("f1"), fs::openWrite, fs::attrTemporary));
    EXPECT_EQ(ModeOf(dir.path("f1")), 0444u);
}

TEST(FsOpenFile, FileOperations) {
    TempDir dir;
    fs::FsPointer fsys;
    fs::FilePtr file(fsys->OpenFile(dir.path("f"), fs::openReadWrite));
    ASSERT_TRUE(file);
    size_t n = 0;
    ASSERT_TRUE(file->Write("hello world", 11, n));
    EXPECT_EQ(n, 11u);
    EXPECT_EQ(file->GetSize(), 11u);
    uint64_t position = 0;
    ASSERT_TRUE(file->SetPointer(-5, fs::pointerEnd, position));
    EXPECT_EQ(position, 6u);
    char buf[16] = {};
    ASSERT_TRUE(file->Read(buf, sizeof buf, n));
    EXPECT_EQ(std::string(buf, n), "world");
    ASSERT_TRUE(file->ReadAt(buf, 5, 0, n));
    EXPECT_EQ(std::string(buf, n), "hello");
    ASSERT_TRUE(file->WriteAt("J", 1, 0, n));
    EXPECT_TRUE(file->Flush());
    EXPECT_FALSE(file->SetPointer(0, 3));
    EXPECT_EQ(file->GetLastError(), EINVAL);
    EXPECT_FALSE(file->Lock(true));
    EXPECT_FALSE(file->SetEnd());
    fs::TimeVal written;
    EXPECT_TRUE(file->GetLastWriteTime(written));
    EXPECT_GT(written.Seconds, 0);
    EXPECT_TRUE(file->Close());
    EXPECT_EQ(Content(dir.path("f")), "Jello world");

    // Only regular files and directories have a size.
    fs::FilePtr device(fsys->OpenFile(std::string("/dev/null"), fs::openRead));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetSize(), ~uint64_t{0});
    EXPECT_EQ(device->GetLastError(), EINVAL);
}

TEST(FsObject, DirectoryAndFileCalls) {
    TempDir dir;
    fs::FsPointer fsys;
    const std::wstring sub = W(dir.path("sub"));
    EXPECT_TRUE(fsys->CreateDir(sub));
    EXPECT_FALSE(fsys->CreateDir(sub));
    EXPECT_EQ(fsys->GetLastError(), EEXIST);
    fs::FileAttr_t attributes = 0;
    ASSERT_TRUE(fsys->GetFileAttribs(sub, attributes));
    EXPECT_EQ(attributes & 0700, 0700u);

    const std::string file = dir.write("sub/f", "x");
    EXPECT_FALSE(fsys->RemoveDir(sub));
    EXPECT_EQ(fsys->GetLastError(), ENOTEMPTY);
    ASSERT_TRUE(fsys->SetFileAttribs(file, 0640));
    ASSERT_TRUE(fsys->GetFileAttribs(file, attributes));
    EXPECT_EQ(attributes, 0640u);
    EXPECT_TRUE(fsys->MovFile(file, dir.path("g")));
    EXPECT_TRUE(fsys->DelFile(dir.path("g")));
    EXPECT_FALSE(fsys->DelFile(dir.path("g")));
    EXPECT_EQ(fsys->GetLastError(), ENOENT);
    EXPECT_TRUE(fsys->RemoveDir(sub));
    EXPECT_THROW(fsys->CpyFile(dir.path("a"), dir.path("b"), false), std::exception);
}

class FsList : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("a.txt", "12345");
        dir.write("B.log", "1");
        std::filesystem::create_directory(dir.path("sub"));
    }
    std::map<std::wstring, fs::FileDescription> List(const std::string& path, const fs::Dir::INameFilter& filter,
                                                     unsigned options, bool ok = true) {
        std::map<std::wstring, fs::FileDescription> found;
        fs::Dir::MapContainerWrapper container(found);
        ErrInfo err = fs::Dir::List(W(path), filter, container, options);
        err.Silent();
        EXPECT_EQ(err.IsOk(), ok) << path;
        code = err.GetErrorCode();
        return found;
    }
    std::wstring P(const std::string& name) const { return W(dir.path(name)); }

    TempDir dir;
    fs::Dir::AddAllNamesFilter all;
    uint32_t code = 0;
};

TEST_F(FsList, OptionsSelectFilesDirectoriesAndDots) {
    const auto files = List(dir.dir(), all, fs::Dir::listFiles);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files.at(P("a.txt")).FileSize, 5u);
    EXPECT_EQ(files.at(P("a.txt")).Attributes & fs::attrDirectory, 0u);
    EXPECT_EQ(files.at(P("B.log")).FileSize, 1u);

    const auto dirs = List(dir.dir() + "/./", all, fs::Dir::listDirs);
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_NE(dirs.at(P("sub")).Attributes & fs::attrDirectory, 0u);

    const auto dots = List(dir.dir(), all, fs::Dir::listDots);
    EXPECT_EQ(dots.size(), 2u);
    EXPECT_TRUE(dots.count(P(".")) && dots.count(P("..")));
    EXPECT_EQ(List(dir.dir(), all, fs::Dir::listFiles | fs::Dir::listDirs | fs::Dir::listDots).size(), 5u);
}

TEST_F(FsList, RegexFilterMatchesWholeNamesIgnoringCase) {
    const auto found = List(dir.dir(), fs::Dir::AddByRegexFilter(L"b\\.LOG"), fs::Dir::listFiles);
    EXPECT_EQ(found.size(), 1u);
    EXPECT_TRUE(found.count(P("B.log")));
    EXPECT_TRUE(List(dir.dir(), fs::Dir::AddByRegexFilter(L"b"), fs::Dir::listFiles).empty());
    const fs::Dir::AddByRegexFilter invalid(L"(");
    EXPECT_FALSE(invalid.IsValid());
    EXPECT_TRUE(List(dir.dir(), invalid, fs::Dir::listFiles).empty());

    std::set<std::wstring> paths;
    fs::Dir::SetContainerWrapper set(paths);
    EXPECT_TRUE(fs::Dir::List(W(dir.dir()), all, set).IsOk());
    EXPECT_EQ(paths, (std::set<std::wstring>{P("B.log"), P("a.txt")}));
}

TEST_F(FsList, APathThroughAFileIsEmptyAMissingFolderIsAnError) {
    EXPECT_TRUE(List(dir.path("a.txt/x"), all, fs::Dir::listFiles).empty());
    EXPECT_TRUE(List(dir.path("missing"), all, fs::Dir::listFiles, false).empty());
    EXPECT_EQ(code, static_cast<uint32_t>(ENOENT));
}

TEST(FsRunningModule, NameAndPathOfThisProgram) {
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(fs::GetRunningModuleNameExtW(), exe.filename().wstring());
    EXPECT_EQ(fs::GetRunningModuleNameW(), exe.wstring());
    std::filesystem::path withoutExt = exe;
    withoutExt.replace_extension();
    EXPECT_EQ(fs::GetRunningModulePathNameW(), withoutExt.wstring());
    EXPECT_EQ(fs::GetRunningModuleName(false, false), exe.stem().string());
}

} // namespace
