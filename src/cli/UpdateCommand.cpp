// kyfw update: every check first, then the two images through the
// controller's worker, with progress, a log and an honest outcome.
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Identify.h"
#include "cli/Text.h"
#include "cli/UpdateAll.h"
#include "cli/UpdateLog.h"
#include "engine/DownloadProgress.h"
#include "sim/SimFaults.h"
#include "update/RestartWatch.h"
#include "update/UpdateSession.h"

namespace kyfw {

nlohmann::json DeviceJson(const FoundKy& f);

namespace {

using ky::UpdateResult;
const std::string kBuiltIn = ky::BuiltInVersionText();

std::string PhaseText(const DownloadProgress& progress) {
    const char* image = progress.DeviceType() == Xilinx ? "Xilinx" : "MCORE";
    switch (progress.CurrentPhase()) {
        case DownloadProgress::kErasing:
            return std::string(image) + ": erasing";
        case DownloadProgress::kWriting:
            return std::string(image) + ": writing";
        case DownloadProgress::kStarting:
            break;
    }
    return std::string(image) + ": starting";
}

nlohmann::json ImageJson(const ky::ImageOutcome& image) {
    nlohmann::json j{{"ok", image.Programmed()}, {"error", image.error}};
    if (!image.Programmed()) {
        j["error_text"] = ky::ErrorText(image.error);
        j["step"] = image.StepText();
        j["flash_touched"] = image.FlashTouched();
    }
    return j;
}

// An exit status, or nothing when the update goes on.
using Outcome = std::optional<ExitStatus>;

class UpdateCommand {
public:
    UpdateCommand(Context& context, const UpdateOptions& options)
        : c(context), o(options), doc{{"command", "update"}} {}
    // One Ky of `update --all`: consent was given for all of them at once,
    // the JSON document is kept for the summary, and the restart is waited
    // for at the end, for all of them together.
    UpdateCommand(Context& context, const UpdateOptions& options, const FoundKy& chosen)
        : UpdateCommand(context, options) {
        oneOfAll = true;
        ky = chosen;
    }

    int Run() {
        if (Outcome status = Checks()) return *status;
        return Flash();
    }

    OneKyUpdate Summary(int status) const {
        return {status, doc, versionsAfter.empty() ? ky.Version() : versionsAfter};
    }

private:
    using Status = ky::UpdateSession::Status;

    // A refusal or another early end: message, JSON and exit status.
    ExitStatus End(ExitStatus status, const std::string& message) {
        doc["outcome"] = ky::OutcomeWord(status);
        doc["message"] = message;
        if (c.options.json && oneOfAll) return status;
        if (c.options.json)
            Emit(c, doc);
        else
            (status == kExitNothingToDo ? c.out : c.err)
                << (status == kExitNothingToDo ? "" : "kyfw: ") << Printable(message, true) << "\n";
        return status;
    }

    // The session's refusal as kyfw says it.
    ExitStatus Refused(const ky::UpdateSession::Answer& answer) {
        if (answer.status == Status::NoKy) return End(kExitNoKy, answer.message);
        return End(kExitRefused, "refusing to update: " + answer.message);
    }

    Outcome Checks() {
        if (!oneOfAll) {
            if (Outcome status = Choose()) return status;
        }
        // The Ky is taken before anything is checked, and kept through the
        // question and both images: no other updater gets in between.
        controller = std::make_unique<ZRV::PTA::CKyFirmwareUpdate>(c.bus, c.choice.DownloadClock(),
                                                                   c.processes, trace.Sink());
        session = std::make_unique<ky::UpdateSession>(*controller);
        // One Ky of --all is written only while it reads what the user was
        // shown for it: the worker reads it again right before it writes.
        const auto seen = oneOfAll ? std::optional(ky.info) : std::nullopt;
        if (auto held = session->Hold(ky.unit, seen); !held.Ok()) return Refused(held);
        ky.info = session->Info();
        doc["device"] = DeviceJson(ky);
        const auto checked =
            session->Check({.reinstall = o.reinstall, .allowDowngrade = o.allowDowngrade}, true);
        if (checked.status == Status::NothingToDo)
            return End(kExitNothingToDo, "The Ky already has firmware " + ky.Version() +
                                             "; nothing to do (--reinstall writes it again).");
        if (!checked.Ok() && checked.status != Status::NeedsConsent) return Refused(checked);
        if (Outcome status = Ask(checked.status == Status::NeedsConsent)) return status;
        session->Consent();
        return std::nullopt;
    }

    // The Ky's device file, fit for a terminal.
    std::string Node() const { return Printable(ky.unit.deviceNode); }

    Outcome Choose() {
        std::vector<FoundKy> all, matching;
        std::string problem;
        if (!FindKys(*c.bus, all, problem, trace.Sink())) return End(kExitNoKy, problem);
        for (auto& f : all)
            if (o.device.Matches(f.unit)) matching.push_back(f);
        if (matching.empty() && !o.device.Any())
            return End(kExitNoKy, "no Ky matches --device " + Printable(o.deviceText));
        if (matching.empty() || matching.front().check == ky::KyCheck::NoAccess) {
            const auto reason = WhyNoKy(*c.bus, matching, c.processes);
            doc["reason"] = ReasonJson(reason);
            return End(kExitNoKy, "no Ky can be updated: " + reason.text);
        }
        if (matching.size() > 1) {
            std::string list = "several Kys found; choose one with --device:";
            for (const auto& f : matching)
                list += "\n  --device " + GuidText(f.unit.guid) + "   (" +
                        Printable(f.unit.deviceNode) + ", firmware " + f.Version() + ")";
            return End(kExitRefused, list);
        }
        ky = matching.front();
        return std::nullopt;
    }

    // The user's consent: --yes, or a question on a terminal; a downgrade
    // needs --allow-downgrade or the question.
    Outcome Ask(bool downgrade) {
        if (oneOfAll) return std::nullopt;  // asked for all of them
        const std::string from = ky.Version();
        const bool terminal = CanAsk(c);
        if (downgrade && !terminal)
            return End(kExitRefused, "refusing to downgrade the Ky from " + from + " to " +
                                         kBuiltIn + " without --allow-downgrade");
        if (o.yes && !downgrade) return std::nullopt;
        if (!terminal)
            return End(kExitRefused,
                       "refusing to update without confirmation: " + WithoutQuestion(c));
        const bool older = ky::IsDowngradeFor(ky.info);
        const std::string question =
            (older ? "This is a downgrade. Replace firmware " : "Update the Ky from firmware ") +
            from + (older ? " with the older " : " to ") + kBuiltIn + " (" + Node() + ", serial " +
            Printable(ky.Serial()) + ")? [y/N] ";
        c.out << question << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (IsYes(answer)) return std::nullopt;
        if (!std::cin) c.out << "\n";
        return End(kExitRefused, "update cancelled; the Ky was not touched");
    }

    int Flash() {
        UpdateResult result;
        std::optional<std::filesystem::path> logPath;
        std::string logProblem;
        {
            QuitSignalsDeferred signals;  // from the moment the user is told
            if (!c.options.json)
                c.out << "Updating the Ky at " << Node() << " from " << ky.Version() << " to "
                      << kBuiltIn << ". Do not switch it off or unplug it.\n"
                      << std::flush;
            UpdateLog log(c.options.verbose, c.err.rdbuf(), trace);
            // An anonymous recording goes with a log that names the Ky alike.
            const bool anonymous = c.recorder && c.recorder->Settings().anonymous;
            log.Stream() << "kyfw update of " << ky.unit.deviceNode << " (GUID "
                         << GuidText(anonymous ? c.recorder->Guid(ky.unit.guid) : ky.unit.guid)
                         << ") from " << ky.Version() << " to " << kBuiltIn << "\n";
            result = RunWorker();
            quitDuringFlash = QuitSignalsDeferred::Received();
            if (c.outBuffer.Error())
                log.Stream() << "Standard output failed (" << c.outBuffer.ErrorText()
                             << "): the progress was not shown\n";
            logPath = log.Finish();
            logProblem = log.Problem();
        }
        return Report(result, logPath, logProblem);
    }

    UpdateResult RunWorker() {
        ProgressView view(c.out, !c.options.json && isatty(STDOUT_FILENO));
        const DownloadProgress& progress = controller->Progress();
        session->Start();
        while (session->Poll() == ky::UpdateSession::State::Writing) {
            if (!c.options.json) view.Show(progress.Get(), PhaseText(progress));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!c.options.json) {
            view.Show(progress.Get(), PhaseText(progress));
            view.Finish();
        }
        UpdateResult result = session->Result();
        ky::NoteStateNotKept(result, c.choice.StateProblem());
        return result;
    }

    // What to do after a failed update, naming the command that works on
    // the Ky as it reads now.
    std::string Advice(const UpdateResult& result) {
        const std::string command = ky::RetryCommand(result);
        doc["advice"] = command;
        if (ky::LeftTheBus(result))
            return "Reconnect the Ky (power and cable), check that `kyfw list` shows it, then run "
                   "`" +
                   command + "` again.";
        return "Do not switch the Ky off; leave it connected and run `" + command + "` again.";
    }

    int Report(UpdateResult result, const std::optional<std::filesystem::path>& logPath,
               const std::string& logProblem) {
        // Stopped right before the first write: someone uses the Ky, or it
        // is not the Ky the user agreed to update.
        if (!result.started)
            return End(kExitRefused,
                       "refusing to update: " + result.failure + "; nothing was written");
        const bool ok = result.Succeeded();
        doc["images"] = {{"xilinx", ImageJson(result.xilinx)}, {"mcore", ImageJson(result.mcore)}};
        doc["log"] = logPath ? nlohmann::json(logPath->string()) : nlohmann::json(nullptr);
        if (!logPath) doc["log_problem"] = logProblem;
        doc["outcome"] = ky::OutcomeWord(ok ? kExitDone : kExitImageFailed);
        doc["message"] = ok ? "Switch the Ky off and on again to start firmware " + kBuiltIn + "."
                            : ky::DescribeFailure(result) + " " + Advice(result);
        if (!c.options.json) {
            (ok ? c.out : c.err) << (ok ? "Done. " : "kyfw: ")
                                 << Printable(doc["message"].get<std::string>(), true) << "\n";
            if (logPath)
                c.out << "Log: " << Printable(logPath->string()) << "\n";
            else
                c.err << "kyfw: warning: no log was kept: " << Printable(logProblem) << "\n";
        }
        int status = ok ? kExitDone : kExitImageFailed;
        const auto& read = result.versionsRead;
        versionsAfter = ok     ? kBuiltIn
                        : read ? ky::VersionText(read->MCOREver, read->XilinxVer)
                               : "?";
        if (oneOfAll) return status;
        if (ok && quitDuringFlash && WaitsForRestart(o, c, false))
            doc["restart"] = SkippedRestartJson();
        else if (ok && WaitsForRestart(o, c, quitDuringFlash))
            status = ConfirmRestart(status, logPath);
        if (c.options.json) Emit(c, doc);
        c.out.flush();
        c.outputFailureSaid = c.outBuffer.Error() != 0;
        if (c.outputFailureSaid)
            c.err << "kyfw: " << (ok ? "the update is done" : "the update failed")
                  << ", but its result could not be written to standard output ("
                  << c.outBuffer.ErrorText() << ")\n";
        return status;
    }

    // Follows the Ky through its restart. The update's status stands unless
    // the Ky does not come back running what was written.
    int ConfirmRestart(int status, const std::optional<std::filesystem::path>& logPath) {
        session->Release();  // the Ky must be free to be identified again
        const RestartReport r =
            AwaitRestarts(c, o, {ky.unit.guid},
                          std::string(ky::kRestartRequest) +
                              " Waiting for it to come back (Ctrl+C to stop waiting)\u2026\n")
                .front();
        doc["restart"] = r.json;
        if (!c.options.json)
            (r.failed ? c.err : c.out) << (r.failed ? "kyfw: " : "") << r.text << "\n";
        if (logPath) AppendToLog(*logPath, "Restart: " + r.text + "\n");
        if (r.failed)
            doc["outcome"] = ky::OutcomeWord(kExitImageFailed),
            doc["message"] = r.text;  // written, not started
        return r.failed ? kExitImageFailed : status;
    }

    Context& c;
    const UpdateOptions& o;
    nlohmann::json doc;
    FoundKy ky;
    UpdateTrace trace{c.options.verbose ? c.err.rdbuf() : nullptr};
    bool quitDuringFlash = false;
    bool oneOfAll = false;
    std::string versionsAfter;  // once written
    std::unique_ptr<ZRV::PTA::CKyFirmwareUpdate> controller;
    std::unique_ptr<ky::UpdateSession> session;  // on the controller: goes first
};

}  // namespace

namespace {

nlohmann::json RestartJson(const ky::RestartResult& r, const std::string& text) {
    static const char* const kReasons[] = {"confirmed", "old-firmware", "never-back", "never-left",
                                           "stopped"};
    return {{"confirmed", r.ending == ky::RestartEnding::Confirmed},
            {"versions", r.versions.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.versions)},
            {"waited_seconds", static_cast<double>(r.waitedMicros / 100'000) / 10.0},
            {"left_the_bus", r.left},
            {"reason", kReasons[static_cast<int>(r.ending)]},
            {"message", text}};
}

RestartReport NotReplayed(const ky::RestartResult& r) {
    const std::string text =
        "The restart was not replayed: the recording ends before the recorded wait does.";
    return {r,
            text,
            true,
            {{"confirmed", false},
             {"versions", nullptr},
             {"waited_seconds", static_cast<double>(r.waitedMicros / 100'000) / 10.0},
             {"left_the_bus", r.left},
             {"reason", "not-replayed"},
             {"message", text}}};
}

// The wait as the user asked for it or, with --replay, as it was recorded
// (Ctrl+C still stops it: the replay then differs); kept in the recording
// with --record.
ky::RestartWait WaitAskedFor(Context& c, const UpdateOptions& o) {
    const auto quit = [] { return QuitSignalsDeferred::Received(); };
    ky::RestartWait wait{o.waitSeconds,
                         std::shared_ptr<ky::Clock>(&c.choice.DownloadClock(), [](ky::Clock*) {}),
                         quit};
    if (c.replay) {
        wait = c.replay->ReplayRestart();
        wait.stop = [recorded = wait.stop, quit] { return recorded() || quit(); };
    }
    return c.recorder ? FWLib::RecordRestart(c.recorder, std::move(wait)) : wait;
}

}  // namespace

nlohmann::json SkippedRestartJson() {
    return {{"confirmed", false},
            {"versions", nullptr},
            {"waited_seconds", 0.0},
            {"left_the_bus", false},
            {"reason", "skipped"},
            {"message",
             "Not waited for: a quit signal came during the update. Run `kyfw list` after "
             "switching the Ky off and on."}};
}

std::vector<RestartReport> AwaitRestarts(Context& c, const UpdateOptions& o,
                                         const std::vector<UInt64>& guids,
                                         const std::string& announce) {
    if (c.choice.demo) c.choice.demo->SwitchedOffAndOnSoon();  // as its user would
    std::vector<ky::RestartResult> results;
    ky::RestartLimits limits;
    {
        // Ctrl+C stops the waiting from the moment the user is told so.
        QuitSignalsDeferred signals("\n");
        if (!c.options.json) c.out << announce << std::flush;
        const ky::RestartWait wait = WaitAskedFor(c, o);
        limits.waitMicros = std::uint64_t{wait.waitSeconds} * 1'000'000;
        results =
            ky::FollowRestarts(*c.bus, guids, kBuiltIn, limits, *wait.clock, wait.stop, c.trace);
    }
    // A replay whose recording ends before the restart does stops the wait:
    // nobody stopped it, and nothing is known of the restart.
    const bool cutShort = c.replay && c.replay->Differs();
    std::vector<RestartReport> reports;
    for (const auto& r : results) {
        RestartReport report{r, {}, false, {}};
        report.text = ky::RestartText(r, kBuiltIn, limits, report.failed);
        report.json = RestartJson(r, report.text);
        if (cutShort) report = NotReplayed(r);
        reports.push_back(std::move(report));
    }
    return reports;
}

bool CanAsk(const Context& c) {
    return isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && !c.options.json;
}

std::string WithoutQuestion(const Context&) {
    return isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) ? "pass --yes (--json asks no question)"
                                                         : "run kyfw on a terminal or pass --yes";
}

bool WaitsForRestart(const UpdateOptions& o, const Context& c, bool quitDuringFlash) {
    if (quitDuringFlash) return false;
    if (c.replay) return c.replay->RecordedWait().has_value();
    return !o.noWait && (o.wait || (!c.options.json && isatty(STDOUT_FILENO)));
}

int RunUpdate(Context& context, const UpdateOptions& options) {
    if (options.all) return RunUpdateAll(context, options);
    return UpdateCommand(context, options).Run();
}

OneKyUpdate UpdateOneOfAll(Context& context, const UpdateOptions& options, const FoundKy& ky) {
    UpdateCommand command(context, options, ky);
    return command.Summary(command.Run());
}

}  // namespace kyfw
