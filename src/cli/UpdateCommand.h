#pragma once

// kyfw update: one Ky, or with --all every Ky on the bus, as one batch of
// the update layer. UpdateCommand.cpp finds the Kys, asks and writes them;
// UpdateReport.cpp tells what became of each, in words and in JSON, and
// follows their restarts.

#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Identify.h"
#include "cli/Text.h"
#include "cli/UpdateLog.h"
#include "engine/DownloadProgress.h"
#include "update/UpdateBatch.h"

namespace kyfw {

// "2-6": the firmware kyfw writes.
inline const std::string kBuiltIn = ky::BuiltInVersionText();

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
        : mContext(context), mOptions(options), mDoc{{"command", "update"}} {}

    int Run() {
        std::vector<FoundKy> chosen;
        if (Outcome status = mOptions.all ? FindAll(chosen) : Choose(chosen)) return *status;
        Plan(chosen);
        if (Outcome status = mOptions.all ? AskAll() : AskOne()) return *status;
        Write();
        return mOptions.all ? ReportAll() : ReportOne();
    }

    // ky::UpdateBatch::Listener
    ky::Trace TraceFor(std::size_t i) override { return mRecords[i].trace->Sink(); }
    void Starting(std::size_t i, const DownloadProgress& progress) override;
    void Ended(std::size_t i) override;
    void Tick() override;

private:
    const ky::KyOutcome& Ky(std::size_t i) const { return mBatch->Kys()[i]; }
    std::string Node(std::size_t i) const { return Printable(Ky(i).unit.deviceNode); }
    std::string Before(std::size_t i) const {
        return ky::VersionText(Ky(i).before.MCOREver, Ky(i).before.XilinxVer);
    }

    // A refusal or another early end of the single update: message, JSON
    // and exit status.
    ExitStatus End(ExitStatus status, const std::string& message);
    Outcome Choose(std::vector<FoundKy>& chosen);

    Outcome FindAll(std::vector<FoundKy>& chosen);
    ExitStatus FailAll(ExitStatus status, const std::string& message);

    // Each Ky is taken and checked under its hold; one that cannot be
    // opened is refused with what discovery made of it.
    void Plan(const std::vector<FoundKy>& chosen);

    // The single Ky as checked, and the user's consent: --yes, or a
    // question on a terminal; a downgrade needs --allow-downgrade or the
    // question.
    Outcome AskOne();
    bool Agrees(const std::string& question);

    // One question for all of them, unless --yes; without a terminal
    // nothing is written without --yes. A downgrade needs --allow-downgrade.
    Outcome AskAll();

    // One quit scope for the whole batch: a quit before a Ky's first write
    // keeps it unwritten; the Kys being written finish.
    void Write();
    bool Waits() const { return WaitsForRestart(mOptions, mContext, mQuitDuringFlash); }
    // A wait asked for and skipped: a quit came during the update.
    bool WaitSkipped() const {
        return mQuitDuringFlash && WaitsForRestart(mOptions, mContext, false);
    }

    nlohmann::json UpdateJson(std::size_t i);
    int ReportOne();

    // `pattern` has {1} for why standard output failed.
    void SayOutputFailed(const char* pattern);

    // Follows every written Ky through its restart, together.
    void FollowRestarts(const std::string& announce);
    int ReportAll();

    // What the Ky read last, as the summary shows it.
    std::string After(std::size_t i) const;

    // The Ky's outcome in words: its word, and for any other ending why.
    std::string Message(std::size_t i) const;
    std::string DoneMessage(std::size_t i) const;
    nlohmann::json EntryJson(std::size_t i);

    std::unique_ptr<UpdateTrace> NewTrace() const {
        return std::make_unique<UpdateTrace>(mContext.options.verbose ? mContext.err.rdbuf()
                                                                      : nullptr);
    }

    Context& mContext;
    const UpdateOptions& mOptions;
    std::unique_ptr<UpdateTrace> mFirstTrace = NewTrace();  // the single update's, from discovery
    nlohmann::json mDoc;                                    // the single update's
    std::vector<KyRecord> mRecords;
    std::unique_ptr<ky::UpdateBatch> mBatch;  // uses the records' traces: goes first
    std::optional<ProgressView> mSingle;
    std::optional<BatchProgressView> mSeveral;
    std::map<std::size_t, nlohmann::json> mRestartJson;
    bool mQuitDuringFlash = false;
};

}  // namespace kyfw
