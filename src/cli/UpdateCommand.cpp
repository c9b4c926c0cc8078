// kyfw update's flow: the Kys found and chosen, each planned under its
// hold, one question, and the Kys written side by side with progress and a
// log each.
#include <unistd.h>

#include <iostream>

#include "base/Translate.h"
#include "cli/UpdateCommand.h"

namespace kyfw {

nlohmann::json DeviceJson(const FoundKy& f);

namespace {

std::string PhaseText(const DownloadProgress& progress) {
    const char* image = ky::ImageName(progress.DeviceType());
    switch (progress.CurrentPhase()) {
        case DownloadProgress::kErasing:
            // TRANSLATORS: the phase of an update; {1} is the image, "Xilinx" or "MCORE".
            return ky::Fill(ky::Tr("{1}: erasing"), {image});
        case DownloadProgress::kWriting:
            // TRANSLATORS: the phase of an update; {1} is the image, "Xilinx" or "MCORE".
            return ky::Fill(ky::Tr("{1}: writing"), {image});
        case DownloadProgress::kStarting:
            break;
    }
    // TRANSLATORS: the phase of an update; {1} is the image, "Xilinx" or "MCORE".
    return ky::Fill(ky::Tr("{1}: starting"), {image});
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
        return End(kExitNoKy, ky::Fill(ky::Tr("no Ky matches --device {1}"),
                                       {Printable(mOptions.deviceText)}));
    if (matching.empty() || matching.front().check == ky::KyCheck::NoAccess) {
        const auto reason = WhyNoKy(*mContext.start.Bus(), matching, mContext.processes);
        mDoc["reason"] = ReasonJson(reason);
        return End(kExitNoKy, ky::Fill(ky::Tr("no Ky can be updated: {1}"), {reason.text}));
    }
    if (matching.size() > 1) {
        std::string list = ky::Tr("several Kys found; choose one with --device:");
        // TRANSLATORS: {1} is a GUID, {2} a device file, {3} a version as "1-5".
        const char* entry = ky::Tr("--device {1}   ({2}, firmware {3})");
        for (const auto& f : matching)
            list += "\n  " + ky::Fill(entry, {GuidText(f.unit.guid), Printable(f.unit.deviceNode),
                                              f.Version()});
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
                       ky::Fill(ky::Tr("no Ky can be updated: {1}"),
                                {WhyNoKy(*mContext.start.Bus(), chosen, mContext.processes).text}));
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
        return End(kExitNothingToDo,
                   ky::Fill(ky::Tr("The Ky already has firmware {1}; nothing to do (--reinstall "
                                   "writes it again)."),
                            {Before(0)}));
    if (k.status == kExitNoKy) return End(kExitNoKy, k.message);
    if (!k.planned)
        return End(kExitRefused, ky::Fill(ky::Tr("refusing to update: {1}"), {k.message}));
    const bool downgrade = k.needsConsent, terminal = CanAsk(mContext);
    if (downgrade && !terminal)
        return End(kExitRefused, ky::Fill(ky::Tr("refusing to downgrade the Ky from {1} to {2} "
                                                 "without --allow-downgrade"),
                                          {Before(0), kBuiltIn}));
    if (!(mOptions.yes && !downgrade) && !terminal)
        return End(kExitRefused, ky::Fill(ky::Tr("refusing to update without confirmation: {1}"),
                                          {WithoutQuestion(mContext)}));
    const char* older = ky::Tr(
        // TRANSLATORS: {1} and {2} are versions as "1-5", {3} a device file, {4} a
        // serial number. The answer is y or yes: keep "[y/N]".
        "This is a downgrade. Replace firmware {1} with the older {2} ({3}, serial {4})? "
        "[y/N] ");
    // TRANSLATORS: {1} and {2} are versions as "1-5", {3} a device file, {4} a
    // serial number. The answer is y or yes: keep "[y/N]".
    const char* newer = ky::Tr("Update the Ky from firmware {1} to {2} ({3}, serial {4})? [y/N] ");
    if (!(mOptions.yes && !downgrade) &&
        !Agrees(ky::Fill(downgrade ? older : newer,
                         {Before(0), kBuiltIn, Node(0), Printable(ky::SerialText(k.before))})))
        return End(kExitRefused, ky::Tr("update cancelled; the Ky was not touched"));
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
        mBatch->Refuse(ky::Fill(ky::Tr("no confirmation ({1})"), {WithoutQuestion(mContext)}));
        return std::nullopt;
    }
    mContext.out << ky::Fill(ky::Tr("Kys to update to firmware {1}:"), {kBuiltIn}) << "\n";
    // TRANSLATORS: {1} is a GUID, {2} a device file, {3} a serial number, {4} and {5}
    // versions as "1-5".
    const char* line = ky::Tr("{1} ({2}, serial {3}): {4} \u2192 {5}");
    for (std::size_t i : asked)
        mContext.out << "  "
                     << ky::Fill(line,
                                 {GuidText(Ky(i).unit.guid), Node(i),
                                  Printable(ky::SerialText(Ky(i).before)), Before(i), kBuiltIn})
                     << "\n";
    // TRANSLATORS: The answer is y or yes: keep "[y/N]".
    const char* question =
        ky::TrN("Update this Ky? [y/N] ", "Update these {1} Kys? [y/N] ", asked.size());
    if (Agrees(ky::Fill(question, {std::to_string(asked.size())})))
        mBatch->Consent(false);
    else
        mBatch->Refuse(ky::Tr("the update was cancelled"));
    return std::nullopt;
}

// One quit scope for the whole batch: a quit before a Ky's first write
// keeps it unwritten; the Kys being written finish.
void UpdateCommand::Write() {
    QuitSignalsDeferred signals(
        "\nkyfw: " +
        std::string(mOptions.all ? ky::Tr("stopping once the Kys being written are done.")
                                 : ky::Tr("the update will finish first; please wait.")) +
        "\n");
    const bool terminal = !mContext.options.json && isatty(STDOUT_FILENO);
    mSingle.emplace(mContext.out, terminal);
    mSeveral.emplace(mContext.out, terminal);
    if (mOptions.all && !mContext.options.json && mBatch->Planned() > 0)
        mContext.out << ky::Fill(ky::TrN("Updating {1} Ky to firmware {2}. Do not switch it "
                                         "off or unplug it.",
                                         "Updating {1} Kys to firmware {2}. Do not switch them "
                                         "off or unplug them.",
                                         mBatch->Planned()),
                                 {std::to_string(mBatch->Planned()), kBuiltIn})
                     << "\n"
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
        // TRANSLATORS: {1} is a device file, {2} and {3} versions as "1-5".
        mContext.out << ky::Fill(ky::Tr("Updating the Ky at {1} from {2} to {3}. Do not switch "
                                        "it off or unplug it."),
                                 {Node(i), Before(i), kBuiltIn})
                     << "\n"
                     << std::flush;
    if (mOptions.all) mSeveral->Add(i, GuidText(Ky(i).unit.guid));
    r.log = std::make_unique<UpdateLog>(mContext.options.verbose, mContext.err.rdbuf(), *r.trace);
    // The log's own lines stay English, as the trace lines around them: a
    // log is read by whoever helps the user, in any language.
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
    return isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)
               ? ky::Tr("pass --yes (--json asks no question)")
               : ky::Tr("run kyfw on a terminal or pass --yes");
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
