#include "support/DeviceInUse.h"

#include <unistd.h>

#include "support/Process.h"

namespace ky {

namespace {

bool HoldsOpen(const std::filesystem::path& fdDir, const std::filesystem::path& node) {
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(fdDir, ec)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(fd.path(), linkError) == node && !linkError) return true;
    }
    return false;  // also when the process's descriptors may not be looked at
}

}  // namespace

std::optional<DeviceUser> FindOtherDeviceUser(const std::filesystem::path& deviceNode,
                                              const std::filesystem::path& procRoot) {
    std::error_code ec;
    const auto node = std::filesystem::weakly_canonical(deviceNode, ec);
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

}  // namespace ky
