#pragma once

// A walker over the running processes, over Linux's /proc. A process is
// named by a serial number whose low word is its process ID (both words 0:
// no process). Linux processes carry no creator code; the executable's name
// is mapped to a four-character signature through one table
// (ProcessSignatureFor), where 'KeyG' stands for the video applications that
// drive the Ky.

#include <vector>

#include "support/MacTypes.h"
#include "support/ProcessTable.h"

struct ProcessSerialNumber {
    std::uint32_t highLongOfPSN = 0;
    std::uint32_t lowLongOfPSN = 0;
    friend bool operator==(const ProcessSerialNumber&, const ProcessSerialNumber&) = default;
};

inline constexpr ProcessSerialNumber kMyProcess = {0, 0};

struct ProcessInfoRec {
    std::uint32_t processInfoLength = 0;
    const char* processName = nullptr;  // not filled in: no name is asked for
    const void* processAppSpec = nullptr;
    OSType processSignature = 0;
    std::uint32_t processSize = 0;        // resident size in bytes
    std::uint32_t processFreeMem = 0;     // always 0: Linux gives a process no fixed partition
    std::uint32_t processLaunchDate = 0;  // seconds since the system started
};

inline constexpr OSErr procNotFound = -600;
inline constexpr OSErr permErr = -54;

// The signature for an executable name ("kdenlive" gives 'KeyG'); 0 for
// names the table does not know.
OSType ProcessSignatureFor(const std::string& executable);

class TProcess {
public:
    explicit TProcess(ProcessSerialNumber theNum, ky::ProcessTable processes = {});
    virtual ~TProcess();

    // The updater walks the processes (First, Next, Last, GetProcessID);
    // FindProcess, KillApplication and the information records round out
    // the library for tools that look for or stop one program.
    // Asks the process to quit (SIGTERM); does not wait for it.
    virtual Boolean KillApplication(const ProcessSerialNumber* target);
    virtual std::int16_t GetNumProcesses();
    virtual ProcessInfoRec GetProcessInfoRec();
    virtual std::uint32_t GetProcessSize();
    virtual std::uint32_t GetFreeMem();
    virtual std::uint32_t GetLaunchDate();
    virtual Boolean FindProcess(OSType signature);
    virtual ProcessSerialNumber GetMyProcessID() const { return fMyProcessID; }
    virtual ProcessSerialNumber GetProcessID() const { return fProcessID; }
    virtual void Next();
    virtual Boolean Last() { return fLast; }
    virtual void First() { fProcessID = fFirstPSN; }
    OSErr Error() const { return fError; }
    // The executable name of a process, as the signature table sees it.
    std::string ExecutableName(const ProcessSerialNumber& psn) const {
        return fProcesses.NameOf(psn.lowLongOfPSN);
    }

protected:
    virtual Boolean IProcess();

private:
    OSErr GetNextProcess(ProcessSerialNumber& psn) const;
    OSErr GetProcessInformation(const ProcessSerialNumber& psn, ProcessInfoRec& rec) const;

    ky::ProcessTable fProcesses;
    std::vector<std::uint32_t> fPids;  // as listed when the walker was made
    ProcessSerialNumber fProcessID;
    ProcessSerialNumber fMyProcessID;
    ProcessSerialNumber fFirstPSN;
    Boolean fFirstTime = true;
    Boolean fLast = false;
    Boolean fState = false;
    OSErr fError = noErr;
};
