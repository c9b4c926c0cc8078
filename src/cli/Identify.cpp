#include "cli/Identify.h"

namespace kyfw {

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

ky::Result<std::vector<FoundKy>> IdentifyKys(FWLib::Bus& bus, const ky::Trace& trace) {
    auto kys = ky::FindKys(bus, trace);
    if (!kys) return kys.Failure();
    std::vector<FoundKy> found;
    for (auto& ky : *kys) found.push_back({std::move(ky)});
    return found;
}

ky::NoKyReason WhyNoKy(FWLib::Bus& bus, const std::vector<FoundKy>& all,
                       const ky::ProcessTable& processes) {
    if (all.empty()) return ky::ExplainNoKy(&bus, ky::KyCheck::NotFound, {}, processes);
    return ky::ExplainNoKy(&bus, all.front().check, all.front().unit, processes);
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
