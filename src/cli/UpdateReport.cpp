// kyfw update's report: what became of each Ky, in words and in JSON, and
// the restarts of the Kys written.
#include "base/Translate.h"
#include "cli/RestartWait.h"
#include "cli/UpdateCommand.h"

namespace kyfw {

namespace {

nlohmann::json ImageJson(const ky::ImageOutcome& image) {
    nlohmann::json j{{"ok", image.Programmed()}, {"error", image.error}};
    if (!image.Programmed()) {
        j["error_text"] = ky::ErrorText(image.error);
        j["step"] = image.StepText();
        j["flash_touched"] = image.FlashTouched();
    }
    return j;
}

}  // namespace

nlohmann::json UpdateCommand::UpdateJson(std::size_t i) {
    const ky::KyOutcome& k = Ky(i);
    const KyRecord& r = mRecords[i];
    nlohmann::json j{
        {"images", {{"xilinx", ImageJson(k.result.xilinx)}, {"mcore", ImageJson(k.result.mcore)}}},
        {"log", r.logPath ? nlohmann::json(r.logPath->string()) : nullptr}};
    if (!r.logPath) j["log_problem"] = r.logProblem;
    if (!k.result.Succeeded()) j["advice"] = ky::RetryCommand(k.result);
    return j;
}

int UpdateCommand::ReportOne() {
    const ky::KyOutcome& k = Ky(0);
    if (k.status == kExitStopped)
        return End(kExitStopped, ky::Tr("stopped by a quit signal before the Ky was written; "
                                        "nothing was written"));
    if (!k.started)
        return End(kExitRefused, ky::Fill(ky::Tr("refusing to update: {1}"), {k.message}));
    const bool ok = k.Written();
    mDoc.update(UpdateJson(0));
    mDoc["message"] =
        ok ? ky::Fill(ky::Tr("Switch the Ky off and on again to start firmware {1}."), {kBuiltIn})
           : ky::DescribeFailure(k.result) + " " + ky::FailureAdvice(k.result, ky::AdviceFor::Kyfw);
    const KyRecord& r = mRecords[0];
    if (!mContext.options.json) {
        const std::string message = Printable(mDoc["message"].get<std::string>(), true);
        (ok ? mContext.out : mContext.err)
            // TRANSLATORS: {1} is what the user does next, a sentence.
            << (ok ? ky::Fill(ky::Tr("Done. {1}"), {message}) : "kyfw: " + message) << "\n";
        if (r.logPath)
            // TRANSLATORS: {1} is the path of the update's log file.
            mContext.out << ky::Fill(ky::Tr("Log: {1}"), {Printable(r.logPath->string())}) << "\n";
        else
            mContext.err << "kyfw: "
                         << ky::Fill(ky::Tr("warning: no log was kept: {1}"),
                                     {Printable(r.logProblem)})
                         << "\n";
    }
    if (ok && WaitSkipped())
        mDoc["restart"] = SkippedRestartJson();
    else if (ok && Waits())
        FollowRestarts(std::string(ky::Tr(ky::kRestartRequest)) + " " +
                       ky::Tr("Waiting for it to come back (Ctrl+C to stop waiting)\u2026") + "\n");
    if (ok && Ky(0).status == kExitFailed)
        mDoc["message"] = Ky(0).message;  // written, its new firmware not started
    if (mContext.options.json) Emit(mContext, mDoc);
    SayOutputFailed(
        ok
            // TRANSLATORS: {1} is why, as "No space left on device".
            ? ky::Tr("the update is done, but its result could not be written to standard "
                     "output ({1})")
            // TRANSLATORS: {1} is why, as "No space left on device".
            : ky::Tr("the update failed, but its result could not be written to standard "
                     "output ({1})"));
    return Ky(0).status;
}

void UpdateCommand::SayOutputFailed(const char* pattern) {
    mContext.out.flush();
    mContext.outputFailureSaid = mContext.outBuffer.Error() != 0;
    if (mContext.outputFailureSaid)
        mContext.err << "kyfw: " << ky::Fill(pattern, {mContext.outBuffer.ErrorText()}) << "\n";
}

// Follows every written Ky through its restart, together.
void UpdateCommand::FollowRestarts(const std::string& announce) {
    std::vector<std::size_t> written;
    std::vector<UInt64> guids;
    for (std::size_t i = 0; i < mBatch->Kys().size(); ++i)
        if (Ky(i).Written()) written.push_back(i), guids.push_back(Ky(i).unit.guid);
    if (guids.empty()) return;
    const std::vector<RestartReport> reports = AwaitRestarts(mContext, mOptions, guids, announce);
    for (std::size_t n = 0; n < written.size(); ++n) {
        const RestartReport& r = reports[n];
        const std::size_t i = written[n];
        mBatch->Restarted(i, r.result, r.text, r.failed);
        mRestartJson[i] = r.json;
        if (!mOptions.all && !mContext.options.json)
            (r.failed ? mContext.err : mContext.out)
                << (r.failed ? "kyfw: " : "") << r.text << "\n";
        if (mRecords[i].logPath) AppendToLog(*mRecords[i].logPath, "Restart: " + r.text + "\n");
    }
    if (!mOptions.all) mDoc["restart"] = mRestartJson[written.front()];
}

int UpdateCommand::ReportAll() {
    if (WaitSkipped())
        for (std::size_t i = 0; i < mBatch->Kys().size(); ++i)
            if (Ky(i).Written()) mRestartJson[i] = SkippedRestartJson();
    if (!WaitSkipped() && Waits())
        FollowRestarts(std::string(ky::Tr("Switch each Ky that was updated off, wait a second and "
                                          "switch it on again. Waiting for them to come back "
                                          "(Ctrl+C to stop waiting)\u2026")) +
                       "\n");
    const ExitStatus worst = mBatch->Status();
    if (mContext.options.json) {
        nlohmann::json kys = nlohmann::json::array();
        for (std::size_t i = 0; i < mBatch->Kys().size(); ++i) kys.push_back(EntryJson(i));
        Emit(mContext, {{"command", "update"}, {"all", true}, {"status", worst}, {"kys", kys}});
    } else {
        mContext.out << ky::Fill(ky::Tr("Summary (built-in firmware {1}):"), {kBuiltIn}) << "\n";
        for (std::size_t i = 0; i < mBatch->Kys().size(); ++i)
            mContext.out << "  " << GuidText(Ky(i).unit.guid) << "  "
                         << Printable(ky::SerialText(Ky(i).before)) << "  "
                         << (Ky(i).versionsKnown ? Before(i) : "?") << " \u2192 " << After(i)
                         << "  " << Printable(Message(i), true) << "\n";
    }
    SayOutputFailed(
        // TRANSLATORS: {1} is why, as "No space left on device".
        ky::Tr("the update has ended, but its result could not be written to "
               "standard output ({1})"));
    return worst;
}

// What the Ky read last, as the summary shows it.
std::string UpdateCommand::After(std::size_t i) const {
    if (Ky(i).after) return *Ky(i).after;
    // Written, its restart not followed: what it starts once switched off and on.
    // TRANSLATORS: {1} is a version as "2-6".
    return Ky(i).Written() && !Ky(i).restart ? ky::Fill(ky::Tr("{1} once restarted"), {kBuiltIn})
                                             : "?";
}

// The Ky's outcome in words: its word, and for any other ending why.
std::string UpdateCommand::Message(std::size_t i) const {
    const ky::KyOutcome& k = Ky(i);
    switch (k.status) {
        case kExitNothingToDo:
            return ky::Fill(ky::Tr("skipped: it already has {1} (--reinstall writes it again)"),
                            {kBuiltIn});
        case kExitStopped:
            return ky::Tr("not started: stopped by a quit signal");
        case kExitRefused:
            if (k.needsConsent)
                return ky::Fill(ky::Tr("refused: a downgrade from {1} needs --allow-downgrade"),
                                {Before(i)});
            // TRANSLATORS: {1} is why the Ky was not updated.
            return ky::Fill(ky::Tr("refused: {1}"), {k.message});
        case kExitDone:
            return DoneMessage(i);
        case kExitFailed:
            // TRANSLATORS: {1} is why the update failed.
            if (k.Written()) return ky::Fill(ky::Tr("failed: {1}"), {k.message});  // its restart
            return ky::Fill(ky::Tr("failed: {1}"),
                            {k.message + " " + ky::FailureAdvice(k.result, ky::AdviceFor::Kyfw)});
        case kExitNoKy:
            // TRANSLATORS: {1} is why the Ky cannot be updated.
            return ky::Fill(ky::Tr("no-device: {1}"), {k.message});
        default:
            break;
    }
    return std::string(ky::OutcomeWord(k.status)) + ": " + k.message;
}

std::string UpdateCommand::DoneMessage(std::size_t i) const {
    const auto& restart = Ky(i).restart;
    if (restart && restart->ending == ky::RestartEnding::Confirmed)
        return ky::Tr("done, restart confirmed");
    if (WaitSkipped())
        return ky::Tr("done; the restart was not waited for: a quit signal came during the update");
    if (restart)
        return ky::Fill(ky::Tr("done; restart not confirmed: {1}"),
                        {mRestartJson.at(i).value("message", "")});
    // TRANSLATORS: the outcome of one Ky's update.
    return ky::Tr("done");
}

nlohmann::json UpdateCommand::EntryJson(std::size_t i) {
    const ky::KyOutcome& k = Ky(i);
    nlohmann::json j{{"guid", GuidText(k.unit.guid)},
                     {"serial_number", ky::SerialText(k.before)},
                     {"before", k.versionsKnown ? Before(i) : "?"},
                     {"after", k.after ? nlohmann::json(*k.after) : nullptr},
                     {"outcome", ky::OutcomeWord(k.status)},
                     {"message", Message(i)},
                     {"status", k.status}};
    if (k.started) j["update"] = UpdateJson(i);
    if (mRestartJson.contains(i)) j["restart"] = mRestartJson[i];
    return j;
}

}  // namespace kyfw
