#include "update/UpdateBatch.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>

namespace ky {

namespace {

// Worse outcomes rank higher.
int Rank(ExitStatus status) {
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
        case kExitFailed:
        case kExitCannotStart:
        case kExitUsage:
            break;
    }
    return 5;
}

// How often the Kys being written are looked at.
constexpr auto kPollPeriod = std::chrono::milliseconds(10);

}  // namespace

ExitStatus WorseStatus(ExitStatus a, ExitStatus b) {
    return Rank(b) > Rank(a) ? b : a;
}

// One Ky's controller and session; the session goes first.
struct UpdateBatch::Ky {
    std::size_t index = 0;
    std::unique_ptr<ZRV::PTA::CKyFirmwareUpdate> controller;
    std::unique_ptr<UpdateSession> session;
    bool consented = false;
};

UpdateBatch::UpdateBatch(Setup setup, Listener& listener)
    : mSetup(std::move(setup)), mListener(listener) {}

UpdateBatch::~UpdateBatch() {
    for (auto& ky : mSessions)
        if (ky) ky->session.reset();  // each waits for its worker
}

void UpdateBatch::Plan(const std::vector<FWLib::UnitInfo>& units, const WritePolicy& policy,
                       const std::vector<std::optional<KyInfo>>& seen) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        KyOutcome outcome;
        outcome.unit = units[i];
        if (i < seen.size() && seen[i]) outcome.before = *seen[i], outcome.versionsKnown = true;
        mKys.push_back(outcome);
        auto ky = std::make_unique<Ky>();
        ky->index = mKys.size() - 1;
        ky->controller = std::make_unique<ZRV::PTA::CKyFirmwareUpdate>(
            mSetup.bus, *mSetup.clock, mSetup.processes, mListener.TraceFor(ky->index));
        ky->controller->StopBeforeWriting(mSetup.quit);
        ky->session = std::make_unique<UpdateSession>(*ky->controller);
        const auto held = ky->session->Hold(units[i], i < seen.size() ? seen[i] : std::nullopt);
        mSessions.push_back(std::move(ky));
        if (!held.Ok()) {
            End(*mSessions.back(),
                held.status == UpdateSession::Status::NoKy ? kExitNoKy : kExitRefused,
                held.message);
            continue;
        }
        Check(*mSessions.back(), policy);
    }
}

void UpdateBatch::NotUsable(const FWLib::UnitInfo& unit, const KyInfo& found, bool versionsKnown,
                            const std::string& why) {
    KyOutcome outcome;
    outcome.unit = unit;
    outcome.before = found;
    outcome.versionsKnown = versionsKnown;
    outcome.status = kExitRefused;
    outcome.message = why;
    if (versionsKnown) outcome.after = VersionText(found.MCOREver, found.XilinxVer);
    mKys.push_back(outcome);
    mSessions.push_back(nullptr);
}

void UpdateBatch::Check(Ky& ky, const WritePolicy& policy) {
    KyOutcome& outcome = mKys[ky.index];
    outcome.before = ky.session->Info();
    outcome.versionsKnown = true;
    const auto checked = ky.session->Check(policy, true);
    switch (checked.status) {
        case UpdateSession::Status::Ok:
            outcome.planned = true;
            return;
        case UpdateSession::Status::NeedsConsent:
            outcome.planned = outcome.needsConsent = true;
            return;
        case UpdateSession::Status::NothingToDo:
            return End(ky, kExitNothingToDo, checked.message);
        case UpdateSession::Status::NoKy:
            return End(ky, kExitNoKy, checked.message);
        case UpdateSession::Status::Refused:
        case UpdateSession::Status::WrongState:
            break;
    }
    End(ky, kExitRefused, checked.message);
}

std::size_t UpdateBatch::Planned() const {
    return static_cast<std::size_t>(
        std::count_if(mKys.begin(), mKys.end(), [](const KyOutcome& o) { return o.planned; }));
}

void UpdateBatch::End(Ky& ky, ExitStatus status, std::string message) {
    KyOutcome& outcome = mKys[ky.index];
    outcome.planned = false;
    outcome.status = status;
    outcome.message = std::move(message);
    // Nothing was written: the Ky reads what it read.
    if (!outcome.started && outcome.versionsKnown)
        outcome.after = VersionText(outcome.before.MCOREver, outcome.before.XilinxVer);
    ky.session->Release();
}

void UpdateBatch::Consent(bool downgrades) {
    for (auto& ky : mSessions) {
        if (!ky || !mKys[ky->index].planned) continue;
        KyOutcome& outcome = mKys[ky->index];
        if (outcome.needsConsent && !downgrades) {
            End(*ky, kExitRefused, Tr(kOlderThanTheKys));
            continue;
        }
        ky->consented = ky->session->Consent().Ok();
    }
}

void UpdateBatch::Refuse(const std::string& why) {
    for (auto& ky : mSessions)
        if (ky && mKys[ky->index].planned) End(*ky, kExitRefused, why);
}

void UpdateBatch::Write(std::size_t jobs) {
    std::deque<Ky*> waiting;
    for (auto& ky : mSessions)
        if (ky && mKys[ky->index].planned && ky->consented) waiting.push_back(ky.get());
    std::vector<Ky*> writing;
    while (!waiting.empty() || !writing.empty()) {
        while (!waiting.empty() && writing.size() < std::max<std::size_t>(jobs, 1)) {
            Ky* ky = waiting.front();
            waiting.pop_front();
            if (Start(*ky)) writing.push_back(ky);
        }
        for (auto it = writing.begin(); it != writing.end();) {
            if ((*it)->session->Poll() != UpdateSession::State::Finished) {
                ++it;
                continue;
            }
            Finish(**it);
            it = writing.erase(it);
        }
        mListener.Tick();
        if (!writing.empty()) std::this_thread::sleep_for(kPollPeriod);
    }
}

bool UpdateBatch::Start(Ky& ky) {
    // A quit asked for before the Ky was started keeps it unwritten; one
    // that comes later is seen by its worker right before the first write.
    if (mSetup.quit()) {
        End(ky, kExitStopped, Tr(kQuitBeforeItWasWritten));
        return false;
    }
    mListener.Starting(ky.index, ky.controller->Progress());
    if (const auto started = ky.session->Start(); !started.Ok()) {
        End(ky, kExitRefused, started.message);
        return false;
    }
    return true;
}

void UpdateBatch::Finish(Ky& ky) {
    KyOutcome& outcome = mKys[ky.index];
    outcome.result = ky.session->Result();
    if (mSetup.stateKept) NoteStateNotKept(outcome.result, mSetup.stateKept());
    const UpdateResult& r = outcome.result;
    outcome.started = r.started;
    if (r.stopped)
        End(ky, kExitStopped, Tr(kQuitBeforeItWasWritten));
    else if (!r.started)
        End(ky, kExitRefused, Fill(Tr("{1}; nothing was written"), {r.failure}));
    else if (r.Succeeded())
        End(ky, kExitDone, "");
    else
        End(ky, kExitFailed, DescribeFailure(r));
    if (r.versionsRead)
        outcome.after = VersionText(r.versionsRead->MCOREver, r.versionsRead->XilinxVer);
    mListener.Ended(ky.index);
}

void UpdateBatch::Restarted(std::size_t i, const RestartResult& result, const std::string& text,
                            bool failed) {
    KyOutcome& outcome = mKys[i];
    outcome.restart = result;
    if (!result.versions.empty()) outcome.after = result.versions;
    if (failed) {
        outcome.status = kExitFailed;
        outcome.message = text;
    }
}

ExitStatus UpdateBatch::Status() const {
    ExitStatus worst = kExitNothingToDo;
    for (const auto& outcome : mKys) worst = WorseStatus(worst, outcome.status);
    return worst;
}

}  // namespace ky
