#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Clock.h"
#include "base/Result.h"
#include "base/Trace.h"
#include "engine/DownloadProgress.h"
#include "engine/DownloadUnit.h"
#include "engine/Downloader.h"
#include "firewire/FWPlatform.h"
#include "support/ProcessTable.h"
#include "support/ZRV_PTA_Runnable.h"
#include "update/KyIdentity.h"
#include "update/UpdateResult.h"
#include "update/UpdateWording.h"

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
    // Asked on the worker right before the first write: a failure (why
    // not) stops the update there, with nothing written.
    void CheckBeforeWriting(std::function<ky::Done()> check) { _beforeWriting = std::move(check); }
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

    // Cleared by DoUpdate. An update is never called off once it has
    // begun, so the worker does not look at it.
    bool _bailthread = false;
    std::atomic<bool> _threadrunning{false};
    Thread* _thread = nullptr;

private:
    // OpenKy for IsFound and HoldKy: false without a Ky, and when the Ky's
    // unit could not be made, which then is `_lastCheck`.
    bool FindUnit();
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
    std::optional<KyInfo> _expected;           // handed to the worker with DoUpdate
    std::function<ky::Done()> _beforeWriting;  // likewise
    std::function<bool()> _quit;               // likewise
    Downloader* _pDownloader = nullptr;
    std::atomic<bool> _done{false};
    bool _workerStarted = false;  // main thread only
    ky::UpdateResult _result;
};

}  // namespace ZRV::PTA
