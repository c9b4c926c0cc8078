// kyfw update --all: every Ky that the built-in firmware would upgrade (and,
// as asked, those that have it or newer), one after another, with one
// question for all, a summary and the worst exit status.
#include "cli/UpdateAll.h"

#include <iostream>

#include "cli/Text.h"
#include "cli/UpdateLog.h"
#include "update/RestartWatch.h"

namespace kyfw {

namespace {

const std::string kBuiltIn = ky::BuiltInVersionText();

// One Ky found on the bus and what became of it.
struct Entry {
    FoundKy ky;
    bool planned = false;  // to be written
    int status = kExitDone;
    std::string
        outcome;  // in words: "done", "failed: ...", "skipped: ..."; its status says it in a word
    std::string after;      // versions as the Ky will read them
    nlohmann::json update;  // kyfw update's document for it, when it was written
    nlohmann::json restart;
};

// Worse outcomes rank higher: nothing to do (every Ky current), done, no
// Ky, refused, stopped before some were written, failed.
int Rank(int status) {
    switch (status) {
        case kExitNothingToDo:
            return 0;
        case kExitDone:
            return 1;
        case kExitNoKy:
            return 2;
        case kExitRefused:
            return 3;
        case kExitStopped:
            return 4;
    }
    return 5;
}

// Whether the policy lets this Ky be written, and if not, why.
void Plan(Entry& e, const UpdateOptions& o) {
    e.after = e.ky.VersionsKnown() ? e.ky.Version() : "?";
    if (!e.ky.Usable()) {
        e.status = kExitRefused;
        e.outcome = "refused: " + e.ky.Status();
        return;
    }
    const auto answer = ky::Judge(e.ky.info, {o.reinstall, o.allowDowngrade});
    if (answer == ky::PolicyAnswer::NothingToDo) {
        e.status = kExitNothingToDo;
        e.outcome = "skipped: it already has " + kBuiltIn + " (--reinstall writes it again)";
    } else if (answer == ky::PolicyAnswer::NeedsConsent) {
        e.status = kExitRefused;
        e.outcome = "refused: a downgrade from " + e.ky.Version() + " needs --allow-downgrade";
    } else {
        e.planned = true;
    }
}

class UpdateAll {
public:
    UpdateAll(Context& context, const UpdateOptions& options) : c(context), o(options) {}

    int Run() {
        std::vector<FoundKy> found;
        std::string problem;
        if (!FindKys(*c.bus, found, problem, c.trace)) return Fail(kExitNoKy, problem);
        if (found.empty())
            return Fail(kExitNoKy,
                        "no Ky can be updated: " + WhyNoKy(*c.bus, found, c.processes).text);
        entries.resize(found.size());
        for (std::size_t i = 0; i < found.size(); ++i) entries[i].ky = found[i];
        for (auto& e : entries) Plan(e, o);
        if (Planned() > 0) {
            if (!Ask()) return Summary();
            WriteEach();
            if (WaitsForRestart(o, c, stopped || QuitSignalsDeferred::Received()))
                ConfirmRestarts();
            else if (WaitsForRestart(o, c, false))
                for (auto& e : entries)
                    if (e.planned) e.restart = SkippedRestartJson();
        }
        return Summary();
    }

private:
    int Planned() const {
        int n = 0;
        for (const auto& e : entries) n += e.planned;
        return n;
    }

    int Fail(ExitStatus status, const std::string& message) {
        Emit(c, {{"command", "update"},
                 {"all", true},
                 {"message", message},
                 {"status", status},
                 {"kys", nlohmann::json::array()}});
        if (!c.options.json) c.err << "kyfw: " << Printable(message, true) << "\n";
        return status;
    }

    // One question for all of them, unless --yes; without a terminal
    // nothing is written without --yes.
    bool Ask() {
        const bool terminal = CanAsk(c);
        if (o.yes) return true;
        if (terminal) {
            c.out << "Kys to update to firmware " << kBuiltIn << ":\n";
            for (const auto& e : entries)
                if (e.planned)
                    c.out << "  " << GuidText(e.ky.unit.guid) << " ("
                          << Printable(e.ky.unit.deviceNode) << ", serial "
                          << Printable(e.ky.Serial()) << "): " << e.ky.Version() << " \u2192 "
                          << kBuiltIn << "\n";
            c.out << (Planned() == 1 ? std::string("Update this Ky?")
                                     : "Update these " + std::to_string(Planned()) + " Kys?")
                  << " [y/N] " << std::flush;
            std::string answer;
            std::getline(std::cin, answer);
            if (IsYes(answer)) return true;
            if (!std::cin) c.out << "\n";  // what follows starts on a line of its own
        }
        for (auto& e : entries)
            if (e.planned) {
                e.status = kExitRefused;
                e.outcome = terminal ? "refused: the update was cancelled"
                                     : "refused: no confirmation (" + WithoutQuestion(c) + ")";
                e.planned = false;
            }
        return false;
    }

    // One Ky after another; a failure does not stop the next, a quit
    // signal during a flash stops before the next.
    void WriteEach() {
        QuitSignalsDeferred signals("\nkyfw: stopping once the Ky being written is done.\n");
        for (auto& e : entries) {
            if (!e.planned) continue;
            if (stopped || QuitSignalsDeferred::Received()) {
                stopped = true;
                e.planned = false;
                e.status = kExitStopped;
                e.outcome = "not started: stopped by a quit signal";
                continue;
            }
            const OneKyUpdate one = UpdateOneOfAll(c, o, e.ky);  // a quit waits for its end
            e.status = one.status;
            e.update = one.doc;
            e.after = one.versionsAfter;
            // The Ky's word, and for any other ending why.
            e.outcome =
                std::string(ky::OutcomeWord(ExitStatus(one.status))) +
                (one.status == kExitDone ? "" : ": " + one.doc.value("message", std::string()));
            if (one.status != kExitDone) e.planned = false;
        }
    }

    void ConfirmRestarts() {
        std::vector<UInt64> guids;
        for (const auto& e : entries)
            if (e.planned) guids.push_back(e.ky.unit.guid);
        if (guids.empty()) return;
        const std::vector<RestartReport> reports = AwaitRestarts(
            c, o, guids,
            "Switch each Ky that was updated off, wait a second and switch it on again. Waiting "
            "for them to come back (Ctrl+C to stop waiting)\u2026\n");
        std::size_t i = 0;
        for (auto& e : entries) {
            if (!e.planned) continue;
            const RestartReport& r = reports[i++];
            e.restart = r.json;
            e.outcome += r.result.ending == ky::RestartEnding::Confirmed ? ", restart confirmed"
                                                                         : "; restart: " + r.text;
            if (r.failed) e.status = kExitImageFailed;
            if (!r.result.versions.empty()) e.after = r.result.versions;  // what it came back with
            if (e.update.contains("log") && e.update["log"].is_string())
                AppendToLog(e.update["log"].get<std::string>(), "Restart: " + r.text + "\n");
        }
    }

    int Summary() {
        int worst = kExitNothingToDo;
        for (const auto& e : entries) worst = WorseStatus(worst, e.status);
        if (c.options.json) {
            nlohmann::json kys = nlohmann::json::array();
            for (const auto& e : entries) kys.push_back(EntryJson(e));
            Emit(c, {{"command", "update"}, {"all", true}, {"status", worst}, {"kys", kys}});
        } else {
            c.out << "Summary (built-in firmware " << kBuiltIn << "):\n";
            for (const auto& e : entries)
                c.out << "  " << GuidText(e.ky.unit.guid) << "  " << Printable(e.ky.Serial())
                      << "  " << (e.ky.VersionsKnown() ? e.ky.Version() : "?") << " \u2192 "
                      << e.after << "  " << Printable(e.outcome, true) << "\n";
        }
        c.out.flush();
        return worst;
    }

    static nlohmann::json EntryJson(const Entry& e) {
        nlohmann::json j{{"guid", GuidText(e.ky.unit.guid)},
                         {"serial_number", e.ky.Serial()},
                         {"before", e.ky.VersionsKnown() ? e.ky.Version() : "?"},
                         {"after", e.after},
                         {"outcome", ky::OutcomeWord(ExitStatus(e.status))},
                         {"message", e.outcome},
                         {"status", e.status}};
        if (!e.update.is_null()) j["update"] = e.update;
        if (!e.restart.is_null()) j["restart"] = e.restart;
        return j;
    }

    Context& c;
    const UpdateOptions& o;
    std::vector<Entry> entries;
    bool stopped = false;
};

}  // namespace

int WorseStatus(int a, int b) {
    return Rank(b) > Rank(a) ? b : a;
}

int RunUpdateAll(Context& context, const UpdateOptions& options) {
    return UpdateAll(context, options).Run();
}

}  // namespace kyfw
