#include "update/UpdateSession.h"

#include "base/KyAssert.h"
#include "engine/FirmwareImage.h"

namespace ky {

UpdateSession::UpdateSession(ZRV::PTA::CKyFirmwareUpdate& controller)
    : mController(controller), mWatch(controller.Processes()) {}

UpdateSession::~UpdateSession() {
    while (mState == State::Writing && Poll() == State::Writing) PreciseSleep(10'000);
    Release();
}

const char* UpdateSession::StateName(State state) {
    switch (state) {
        case State::Idle:
            // TRANSLATORS: what the updater is doing, in "cannot start the update while {1}".
            return N_("idle");
        case State::Held:
            return N_("holding the Ky");
        case State::Consented:
            return N_("about to write");
        case State::Writing:
            return N_("writing the Ky");
        case State::Finished:
            // TRANSLATORS: what the updater is doing, in "cannot start the update while {1}".
            return N_("finished");
    }
    return "?";
}

UpdateSession::Answer UpdateSession::NotNow(const char* request) const {
    return {Status::WrongState, Fill(Tr(request), {Tr(StateName(mState))})};
}

void UpdateSession::Enter(State state) {
    mState = state;
    // Another program that finds the Ky held says what its holder is doing.
    if (state == State::Held) PublishActivity("waiting", mUnit.lockFile);
    if (state == State::Writing) PublishActivity("writing", mUnit.lockFile);
    if (state == State::Idle) PublishActivity("", mUnit.lockFile);
}

std::optional<InUse> UpdateSession::OthersNow(const FWLib::UnitInfo& unit) {
    if (mState != State::Idle && mState != State::Held) return std::nullopt;
    return mWatch.Check(DeviceFile(unit));
}

UpdateSession::Answer UpdateSession::Hold(const FWLib::UnitInfo& unit,
                                          const std::optional<ZRV::PTA::KyInfo>& seen) {
    if (mState != State::Idle) return NotNow(N_("cannot take the Ky while {1}"));
    mController.SelectUnit(unit.guid);
    const IOReturn status = mController.HoldKy();
    const std::string node = unit.deviceNode;
    if (status == kIOReturnExclusiveAccess)
        return Answer{Status::Refused, ky::BeingUpdatedText(unit, mController.Processes())};
    if (status == kIOReturnNoDevice)
        return Answer{Status::NoKy, Fill(Tr("the Ky at {1} left the bus"), {node})};
    if (status != kIOReturnSuccess)
        return Answer{Status::NoKy,
                      Fill(Tr("cannot open the Ky at {1}: {2}"), {node, ky::ErrorText(status)})};
    mUnit = mController.FoundUnit();
    if (seen) {
        mInfo = *seen;
        mCheck = KyCheck::Accepted;
        mController.ExpectVersions(*seen);
    } else {
        mController.IsFound();
        mInfo = mController.Info();
        mCheck = mController.LastCheck();
    }
    Enter(State::Held);
    return {};
}

UpdateSession::Answer UpdateSession::Identified() const {
    if (mCheck == KyCheck::WrongProduct)
        return Answer{Status::Refused,
                      Fill(Tr("this updater is for Ky product version 3, this Ky is product "
                              "version {1}"),
                           {std::to_string(mInfo.productVer >> 16)})};
    if (mCheck != KyCheck::Accepted)
        return Answer{
            Status::Refused,
            // TRANSLATORS: {1} says what became of the Ky, as "could not be opened".
            Fill(Tr("the Ky {1} (is another updater using it?)"), {ky::KyCheckText(mCheck)})};
    return {};
}

UpdateSession::Answer UpdateSession::Check(const Policy& policy, bool fullLook) {
    if (mState != State::Held) return NotNow(N_("cannot check the Ky while {1}"));
    if (ky::Done images = ky::CheckBuiltInImages(); !images)
        return Answer{Status::Refused, images.Failure().What()};
    if (Answer identified = Identified(); !identified.Ok()) return identified;
    const auto others =
        fullLook ? mWatch.CheckAll(DeviceFile(mUnit)) : mWatch.Check(DeviceFile(mUnit));
    if (others) return Answer{Status::Refused, InUseText(*others)};
    switch (ky::Judge(mInfo, policy)) {
        case PolicyAnswer::NothingToDo:
            return Answer{Status::NothingToDo, Tr("the Ky already has the built-in firmware")};
        case PolicyAnswer::NeedsConsent:
            return Answer{Status::NeedsConsent, Tr(kOlderThanTheKys)};
        case PolicyAnswer::Write:
            break;
    }
    return {};
}

UpdateSession::Answer UpdateSession::Consent() {
    if (mState != State::Held) return NotNow(N_("cannot agree to the update while {1}"));
    // The user agreed to the versions shown: the worker reads the Ky again
    // right before it writes, and writes nothing unless it reads them.
    mController.ExpectVersions(mInfo);
    mState = State::Consented;
    return {};
}

Done UpdateSession::BeforeWriting() {
    // On the worker: the Ky is held, nothing is written yet.
    if (const auto others = mWatch.CheckAll(DeviceFile(mUnit))) return Error(InUseText(*others));
    mInhibitor = std::make_unique<SleepInhibitor>(mController.Traced());
    return {};
}

UpdateSession::Answer UpdateSession::Start() {
    if (mState != State::Consented) return NotNow(N_("cannot start the update while {1}"));
    mResult = {};
    mController.CheckBeforeWriting([this] { return BeforeWriting(); });
    Enter(State::Writing);
    mController.DoUpdate();
    return {};
}

UpdateSession::State UpdateSession::Poll() {
    if (mState != State::Writing || !mController.GetDoneStatus()) return mState;
    mResult = mController.GetUpdateResult();
    mInhibitor.reset();
    mState = State::Finished;
    return mState;
}

UpdateSession::Answer UpdateSession::Release() {
    if (mState == State::Writing) return NotNow(N_("cannot let the Ky go while {1}"));
    if (mState == State::Idle) return {};
    if (mController.Holding()) mController.ReleaseKy();
    Enter(State::Idle);
    return {};
}

}  // namespace ky
