// Following the Kys' restarts after an update, for kyfw: the wait as the
// user asked for it, recorded or replayed.
#include "cli/RestartWait.h"

#include "base/Translate.h"
#include "cli/UpdateLog.h"
#include "update/kyfirmwareupdate.h"

namespace kyfw {

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
        ky::Tr("The restart was not replayed: the recording ends before the recorded wait does.");
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
                         std::shared_ptr<ky::Clock>(&c.start.DownloadClock(), [](ky::Clock*) {}),
                         quit};
    if (c.start.Replay()) {
        wait = c.start.Replay()->ReplayRestart();
        wait.stop = [recorded = wait.stop, quit] { return recorded() || quit(); };
    }
    return c.start.Recorder() ? FWLib::RecordRestart(c.start.Recorder(), std::move(wait)) : wait;
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
    c.start.SwitchSimulatedKyOffAndOn();
    std::vector<ky::RestartResult> results;
    ky::RestartLimits limits;
    {
        // Ctrl+C stops the waiting from the moment the user is told so.
        QuitSignalsDeferred signals("\n");
        if (!c.options.json) c.out << announce << std::flush;
        const ky::RestartWait wait = WaitAskedFor(c, o);
        limits.waitMicros = std::uint64_t{wait.waitSeconds} * 1'000'000;
        results = ky::FollowRestarts(*c.start.Bus(), guids, ky::BuiltInVersionText(), limits,
                                     *wait.clock, wait.stop, c.trace);
    }
    // A replay whose recording ends before the restart does stops the wait:
    // nobody stopped it, and nothing is known of the restart.
    const bool cutShort = c.start.Replay() && c.start.Replay()->Differs();
    std::vector<RestartReport> reports;
    for (const auto& r : results) {
        RestartReport report{r, {}, false, {}};
        report.text = ky::RestartText(r, ky::BuiltInVersionText(), limits);
        report.failed = ky::RestartFailed(r);
        report.json = RestartJson(r, report.text);
        if (cutShort) report = NotReplayed(r);
        reports.push_back(std::move(report));
    }
    return reports;
}

}  // namespace kyfw
