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

namespace ky {

// $XDG_STATE_HOME/kyfirmwareupdate when XDG_STATE_HOME is absolute, else
// ~/.local/state/kyfirmwareupdate, the home directory taken from HOME when
// it is absolute and from the password database otherwise. Nothing when
// neither gives a directory (with the reason in `error`): never a shared
// directory. The directory is not created here.
std::optional<std::filesystem::path> StateDirectory(std::string& error);

// Creates `dir` and its missing parents with mode 0700, then refuses it
// unless it is a directory (not a symbolic link) owned by this user that no
// one else may write; one that others may read is made private. Inside the
// state directory every directory from the state directory down is held to
// the same.
bool EnsurePrivateDirectory(const std::filesystem::path& dir, std::string& error);

// Replaces `file` with `bytes` in one step: a temporary file beside it,
// written, flushed to disk and renamed over it. On failure the old file is
// untouched and `error` names the file and the cause.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                         std::string& error);

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
// place. Nothing (and no error) when it does not exist.
enum class ReadResult { Read, Missing, Failed };
ReadResult ReadPrivateFile(const std::filesystem::path& file, std::string& bytes,
                           std::string& error);

// A whole file given by the user (a symbolic link is followed); anything
// but a regular file (a FIFO, a device) is refused without waiting.
bool ReadRegularFile(const std::filesystem::path& file, std::string& bytes, std::string& error);

// Opens a file of ours with O_NOFOLLOW and O_CLOEXEC added to `flags`,
// without waiting (a FIFO in its place); -1 with `error` set (naming the
// file) on failure, and for anything but a regular file.
int OpenPrivateFile(const std::filesystem::path& file, int flags, std::string& error,
                    mode_t mode = 0600);

// An exclusive, non-blocking flock on a lock file of ours, held while the
// object lives (and by no other open file, in this process or another).
class FileLock {
public:
    enum class Result { Locked, Busy, Failed };
    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;

    Result Acquire(const std::filesystem::path& file, std::string& error);
    void Release();
    bool Held() const { return mFd >= 0; }

private:
    int mFd = -1;
};

// "<what> <file>: <strerror(error)>", or a plainer text for a symbolic link.
std::string FileError(const char* what, const std::filesystem::path& file, int error);

}  // namespace ky
