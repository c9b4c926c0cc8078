#pragma once

// A record of everything that passes the platform interface, for a user to
// hand over when a real Ky misbehaves: discovery, plug-ins and device
// interfaces, opens and closes, bus generation reads, and each request
// with its answer, with the time since the event before. JSON Lines: the
// first line names the format, the program and the kernel's firewire ABI
// version; every later line is one event, so a file cut off by a crash or
// a full disk keeps everything before the cut. Block writes longer than a
// header carry image data that the program itself holds: they are written
// as their length and an FNV-1a hash ("image_data": "fnv1a-64").

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/FdStream.h"
#include "base/Result.h"
#include "firewire/FWPlatform.h"
#include "firewire/RecordingFormat.h"

namespace FWLib {

class Recorder {
public:
    struct Options {
        std::string program;       // "kyfw 1.3.0"
        bool anonymous = false;    // GUIDs and the serial number replaced, consistently
        UInt64 serialAddress = 0;  // where the device's serial number is read
    };

    // A new recording for `file`, written beside it (FILE.PID.partial) and
    // moved into its place when it ends: `file` keeps what it held until
    // then. Make it once the run's command line and inputs have been
    // checked, so that a run refused at its start never touches `file`. A symbolic link
    // or anything but a regular file in its place is refused, with the reason.
    static ky::Result<std::shared_ptr<Recorder>> Create(const std::filesystem::path& file,
                                                        Options options);
    ~Recorder();

    // One event: `fields` is the inside of a JSON object ("\"ev\":\"open\"").
    void Event(const std::string& fields);
    UInt64 Guid(UInt64 guid);  // as the recording shows it
    const Options& Settings() const { return mOptions; }
    // Ends the recording and moves it into its place, also when it is cut
    // short (what it holds is kept); a failure says why it could not be
    // written whole or moved.
    ky::Done Finish();
    // Flushes what was recorded so far, or says why it could not be written.
    ky::Done Flush();

private:
    Recorder(int fd, Options options);

    std::mutex mMutex;
    Options mOptions;
    std::filesystem::path mFinal, mPartial;
    bool mFinished = false;
    std::string mProblem;  // why it could not be moved into place
    ky::FdOutputBuffer mFile;
    std::ostream mOut;
    std::chrono::steady_clock::time_point mLast;
    std::vector<UInt64> mGuids;  // real GUIDs in the order first seen
};

// `bus`, with every call recorded by `recorder`.
std::shared_ptr<Bus> RecordingBus(std::shared_ptr<Bus> bus, std::shared_ptr<Recorder> recorder);

// The run waits for a restart as `wait` says: recorded, and `wait` given
// back with a clock whose every reading, and a stop whose first yes, are
// recorded too.
ky::RestartWait RecordRestart(std::shared_ptr<Recorder> recorder, ky::RestartWait wait);

}  // namespace FWLib
