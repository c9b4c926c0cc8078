#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "cli/Context.h"
#include "cli/Identify.h"
#include "update/RestartWatch.h"

namespace kyfw {

// What one Ky's update within `kyfw update --all` came to.
struct OneKyUpdate {
    int status = kExitDone;
    nlohmann::json doc;         // as `kyfw update --json` would print it
    std::string versionsAfter;  // as the Ky will read them
};

// Updates `ky`, for which consent was given with the others; its JSON
// document is kept, and the restart is not waited for.
OneKyUpdate UpdateOneOfAll(Context& context, const UpdateOptions& options, const FoundKy& ky);

// One Ky's restart as kyfw reports it: what the user reads, the JSON part
// (confirmed, versions, waited seconds, whether it left the bus, reason,
// message) and whether the update command fails for it.
struct RestartReport {
    ky::RestartResult result;
    std::string text;
    bool failed = false;
    nlohmann::json json;
};
// The status of `kyfw update --all` when one Ky ended with `a` and another
// with `b`: the worse (nothing to do, done, no Ky, refused, failed).
int WorseStatus(int a, int b);

// The restart object of a wait that was asked for and skipped: a quit
// signal came during the update.
nlohmann::json SkippedRestartJson();

// Follows the restarts of the Kys with `guids` (the simulated ones are
// switched off and on as their user would); Ctrl+C ends the waiting, from
// the moment `announce` (the user's part) has been said.
std::vector<RestartReport> AwaitRestarts(Context& context, const UpdateOptions& options,
                                         const std::vector<UInt64>& guids,
                                         const std::string& announce);

}  // namespace kyfw
