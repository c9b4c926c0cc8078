#pragma once

#include <filesystem>
#include <string>
#include <thread>

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

namespace kytest {

// A system bus that takes every connection and never says a word: what a
// hung D-Bus daemon looks like to its clients. Its address goes in
// DBUS_SYSTEM_BUS_ADDRESS.
class SilentBus {
public:
    explicit SilentBus(const std::filesystem::path& socket);
    ~SilentBus();
    SilentBus(const SilentBus&) = delete;
    SilentBus& operator=(const SilentBus&) = delete;
    std::string Address() const { return "unix:path=" + mPath.string(); }

private:
    std::filesystem::path mPath;
    int mListen = -1;
    int mStop[2] = {-1, -1};
    std::thread mAcceptor;
};

}  // namespace kytest
