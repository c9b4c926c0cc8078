#include "Paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ky {

namespace fs = std::filesystem;

DurableWriteCalls gDurableWriteCalls;

namespace {

std::optional<fs::path> HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home == '/') return fs::path(home);
    std::vector<char> buf(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir == '/')
        return fs::path(found->pw_dir);
    return std::nullopt;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void SyncDirectory(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    gDurableWriteCalls.fsync(fd);
    ::close(fd);
}

bool MakeDirectories(const fs::path& dir, std::string& error) {
    fs::path sofar;
    for (const auto& part : dir) {
        sofar /= part;
        if (::mkdir(sofar.c_str(), 0700) == 0 || errno == EEXIST) continue;
        error = FileError("cannot create the directory", sofar, errno);
        return false;
    }
    return true;
}

}  // namespace

std::string FileError(const char* what, const fs::path& file, int error) {
    if (error == ELOOP)
        return std::string(what) + " " + file.string() +
               ": it is a symbolic link, which is not followed for safety; remove it";
    return std::string(what) + " " + file.string() + ": " + std::strerror(error);
}

std::optional<fs::path> StateDirectory(std::string& error) {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/')
        return fs::path(xdg) / "kyfirmwareupdate";
    if (auto home = HomeDirectory()) return *home / ".local" / "state" / "kyfirmwareupdate";
    error =
        "no directory for kyfw's state: set HOME or XDG_STATE_HOME to an absolute path (this user "
        "has no home directory)";
    return std::nullopt;
}

namespace {

// One directory of ours: a directory itself (never a symbolic link), this
// user's, that nobody else may write to; one that others may only read is
// made private.
bool CheckOurDirectory(const fs::path& dir, std::string& error) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        int cause = errno;
        if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) cause = ELOOP;
        error = cause == ENOTDIR ? "refusing to use " + dir.string() + ": it is not a directory"
                                 : FileError("cannot use the directory", dir, cause);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (st.st_uid != geteuid())
        error = "refusing to use " + dir.string() + ": it belongs to another user";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        error = "refusing to use " + dir.string() +
                ": others may write to it (make it private with chmod 700)";
    else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)
        error = FileError("cannot make private the directory", dir, errno);
    ::close(fd);
    return error.empty();
}

}  // namespace

bool EnsurePrivateDirectory(const fs::path& dir, std::string& error) {
    if (!MakeDirectories(dir, error)) return false;
    // Inside the state directory, every directory of ours from it down.
    std::string ignored;
    const auto base = StateDirectory(ignored);
    fs::path check = dir;
    if (base) {
        const auto [end, at] = std::mismatch(base->begin(), base->end(), dir.begin(), dir.end());
        if (end == base->end()) {
            check = *base;
            if (!CheckOurDirectory(check, error)) return false;
            for (auto part = at; part != dir.end(); ++part)
                if (!CheckOurDirectory(check /= *part, error)) return false;
            return true;
        }
    }
    return CheckOurDirectory(dir, error);
}

int OpenPrivateFile(const fs::path& file, int flags, std::string& error, mode_t mode) {
    // Without waiting: a FIFO in a file's place would block the open.
    const int fd = ::open(file.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0 && errno != ENXIO) {  // ENXIO: a FIFO that nobody reads
        error = FileError("cannot open", file, errno);
        return -1;
    }
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    if (fd >= 0) ::close(fd);
    error = "refusing to use " + file.string() + ": it is not a regular file";
    return -1;
}

bool WriteFileAtomically(const fs::path& file, std::string_view bytes, std::string& error) {
    std::string temp = file.string() + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = FileError("cannot write", file, errno);
        return false;
    }
    bool ok = WriteAll(fd, bytes) && gDurableWriteCalls.fsync(fd) == 0;
    int writeError = errno;
    if (gDurableWriteCalls.close(fd) != 0 && ok) ok = false, writeError = errno;
    if (ok && gDurableWriteCalls.rename(temp.c_str(), file.c_str()) == 0) {
        SyncDirectory(file.parent_path());
        return true;
    }
    error = FileError("cannot write", file, ok ? errno : writeError);
    ::unlink(temp.c_str());
    return false;
}

namespace {

// The rest of an open file, which it closes.
bool ReadOpened(int fd, const fs::path& file, std::string& bytes, std::string& error) {
    bytes.clear();
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) bytes.append(buf, static_cast<std::size_t>(n));
    if (n < 0) error = FileError("cannot read", file, errno);
    ::close(fd);
    return n >= 0;
}

}  // namespace

ReadResult ReadPrivateFile(const fs::path& file, std::string& bytes, std::string& error) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 && errno == ENOENT) return ReadResult::Missing;
    const int fd = OpenPrivateFile(file, O_RDONLY, error);
    if (fd < 0) return ReadResult::Failed;
    return ReadOpened(fd, file, bytes, error) ? ReadResult::Read : ReadResult::Failed;
}

bool ReadRegularFile(const fs::path& file, std::string& bytes, std::string& error) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0) {
        error = FileError("cannot read", file, errno);
        return false;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "cannot read " + file.string() + ": it is not a regular file";
        return false;
    }
    return ReadOpened(fd, file, bytes, error);
}

FileLock::~FileLock() {
    Release();
}

FileLock::FileLock(FileLock&& other) noexcept : mFd(other.mFd) {
    other.mFd = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        Release();
        mFd = other.mFd;
        other.mFd = -1;
    }
    return *this;
}

FileLock::Result FileLock::Acquire(const fs::path& file, std::string& error) {
    Release();
    const int fd = OpenPrivateFile(file, O_RDWR | O_CREAT, error);
    if (fd < 0) return Result::Failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        mFd = fd;
        return Result::Locked;
    }
    const int cause = errno;
    ::close(fd);
    if (cause == EWOULDBLOCK) return Result::Busy;
    error = FileError("cannot lock", file, cause);
    return Result::Failed;
}

void FileLock::Release() {
    if (mFd < 0) return;
    ::close(mFd);  // closing the only open file of the lock releases it
    mFd = -1;
}

}  // namespace ky
