#pragma once

// Where our state lives, and the rules for every file we keep there: our
// directories are private to the user (mode 0700, owned by the user, not
// writable by others), files are written whole or not at all, and a
// symbolic link in place of a file of ours is an error, never followed.

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/Result.h"

namespace ky {

// $XDG_STATE_HOME/kyfirmwareupdate when XDG_STATE_HOME is absolute, else
// ~/.local/state/kyfirmwareupdate, the home directory taken from HOME when
// it is absolute and from the password database otherwise. Nothing when
// neither gives a directory (a failure that says so): never a shared
// directory. The directory is not created here.
Result<std::filesystem::path> StateDirectory();

// Creates `dir` and its missing parents with mode 0700, then refuses it
// unless it is a directory (not a symbolic link) owned by this user that no
// one else may write; one that others may read is made private. Inside the
// state directory every directory from the state directory down is held to
// the same.
Done EnsurePrivateDirectory(const std::filesystem::path& dir);

// Replaces `file` with `bytes` in one step: a temporary file beside it,
// written, flushed to disk and renamed over it. On failure the old file is
// untouched and the failure names the file and the cause.
Done WriteFileAtomically(const std::filesystem::path& file, std::string_view bytes);

// The calls that make such a write durable, in the order they are made:
// the temporary file is flushed before the rename makes it the file. A test
// may put its own in their place to watch them.
struct DurableWriteCalls {
    int (*fsync)(int fd) = ::fsync;
    int (*rename)(const char* from, const char* to) = ::rename;
    int (*close)(int fd) = ::close;  // of the temporary file, whose error is a failed save
};
extern DurableWriteCalls gDurableWriteCalls;

// Reads a whole file of ours without following a symbolic link in its
// place. Nothing (and no failure) when it does not exist.
Result<std::optional<std::string>> ReadPrivateFile(const std::filesystem::path& file);

// A whole file given by the user (a symbolic link is followed); anything
// but a regular file (a FIFO, a device) is refused without waiting.
Result<std::string> ReadRegularFile(const std::filesystem::path& file);

// Opens a file of ours with O_NOFOLLOW and O_CLOEXEC added to `flags`,
// without waiting (a FIFO in its place): the descriptor, or a failure that
// names the file, also for anything but a regular file.
Result<int> OpenPrivateFile(const std::filesystem::path& file, int flags, mode_t mode = 0600);

// An exclusive, non-blocking flock on a lock file of ours, held while the
// object lives (and by no other open file, in this process or another).
class FileLock {
public:
    // Busy: another open file holds it; anything else that keeps it is a failure.
    enum class Outcome { Locked, Busy };
    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;

    ky::Result<Outcome> Acquire(const std::filesystem::path& file);
    void Release();
    bool Held() const { return mFd >= 0; }

private:
    int mFd = -1;
};

// "cannot read /a/b: Permission denied", or a plainer text for a symbolic
// link: `what` is an English text marked with N_ that puts the file at {1}
// ("cannot read {1}").
std::string FileError(const char* what, const std::filesystem::path& file, int error);

}  // namespace ky
