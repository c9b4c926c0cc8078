#include "support/Files.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>

namespace kytest {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& tag) {
    static std::atomic<unsigned> made{0};
    mPath = fs::temp_directory_path() /
            ("kyfw-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(made++));
    fs::remove_all(mPath);
    fs::create_directories(mPath);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::permissions(mPath, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(mPath, ignored);
}

void WriteFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace kytest
