#include "support/Process.h"

#include <signal.h>
#include <unistd.h>

#include <limits.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace {

// Executables whose running means the Ky is busy: video applications that
// capture from or play out to it. Add a name here to guard against another.
constexpr OSType kVideoApplication = FourCharCode("KeyG");
constexpr std::array<std::string_view, 9> kVideoApplications = {
    "dvgrab", "kino", "kdenlive", "cinelerra", "cin", "shotcut", "flowblade", "openshot", "obs"};

std::uint32_t ProcessNumber(const std::string& name) {
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) return 0;
    return static_cast<std::uint32_t>(std::stoul(name));
}

std::string FirstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::string ReadLink(const std::filesystem::path& link) {
    std::array<char, PATH_MAX + 1> buf{};
    const ssize_t n = readlink(link.c_str(), buf.data(), buf.size() - 1);
    return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
}

OSType ProcessSignatureFor(const std::string& executable) {
    for (std::string_view name : kVideoApplications)
        if (executable == name) return kVideoApplication;
    return 0;
}

namespace {

std::vector<std::uint32_t> ListProcesses(const std::filesystem::path& procRoot) {
    std::vector<std::uint32_t> pids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(procRoot, ec))
        if (std::uint32_t pid = ProcessNumber(entry.path().filename().string()))
            pids.push_back(pid);
    std::sort(pids.begin(), pids.end());
    return pids;
}

}  // namespace

TProcess::TProcess(ProcessSerialNumber theNum, std::filesystem::path procRoot)
    : fProcRoot(std::move(procRoot)), fPids(ListProcesses(fProcRoot)), fProcessID(theNum) {
    fFirstTime = true;
    fLast = false;
    fMyProcessID = {0, static_cast<std::uint32_t>(getpid())};
    fError = noErr;
    fState = TProcess::IProcess();
    fFirstPSN = fProcessID;
    fFirstTime = false;
}

TProcess::~TProcess() = default;

OSErr TProcess::GetNextProcess(ProcessSerialNumber& psn) const {
    // The next process in ascending process ID order.
    const auto next = std::upper_bound(fPids.begin(), fPids.end(), psn.lowLongOfPSN);
    if (next == fPids.end()) return procNotFound;
    psn = {0, *next};
    return noErr;
}

std::string TProcess::NameOf(const std::filesystem::path& procRoot, std::uint32_t pid) {
    const auto dir = procRoot / std::to_string(pid);
    std::string target = std::filesystem::path(ReadLink(dir / "exe")).filename().string();
    if (!target.empty()) {
        const std::string deleted = " (deleted)";
        if (target.size() > deleted.size() && target.ends_with(deleted))
            target.resize(target.size() - deleted.size());
        return target;
    }
    return FirstLine(dir / "comm");  // the kernel's name, at most 15 characters
}

OSErr TProcess::GetProcessInformation(const ProcessSerialNumber& psn, ProcessInfoRec& rec) const {
    const auto dir = fProcRoot / std::to_string(psn.lowLongOfPSN);
    std::error_code ec;
    if (psn.lowLongOfPSN == 0 || !std::filesystem::is_directory(dir, ec)) return procNotFound;
    rec.processSignature = ProcessSignatureFor(ExecutableName(psn));
    std::istringstream statm(FirstLine(dir / "statm"));
    std::uint64_t pages = 0, resident = 0;
    statm >> pages >> resident;
    rec.processSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)), UINT32_MAX));
    rec.processFreeMem = 0;
    // Field 22 of stat, after the parenthesised name: start time in ticks.
    const std::string stat = FirstLine(dir / "stat");
    std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(')') + 1)));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22)
            rec.processLaunchDate =
                static_cast<std::uint32_t>(std::stoull(field) / sysconf(_SC_CLK_TCK));
    }
    return noErr;
}

Boolean TProcess::IProcess() {
    fError = GetNextProcess(fProcessID);
    if (fError == noErr) return true;
    if (!fFirstTime) {
        fLast = true;
        First();
    }
    return false;
}

void TProcess::Next() {
    IProcess();
}

Boolean TProcess::FindProcess(OSType signature) {
    ProcessSerialNumber psn{0, 0};
    // Only the executable's name says what a process is: nothing else is read.
    while (GetNextProcess(psn) == noErr) {
        if (ProcessSignatureFor(ExecutableName(psn)) == signature) {
            fProcessID = psn;
            return true;
        }
    }
    return false;
}

std::int16_t TProcess::GetNumProcesses() {
    ProcessSerialNumber psn{0, 0};
    std::int16_t count = 0;
    while (GetNextProcess(psn) == noErr && count < INT16_MAX) ++count;
    return count;
}

ProcessInfoRec TProcess::GetProcessInfoRec() {
    ProcessInfoRec rec;
    rec.processInfoLength = 60;
    rec.processName = nullptr;
    rec.processAppSpec = nullptr;
    fError = GetProcessInformation(fProcessID, rec);
    return rec;
}

std::uint32_t TProcess::GetProcessSize() {
    return GetProcessInfoRec().processSize;
}
std::uint32_t TProcess::GetFreeMem() {
    return GetProcessInfoRec().processFreeMem;
}
std::uint32_t TProcess::GetLaunchDate() {
    return GetProcessInfoRec().processLaunchDate;
}

Boolean TProcess::KillApplication(const ProcessSerialNumber* target) {
    // The request names a process that must exist ...
    std::error_code ec;
    if (!target || target->lowLongOfPSN == 0 ||
        !std::filesystem::is_directory(fProcRoot / std::to_string(target->lowLongOfPSN), ec)) {
        fError = procNotFound;
        return false;
    }
    // ... and is delivered as a polite request to quit.
    if (kill(static_cast<pid_t>(target->lowLongOfPSN), SIGTERM) != 0) {
        fError = errno == ESRCH ? procNotFound : permErr;
        return false;
    }
    fError = noErr;
    return true;
}
