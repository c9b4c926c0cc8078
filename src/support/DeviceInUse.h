#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/ProcessTable.h"

namespace ky {

struct DeviceUser {
    int pid = 0;
    std::string name;  // the executable's name
};

// What stands in the way of writing the Ky: another process that holds its
// device file open, a video application that drives it, or a device file
// that cannot be looked at (then nobody can tell who uses it, and the
// answer is no).
struct InUse {
    enum class Kind { DeviceUser, VideoApplication, Unchecked } kind = Kind::DeviceUser;
    DeviceUser who;
    std::string problem;  // with Unchecked: why
};
// "the Ky is in use by dvgrab (process 77); quit it first", "the video
// application kdenlive (process 12) may be using the Ky; quit it first", or
// why it cannot be checked: one wording for both programs.
std::string InUseText(const InUse& inUse);

// The process that holds the Ky for an update (an flock on `lockFile`), or
// nothing; `activity` is what it says it is doing (see PublishActivity).
struct Updater {
    DeviceUser who;
    std::string activity;  // "waiting" or "writing"; empty when it says nothing
};
std::optional<Updater> FindUpdater(const std::filesystem::path& lockFile,
                                   const ProcessTable& processes);

// What this process does with the Ky it holds (the one of `lockFile`: it
// may hold several), for another program that finds it holding the Ky: a
// small file of ours named after the process and the lock,
// in the private state directory; an empty `activity` removes it. Best
// effort: without a state directory nothing is said.
void PublishActivity(const std::string& activity, const std::filesystem::path& lockFile);
// Where process `pid` says what it does with the Ky of `lockFile`.
std::optional<std::filesystem::path> ActivityFile(pid_t pid, const std::filesystem::path& lockFile);

// Who else uses the Ky, found in the process table: a process that holds its
// device file open (by whatever name: the file is known by what it is,
// the character device's number) comes first, then a video application.
// This process never counts: it holds the Ky itself while it updates it.
// What a process is and which files it holds are read once, when it is
// first seen, so an idle check stays cheap on a desktop with hundreds of
// processes; Forget() makes the next check read everything again, as the
// check right before the first write does.
class InUseWatch {
public:
    explicit InUseWatch(ProcessTable processes);

    // `deviceNode` is empty when the Ky has no device file here.
    std::optional<InUse> Check(const std::filesystem::path& deviceNode);
    // The whole look, every process read afresh.
    std::optional<InUse> CheckAll(const std::filesystem::path& deviceNode) {
        Forget();
        return Check(deviceNode);
    }
    void Forget();

private:
    struct Known {
        bool video = false;
        bool holdsNode = false;
        std::string name;
    };
    Known Look(std::uint32_t pid, const struct stat* node) const;

    ProcessTable mProcesses;
    std::filesystem::path mNode;
    std::unordered_map<std::uint32_t, Known> mKnown;
};

}  // namespace ky
