// A unique scratch directory for one test, removed with everything in it when the object goes.
#pragma once

#include <string>
#include <string_view>

namespace test_support {

class TempDir {
public:
    // Creates the directory under $TMPDIR, or /tmp when that is unset; throws std::runtime_error
    // when it cannot be created, so a test never writes into a shared place by mistake.
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& dir() const { return _dir; }
    // The path of name inside the directory; the file need not exist.
    std::string path(std::string_view name) const;
    // Writes bytes as the whole content of name and returns its path.
    std::string write(std::string_view name, std::string_view bytes) const;

private:
    std::string _dir;
};

} // namespace test_support
