#include "update/UpdateWording.h"

#include "base/Translate.h"
#include "support/DeviceInUse.h"

namespace ky {

const char* KyCheckText(KyCheck check) {
    switch (check) {
        case KyCheck::Accepted:
            return Tr("ready");
        case KyCheck::WrongProduct:
            return Tr("product version not supported by this updater");
        case KyCheck::OpenFailed:
            return Tr("could not be opened");
        case KyCheck::InUse:
            return Tr("held by another updater");
        case KyCheck::NoAccess:
            return Tr("may not be opened by this user (see the udev rule)");
        case KyCheck::NotFound:
            return Tr("not found");
        case KyCheck::NoGeneration:
            return Tr("bus generation could not be read");
        case KyCheck::ReadFailed:
            return Tr("versions could not be read");
    }
    return "?";
}

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Downgrade:
            return Tr("downgrade");
        case Verdict::Same:
            return Tr("same");
        case Verdict::Upgrade:
            break;
    }
    return Tr("upgrade");
}

std::string SerialText(const KyInfo& info) {
    return info.MCOREver > 1 ? info.serialNum : Tr("Not Available");
}

std::string VersionText(UInt32 mcore, UInt32 xilinx) {
    return std::to_string(mcore) + "-" + std::to_string(xilinx);
}

std::string ErrorText(IOReturn error) {
    if (error == kUpdateStatusError) return Tr("the Ky reported an unexpected status (error -192)");
    const std::string number = std::to_string(error);
    if (error == kIOReturnNoDevice)
        return Fill(Tr("device not found: the Ky left the bus (error {1})"), {number});
    // TRANSLATORS: {1} is the error's name, as "busy"; {2} its number.
    return Fill(Tr("{1} (error {2})"), {IOReturnName(error), number});
}

std::string HoldFailedText(IOReturn status) {
    return status == kIOReturnNoDevice
               ? Tr("device not found")
               : Fill(Tr("could not open the Ky: {1}"), {ErrorText(status)});
}

std::string NotAsAgreedText(KyCheck check, const KyInfo& now, const KyInfo& agreed) {
    if (check != KyCheck::Accepted)
        return Fill(Tr("the Ky could not be identified again ({1})"), {KyCheckText(check)});
    return Fill(
        Tr("the Ky now reads {1}, not the {2} you agreed to update"),
        {VersionText(now.MCOREver, now.XilinxVer), VersionText(agreed.MCOREver, agreed.XilinxVer)});
}

std::string DescribeFailure(const UpdateResult& result) {
    if (!result.started)
        return Fill(Tr("The update could not be started: {1}. Nothing was written to the Ky."),
                    {result.failure});
    if (!result.deviceFound)
        return Fill(Tr("The Ky could not be reached when the update began: {1}."),
                    {result.failure});
    std::string text;
    auto image = [&](const char* name, const ImageOutcome& image) {
        if (image.Programmed()) return;
        if (!text.empty()) text += " ";
        const std::string step = image.StepText();
        text += step.empty()
                    // TRANSLATORS: {1} is "MCORE" or "FPGA (Xilinx)", {2} the error.
                    ? Fill(Tr("The {1} image failed: {2}."), {name, ErrorText(image.error)})
                    // TRANSLATORS: {1} is "MCORE" or "FPGA (Xilinx)", {2} a step such as
                    // "sending the block at 4938", {3} the error.
                    : Fill(Tr("The {1} image failed while {2}: {3}."),
                           {name, step, ErrorText(image.error)});
    };
    image("FPGA (Xilinx)", result.xilinx);
    image("MCORE", result.mcore);
    if (text.empty() && !result.failure.empty())
        text = Fill(Tr("The update failed: {1}."), {result.failure});
    return text;
}

void NoteStateNotKept(UpdateResult& result, const Done& kept) {
    if (!kept && result.failure.empty())
        result.failure =
            Fill(Tr("the simulated Ky's state could not be kept: {1}"), {kept.Failure().What()});
}

std::string FailureAdvice(const UpdateResult& result, AdviceFor reader) {
    const bool left = LeftTheBus(result);
    if (reader == AdviceFor::Window)
        return left ? Tr("Reconnect the Ky (power and cable), wait until this window shows it, "
                         "and run the update again.")
                    : Tr("Do not switch the Ky off. Leave it powered and connected, and run the "
                         "update again.");
    return Fill(left ? Tr("Reconnect the Ky (power and cable), check that `kyfw list` shows it, "
                          "then run `{1}` again.")
                     : Tr("Do not switch the Ky off; leave it connected and run `{1}` again."),
                {RetryCommand(result)});
}

std::string BeingUpdatedText(const FWLib::UnitInfo& unit, const ProcessTable& processes) {
    const auto updater = FindUpdater(unit.lockFile, processes);
    if (!updater) return Tr("the Ky is being updated by another program");
    const std::string who =
        Fill(Tr("{1} (process {2})"), {updater->who.name, std::to_string(updater->who.pid)});
    if (updater->activity == "waiting")
        return Fill(Tr("the Ky is held by {1}, waiting for confirmation; nothing has been "
                       "written yet"),
                    {who});
    if (updater->activity == "writing") return Fill(Tr("the Ky is being written by {1}"), {who});
    return Fill(Tr("the Ky is being updated by {1}"), {who});
}

namespace {

constexpr const char* kRuleFile = "70-ky-firmware-update.rules";

NoKyReason NoKyAmong(std::vector<FWLib::UnitInfo> nodes) {
    NoKyReason reason{"no-ky", {}, std::move(nodes)};
    if (reason.nodes.empty()) {
        reason.text =
            Tr("the FireWire controller sees no other device: is the Ky connected and switched "
               "on?");
        return reason;
    }
    const std::size_t n = reason.nodes.size();
    reason.text = Fill(TrN("{1} FireWire device is connected, but none of them is a Ky (no "
                           "firmware-update unit):",
                           "{1} FireWire devices are connected, but none of them is a Ky (no "
                           "firmware-update unit):",
                           n),
                       {std::to_string(n)});
    for (const auto& node : reason.nodes) reason.text += "\n  " + NodeText(node);
    return reason;
}

NoKyReason NoKyOn(FWLib::Bus& bus) {
    FWLib::BusSurvey survey = bus.Survey();
    if (!survey.controller)
        return {"no-controller",
                Tr("this machine shows no FireWire controller (no /dev/fw* files): is the "
                   "firewire-ohci kernel module loaded? (sudo modprobe firewire-ohci)"),
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
    if (!bus) return {"no-bus", Tr("there is no bus to look at"), {}};
    switch (check) {
        case KyCheck::NotFound:
            return NoKyOn(*bus);
        case KyCheck::NoAccess:
            return {"no-access",
                    Fill(Tr("a Ky is connected at {1}, but this user may not open it: the udev "
                            "rule {2} is missing, or the Ky was plugged in before it was "
                            "installed (unplug it and plug it in again). Install the rule with "
                            "sudo cmake --install build, or with the Debian package."),
                         {unit.deviceNode, kRuleFile}),
                    {}};
        case KyCheck::InUse:
            return {"in-use", BeingUpdatedText(unit, processes), {}};
        default:
            return {"not-usable",
                    Fill(Tr("the Ky at {1}: {2}"), {unit.deviceNode, KyCheckText(check)}),
                    {}};
    }
}

}  // namespace ky
