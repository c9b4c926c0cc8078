#include "support/DeviceInUse.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "base/Paths.h"
#include "support/Process.h"

namespace ky {

// The device node as the kernel names it in /proc/<pid>/fd (its resolved
// path, whatever name it was opened by), and its identity.
struct NodeId {
    std::string path;
    struct stat st {};
};

namespace {

// The same file: compared by device and inode.
bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::optional<NodeId> Identify(const std::filesystem::path& node) {
    NodeId id;
    char resolved[PATH_MAX];
    if (stat(node.c_str(), &id.st) != 0 || !realpath(node.c_str(), resolved)) return std::nullopt;
    id.path = resolved;
    return id;
}

// The kernel names each open file by its path: only a descriptor whose
// link names the node is looked at closer (device and inode), so a process
// with many open files costs one readlink each.
bool HoldsOpen(const std::filesystem::path& fdDir, const NodeId& node) {
    DIR* dir = opendir(fdDir.c_str());
    if (!dir) return false;  // gone, or its descriptors may not be looked at
    bool holds = false;
    std::string link = fdDir.string() + "/";
    const std::size_t base = link.size();
    char target[PATH_MAX];
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        link.resize(base);
        link += entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target);
        if (n <= 0 || std::string_view(target, static_cast<std::size_t>(n)) != node.path) continue;
        struct stat open {};
        if (stat(link.c_str(), &open) == 0 && SameFile(open, node.st)) {
            holds = true;
            break;
        }
    }
    closedir(dir);
    return holds;
}

std::uint32_t Self() {
    return static_cast<std::uint32_t>(getpid());
}

}  // namespace

std::optional<DeviceUser> FindOtherDeviceUser(const std::filesystem::path& deviceNode,
                                              const std::filesystem::path& procRoot) {
    const auto node = Identify(deviceNode);
    if (!node) return std::nullopt;  // no such file: nobody uses it
    const TProcess processes(kMyProcess, procRoot);
    for (std::uint32_t pid : processes.Snapshot()) {
        if (pid == Self()) continue;
        if (HoldsOpen(procRoot / std::to_string(pid) / "fd", *node))
            return DeviceUser{static_cast<int>(pid), processes.ExecutableName({0, pid})};
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

InUseWatch::InUseWatch(std::filesystem::path procRoot) : mProcRoot(std::move(procRoot)) {}

void InUseWatch::Forget() {
    mKnown.clear();
}

InUseWatch::Known InUseWatch::Look(std::uint32_t pid, const NodeId* node) const {
    Known known;
    known.name = TProcess::NameOf(mProcRoot, pid);
    known.video = ProcessSignatureFor(known.name) == FourCharCode("KeyG");
    known.holdsNode = node && HoldsOpen(mProcRoot / std::to_string(pid) / "fd", *node);
    return known;
}

InUseWatch::Finding InUseWatch::Check(const std::filesystem::path& deviceNode) {
    if (deviceNode != mNode) Forget();  // another Ky: every process is looked at again
    mNode = deviceNode;
    const auto node = Identify(deviceNode);
    const TProcess processes(kMyProcess, mProcRoot);
    std::unordered_map<std::uint32_t, Known> seen;
    Finding finding;
    for (std::uint32_t pid : processes.Snapshot()) {
        if (pid == Self()) continue;
        // New processes are looked at; of the known ones only those that
        // held the Ky, to see them let it go.
        auto it = mKnown.find(pid);
        const bool look = it == mKnown.end() || it->second.holdsNode;
        const Known known = look ? Look(pid, node ? &*node : nullptr) : it->second;
        if (known.video && finding.kind != Finding::Kind::VideoApplication)
            finding = {Finding::Kind::VideoApplication, {static_cast<int>(pid), known.name}};
        else if (known.holdsNode && finding.kind == Finding::Kind::Nothing)
            finding = {Finding::Kind::DeviceUser, {static_cast<int>(pid), known.name}};
        seen.emplace(pid, known);
    }
    mKnown = std::move(seen);  // processes that ended are forgotten
    return finding;
}

}  // namespace ky
