#pragma once

// The running processes as Linux shows them in /proc: every look at other
// processes (who they are, which files they hold open, who holds a lock)
// reads this one table. The programs read the real /proc whatever their
// environment says; the tests build their own programs over a made-up tree
// of the same shape, so that what else runs on the machine never changes a
// test's result.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ky {

class ProcessTable {
public:
    // A tree laid out as /proc: one directory (or a link to one) per
    // process, named by its process ID, and `locks`.
    ProcessTable(std::filesystem::path root = "/proc") : mRoot(std::move(root)) {}  // NOLINT

    const std::filesystem::path& Root() const { return mRoot; }
    // The process IDs there are, in ascending order.
    std::vector<std::uint32_t> Pids() const;
    // The executable's name ("kdenlive"), or the kernel's short name when the
    // executable cannot be looked at; empty for a process that is gone.
    std::string NameOf(std::uint32_t pid) const;
    std::filesystem::path Dir(std::uint32_t pid) const { return mRoot / std::to_string(pid); }
    // Whether the process holds `file` open: each descriptor is known by what
    // it opens (one stat each), never by its link's text.
    bool HoldsOpen(std::uint32_t pid, const struct stat& file) const;
    // The process that holds an flock on `file`, from the kernel's list of
    // locks; nothing when no process holds one (or the list cannot be read).
    std::optional<pid_t> FlockHolder(const std::filesystem::path& file) const;

    // The same file. A device file is the device it opens, whatever its path
    // (/dev/fw1, /dev/char/244:1, a bind mount): character devices are
    // compared by their device number, other files by device and inode.
    static bool SameFile(const struct stat& a, const struct stat& b);

private:
    std::filesystem::path mRoot;
};

// The target of a symbolic link, or nothing. Reads into a fixed buffer, so a
// link that changes size between looking and reading cannot overrun it.
std::string ReadLink(const std::filesystem::path& link);

}  // namespace ky
