// kyfw update's flow: the Kys found and chosen, each planned under its
// hold, one question, and the Kys written side by side with progress and a
// log each.
#include <unistd.h>

#include <iostream>

#include "cli/UpdateCommand.h"

namespace kyfw {

nlohmann::json DeviceJson(const FoundKy& f);

namespace {

std::string PhaseText(const DownloadProgress& progress) {
    const char* image = ky::ImageName(progress.DeviceType());
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

}  // namespace

// A refusal or another early end of the single update: message, JSON
// and exit status.
ExitStatus UpdateCommand::End(ExitStatus status, const std::string& message) {
    mDoc["message"] = message;
    if (mContext.options.json)
        Emit(mContext, mDoc);
    else
        (status == kExitNothingToDo ? mContext.out : mContext.err)
            << (status == kExitNothingToDo ? "" : "kyfw: ") << Printable(message, true) << "\n";
    return status;
}

Outcome UpdateCommand::Choose(std::vector<FoundKy>& chosen) {
    // The Ky's log begins with its discovery.
    auto all = IdentifyKys(*mContext.start.Bus(), mFirstTrace->Sink());
    if (!all) return End(kExitNoKy, all.Failure().What());
    std::vector<FoundKy> matching;
    for (auto& f : *all)
        if (mOptions.device.Matches(f.unit)) matching.push_back(f);
    if (matching.empty() && !mOptions.device.Any())
        return End(kExitNoKy, "no Ky matches --device " + Printable(mOptions.deviceText));
    if (matching.empty() || matching.front().check == ky::KyCheck::NoAccess) {
        const auto reason = WhyNoKy(*mContext.start.Bus(), matching, mContext.processes);
        mDoc["reason"] = ReasonJson(reason);
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

Outcome UpdateCommand::FindAll(std::vector<FoundKy>& chosen) {
    auto found = IdentifyKys(*mContext.start.Bus(), mContext.trace);
    if (!found) return FailAll(kExitNoKy, found.Failure().What());
    chosen = std::move(*found);
    if (chosen.empty())
        return FailAll(kExitNoKy,
                       "no Ky can be updated: " +
                           WhyNoKy(*mContext.start.Bus(), chosen, mContext.processes).text);
    return std::nullopt;
}

ExitStatus UpdateCommand::FailAll(ExitStatus status, const std::string& message) {
    Emit(mContext, {{"command", "update"},
                    {"all", true},
                    {"message", message},
                    {"status", status},
                    {"kys", nlohmann::json::array()}});
    if (!mContext.options.json) mContext.err << "kyfw: " << Printable(message, true) << "\n";
    return status;
}

// Each Ky is taken and checked under its hold; one that cannot be
// opened is refused with what discovery made of it.
void UpdateCommand::Plan(const std::vector<FoundKy>& chosen) {
    ky::UpdateBatch::Setup setup{mContext.start.Bus(), &mContext.start.DownloadClock(),
                                 mContext.processes, [] { return QuitSignalsDeferred::Received(); },
                                 [this] { return mContext.start.StateKept(); }};
    mBatch = std::make_unique<ky::UpdateBatch>(setup, *this);
    for (const FoundKy& f : chosen) {
        KyRecord& record = mRecords.emplace_back();
        record.found = f;
        record.trace = mRecords.size() == 1 && !mOptions.all ? std::move(mFirstTrace) : NewTrace();
        if (mOptions.all && !f.Usable())
            mBatch->NotUsable(f.unit, f.info, f.VersionsKnown(), f.Status());
        else
            mBatch->Plan({f.unit}, {.reinstall = mOptions.reinstall,
                                    .allowDowngrade = mOptions.allowDowngrade});
    }
}

// The single Ky as checked, and the user's consent: --yes, or a
// question on a terminal; a downgrade needs --allow-downgrade or the
// question.
Outcome UpdateCommand::AskOne() {
    const ky::KyOutcome& k = Ky(0);
    if (k.versionsKnown) {
        FoundKy found = mRecords[0].found;
        found.info = k.before;
        mDoc["device"] = DeviceJson(found);
    }
    if (k.status == kExitNothingToDo)
        return End(kExitNothingToDo, "The Ky already has firmware " + Before(0) +
                                         "; nothing to do (--reinstall writes it again).");
    if (k.status == kExitNoKy) return End(kExitNoKy, k.message);
    if (!k.planned) return End(kExitRefused, "refusing to update: " + k.message);
    const bool downgrade = k.needsConsent, terminal = CanAsk(mContext);
    if (downgrade && !terminal)
        return End(kExitRefused, "refusing to downgrade the Ky from " + Before(0) + " to " +
                                     kBuiltIn + " without --allow-downgrade");
    if (!(mOptions.yes && !downgrade) && !terminal)
        return End(kExitRefused,
                   "refusing to update without confirmation: " + WithoutQuestion(mContext));
    if (!(mOptions.yes && !downgrade) &&
        !Agrees((downgrade
                     ? "This is a downgrade. Replace firmware " + Before(0) + " with the older "
                     : "Update the Ky from firmware " + Before(0) + " to ") +
                kBuiltIn + " (" + Node(0) + ", serial " + Printable(ky::SerialText(k.before)) +
                ")? [y/N] "))
        return End(kExitRefused, "update cancelled; the Ky was not touched");
    mBatch->Consent(true);
    return std::nullopt;
}

bool UpdateCommand::Agrees(const std::string& question) {
    mContext.out << question << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (IsYes(answer)) return true;
    if (!std::cin) mContext.out << "\n";  // what follows starts on a line of its own
    return false;
}

// One question for all of them, unless --yes; without a terminal
// nothing is written without --yes. A downgrade needs --allow-downgrade.
Outcome UpdateCommand::AskAll() {
    std::vector<std::size_t> asked;
    for (std::size_t i = 0; i < mBatch->Kys().size(); ++i)
        if (Ky(i).planned && !Ky(i).needsConsent) asked.push_back(i);
    if (asked.empty() || mOptions.yes) {
        mBatch->Consent(false);
        return std::nullopt;
    }
    if (!CanAsk(mContext)) {
        mBatch->Refuse("no confirmation (" + WithoutQuestion(mContext) + ")");
        return std::nullopt;
    }
    mContext.out << "Kys to update to firmware " << kBuiltIn << ":\n";
    for (std::size_t i : asked)
        mContext.out << "  " << GuidText(Ky(i).unit.guid) << " (" << Node(i) << ", serial "
                     << Printable(ky::SerialText(Ky(i).before)) << "): " << Before(i) << " \u2192 "
                     << kBuiltIn << "\n";
    if (Agrees(asked.size() == 1 ? std::string("Update this Ky? [y/N] ")
                                 : "Update these " + std::to_string(asked.size()) + " Kys? [y/N] "))
        mBatch->Consent(false);
    else
        mBatch->Refuse("the update was cancelled");
    return std::nullopt;
}

// One quit scope for the whole batch: a quit before a Ky's first write
// keeps it unwritten; the Kys being written finish.
void UpdateCommand::Write() {
    QuitSignalsDeferred signals(mOptions.all
                                    ? "\nkyfw: stopping once the Kys being written are done.\n"
                                    : QuitSignalsDeferred::kFlashNotice);
    const bool terminal = !mContext.options.json && isatty(STDOUT_FILENO);
    mSingle.emplace(mContext.out, terminal);
    mSeveral.emplace(mContext.out, terminal);
    if (mOptions.all && !mContext.options.json && mBatch->Planned() > 0)
        mContext.out << "Updating " << mBatch->Planned()
                     << (mBatch->Planned() == 1 ? " Ky" : " Kys") << " to firmware " << kBuiltIn
                     << ". Do not switch them off or unplug them.\n"
                     << std::flush;
    mBatch->Write(mOptions.jobs);
    if (!mContext.options.json) {
        if (mOptions.all) mSeveral->Finish();
        mSingle->Finish();
    }
    mQuitDuringFlash = QuitSignalsDeferred::Received();
}

void UpdateCommand::Starting(std::size_t i, const DownloadProgress& progress) {
    KyRecord& r = mRecords[i];
    r.progress = &progress;
    if (!mContext.options.json && !mOptions.all)
        mContext.out << "Updating the Ky at " << Node(i) << " from " << Before(i) << " to "
                     << kBuiltIn << ". Do not switch it off or unplug it.\n"
                     << std::flush;
    if (mOptions.all) mSeveral->Add(i, GuidText(Ky(i).unit.guid));
    r.log = std::make_unique<UpdateLog>(mContext.options.verbose, mContext.err.rdbuf(), *r.trace);
    // An anonymous recording goes with a log that names the Ky alike.
    const UInt64 guid = Ky(i).unit.guid;
    const bool anonymous =
        mContext.start.Recorder() && mContext.start.Recorder()->Settings().anonymous;
    r.log->Stream() << "kyfw update of " << Ky(i).unit.deviceNode << " (GUID "
                    << GuidText(anonymous ? mContext.start.Recorder()->Guid(guid) : guid)
                    << ") from " << Before(i) << " to " << kBuiltIn << "\n";
}

void UpdateCommand::Ended(std::size_t i) {
    KyRecord& r = mRecords[i];
    Tick();
    if (mContext.outBuffer.Error())
        r.log->Stream() << "Standard output failed (" << mContext.outBuffer.ErrorText()
                        << "): the progress was not shown\n";
    r.logPath = r.log->Finish();
    r.logProblem = r.log->Problem();
    r.log.reset();
}

void UpdateCommand::Tick() {
    if (mContext.options.json) return;
    for (std::size_t i = 0; i < mRecords.size(); ++i) {
        if (!mRecords[i].progress) continue;
        const DownloadProgress& p = *mRecords[i].progress;
        if (mOptions.all)
            mSeveral->Show(i, p.Get(), PhaseText(p));
        else
            mSingle->Show(p.Get(), PhaseText(p));
    }
    if (mOptions.all) mSeveral->Redraw();
}

bool CanAsk(const Context& context) {
    return isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && !context.options.json;
}

std::string WithoutQuestion(const Context&) {
    return isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) ? "pass --yes (--json asks no question)"
                                                         : "run kyfw on a terminal or pass --yes";
}

bool WaitsForRestart(const UpdateOptions& options, const Context& context, bool mQuitDuringFlash) {
    if (mQuitDuringFlash) return false;
    if (context.start.Replay()) return context.start.Replay()->RecordedWait().has_value();
    return !options.noWait && (options.wait || (!context.options.json && isatty(STDOUT_FILENO)));
}

int RunUpdate(Context& context, const UpdateOptions& options) {
    return UpdateCommand(context, options).Run();
}

}  // namespace kyfw
