#include "support/DeviceInUse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/Paths.h"
#include "base/Translate.h"
#include "support/Process.h"

namespace ky {

namespace {

std::uint32_t Self() {
    return static_cast<std::uint32_t>(getpid());
}

}  // namespace

std::string InUseText(const InUse& inUse) {
    const std::string who =
        Fill(Tr("{1} (process {2})"), {inUse.who.name, std::to_string(inUse.who.pid)});
    switch (inUse.kind) {
        case InUse::Kind::DeviceUser:
            // TRANSLATORS: {1} is a program and its process, as "kino (process 4242)".
            return Fill(Tr("the Ky is in use by {1}; quit it first"), {who});
        case InUse::Kind::VideoApplication:
            // TRANSLATORS: {1} is a program and its process, as "kino (process 4242)".
            return Fill(Tr("the video application {1} may be using the Ky; quit it first"), {who});
        case InUse::Kind::Unchecked:
            break;
    }
    // TRANSLATORS: {1} is why, as "cannot look at /dev/fw1: Permission denied".
    return Fill(Tr("whether another program uses the Ky cannot be checked ({1})"), {inUse.problem});
}

// One file per process and Ky, the Ky known by a hash of its lock file's
// name (both programs find it under the same name).
std::optional<std::filesystem::path> ActivityFile(pid_t pid, const std::filesystem::path& lock) {
    const auto base = StateDirectory();
    if (!base) return std::nullopt;
    std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (const unsigned char c : lock.native()) hash = (hash ^ c) * 0x100000001b3ull;
    char name[48];
    std::snprintf(name, sizeof name, "%d-%016llx", static_cast<int>(pid),
                  static_cast<unsigned long long>(hash));
    return *base / "holders" / name;
}

void PublishActivity(const std::string& activity, const std::filesystem::path& lockFile) {
    const auto file = ActivityFile(getpid(), lockFile);
    if (!file) return;
    if (activity.empty()) {
        std::error_code ignored;
        std::filesystem::remove(*file, ignored);
        return;
    }
    // A few bytes, not worth a sync: a reader that finds them cut short
    // says less, nothing wrong.
    if (!EnsurePrivateDirectory(file->parent_path())) return;
    const auto fd = OpenPrivateFile(*file, O_WRONLY | O_CREAT | O_TRUNC);
    if (!fd) return;
    [[maybe_unused]] const ssize_t n = ::write(*fd, activity.data(), activity.size());
    ::close(*fd);
}

std::optional<Updater> FindUpdater(const std::filesystem::path& lockFile,
                                   const ProcessTable& processes) {
    if (lockFile.empty()) return std::nullopt;
    const auto pid = processes.FlockHolder(lockFile);
    if (!pid) return std::nullopt;
    Updater updater{{*pid, processes.NameOf(static_cast<std::uint32_t>(*pid))}, {}};
    const auto file = ActivityFile(*pid, lockFile);
    if (const auto bytes = file ? ReadPrivateFile(*file) : Error("");
        bytes && *bytes && (**bytes == "waiting" || **bytes == "writing"))
        updater.activity = **bytes;
    return updater;
}

InUseWatch::InUseWatch(ProcessTable processes) : mProcesses(std::move(processes)) {}

void InUseWatch::Forget() {
    mKnown.clear();
}

InUseWatch::Known InUseWatch::Look(std::uint32_t pid, const struct stat* node) const {
    Known known;
    known.name = mProcesses.NameOf(pid);
    known.video = ProcessSignatureFor(known.name) == FourCharCode("KeyG");
    known.holdsNode = node && mProcesses.HoldsOpen(pid, *node);
    return known;
}

std::optional<InUse> InUseWatch::Check(const std::filesystem::path& deviceNode) {
    if (deviceNode != mNode) Forget();  // another Ky: every process is looked at again
    mNode = deviceNode;
    // Without a device file (an empty path) only video applications are
    // looked for; a file that cannot be looked at may be held by anyone.
    const bool hasFile = !deviceNode.empty();
    struct stat node {};
    if (hasFile && stat(deviceNode.c_str(), &node) != 0) {
        Forget();
        return InUse{
            InUse::Kind::Unchecked, {}, FileError(N_("cannot look at {1}"), deviceNode, errno)};
    }
    std::unordered_map<std::uint32_t, Known> seen;
    std::optional<InUse> user, video;
    for (std::uint32_t pid : mProcesses.Pids()) {
        if (pid == Self()) continue;
        // New processes are looked at; of the known ones only those that
        // held the Ky, to see them let it go.
        auto it = mKnown.find(pid);
        const bool look = it == mKnown.end() || it->second.holdsNode;
        const Known known = look ? Look(pid, hasFile ? &node : nullptr) : it->second;
        const DeviceUser who{static_cast<int>(pid), known.name};
        if (known.holdsNode && !user) user = InUse{InUse::Kind::DeviceUser, who, {}};
        if (known.video && !video) video = InUse{InUse::Kind::VideoApplication, who, {}};
        seen.emplace(pid, known);
    }
    mKnown = std::move(seen);  // processes that ended are forgotten
    return user ? user : video;
}

}  // namespace ky
