#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "update/KyIdentity.h"
#include "update/UpdateWording.h"

namespace kyfw {

// One Ky update unit found on the bus, as kyfw shows it.
struct FoundKy : ky::FoundKy {
    std::string Status() const;
    std::string Serial() const;   // "Not Available" for firmware older than MCORE 2
    std::string Version() const;  // "1-5"
    const char* Verdict() const;  // "upgrade", "downgrade" or "same"
};

// Every Ky update unit on the bus, identified.
ky::Result<std::vector<FoundKy>> IdentifyKys(FWLib::Bus& bus, const ky::Trace& trace);
using FWLib::GuidText;
// Why none of `all` (every Ky unit found) can be updated.
ky::NoKyReason WhyNoKy(FWLib::Bus& bus, const std::vector<FoundKy>& all,
                       const ky::ProcessTable& processes);
nlohmann::json ReasonJson(const ky::NoKyReason& reason);

}  // namespace kyfw
