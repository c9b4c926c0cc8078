#include "support/Files.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

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

namespace kytest {

SilentBus::SilentBus(const std::filesystem::path& socket) : mPath(socket) {
    mListen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    if (bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(mListen, 16) != 0 || pipe(mStop) != 0)
        throw std::runtime_error("cannot make the silent bus at " + socket.string());
    mAcceptor = std::thread([this] {
        std::vector<int> peers;  // kept open, never read, never written
        pollfd fds[2] = {{mListen, POLLIN, 0}, {mStop[0], POLLIN, 0}};
        while (poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN))
            if (fds[0].revents & POLLIN)
                peers.push_back(accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC));
        for (int fd : peers) close(fd);
    });
}

SilentBus::~SilentBus() {
    [[maybe_unused]] ssize_t n = write(mStop[1], "x", 1);
    mAcceptor.join();
    for (int fd : {mListen, mStop[0], mStop[1]}) close(fd);
    std::filesystem::remove(mPath);
}

}  // namespace kytest
