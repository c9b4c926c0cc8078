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

#include "base/Translate.h"

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

Done MakeDirectories(const fs::path& dir) {
    fs::path sofar;
    for (const auto& part : dir) {
        sofar /= part;
        if (::mkdir(sofar.c_str(), 0700) == 0 || errno == EEXIST) continue;
        return Error(FileError(N_("cannot create the directory {1}"), sofar, errno));
    }
    return {};
}

}  // namespace

std::string FileError(const char* what, const fs::path& file, int error) {
    const std::string doing = Fill(Tr(what), {file.string()});
    if (error == ELOOP)
        // TRANSLATORS: {1} is what could not be done, as "cannot read /a/b".
        return Fill(Tr("{1}: it is a symbolic link, which is not followed for safety; remove it"),
                    {doing});
    return doing + ": " + std::strerror(error);
}

Result<fs::path> StateDirectory() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/')
        return fs::path(xdg) / "kyfirmwareupdate";
    if (auto home = HomeDirectory()) return *home / ".local" / "state" / "kyfirmwareupdate";
    return Error(
        Tr("no directory for kyfw's state: set HOME or XDG_STATE_HOME to an absolute path (this "
           "user has no home directory)"));
}

namespace {

// One directory of ours: a directory itself (never a symbolic link), this
// user's, that nobody else may write to; one that others may only read is
// made private.
Done CheckOurDirectory(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        int cause = errno;
        if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) cause = ELOOP;
        if (fd >= 0) ::close(fd);
        return Error(cause == ENOTDIR
                         ? Fill(Tr("refusing to use {1}: it is not a directory"), {dir.string()})
                         : FileError(N_("cannot use the directory {1}"), dir, cause));
    }
    std::string error;
    if (st.st_uid != geteuid())
        error = Fill(Tr("refusing to use {1}: it belongs to another user"), {dir.string()});
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        error = Fill(Tr("refusing to use {1}: others may write to it (make it private with "
                        "chmod 700)"),
                     {dir.string()});
    else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)
        error = FileError(N_("cannot make private the directory {1}"), dir, errno);
    ::close(fd);
    if (!error.empty()) return Error(std::move(error));
    return {};
}

}  // namespace

Done EnsurePrivateDirectory(const fs::path& dir) {
    if (Done made = MakeDirectories(dir); !made) return made;
    // Inside the state directory, every directory of ours from it down.
    const auto base = StateDirectory();
    if (!base) return CheckOurDirectory(dir);
    const auto [end, at] = std::mismatch(base->begin(), base->end(), dir.begin(), dir.end());
    if (end != base->end()) return CheckOurDirectory(dir);
    fs::path check = *base;
    Done ours = CheckOurDirectory(check);
    for (auto part = at; ours && part != dir.end(); ++part)
        ours = CheckOurDirectory(check /= *part);
    return ours;
}

Result<int> OpenPrivateFile(const fs::path& file, int flags, mode_t mode) {
    // Without waiting: a FIFO in a file's place would block the open.
    const int fd = ::open(file.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0 && errno != ENXIO)  // ENXIO: a FIFO that nobody reads
        return Error(FileError(N_("cannot open {1}"), file, errno));
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    if (fd >= 0) ::close(fd);
    return Error(Fill(Tr("refusing to use {1}: it is not a regular file"), {file.string()}));
}

Done WriteFileAtomically(const fs::path& file, std::string_view bytes) {
    std::string temp = file.string() + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return Error(FileError(N_("cannot write {1}"), file, errno));
    bool ok = WriteAll(fd, bytes) && gDurableWriteCalls.fsync(fd) == 0;
    int writeError = errno;
    if (gDurableWriteCalls.close(fd) != 0 && ok) ok = false, writeError = errno;
    if (ok && gDurableWriteCalls.rename(temp.c_str(), file.c_str()) == 0) {
        SyncDirectory(file.parent_path());
        return {};
    }
    Error failed(FileError(N_("cannot write {1}"), file, ok ? errno : writeError));
    ::unlink(temp.c_str());
    return failed;
}

namespace {

// The rest of an open file, which it closes.
Result<std::string> ReadOpened(int fd, const fs::path& file) {
    std::string bytes;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) bytes.append(buf, static_cast<std::size_t>(n));
    std::optional<Error> failed;
    if (n < 0) failed = Error(FileError(N_("cannot read {1}"), file, errno));
    ::close(fd);
    if (failed) return *failed;
    return bytes;
}

}  // namespace

Result<std::optional<std::string>> ReadPrivateFile(const fs::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 && errno == ENOENT) return std::optional<std::string>();
    const Result<int> fd = OpenPrivateFile(file, O_RDONLY);
    if (!fd) return fd.Failure();
    Result<std::string> bytes = ReadOpened(*fd, file);
    if (!bytes) return bytes.Failure();
    return std::optional(std::move(*bytes));
}

Result<std::string> ReadRegularFile(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0) return Error(FileError(N_("cannot read {1}"), file, errno));
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Error(Fill(Tr("cannot read {1}: it is not a regular file"), {file.string()}));
    }
    return ReadOpened(fd, file);
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

Result<FileLock::Outcome> FileLock::Acquire(const fs::path& file) {
    Release();
    const Result<int> fd = OpenPrivateFile(file, O_RDWR | O_CREAT);
    if (!fd) return fd.Failure();
    if (::flock(*fd, LOCK_EX | LOCK_NB) == 0) {
        mFd = *fd;
        return Outcome::Locked;
    }
    const int cause = errno;
    ::close(*fd);
    if (cause == EWOULDBLOCK) return Outcome::Busy;
    return Error(FileError(N_("cannot lock {1}"), file, cause));
}

void FileLock::Release() {
    if (mFd < 0) return;
    ::close(mFd);  // closing the only open file of the lock releases it
    mFd = -1;
}

}  // namespace ky
