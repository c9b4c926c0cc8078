#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace ky {

struct NodeId;

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

// What the window looks for on every tick: a video application that drives
// the Ky, or another process that holds the Ky's device file open. One
// listing of /proc serves both. What a process is and which files it holds
// are read once, when it is first seen: a tick reads nothing of the
// processes it already knows, so it stays cheap on a desktop with hundreds
// of them. Forget() makes the next check read everything again; the window
// calls it before it takes the Ky for an update.
class InUseWatch {
public:
    explicit InUseWatch(std::filesystem::path procRoot = "/proc");

    struct Finding {
        enum class Kind { Nothing, VideoApplication, DeviceUser } kind = Kind::Nothing;
        DeviceUser who;
    };
    Finding Check(const std::filesystem::path& deviceNode);
    void Forget();

private:
    struct Known {
        bool video = false;
        bool holdsNode = false;
        std::string name;
    };
    Known Look(std::uint32_t pid, const NodeId* node) const;

    std::filesystem::path mProcRoot;
    std::filesystem::path mNode;
    std::unordered_map<std::uint32_t, Known> mKnown;
};

}  // namespace ky
