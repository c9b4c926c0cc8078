#include "support/DeviceInUse.h"

#include <sys/stat.h>
#include <unistd.h>

#include "base/Paths.h"
#include "support/Process.h"

namespace ky {

namespace {

// The same file: compared by device and inode, so that another name for the
// node (a symbolic link, a path under /dev/char) still counts.
bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool HoldsOpen(const std::filesystem::path& fdDir, const struct stat& node) {
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(fdDir, ec)) {
        struct stat open {};
        if (stat(fd.path().c_str(), &open) == 0 && SameFile(open, node)) return true;
    }
    return false;  // also when the process's descriptors may not be looked at
}

}  // namespace

std::optional<DeviceUser> FindOtherDeviceUser(const std::filesystem::path& deviceNode,
                                              const std::filesystem::path& procRoot) {
    struct stat node {};
    if (stat(deviceNode.c_str(), &node) != 0) return std::nullopt;  // no such file: nobody uses it
    TProcess walk(kMyProcess, procRoot);
    const auto self = static_cast<std::uint32_t>(getpid());
    for (; !walk.Last(); walk.Next()) {
        const ProcessSerialNumber psn = walk.GetProcessID();
        if (psn.lowLongOfPSN == 0 || psn.lowLongOfPSN == self) continue;
        if (HoldsOpen(procRoot / std::to_string(psn.lowLongOfPSN) / "fd", node))
            return DeviceUser{static_cast<int>(psn.lowLongOfPSN), walk.ExecutableName(psn)};
    }
    return std::nullopt;
}

std::optional<DeviceUser> FindUpdater(const std::filesystem::path& lockFile,
                                      const std::filesystem::path& procRoot) {
    if (lockFile.empty()) return std::nullopt;
    const auto pid = FindFlockHolder(lockFile, procRoot / "locks");
    if (!pid) return std::nullopt;
    const TProcess processes(kMyProcess, procRoot);
    return DeviceUser{*pid, processes.ExecutableName({0, static_cast<std::uint32_t>(*pid)})};
}

}  // namespace ky
