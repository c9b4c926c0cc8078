#pragma once

#include <filesystem>
#include <string>

namespace kytest {

// A fresh directory of the test's own, removed with all it holds when the
// object goes.
class TempDir {
public:
    explicit TempDir(const std::string& tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return mPath; }
    std::filesystem::path operator/(const std::filesystem::path& p) const { return mPath / p; }
    std::string String() const { return mPath.string(); }

private:
    std::filesystem::path mPath;
};

// `text` in `file`, its directories made first.
void WriteFile(const std::filesystem::path& file, const std::string& text);
// The whole of `file` ("" when it cannot be read).
std::string ReadFile(const std::filesystem::path& file);

}  // namespace kytest
