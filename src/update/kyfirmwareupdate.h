#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Clock.h"
#include "base/Trace.h"
#include "engine/DownloadProgress.h"
#include "engine/DownloadUnit.h"
#include "engine/Downloader.h"
#include "firewire/FWPlatform.h"
#include "support/ProcessTable.h"
#include "support/ZRV_PTA_Runnable.h"

namespace ZRV::PTA {

// Versions of the firmware built into this program, and the product version
// it is made for (the upper half of the unit's product-revision register).
inline constexpr UInt32 KyXilinxUpgradeVer = 6;
inline constexpr UInt32 KyMCOREUpgradeVer = 2;
inline constexpr UInt32 KyVersion = 3;

// Identity and versions of the Ky found last.
struct KyInfo {
    UInt32 softwareVer = 0;
    UInt32 productVer = 0;
    std::string serialNum;
    UInt32 MCOREver = 0;
    UInt32 XilinxVer = 0;
    bool valid = false;
};

}  // namespace ZRV::PTA

namespace ky {

using ZRV::PTA::KyInfo;
struct NoKyReason;

// What identification made of a unit.
enum class KyCheck {
    Accepted,
    WrongProduct,
    OpenFailed,
    NoAccess,  // this user may not open its device file
    InUse,
    NoGeneration,
    ReadFailed,
    NotFound
};
const char* KyCheckText(KyCheck check);

// Reads versions, product revision and serial number of a unit that is not
// open yet, and closes it again. Only an accepted product may be updated.
// Why the unit could not be read goes to `trace`.
KyCheck IdentifyKy(DownloadUnit& unit, KyInfo& info, const Trace& trace = {});
bool IsAcceptedProduct(UInt32 productVer);

// The serial number as shown: "Not Available" for firmware older than MCORE 2,
// which does not report one.
std::string SerialText(const KyInfo& info);
// "2-6": the MCORE version, a hyphen and the Xilinx version.
std::string VersionText(UInt32 mcore, UInt32 xilinx);
// "2-6": the versions of the firmware built into this program.
inline std::string BuiltInVersionText() {
    return VersionText(ZRV::PTA::KyMCOREUpgradeVer, ZRV::PTA::KyXilinxUpgradeVer);
}
// What the built-in firmware would be to a Ky with these versions: a
// downgrade when it lowers either version (1-7 and 3-0 are downgrades).
enum class Verdict { Upgrade, Same, Downgrade };
Verdict VerdictFor(const KyInfo& info);
const char* VerdictText(Verdict verdict);  // "upgrade", "same", "downgrade"
inline bool IsDowngradeFor(const KyInfo& info) {
    return VerdictFor(info) == Verdict::Downgrade;
}
inline bool IsSameAsBuiltIn(const KyInfo& info) {
    return VerdictFor(info) == Verdict::Same;
}
// What the user asked for: write the same firmware again, and lower it
// without a question.
struct WritePolicy {
    bool reinstall = false;
    bool allowDowngrade = false;
};
// The update policy, one for the session, update --all's plan and the
// listing: may the built-in firmware be written to a Ky with these
// versions, as asked?
enum class PolicyAnswer { Write, NothingToDo, NeedsConsent };
PolicyAnswer Judge(const KyInfo& info, const WritePolicy& policy);

// The Ky's update unit wherever discovery looks for it.
inline FWLib::MatchingDictionary KyUnitMatch() {
    return {DownloadUnit::kFirmwareUpdateUnitSpecID, DownloadUnit::kFirmwareUpdateUnitSWVersion};
}

// What an update did to each image. An image that failed leaves the Ky in
// need of another update; it must never be reported as programmed.
struct UpdateResult {
    bool deviceFound = false;
    ImageOutcome xilinx, mcore;  // each image's error and where it failed
    std::string failure;         // why the update could not run or be kept, if so
    bool started = true;         // false: nothing was written (`failure` says why)
    bool stopped = false;        // not started: a quit came before the first write
    // After an image failed: the Ky's versions read under the hold, when
    // it could be read.
    std::optional<KyInfo> versionsRead;

    bool Succeeded() const {
        return deviceFound && xilinx.Programmed() && mcore.Programmed() && failure.empty();
    }
};

// The Ky left the bus during the update.
bool LeftTheBus(const UpdateResult& result);
// "bus reset (error -536854496)", or the Ky's own status error in words.
std::string ErrorText(IOReturn error);
// One sentence per image that failed, naming the image and its error.
std::string DescribeFailure(const UpdateResult& result);
// After a failed update: the kyfw command that works on the Ky as it was
// read under the hold (the built-in versions need --reinstall, newer ones
// --allow-downgrade) or, when it could not be read, whatever it reads.
std::string RetryCommand(const UpdateResult& result);
// A simulated Ky whose state could not be kept was not updated: the result
// says so, unless it already failed (an empty `problem` changes nothing).
void NoteStateNotKept(UpdateResult& result, const std::string& problem);
// "the Ky is being updated by kyfw (process 4242)": who holds the unit.
std::string BeingUpdatedText(const FWLib::UnitInfo& unit, const ProcessTable& processes);

}  // namespace ky

namespace ZRV::PTA {

class Thread;

// The controller between the window (or the command line) and the update
// engine: finds the Ky, identifies it and judges its versions, and runs an
// update of both images on a worker thread whose end the caller polls.
class CKyFirmwareUpdate : public Runnable {
public:
    // `processes` is where other programs that use the Ky are looked for;
    // `trace` takes the trace and error lines of the controller, the unit
    // and the download engine.
    explicit CKyFirmwareUpdate(std::shared_ptr<FWLib::Bus> bus,
                               ky::Clock& clock = ky::SystemClock(),
                               ky::ProcessTable processes = {}, ky::Trace trace = {});
    // Waits for a running update to finish first: the worker uses this object.
    ~CKyFirmwareUpdate() override;

    CKyFirmwareUpdate(const CKyFirmwareUpdate&) = delete;
    CKyFirmwareUpdate& operator=(const CKyFirmwareUpdate&) = delete;

    // Makes discovery take the unit of the node with this GUID rather than
    // the first one found (0: the first one).
    void SelectUnit(UInt64 guid) { _selectedGuid = guid; }
    bool OpenKy();
    void CloseKy();
    // Takes the Ky for an update: finds its unit and opens it, so that no
    // other updater, in this process or another, can open it until the
    // update has ended or ReleaseKy lets it go. kIOReturnExclusiveAccess
    // when another updater holds it; kIOReturnNoDevice when there is none.
    IOReturn HoldKy();
    void ReleaseKy();
    bool Holding() const { return _held; }
    // Identifies the Ky (the held one, when holding); false unless it is
    // accepted. LastCheck() says why.
    bool IsFound();
    ky::KyCheck LastCheck() const { return _lastCheck; }
    // Takes an identification made elsewhere (by a probe on another thread)
    // as this controller's own.
    void TakeIdentification(const KyInfo& info, ky::KyCheck check, const FWLib::UnitInfo& unit);
    // The next update writes only if the held Ky still reads these versions
    // (what the user saw and agreed to); otherwise nothing is written.
    void ExpectVersions(const KyInfo& info) { _expected = info; }
    // Asked on the worker right before the first write: a non-empty answer
    // (why not) stops the update there, with nothing written.
    void CheckBeforeWriting(std::function<std::string()> check) {
        _beforeWriting = std::move(check);
    }
    // Asked on the worker last before the first write: yes (a quit was
    // asked for) stops the update there, with nothing written.
    void StopBeforeWriting(std::function<bool()> quit) { _quit = std::move(quit); }
    // Why the last IsFound found no Ky that can be updated.
    ky::NoKyReason WhyNotFound() const;
    void GetSerialNumberString(std::string& out) const;
    void GetCurrentFirmwareVersionString(std::string& out) const;
    void GetUpdateFirmwareVersionString(std::string& out) const;
    bool IsDowngrade() const;

    // Starts the update of both images on a worker thread, with the held
    // Ky (or a Ky it takes itself), which it lets go at the end. While it
    // runs, call nothing but GetDoneStatus (and, once done, GetUpdateResult).
    bool DoUpdate();
    void Run() override;
    bool GetDoneStatus() const { return _done.load(std::memory_order_acquire); }
    // Valid once GetDoneStatus() is true.
    const ky::UpdateResult& GetUpdateResult() const { return _result; }

    // The progress of the update under way (or of the last one), for the
    // owner to show while the worker writes it.
    const DownloadProgress& Progress() const { return _progress; }
    DownloadProgress& Progress() { return _progress; }
    // The record of the Ky found last (valid or not).
    const KyInfo& Info() const { return _kyInfo; }
    const DownloadUnit* Unit() const { return _unit.get(); }
    // What discovery knows of the unit found last (its device node, GUID).
    const FWLib::UnitInfo& FoundUnit() const { return _foundUnit; }
    const ky::ProcessTable& Processes() const { return _processes; }
    const ky::Trace& Traced() const { return _trace; }

    // Cleared by DoUpdate and read by nothing in this program: an update
    // is never called off once it has begun.
    bool _bailthread = false;
    std::atomic<bool> _threadrunning{false};
    Thread* _thread = nullptr;

private:
    void DownloadBoth(ky::UpdateResult& result);
    bool StillAsExpected(ky::UpdateResult& result);
    void FinishWorker(const ky::UpdateResult& result);

    std::shared_ptr<FWLib::Bus> _bus;
    ky::Clock& _clock;
    ky::ProcessTable _processes;
    ky::Trace _trace;
    DownloadProgress _progress;  // handed to the downloader; read by the owner
    std::unique_ptr<DownloadUnit> _unit;
    FWLib::MatchingDictionary _matchingDictionary;
    KyInfo _kyInfo;
    FWLib::UnitInfo _foundUnit;
    UInt64 _selectedGuid = 0;
    bool _held = false;
    ky::KyCheck _lastCheck = ky::KyCheck::NotFound;
    std::optional<KyInfo> _expected;              // handed to the worker with DoUpdate
    std::function<std::string()> _beforeWriting;  // likewise
    std::function<bool()> _quit;                  // likewise
    Downloader* _pDownloader = nullptr;
    std::atomic<bool> _done{false};
    bool _workerStarted = false;  // main thread only
    ky::UpdateResult _result;
};

}  // namespace ZRV::PTA
