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
            return "idle";
        case State::Held:
            return "holding the Ky";
        case State::Consented:
            return "about to write";
        case State::Writing:
            return "writing the Ky";
        case State::Finished:
            return "finished";
    }
    return "?";
}

UpdateSession::Answer UpdateSession::NotNow(const char* request) const {
    return {Status::WrongState, std::string("cannot ") + request + " while " + StateName(mState)};
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
    if (mState != State::Idle) return NotNow("take the Ky");
    mController.SelectUnit(unit.guid);
    const IOReturn status = mController.HoldKy();
    const std::string node = unit.deviceNode;
    if (status == kIOReturnExclusiveAccess)
        return Answer{Status::Refused, ky::BeingUpdatedText(unit, mController.Processes())};
    if (status == kIOReturnNoDevice)
        return Answer{Status::NoKy, "the Ky at " + node + " left the bus"};
    if (status != kIOReturnSuccess)
        return Answer{Status::NoKy, "cannot open the Ky at " + node + ": " + ky::ErrorText(status)};
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
                      "this updater is for Ky product version 3, this Ky is product version " +
                          std::to_string(mInfo.productVer >> 16)};
    if (mCheck != KyCheck::Accepted)
        return Answer{Status::Refused, std::string("the Ky ") + ky::KyCheckText(mCheck) +
                                           " (is another updater using it?)"};
    return {};
}

UpdateSession::Answer UpdateSession::Check(const Policy& policy, bool fullLook) {
    if (mState != State::Held) return NotNow("check the Ky");
    if (ky::Done images = ky::CheckBuiltInImages(); !images)
        return Answer{Status::Refused, images.Failure().What()};
    if (Answer identified = Identified(); !identified.Ok()) return identified;
    const auto others =
        fullLook ? mWatch.CheckAll(DeviceFile(mUnit)) : mWatch.Check(DeviceFile(mUnit));
    if (others) return Answer{Status::Refused, InUseText(*others)};
    switch (ky::Judge(mInfo, policy)) {
        case PolicyAnswer::NothingToDo:
            return Answer{Status::NothingToDo, "the Ky already has the built-in firmware"};
        case PolicyAnswer::NeedsConsent:
            return Answer{Status::NeedsConsent, "the built-in firmware is older than the Ky's"};
        case PolicyAnswer::Write:
            break;
    }
    return {};
}

UpdateSession::Answer UpdateSession::Consent() {
    if (mState != State::Held) return NotNow("agree to the update");
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
    if (mState != State::Consented) return NotNow("start the update");
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
    if (mState == State::Writing) return NotNow("let the Ky go");
    if (mState == State::Idle) return {};
    if (mController.Holding()) mController.ReleaseKy();
    Enter(State::Idle);
    return {};
}

}  // namespace ky
