#include "cli/Identify.h"

#include <cstdio>

#include "update/NoKyReason.h"

namespace kyfw {

using ky::KyCheck;

std::string FoundKy::Status() const {
    return ky::KyCheckText(check);
}

std::string FoundKy::Serial() const {
    return ky::SerialText(info);
}

std::string FoundKy::Version() const {
    return ky::VersionText(info.MCOREver, info.XilinxVer);
}

const char* FoundKy::Verdict() const {
    return ky::VerdictText(ky::VerdictFor(info));
}

bool FindKys(FWLib::Bus& bus, std::vector<FoundKy>& found, std::string& problem,
             const ky::Trace& trace) {
    std::vector<FWLib::io_service_t> services;
    if (IOReturn status = bus.GetMatchingServices(ky::KyUnitMatch(), services);
        status != kIOReturnSuccess) {
        problem = "cannot look at the FireWire bus: " + IOReturnName(status);
        return false;
    }
    for (const auto& service : services) {
        FoundKy ky{service->Info(), {}, KyCheck::OpenFailed, false};
        try {
            DownloadUnit unit(service, trace);
            ky.created = true;
            ky.check = ky::IdentifyKy(unit, ky.info, trace);
        } catch (const FWLib::DeviceError& e) {
            ky.check = ky::CheckUnopenedUnit(e.status);
        }
        found.push_back(std::move(ky));
    }
    return true;
}

}  // namespace kyfw

namespace kyfw {

ky::NoKyReason WhyNoKy(FWLib::Bus& bus, const std::vector<FoundKy>& all,
                       const ky::ProcessTable& processes) {
    if (all.empty()) return ky::ExplainNoKy(bus, ky::KyCheck::NotFound, {}, processes);
    return ky::ExplainNoKy(bus, all.front().check, all.front().unit, processes);
}

nlohmann::json ReasonJson(const ky::NoKyReason& reason) {
    nlohmann::json nodes = nlohmann::json::array();
    for (const auto& n : reason.nodes)
        nodes.push_back({{"name", n.name},
                         {"node", n.deviceNode},
                         {"guid", GuidText(n.guid)},
                         {"vendor", n.vendor},
                         {"model", n.model}});
    return {{"code", reason.code}, {"text", reason.text}, {"nodes", nodes}};
}

}  // namespace kyfw
