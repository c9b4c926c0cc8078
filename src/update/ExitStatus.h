#pragma once

// The exit statuses of kyfw and ky-firmware-update: one table, in which
// each status means the same in both programs.
namespace ky {

enum ExitStatus : int {
    kExitDone = 0,         // done, or (the window) quit without a failed update
    kExitFailed = 1,       // an image failed, the new firmware did not start, a replay
                           // differed, or the outcome, the recording or the output was lost
    kExitNothingToDo = 2,  // the Ky already has the built-in firmware
    kExitNoKy = 3,         // no usable Ky, the simulated one included
    kExitRefused = 4,      // refused before anything was written
    kExitStopped = 5,      // a quit signal came before a Ky's first write: it was not written
    kExitCannotStart = 6,  // the window's interface description is missing or unusable
    kExitUsage = 64,       // the command line was wrong
};

// The word a status stands for in a JSON document's `outcome`, the same
// for a single update, each Ky of update --all and its summary.
constexpr const char* OutcomeWord(ExitStatus status) {
    switch (status) {
        case kExitDone:
            return "done";
        case kExitFailed:
            return "failed";
        case kExitNothingToDo:
            return "nothing-to-do";
        case kExitNoKy:
            return "no-device";
        case kExitRefused:
            return "refused";
        case kExitStopped:
            return "stopped";
        case kExitCannotStart:
        case kExitUsage:
            break;
    }
    return "error";
}

}  // namespace ky
