#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "update/NoKyReason.h"
#include "update/kyfirmwareupdate.h"

namespace kyfw {

// One Ky update unit found on the bus and what identification made of it.
struct FoundKy {
    FWLib::UnitInfo unit;
    ZRV::PTA::KyInfo info;
    ky::KyCheck check = ky::KyCheck::OpenFailed;
    bool created = false;  // the update unit object could be made

    bool Usable() const { return created && check == ky::KyCheck::Accepted; }
    bool VersionsKnown() const {
        return created && (check == ky::KyCheck::Accepted || check == ky::KyCheck::WrongProduct);
    }
    std::string Status() const;
    std::string Serial() const;   // "Not Available" for firmware older than MCORE 2
    std::string Version() const;  // "1-5"
    const char* Verdict() const;  // "upgrade", "downgrade" or "same"
};

// Every Ky update unit on the bus, identified; false when the bus cannot be
// looked at (the reason in `problem`).
bool FindKys(FWLib::Bus& bus, std::vector<FoundKy>& found, std::string& problem,
             const ky::Trace& trace);
using FWLib::GuidText;
// Why none of `all` (every Ky unit found) can be updated.
ky::NoKyReason WhyNoKy(FWLib::Bus& bus, const std::vector<FoundKy>& all,
                       const ky::ProcessTable& processes);
nlohmann::json ReasonJson(const ky::NoKyReason& reason);

}  // namespace kyfw
