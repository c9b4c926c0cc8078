// kyfw update: one Ky, or with --all every Ky on the bus, as one batch of
// the update layer: every check, one question, the Kys written side by
// side with progress and a log each, their restarts, and an honest outcome
// for each.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Identify.h"
#include "cli/RestartWait.h"
#include "cli/Text.h"
#include "cli/UpdateLog.h"
#include "engine/DownloadProgress.h"
#include "update/UpdateBatch.h"

namespace kyfw {

nlohmann::json DeviceJson(const FoundKy& f);

namespace {

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

// What kyfw keeps of one Ky of the batch beside its outcome.
struct KyRecord {
    FoundKy found;
    std::unique_ptr<UpdateTrace> trace;
    std::unique_ptr<UpdateLog> log;  // while it is written
    std::optional<std::filesystem::path> logPath;
    std::string logProblem;
    const DownloadProgress* progress = nullptr;  // once it is written
};

class UpdateCommand final : public ky::UpdateBatch::Listener {
public:
    UpdateCommand(Context& context, const UpdateOptions& options)
        : c(context), o(options), doc{{"command", "update"}} {}

    int Run() {
        std::vector<FoundKy> chosen;
        if (Outcome status = o.all ? FindAll(chosen) : Choose(chosen)) return *status;
        Plan(chosen);
        if (Outcome status = o.all ? AskAll() : AskOne()) return *status;
        Write();
        return o.all ? ReportAll() : ReportOne();
    }

    // ky::UpdateBatch::Listener
    ky::Trace TraceFor(std::size_t i) override { return records[i].trace->Sink(); }
    void Starting(std::size_t i, const DownloadProgress& progress) override;
    void Ended(std::size_t i) override;
    void Tick() override;

private:
    const ky::KyOutcome& Ky(std::size_t i) const { return batch->Kys()[i]; }
    std::string Node(std::size_t i) const { return Printable(Ky(i).unit.deviceNode); }
    std::string Before(std::size_t i) const {
        return ky::VersionText(Ky(i).before.MCOREver, Ky(i).before.XilinxVer);
    }

    // A refusal or another early end of the single update: message, JSON
    // and exit status.
    ExitStatus End(ExitStatus status, const std::string& message) {
        doc["message"] = message;
        if (c.options.json)
            Emit(c, doc);
        else
            (status == kExitNothingToDo ? c.out : c.err)
                << (status == kExitNothingToDo ? "" : "kyfw: ") << Printable(message, true) << "\n";
        return status;
    }

    Outcome Choose(std::vector<FoundKy>& chosen) {
        // The Ky's log begins with its discovery.
        auto all = IdentifyKys(*c.bus, firstTrace->Sink());
        if (!all) return End(kExitNoKy, all.Failure().What());
        std::vector<FoundKy> matching;
        for (auto& f : *all)
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
        chosen = matching;
        return std::nullopt;
    }

    Outcome FindAll(std::vector<FoundKy>& chosen) {
        auto found = IdentifyKys(*c.bus, c.trace);
        if (!found) return FailAll(kExitNoKy, found.Failure().What());
        chosen = std::move(*found);
        if (chosen.empty())
            return FailAll(kExitNoKy,
                           "no Ky can be updated: " + WhyNoKy(*c.bus, chosen, c.processes).text);
        return std::nullopt;
    }

    ExitStatus FailAll(ExitStatus status, const std::string& message) {
        Emit(c, {{"command", "update"},
                 {"all", true},
                 {"message", message},
                 {"status", status},
                 {"kys", nlohmann::json::array()}});
        if (!c.options.json) c.err << "kyfw: " << Printable(message, true) << "\n";
        return status;
    }

    // Each Ky is taken and checked under its hold; one that cannot be
    // opened is refused with what discovery made of it.
    void Plan(const std::vector<FoundKy>& chosen) {
        ky::UpdateBatch::Setup setup{c.bus, &c.choice.DownloadClock(), c.processes,
                                     [] { return QuitSignalsDeferred::Received(); },
                                     [this] { return c.choice.StateProblem(); }};
        batch = std::make_unique<ky::UpdateBatch>(setup, *this);
        for (const FoundKy& f : chosen) {
            KyRecord& record = records.emplace_back();
            record.found = f;
            record.trace = records.size() == 1 && !o.all ? std::move(firstTrace) : NewTrace();
            if (o.all && !f.Usable())
                batch->NotUsable(f.unit, f.info, f.VersionsKnown(), f.Status());
            else
                batch->Plan({f.unit},
                            {.reinstall = o.reinstall, .allowDowngrade = o.allowDowngrade});
        }
    }

    // The single Ky as checked, and the user's consent: --yes, or a
    // question on a terminal; a downgrade needs --allow-downgrade or the
    // question.
    Outcome AskOne() {
        const ky::KyOutcome& k = Ky(0);
        if (k.versionsKnown) {
            FoundKy found = records[0].found;
            found.info = k.before;
            doc["device"] = DeviceJson(found);
        }
        if (k.status == kExitNothingToDo)
            return End(kExitNothingToDo, "The Ky already has firmware " + Before(0) +
                                             "; nothing to do (--reinstall writes it again).");
        if (k.status == kExitNoKy) return End(kExitNoKy, k.message);
        if (!k.planned) return End(kExitRefused, "refusing to update: " + k.message);
        const bool downgrade = k.needsConsent, terminal = CanAsk(c);
        if (downgrade && !terminal)
            return End(kExitRefused, "refusing to downgrade the Ky from " + Before(0) + " to " +
                                         kBuiltIn + " without --allow-downgrade");
        if (!(o.yes && !downgrade) && !terminal)
            return End(kExitRefused,
                       "refusing to update without confirmation: " + WithoutQuestion(c));
        if (!(o.yes && !downgrade) &&
            !Agrees((downgrade
                         ? "This is a downgrade. Replace firmware " + Before(0) + " with the older "
                         : "Update the Ky from firmware " + Before(0) + " to ") +
                    kBuiltIn + " (" + Node(0) + ", serial " + Printable(ky::SerialText(k.before)) +
                    ")? [y/N] "))
            return End(kExitRefused, "update cancelled; the Ky was not touched");
        batch->Consent(true);
        return std::nullopt;
    }

    bool Agrees(const std::string& question) {
        c.out << question << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (IsYes(answer)) return true;
        if (!std::cin) c.out << "\n";  // what follows starts on a line of its own
        return false;
    }

    // One question for all of them, unless --yes; without a terminal
    // nothing is written without --yes. A downgrade needs --allow-downgrade.
    Outcome AskAll() {
        std::vector<std::size_t> asked;
        for (std::size_t i = 0; i < batch->Kys().size(); ++i)
            if (Ky(i).planned && !Ky(i).needsConsent) asked.push_back(i);
        if (asked.empty() || o.yes) {
            batch->Consent(false);
            return std::nullopt;
        }
        if (!CanAsk(c)) {
            batch->Refuse("no confirmation (" + WithoutQuestion(c) + ")");
            return std::nullopt;
        }
        c.out << "Kys to update to firmware " << kBuiltIn << ":\n";
        for (std::size_t i : asked)
            c.out << "  " << GuidText(Ky(i).unit.guid) << " (" << Node(i) << ", serial "
                  << Printable(ky::SerialText(Ky(i).before)) << "): " << Before(i) << " \u2192 "
                  << kBuiltIn << "\n";
        if (Agrees(asked.size() == 1
                       ? std::string("Update this Ky? [y/N] ")
                       : "Update these " + std::to_string(asked.size()) + " Kys? [y/N] "))
            batch->Consent(false);
        else
            batch->Refuse("the update was cancelled");
        return std::nullopt;
    }

    // One quit scope for the whole batch: a quit before a Ky's first write
    // keeps it unwritten; the Kys being written finish.
    void Write() {
        QuitSignalsDeferred signals(o.all
                                        ? "\nkyfw: stopping once the Kys being written are done.\n"
                                        : QuitSignalsDeferred::kFlashNotice);
        const bool terminal = !c.options.json && isatty(STDOUT_FILENO);
        single.emplace(c.out, terminal);
        several.emplace(c.out, terminal);
        if (o.all && !c.options.json && batch->Planned() > 0)
            c.out << "Updating " << batch->Planned() << (batch->Planned() == 1 ? " Ky" : " Kys")
                  << " to firmware " << kBuiltIn << ". Do not switch them off or unplug them.\n"
                  << std::flush;
        batch->Write(o.jobs);
        if (!c.options.json) {
            if (o.all) several->Finish();
            single->Finish();
        }
        quitDuringFlash = QuitSignalsDeferred::Received();
    }

    bool Waits() const { return WaitsForRestart(o, c, quitDuringFlash); }
    // A wait asked for and skipped: a quit came during the update.
    bool WaitSkipped() const { return quitDuringFlash && WaitsForRestart(o, c, false); }

    nlohmann::json UpdateJson(std::size_t i) {
        const ky::KyOutcome& k = Ky(i);
        const KyRecord& r = records[i];
        nlohmann::json j{
            {"images",
             {{"xilinx", ImageJson(k.result.xilinx)}, {"mcore", ImageJson(k.result.mcore)}}},
            {"log", r.logPath ? nlohmann::json(r.logPath->string()) : nullptr}};
        if (!r.logPath) j["log_problem"] = r.logProblem;
        if (!k.result.Succeeded()) j["advice"] = ky::RetryCommand(k.result);
        return j;
    }

    int ReportOne() {
        const ky::KyOutcome& k = Ky(0);
        if (k.status == kExitStopped)
            return End(kExitStopped,
                       "stopped by a quit signal before the Ky was written; "
                       "nothing was written");
        if (!k.started) return End(kExitRefused, "refusing to update: " + k.message);
        const bool ok = k.Written();
        doc.update(UpdateJson(0));
        doc["message"] = ok ? "Switch the Ky off and on again to start firmware " + kBuiltIn + "."
                            : ky::DescribeFailure(k.result) + " " +
                                  ky::FailureAdvice(k.result, ky::AdviceFor::Kyfw);
        const KyRecord& r = records[0];
        if (!c.options.json) {
            (ok ? c.out : c.err) << (ok ? "Done. " : "kyfw: ")
                                 << Printable(doc["message"].get<std::string>(), true) << "\n";
            if (r.logPath)
                c.out << "Log: " << Printable(r.logPath->string()) << "\n";
            else
                c.err << "kyfw: warning: no log was kept: " << Printable(r.logProblem) << "\n";
        }
        if (ok && WaitSkipped())
            doc["restart"] = SkippedRestartJson();
        else if (ok && Waits())
            FollowRestarts(std::string(ky::kRestartRequest) +
                           " Waiting for it to come back (Ctrl+C to stop waiting)\u2026\n");
        if (ok && Ky(0).status == kExitImageFailed)
            doc["message"] = Ky(0).message;  // written, its new firmware not started
        if (c.options.json) Emit(c, doc);
        SayOutputFailed(ok ? "the update is done" : "the update failed");
        return Ky(0).status;
    }

    void SayOutputFailed(const std::string& what) {
        c.out.flush();
        c.outputFailureSaid = c.outBuffer.Error() != 0;
        if (c.outputFailureSaid)
            c.err << "kyfw: " << what << ", but its result could not be written to standard "
                  << "output (" << c.outBuffer.ErrorText() << ")\n";
    }

    // Follows every written Ky through its restart, together.
    void FollowRestarts(const std::string& announce) {
        std::vector<std::size_t> written;
        std::vector<UInt64> guids;
        for (std::size_t i = 0; i < batch->Kys().size(); ++i)
            if (Ky(i).Written()) written.push_back(i), guids.push_back(Ky(i).unit.guid);
        if (guids.empty()) return;
        const std::vector<RestartReport> reports = AwaitRestarts(c, o, guids, announce);
        for (std::size_t n = 0; n < written.size(); ++n) {
            const RestartReport& r = reports[n];
            const std::size_t i = written[n];
            batch->Restarted(i, r.result, r.text, r.failed);
            restartJson[i] = r.json;
            if (!o.all && !c.options.json)
                (r.failed ? c.err : c.out) << (r.failed ? "kyfw: " : "") << r.text << "\n";
            if (records[i].logPath) AppendToLog(*records[i].logPath, "Restart: " + r.text + "\n");
        }
        if (!o.all) doc["restart"] = restartJson[written.front()];
    }

    int ReportAll() {
        if (WaitSkipped())
            for (std::size_t i = 0; i < batch->Kys().size(); ++i)
                if (Ky(i).Written()) restartJson[i] = SkippedRestartJson();
        if (!WaitSkipped() && Waits())
            FollowRestarts(
                "Switch each Ky that was updated off, wait a second and switch it on again. "
                "Waiting for them to come back (Ctrl+C to stop waiting)\u2026\n");
        const ExitStatus worst = batch->Status();
        if (c.options.json) {
            nlohmann::json kys = nlohmann::json::array();
            for (std::size_t i = 0; i < batch->Kys().size(); ++i) kys.push_back(EntryJson(i));
            Emit(c, {{"command", "update"}, {"all", true}, {"status", worst}, {"kys", kys}});
        } else {
            c.out << "Summary (built-in firmware " << kBuiltIn << "):\n";
            for (std::size_t i = 0; i < batch->Kys().size(); ++i)
                c.out << "  " << GuidText(Ky(i).unit.guid) << "  "
                      << Printable(ky::SerialText(Ky(i).before)) << "  "
                      << (Ky(i).versionsKnown ? Before(i) : "?") << " \u2192 " << After(i) << "  "
                      << Printable(Message(i), true) << "\n";
        }
        SayOutputFailed("the update has ended");
        return worst;
    }

    // What the Ky read last, as the summary shows it.
    std::string After(std::size_t i) const {
        if (Ky(i).after) return *Ky(i).after;
        // Written, its restart not followed: what it starts once switched off and on.
        return Ky(i).Written() && !Ky(i).restart ? kBuiltIn + " once restarted" : "?";
    }

    // The Ky's outcome in words: its word, and for any other ending why.
    std::string Message(std::size_t i) const {
        const ky::KyOutcome& k = Ky(i);
        switch (k.status) {
            case kExitNothingToDo:
                return "skipped: it already has " + kBuiltIn + " (--reinstall writes it again)";
            case kExitStopped:
                return "not started: stopped by a quit signal";
            case kExitRefused:
                if (k.needsConsent)
                    return "refused: a downgrade from " + Before(i) + " needs --allow-downgrade";
                return "refused: " + k.message;
            case kExitDone:
                return DoneMessage(i);
            case kExitImageFailed:
                if (k.Written()) return "failed: " + k.message;  // its restart
                return "failed: " + k.message + " " +
                       ky::FailureAdvice(k.result, ky::AdviceFor::Kyfw);
            default:
                break;
        }
        return std::string(ky::OutcomeWord(k.status)) + ": " + k.message;
    }

    std::string DoneMessage(std::size_t i) const {
        const auto& restart = Ky(i).restart;
        if (restart && restart->ending == ky::RestartEnding::Confirmed)
            return "done, restart confirmed";
        if (WaitSkipped())
            return "done; the restart was not waited for: a quit signal came during the update";
        if (restart)
            return "done; restart not confirmed: " + restartJson.at(i).value("message", "");
        return "done";
    }

    nlohmann::json EntryJson(std::size_t i) {
        const ky::KyOutcome& k = Ky(i);
        nlohmann::json j{{"guid", GuidText(k.unit.guid)},
                         {"serial_number", ky::SerialText(k.before)},
                         {"before", k.versionsKnown ? Before(i) : "?"},
                         {"after", k.after ? nlohmann::json(*k.after) : nullptr},
                         {"outcome", ky::OutcomeWord(k.status)},
                         {"message", Message(i)},
                         {"status", k.status}};
        if (k.started) j["update"] = UpdateJson(i);
        if (restartJson.contains(i)) j["restart"] = restartJson[i];
        return j;
    }

    std::unique_ptr<UpdateTrace> NewTrace() const {
        return std::make_unique<UpdateTrace>(c.options.verbose ? c.err.rdbuf() : nullptr);
    }

    Context& c;
    const UpdateOptions& o;
    std::unique_ptr<UpdateTrace> firstTrace = NewTrace();  // the single update's, from discovery
    nlohmann::json doc;                                    // the single update's
    std::vector<KyRecord> records;
    std::unique_ptr<ky::UpdateBatch> batch;  // uses the records' traces: goes first
    std::optional<ProgressView> single;
    std::optional<BatchProgressView> several;
    std::map<std::size_t, nlohmann::json> restartJson;
    bool quitDuringFlash = false;
};

void UpdateCommand::Starting(std::size_t i, const DownloadProgress& progress) {
    KyRecord& r = records[i];
    r.progress = &progress;
    if (!c.options.json && !o.all)
        c.out << "Updating the Ky at " << Node(i) << " from " << Before(i) << " to " << kBuiltIn
              << ". Do not switch it off or unplug it.\n"
              << std::flush;
    if (o.all) several->Add(i, GuidText(Ky(i).unit.guid));
    r.log = std::make_unique<UpdateLog>(c.options.verbose, c.err.rdbuf(), *r.trace);
    // An anonymous recording goes with a log that names the Ky alike.
    const UInt64 guid = Ky(i).unit.guid;
    const bool anonymous = c.recorder && c.recorder->Settings().anonymous;
    r.log->Stream() << "kyfw update of " << Ky(i).unit.deviceNode << " (GUID "
                    << GuidText(anonymous ? c.recorder->Guid(guid) : guid) << ") from " << Before(i)
                    << " to " << kBuiltIn << "\n";
}

void UpdateCommand::Ended(std::size_t i) {
    KyRecord& r = records[i];
    Tick();
    if (c.outBuffer.Error())
        r.log->Stream() << "Standard output failed (" << c.outBuffer.ErrorText()
                        << "): the progress was not shown\n";
    r.logPath = r.log->Finish();
    r.logProblem = r.log->Problem();
    r.log.reset();
}

void UpdateCommand::Tick() {
    if (c.options.json) return;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!records[i].progress) continue;
        const DownloadProgress& p = *records[i].progress;
        if (o.all)
            several->Show(i, p.Get(), PhaseText(p));
        else
            single->Show(p.Get(), PhaseText(p));
    }
    if (o.all) several->Redraw();
}

}  // namespace

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
    return UpdateCommand(context, options).Run();
}

}  // namespace kyfw
