#include "update/NoKyReason.h"

#include <cstdio>

namespace ky {

namespace {

constexpr const char* kRuleFile = "70-ky-firmware-update.rules";

NoKyReason NoKyAmong(std::vector<FWLib::UnitInfo> nodes) {
    NoKyReason reason{"no-ky", {}, std::move(nodes)};
    if (reason.nodes.empty()) {
        reason.text =
            "the FireWire controller sees no other device: is the Ky connected and switched on?";
        return reason;
    }
    reason.text = std::to_string(reason.nodes.size()) +
                  (reason.nodes.size() == 1 ? " FireWire device is" : " FireWire devices are") +
                  " connected, but none of them is a Ky (no firmware-update unit):";
    for (const auto& node : reason.nodes) reason.text += "\n  " + NodeText(node);
    return reason;
}

}  // namespace

std::string NodeText(const FWLib::UnitInfo& node) {
    std::string text = node.name + ": GUID " + FWLib::GuidText(node.guid);
    const std::string names =
        node.vendor + (node.vendor.empty() || node.model.empty() ? "" : " ") + node.model;
    return names.empty() ? text : text + ", " + names;
}

KyCheck CheckUnopenedUnit(IOReturn status) {
    return status == kIOReturnNotPrivileged ? KyCheck::NoAccess : KyCheck::OpenFailed;
}

NoKyReason ExplainNoKy(FWLib::Bus& bus, KyCheck check, const FWLib::UnitInfo& unit,
                       const ProcessTable& processes) {
    switch (check) {
        case KyCheck::NotFound: {
            FWLib::BusSurvey survey = bus.Survey();
            if (!survey.controller)
                return {"no-controller",
                        "this machine shows no FireWire controller (no /dev/fw* files): is the "
                        "firewire-ohci kernel module loaded? (sudo modprobe firewire-ohci)",
                        {}};
            return NoKyAmong(std::move(survey.nodes));
        }
        case KyCheck::NoAccess:
            return {"no-access",
                    "a Ky is connected at " + unit.deviceNode +
                        ", but this user may not open it: the udev rule " + kRuleFile +
                        " is missing, or the Ky was plugged in before it was installed (unplug "
                        "it and plug it in again). Install the rule with sudo cmake --install "
                        "build, or with the Debian package.",
                    {}};
        case KyCheck::InUse:
            return {"in-use", BeingUpdatedText(unit, processes), {}};
        default:
            return {"not-usable", "the Ky at " + unit.deviceNode + ": " + KyCheckText(check), {}};
    }
}

}  // namespace ky
