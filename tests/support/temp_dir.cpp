#include "support/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace test_support {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (base && *base) ? base : "/tmp";
    pattern += "/sdk-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    _dir = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;  // a destructor must not throw; a leftover directory is harmless
    std::filesystem::remove_all(_dir, ec);
}

std::string TempDir::path(std::string_view name) const {
    std::string p = _dir;
    p += '/';
    p += name;
    return p;
}

std::string TempDir::write(std::string_view name, std::string_view bytes) const {
    std::string p = path(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + p);
    return p;
}

} // namespace test_support
