#pragma once

// The exit statuses of kyfw, one table for every subcommand.
namespace kyfw {

enum ExitStatus : int {
    kExitDone = 0,         // the command did what was asked
    kExitImageFailed = 1,  // an image failed to program
    kExitNothingToDo = 2,  // the Ky already has the built-in firmware
    kExitNoKy = 3,         // no usable Ky was found
    kExitRefused = 4,      // checks refused the update
    kExitUsage = 64,       // the command line was wrong
};

}  // namespace kyfw
