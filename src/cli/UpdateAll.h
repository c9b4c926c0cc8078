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

// The restart's part of the JSON document: confirmed, versions, waited
// seconds, whether it left the bus, the reason and the message.
nlohmann::json RestartJson(const ky::RestartResult& result, const std::string& text);

}  // namespace kyfw
