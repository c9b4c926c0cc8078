#include "update/UpdateWording.h"

#include "support/DeviceInUse.h"

namespace ky {

const char* KyCheckText(KyCheck check) {
    switch (check) {
        case KyCheck::Accepted:
            return "ready";
        case KyCheck::WrongProduct:
            return "product version not supported by this updater";
        case KyCheck::OpenFailed:
            return "could not be opened";
        case KyCheck::InUse:
            return "held by another updater";
        case KyCheck::NoAccess:
            return "may not be opened by this user (see the udev rule)";
        case KyCheck::NotFound:
            return "not found";
        case KyCheck::NoGeneration:
            return "bus generation could not be read";
        case KyCheck::ReadFailed:
            return "versions could not be read";
    }
    return "?";
}

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Downgrade:
            return "downgrade";
        case Verdict::Same:
            return "same";
        case Verdict::Upgrade:
            break;
    }
    return "upgrade";
}

std::string SerialText(const KyInfo& info) {
    return info.MCOREver > 1 ? info.serialNum : "Not Available";
}

std::string VersionText(UInt32 mcore, UInt32 xilinx) {
    return std::to_string(mcore) + "-" + std::to_string(xilinx);
}

std::string ErrorText(IOReturn error) {
    if (error == kUpdateStatusError) return "the Ky reported an unexpected status (error -192)";
    if (error == kIOReturnNoDevice)
        return "device not found: the Ky left the bus (error " + std::to_string(error) + ")";
    return IOReturnName(error) + " (error " + std::to_string(error) + ")";
}

std::string HoldFailedText(IOReturn status) {
    return status == kIOReturnNoDevice ? "device not found"
                                       : "could not open the Ky: " + ErrorText(status);
}

std::string NotAsAgreedText(KyCheck check, const KyInfo& now, const KyInfo& agreed) {
    if (check != KyCheck::Accepted)
        return std::string("the Ky could not be identified again (") + KyCheckText(check) + ")";
    return "the Ky now reads " + VersionText(now.MCOREver, now.XilinxVer) + ", not the " +
           VersionText(agreed.MCOREver, agreed.XilinxVer) + " you agreed to update";
}

std::string DescribeFailure(const UpdateResult& result) {
    if (!result.started)
        return "The update could not be started: " + result.failure +
               ". Nothing was written to the Ky.";
    if (!result.deviceFound)
        return "The Ky could not be reached when the update began: " + result.failure + ".";
    std::string text;
    auto image = [&](const char* name, const ImageOutcome& image) {
        if (image.Programmed()) return;
        if (!text.empty()) text += " ";
        const std::string step = image.StepText();
        text += std::string("The ") + name + " image failed" +
                (step.empty() ? "" : " while " + step) + ": " + ErrorText(image.error) + ".";
    };
    image("FPGA (Xilinx)", result.xilinx);
    image("MCORE", result.mcore);
    if (text.empty() && !result.failure.empty())
        text = "The update failed: " + result.failure + ".";
    return text;
}

void NoteStateNotKept(UpdateResult& result, const Done& kept) {
    if (!kept && result.failure.empty())
        result.failure = "the simulated Ky's state could not be kept: " + kept.Failure().What();
}

std::string FailureAdvice(const UpdateResult& result, AdviceFor reader) {
    const bool window = reader == AdviceFor::Window;
    const std::string again =
        window ? "run the update again." : "run `" + RetryCommand(result) + "` again.";
    if (LeftTheBus(result))
        return std::string("Reconnect the Ky (power and cable), ") +
               (window ? "wait until this window shows it, and "
                       : "check that `kyfw list` shows it, then ") +
               again;
    return std::string(window ? "Do not switch the Ky off. Leave it powered and connected, and "
                              : "Do not switch the Ky off; leave it connected and ") +
           again;
}

std::string BeingUpdatedText(const FWLib::UnitInfo& unit, const ProcessTable& processes) {
    const auto updater = FindUpdater(unit.lockFile, processes);
    if (!updater) return "the Ky is being updated by another program";
    const std::string who =
        updater->who.name + " (process " + std::to_string(updater->who.pid) + ")";
    if (updater->activity == "waiting")
        return "the Ky is held by " + who +
               ", waiting for confirmation; nothing has been written yet";
    if (updater->activity == "writing") return "the Ky is being written by " + who;
    return "the Ky is being updated by " + who;
}

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

NoKyReason NoKyOn(FWLib::Bus& bus) {
    FWLib::BusSurvey survey = bus.Survey();
    if (!survey.controller)
        return {"no-controller",
                "this machine shows no FireWire controller (no /dev/fw* files): is the "
                "firewire-ohci kernel module loaded? (sudo modprobe firewire-ohci)",
                {}};
    return NoKyAmong(std::move(survey.nodes));
}

}  // namespace

std::string NodeText(const FWLib::UnitInfo& node) {
    std::string text = node.name + ": GUID " + FWLib::GuidText(node.guid);
    const std::string names =
        node.vendor + (node.vendor.empty() || node.model.empty() ? "" : " ") + node.model;
    return names.empty() ? text : text + ", " + names;
}

NoKyReason ExplainNoKy(FWLib::Bus* bus, KyCheck check, const FWLib::UnitInfo& unit,
                       const ProcessTable& processes) {
    if (!bus) return {"no-bus", "there is no bus to look at", {}};
    switch (check) {
        case KyCheck::NotFound:
            return NoKyOn(*bus);
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
