// kyfw update: every check first, then the two images through the
// controller's worker, with progress, a log and an honest outcome.
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Identify.h"
#include "cli/UpdateSession.h"
#include "engine/DownloadProgress.h"
#include "engine/ImageCheck.h"
#include "sim/SimFaults.h"
#include "support/DeviceInUse.h"
#include "support/Process.h"

namespace kyfw {

nlohmann::json DeviceJson(const FoundKy& f);

namespace {

using ZRV::PTA::UpdateResult;
const std::string kBuiltIn =
    ZRV::PTA::VersionText(ZRV::PTA::KyMCOREUpgradeVer, ZRV::PTA::KyXilinxUpgradeVer);

bool MatchesDevice(const FoundKy& ky, const std::string& device) {
    if (device.empty()) return true;
    if (device.find('/') != std::string::npos) return ky.unit.deviceNode == device;
    try {
        return std::stoull(device, nullptr, 16) == ky.unit.guid;
    } catch (...) {
        return false;
    }
}

std::string PhaseText() {
    const char* image = gDownloadProgress.DeviceType() == Xilinx ? "Xilinx" : "MCORE";
    switch (gDownloadProgress.CurrentPhase()) {
        case DownloadProgress::kErasing:
            return std::string(image) + ": erasing";
        case DownloadProgress::kWriting:
            return std::string(image) + ": writing";
        case DownloadProgress::kStarting:
            break;
    }
    return std::string(image) + ": starting";
}

nlohmann::json ImageJson(IOReturn error, const std::string& step) {
    nlohmann::json j{{"ok", error == kIOReturnSuccess}, {"error", error}};
    if (error != kIOReturnSuccess) {
        j["error_text"] = ZRV::PTA::ErrorText(error);
        j["step"] = step;
    }
    return j;
}

class UpdateCommand {
public:
    UpdateCommand(Context& context, const UpdateOptions& options)
        : c(context), o(options), doc{{"command", "update"}} {}

    int Run() {
        if (int status = Checks(); status >= 0) return status;
        return Flash();
    }

private:
    // A refusal or another early end: message, JSON and exit status.
    int End(int status, const char* outcome, const std::string& message) {
        doc["outcome"] = outcome;
        doc["message"] = message;
        if (c.options.json)
            c.out << doc.dump(2) << "\n";
        else
            (status == kExitNothingToDo ? c.out : c.err)
                << (status == kExitNothingToDo ? "" : "kyfw: ") << message << "\n";
        return status;
    }

    int Checks() {
        std::string problem;
        if (!kyimage::CheckBuiltInImages(problem))
            return End(kExitRefused, "refused", "refusing to update: " + problem);
        if (!o.simFault.empty() && !c.choice.demo)
            return End(kExitUsage, "refused", "--sim-fault needs --simulate");
        if (!o.simFault.empty() && !ApplySimFault())
            return End(kExitUsage, "refused", "unknown simulator fault \"" + o.simFault + "\"");
        if (int status = Choose(); status >= 0) return status;
        doc["device"] = DeviceJson(ky);
        if (int status = CheckKy(); status >= 0) return status;
        return Consent();
    }

    bool ApplySimFault() {
        return kysim::ApplyNamedFault(*c.choice.demo->Bus(), c.choice.demo->Guid(), o.simFault);
    }

    int Choose() {
        std::vector<FoundKy> all, matching;
        std::string problem;
        if (!FindKys(*c.bus, all, problem)) return End(kExitNoKy, "no-device", problem);
        for (auto& f : all)
            if (MatchesDevice(f, o.device)) matching.push_back(f);
        if (matching.empty())
            return End(kExitNoKy, "no-device",
                       o.device.empty() ? "no Ky found" : "no Ky matches --device " + o.device);
        if (matching.size() > 1) {
            std::string list = "several Kys found; choose one with --device:";
            for (const auto& f : matching)
                list += "\n  --device " + GuidText(f.unit.guid) + "   (" + f.unit.deviceNode +
                        ", firmware " + f.Version() + ")";
            return End(kExitRefused, "refused", list);
        }
        ky = matching.front();
        return -1;
    }

    int CheckKy() {
        if (ky.check == ZRV::PTA::KyCheck::WrongProduct)
            return End(kExitRefused, "refused",
                       "refusing to update: this updater is for Ky product version 3, this Ky is "
                       "product version " +
                           std::to_string(ky.info.productVer >> 16));
        if (!ky.Usable())
            return End(
                kExitRefused, "refused",
                "refusing to update: the Ky " + ky.Status() + " (is another updater using it?)");
        if (auto user = ky::FindOtherDeviceUser(ky.unit.deviceNode))
            return End(kExitRefused, "refused",
                       "refusing to update: the Ky is in use by " + user->name + " (process " +
                           std::to_string(user->pid) + "); quit it first");
        TProcess processes(kMyProcess);
        if (processes.FindProcess(FourCharCode("KeyG")))
            return End(kExitRefused, "refused",
                       "refusing to update: " + processes.ExecutableName(processes.GetProcessID()) +
                           " (process " + std::to_string(processes.GetProcessID().lowLongOfPSN) +
                           ") may be using the Ky; quit it first");
        return -1;
    }

    int Consent() {
        const std::string from = ky.Version();
        if (ZRV::PTA::IsSameAsBuiltIn(ky.info) && !o.reinstall)
            return End(kExitNothingToDo, "nothing-to-do",
                       "The Ky already has firmware " + from +
                           "; nothing to do (--reinstall writes it again).");
        const bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && !c.options.json;
        const bool downgrade = ZRV::PTA::IsDowngradeFor(ky.info);
        if (downgrade && !o.allowDowngrade && !terminal)
            return End(kExitRefused, "refused",
                       "refusing to downgrade the Ky from " + from + " to " + kBuiltIn +
                           " without --allow-downgrade");
        if (o.yes && (!downgrade || o.allowDowngrade)) return -1;
        if (!terminal)
            return End(kExitRefused, "refused",
                       "refusing to update without confirmation: run kyfw on a terminal or pass "
                       "--yes");
        const std::string question = (downgrade ? "This is a downgrade. Replace firmware "
                                                : "Update the Ky from firmware ") +
                                     from + (downgrade ? " with the older " : " to ") + kBuiltIn +
                                     " (" + ky.unit.deviceNode + ", serial " + ky.Serial() +
                                     ")? [y/N] ";
        c.out << question << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (answer == "y" || answer == "Y" || answer == "yes") return -1;
        return End(kExitRefused, "refused", "update cancelled; the Ky was not touched");
    }

    int Flash() {
        if (!c.options.json)
            c.out << "Updating the Ky at " << ky.unit.deviceNode << " from " << ky.Version()
                  << " to " << kBuiltIn << ". Do not switch it off or unplug it.\n";
        UpdateResult result;
        std::string logPath;
        {
            UpdateLog log(c.options.verbose, c.err.rdbuf());
            logPath = log.Path().string();
            log.Stream() << "kyfw update of " << ky.unit.deviceNode << " (GUID "
                         << GuidText(ky.unit.guid) << ") from " << ky.Version() << " to "
                         << kBuiltIn << "\n";
            ky::SleepInhibitor inhibitor(log.Stream());
            QuitSignalsDeferred signals;
            result = RunWorker();
        }
        return Report(result, logPath);
    }

    UpdateResult RunWorker() {
        ZRV::PTA::CKyFirmwareUpdate controller(c.bus, c.choice.DownloadClock());
        controller.SelectUnit(ky.unit.guid);
        ProgressView view(c.out, !c.options.json && isatty(STDOUT_FILENO));
        controller.DoUpdate();
        while (!controller.GetDoneStatus()) {
            if (!c.options.json) view.Show(gDownloadProgress.Get(), PhaseText());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!c.options.json) {
            view.Show(gDownloadProgress.Get(), PhaseText());
            view.Finish();
        }
        return controller.GetUpdateResult();
    }

    int Report(const UpdateResult& result, const std::string& logPath) {
        const bool ok = result.Succeeded();
        doc["images"] = {{"xilinx", ImageJson(result.xilinxError, result.xilinxStep)},
                         {"mcore", ImageJson(result.mcoreError, result.mcoreStep)}};
        doc["log"] = logPath;
        doc["outcome"] = ok ? "done" : "failed";
        doc["message"] = ok ? "Switch the Ky off and on again to start firmware " + kBuiltIn + "."
                            : ZRV::PTA::DescribeFailure(result) +
                                  " Do not switch the Ky off; leave it connected and run the "
                                  "update again.";
        if (c.options.json) {
            c.out << doc.dump(2) << "\n";
        } else {
            (ok ? c.out : c.err) << (ok ? "Done. " : "kyfw: ") << doc["message"].get<std::string>()
                                 << "\n";
            c.out << "Log: " << logPath << "\n";
        }
        return ok ? kExitDone : kExitImageFailed;
    }

    Context& c;
    const UpdateOptions& o;
    nlohmann::json doc;
    FoundKy ky;
};

}  // namespace

int RunUpdate(Context& context, const UpdateOptions& options) {
    return UpdateCommand(context, options).Run();
}

}  // namespace kyfw
