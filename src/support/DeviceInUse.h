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

}  // namespace ky
