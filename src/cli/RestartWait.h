#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/Context.h"
#include "update/RestartWatch.h"

namespace kyfw {

// One Ky's restart as kyfw reports it: what the user reads, the JSON part
// (confirmed, versions, waited seconds, whether it left the bus, reason,
// message) and whether the update fails for it.
struct RestartReport {
    ky::RestartResult result;
    std::string text;
    bool failed = false;
    nlohmann::json json;
};

// The restart object of a wait that was asked for and skipped: a quit
// signal came during the update.
nlohmann::json SkippedRestartJson();

// Follows the restarts of the Kys with `guids` (the simulated ones are
// switched off and on as their user would); Ctrl+C ends the waiting, from
// the moment `announce` (the user's part) has been said. A replay follows
// the restart its recording waited for.
std::vector<RestartReport> AwaitRestarts(Context& context, const UpdateOptions& options,
                                         const std::vector<UInt64>& guids,
                                         const std::string& announce);

}  // namespace kyfw
