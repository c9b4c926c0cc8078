#include "support/Process.h"

#include <signal.h>
#include <unistd.h>

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

std::string FirstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

OSType ProcessSignatureFor(const std::string& executable) {
    for (std::string_view name : kVideoApplications)
        if (executable == name) return kVideoApplication;
    return 0;
}

TProcess::TProcess(ProcessSerialNumber theNum, ky::ProcessTable processes)
    : fProcesses(std::move(processes)), fPids(fProcesses.Pids()), fProcessID(theNum) {
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

OSErr TProcess::GetProcessInformation(const ProcessSerialNumber& psn, ProcessInfoRec& rec) const {
    const auto dir = fProcesses.Dir(psn.lowLongOfPSN);
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
        !std::filesystem::is_directory(fProcesses.Dir(target->lowLongOfPSN), ec)) {
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
