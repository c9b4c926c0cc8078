#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "support/DeviceInUse.h"
#include "update/SleepInhibitor.h"
#include "update/kyfirmwareupdate.h"

namespace ky {

// The life of one update of one Ky, the same for the window and for kyfw:
// which Ky, may it be written now, and what happened. The front ends only
// ask and show. Every request that does not fit the state the session is
// in is refused (WrongState) and changes nothing, so no path can start a
// second worker, release a Ky under a running one or write twice.
//
//   Idle --Hold--> Held --Consent--> Consented --Start--> Writing
//     ^              |                   |                   | Poll: done
//     +---Release----+-------------------+---- Finished <----+
//
// All requests come from one thread (the window's, or kyfw's main thread);
// while Writing, the controller's worker owns the Ky, the in-use look and
// the sleep inhibitor.
class UpdateSession {
public:
    enum class State { Idle, Held, Consented, Writing, Finished };
    enum class Status {
        Ok,
        WrongState,    // not in this state; nothing changed
        NoKy,          // the Ky is gone or cannot be opened
        Refused,       // another updater, another user, another product, a broken image
        NothingToDo,   // it already has the built-in firmware
        NeedsConsent,  // a downgrade: the user must agree to it in so many words
    };
    struct Answer {
        Status status = Status::Ok;
        std::string message;  // a lower-case phrase; empty with Ok
        bool Ok() const { return status == Status::Ok; }
    };
    using Policy = ky::WritePolicy;

    // `controller` (the window's or kyfw's) stays with its owner and
    // outlives the session; other programs are looked for in its processes.
    explicit UpdateSession(ZRV::PTA::CKyFirmwareUpdate& controller);
    // Waits for a running update to end, then lets the Ky go.
    ~UpdateSession();
    UpdateSession(const UpdateSession&) = delete;
    UpdateSession& operator=(const UpdateSession&) = delete;

    State GetState() const { return mState; }
    static const char* StateName(State state);

    // Idle or Held: who else uses the Ky of `unit`, at the cost of an idle
    // look (see InUseWatch). Nothing is looked at in the other states: once
    // the update has begun, only the worker looks, once, before it writes.
    std::optional<InUse> OthersNow(const FWLib::UnitInfo& unit);
    // The Ky's device file as the in-use look takes it: empty without one.
    static std::filesystem::path DeviceFile(const FWLib::UnitInfo& unit) {
        return unit.deviceFileHere ? unit.deviceNode : "";
    }

    // Idle -> Held: takes the Ky with `unit`'s GUID, so that no other
    // updater gets in until Release, and the versions the user is shown:
    // `seen` (what another look showed), or read now, under the hold.
    Answer Hold(const FWLib::UnitInfo& unit, const std::optional<ZRV::PTA::KyInfo>& seen = {});
    // Held: the product, who else uses the Ky (every process read afresh
    // with `fullLook`, else the idle look), then the versions against the
    // built-in ones under `policy`.
    Answer Check(const Policy& policy, bool fullLook);
    // Held -> Consented: the user agreed (or asked beforehand) to the
    // Ky's versions as held: right before its first write the worker reads
    // them again, and the update stops there with nothing written if they
    // changed.
    Answer Consent();
    // Consented -> Writing: starts the worker. Right before its first write
    // it looks at every process again and holds off sleep (each bounded);
    // someone using the Ky by then ends the update with nothing written.
    Answer Start();
    // Writing -> Finished once the worker has ended. The state either way.
    State Poll();
    // Once Finished: what became of each image.
    const ky::UpdateResult& Result() const { return mResult; }
    // Held, Consented or Finished -> Idle, letting the Ky go. Refused while
    // Writing: the update cannot be called off.
    Answer Release();

    // The held Ky's versions (as read under the hold, or as seen).
    const ZRV::PTA::KyInfo& Info() const { return mInfo; }
    const FWLib::UnitInfo& Unit() const { return mUnit; }

private:
    Answer NotNow(const char* request) const;
    Answer Identified() const;
    Done BeforeWriting();
    void Enter(State state);

    ZRV::PTA::CKyFirmwareUpdate& mController;
    InUseWatch mWatch;
    State mState = State::Idle;
    FWLib::UnitInfo mUnit;
    ZRV::PTA::KyInfo mInfo;
    ky::KyCheck mCheck = ky::KyCheck::NotFound;
    ky::UpdateResult mResult;
    std::unique_ptr<SleepInhibitor> mInhibitor;  // made by the worker, let go once Finished
};

}  // namespace ky
