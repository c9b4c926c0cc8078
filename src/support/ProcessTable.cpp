#include "support/ProcessTable.h"

#include <dirent.h>
#include <limits.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ky {

namespace fs = std::filesystem;

namespace {

// A process directory's name: a process ID of any length that fits the
// type (pid_max may be 4194304), written as the kernel writes it; 0 for
// any other entry.
std::uint32_t ProcessNumber(std::string_view name) {
    std::uint32_t pid = 0;
    const char* end = name.data() + name.size();
    if (name.empty() || name[0] == '0') return 0;
    const auto [at, ec] = std::from_chars(name.data(), end, pid);
    return ec == std::errc() && at == end ? pid : 0;
}

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::string ReadLink(const fs::path& link) {
    std::array<char, PATH_MAX + 1> buf{};
    const ssize_t n = readlink(link.c_str(), buf.data(), buf.size() - 1);
    return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
}

std::vector<std::uint32_t> ProcessTable::Pids() const {
    std::vector<std::uint32_t> pids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(mRoot, ec))
        if (std::uint32_t pid = ProcessNumber(entry.path().filename().native()))
            pids.push_back(pid);
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::string ProcessTable::NameOf(std::uint32_t pid) const {
    const fs::path dir = Dir(pid);
    std::string target = fs::path(ReadLink(dir / "exe")).filename().string();
    if (!target.empty()) {
        const std::string deleted = " (deleted)";
        if (target.size() > deleted.size() && target.ends_with(deleted))
            target.resize(target.size() - deleted.size());
        return target;
    }
    return FirstLine(dir / "comm");  // the kernel's name, at most 15 characters
}

bool ProcessTable::SameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) || S_ISCHR(b.st_mode))
        return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool ProcessTable::HoldsOpen(std::uint32_t pid, const struct stat& file) const {
    const fs::path fdDir = Dir(pid) / "fd";
    DIR* dir = opendir(fdDir.c_str());
    if (!dir) return false;  // gone, or its descriptors may not be looked at
    bool holds = false;
    std::string link = fdDir.string() + "/";
    const std::size_t base = link.size();
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        link.resize(base);
        link += entry->d_name;
        struct stat open {};
        if (stat(link.c_str(), &open) == 0 && SameFile(open, file)) {
            holds = true;
            break;
        }
    }
    closedir(dir);
    return holds;
}

std::optional<pid_t> ProcessTable::FlockHolder(const fs::path& file) const {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream in(mRoot / "locks");
    std::string line;
    while (std::getline(in, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4591 fe:00:10952761 0 EOF"
        std::istringstream fields(line);
        std::string number, kind, mode, access, where;
        long pid = 0;
        if (fields >> number >> kind >> mode >> access >> pid >> where && kind == "FLOCK" &&
            where == id && pid > 0)
            return static_cast<pid_t>(pid);
    }
    return std::nullopt;
}

}  // namespace ky
