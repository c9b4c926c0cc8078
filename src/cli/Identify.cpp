#include "cli/Identify.h"

#include <cstdio>

namespace kyfw {

using ZRV::PTA::KyCheck;

std::string FoundKy::Status() const {
    return created ? ZRV::PTA::KyCheckText(check) : "update unit could not be used";
}

std::string FoundKy::Serial() const {
    return ZRV::PTA::SerialText(info);
}

std::string FoundKy::Version() const {
    return ZRV::PTA::VersionText(info.MCOREver, info.XilinxVer);
}

const char* FoundKy::Verdict() const {
    if (ZRV::PTA::IsDowngradeFor(info)) return "downgrade";
    if (ZRV::PTA::IsSameAsBuiltIn(info)) return "same";
    return "upgrade";
}

std::string GuidText(UInt64 guid) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(guid));
    return buf;
}

bool FindKys(FWLib::Bus& bus, std::vector<FoundKy>& found, std::string& problem) {
    std::vector<FWLib::io_service_t> services;
    const FWLib::MatchingDictionary match{DownloadUnit::kFirmwareUpdateUnitSpecID,
                                          DownloadUnit::kFirmwareUpdateUnitSWVersion};
    if (IOReturn status = bus.GetMatchingServices(match, services); status != kIOReturnSuccess) {
        problem = "cannot look at the FireWire bus: " + IOReturnName(status);
        return false;
    }
    for (const auto& service : services) {
        FoundKy ky{service->Info(), {}, KyCheck::OpenFailed, false};
        try {
            DownloadUnit unit(service);
            ky.created = true;
            ky.check = ZRV::PTA::IdentifyKy(unit, ky.info);
        } catch (const std::exception&) {
        }
        found.push_back(std::move(ky));
    }
    return true;
}

}  // namespace kyfw
