#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace ky {

struct DeviceUser {
    int pid = 0;
    std::string name;  // the executable's name
};

// Another process that holds `deviceNode` open (found through the file
// descriptors under /proc/<pid>/fd), or nothing. This process does not count.
std::optional<DeviceUser> FindOtherDeviceUser(const std::filesystem::path& deviceNode,
                                              const std::filesystem::path& procRoot = "/proc");

// The process that holds the Ky for an update (an flock on `lockFile`), or
// nothing.
std::optional<DeviceUser> FindUpdater(const std::filesystem::path& lockFile,
                                      const std::filesystem::path& procRoot = "/proc");

}  // namespace ky
