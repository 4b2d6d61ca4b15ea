// Records accepted just before a flush, or just before the process exits, reach the file.
#include <gtest/gtest.h>

#include <dirent.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "diag/IEnvironment.h"
#include "diag/debug_log.h"
#include "support/temp_dir.h"

namespace {

using test_support::TempDir;

// The text of every file in dir, one after the other.
std::string ReadAllFiles(const std::string& dir) {
    std::string all;
    DIR* d = opendir(dir.c_str());
    if (!d) return all;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        all += text.str();
    }
    closedir(d);
    return all;
}

TEST(DebugLogFlush, FlushReturnsOnceAcceptedRecordsAreWritten) {
    TempDir dir;
    IDebugLog::CreateParameters p;
    p._LogFolderPath = std::wstring(dir.dir().begin(), dir.dir().end());
    p._LogName = L"flush";
    p._EntriesPerMinute = 0;
    IDebugLogPtr log = IDebugLog::Create(&p);
    for (int i = 0; i < 1000; ++i) log->LogRecord(L"flushed record " + std::to_wstring(i));
    ASSERT_TRUE(log->Flush(std::chrono::seconds(10)));
    const std::string text = ReadAllFiles(dir.dir());
    EXPECT_NE(text.find("flushed record 0\r\n"), std::string::npos);
    EXPECT_NE(text.find("flushed record 999\r\n"), std::string::npos);
}

// Run as a fresh process by the test below (a fork of this process could inherit an
// environment whose writing thread did not come along).
TEST(DebugLogFlush, ChildLogsAndExits) {
    if (!std::getenv("SDK_LOG_EXIT_CHILD")) GTEST_SKIP() << "runs as a child of ProcessLogIsWrittenWhenTheProcessExits";
    Environment()->DebugLog()->LogRecord(L"last words before exit");
    std::exit(0);
}

// The process log lives until the process ends and is never destroyed; what it accepted last
// must still reach its file when the process exits normally.
TEST(DebugLogFlush, ProcessLogIsWrittenWhenTheProcessExits) {
    // The process log reads its settings beside the program: a copy of this program in a scratch
    // folder, with settings that put the log folder there as well.
    TempDir dir;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string program = dir.path(self.filename().string());
    std::filesystem::copy_file(self, program);
    dir.write(self.filename().string() + ".log_settings.json", "{\"LogFolderPath\":\".\"}");
    char env[] = "SDK_LOG_EXIT_CHILD=1";
    char filter[] = "--gtest_filter=DebugLogFlush.ChildLogsAndExits";
    char* argv[] = {const_cast<char*>(program.c_str()), filter, nullptr};
    char* envp[] = {env, nullptr};
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, envp), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string folder = dir.path(self.filename().string() + ".logs");
    EXPECT_NE(ReadAllFiles(folder).find("last words before exit\r\n"), std::string::npos);
}

} // namespace
