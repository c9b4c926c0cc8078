#include "update/kyfirmwareupdate.h"

#include "base/KyAssert.h"
#include "engine/Downloader.h"
#include "support/ZRV_PTA_Thread.h"
#include "update/UpdatePolicy.h"

namespace ZRV::PTA {

namespace {
// Another program's identification holds the Ky for a few milliseconds:
// taking it is tried for a fifth of a second before it counts as held.
constexpr int kHoldTries = 20;
constexpr std::uint64_t kHoldRetryMicros = 10'000;
}  // namespace

CKyFirmwareUpdate::CKyFirmwareUpdate(std::shared_ptr<FWLib::Bus> bus, ky::Clock& clock,
                                     ky::ProcessTable processes, ky::Trace trace)
    : _bus(std::move(bus)),
      _clock(clock),
      _processes(std::move(processes)),
      _trace(trace),
      _progress(trace) {
    _trace << "Ctor KyFirmwareUpdate\n";
    _trace << "Test CERR\n";
    _kyInfo.valid = false;
}

CKyFirmwareUpdate::~CKyFirmwareUpdate() {
    // The worker's last access is its store of _done.
    while (_workerStarted && !GetDoneStatus()) ky::PreciseSleep(10'000);
    _trace << "Dtor KyFirmwareUpdate\n";
    _unit.reset();
}

bool CKyFirmwareUpdate::OpenKy() {
    _trace << "Open Ky\n";
    _matchingDictionary = ky::KyUnitMatch();
    auto units = _bus ? ky::FindKyUnits(*_bus) : ky::Error("there is no bus");
    if (!units) {
        _trace << "Problem with MasterPort\n";
        return false;
    }
    const FWLib::io_service_t service = _selectedGuid != 0 ? ky::KyWithGuid(*units, _selectedGuid)
                                        : units->empty()   ? nullptr
                                                           : units->front();
    if (!service) {
        _kyInfo.valid = false;
        return false;
    }
    _foundUnit = service->Info();
    // May throw; the half-built unit is freed and _unit keeps its value.
    _unit = std::make_unique<DownloadUnit>(service, _trace);
    _kyInfo.valid = true;
    return true;
}

void CKyFirmwareUpdate::CloseKy() {
    _trace << "Close Ky\n";
    _unit.reset();
}

bool CKyFirmwareUpdate::IsFound() {
    if (_held) {
        _lastCheck = ky::IdentifyKy(*_unit, _kyInfo, _trace);
        return _lastCheck == ky::KyCheck::Accepted;
    }
    _lastCheck = ky::KyCheck::NotFound;
    if (!FindUnit()) return false;
    _lastCheck = ky::IdentifyKy(*_unit, _kyInfo, _trace);
    CloseKy();
    return _lastCheck == ky::KyCheck::Accepted;
}

bool CKyFirmwareUpdate::FindUnit() {
    try {
        return OpenKy();
    } catch (const FWLib::DeviceError& e) {
        _lastCheck = ky::CheckUnopenedUnit(e.status);
        return false;
    }
}

ky::NoKyReason CKyFirmwareUpdate::WhyNotFound() const {
    return ky::ExplainNoKy(_bus.get(), _lastCheck, _foundUnit, _processes);
}

IOReturn CKyFirmwareUpdate::HoldKy() {
    if (_held) return kIOReturnSuccess;
    if (!FindUnit()) return kIOReturnNoDevice;
    IOReturn status = _unit->Open();
    for (int tries = 1; status == kIOReturnExclusiveAccess && tries < kHoldTries; ++tries) {
        ky::PreciseSleep(kHoldRetryMicros);
        status = _unit->Open();
    }
    if (status != kIOReturnSuccess) {
        if (status == kIOReturnExclusiveAccess) _lastCheck = ky::KyCheck::InUse;
        CloseKy();
        return status;
    }
    _held = true;
    return kIOReturnSuccess;
}

void CKyFirmwareUpdate::ReleaseKy() {
    if (_held) _unit->Close();
    _held = false;
    _expected.reset();  // what the user saw goes with the Ky
    CloseKy();
}

void CKyFirmwareUpdate::GetSerialNumberString(std::string& out) const {
    KY_ASSERT(true == _kyInfo.valid);
    out = ky::SerialText(_kyInfo);
}

void CKyFirmwareUpdate::GetCurrentFirmwareVersionString(std::string& out) const {
    KY_ASSERT(true == _kyInfo.valid);
    out = ky::VersionText(_kyInfo.MCOREver, _kyInfo.XilinxVer);
}

void CKyFirmwareUpdate::GetUpdateFirmwareVersionString(std::string& out) const {
    out = ky::VersionText(KyMCOREUpgradeVer, KyXilinxUpgradeVer);
}

bool CKyFirmwareUpdate::IsDowngrade() const {
    KY_ASSERT(true == _kyInfo.valid);
    return ky::IsDowngradeFor(_kyInfo);
}

}  // namespace ZRV::PTA

namespace ZRV::PTA {

bool CKyFirmwareUpdate::DoUpdate() {
    _trace << "Start Download Thread\n";
    _bailthread = false;
    _done.store(false, std::memory_order_relaxed);
    _result = {};
    _progress.Reset();  // a worker that fails before its first image shows 0
    _pDownloader = new Downloader(_clock, _progress, BuiltInImages(), _trace);
    KY_ASSERT(_pDownloader);
    _thread = new Thread(this, 0, Thread::kThreadPolicyTimeslice);
    _threadrunning.store(true, std::memory_order_relaxed);
    _workerStarted = true;
    // Everything the worker reads is in place: from here on it owns them.
    if (_thread->Start()) return true;
    _trace << "Could not start the download thread\n";
    ky::UpdateResult failed;
    failed.started = false;
    failed.failure = ky::Tr(ky::kNoWorkerThread);
    ReleaseKy();
    FinishWorker(failed);
    return false;
}

void CKyFirmwareUpdate::Run() {
    ky::UpdateResult result;
    try {
        DownloadBoth(result);
    } catch (const std::exception& e) {
        result.failure = ky::Fill(ky::Tr("unexpected error: {1}"), {e.what()});
    } catch (...) {
        result.failure = ky::Tr("unexpected error");
    }
    ReleaseKy();  // lets the Ky go: another updater may take it from here
    FinishWorker(result);
}

void CKyFirmwareUpdate::DownloadBoth(ky::UpdateResult& result) {
    if (const IOReturn status = HoldKy(); status != kIOReturnSuccess) {
        // The Ky left the bus, or another updater took it, since the user asked.
        result.xilinx.error = result.mcore.error = status;
        result.failure = ky::HoldFailedText(status);
        return;
    }
    result.deviceFound = true;
    if (!StillAsExpected(result)) return;
    if (_beforeWriting) {
        if (const ky::Done ready = _beforeWriting(); !ready) {
            result.started = false;
            result.failure = ready.Failure().What();
            return;
        }
    }
    if (_quit && _quit()) {
        result.started = false;
        result.stopped = true;
        result.failure = ky::Tr(ky::kQuitBeforeWriting);
        return;
    }
    result.xilinx = _pDownloader->Download(_unit.get(), fileXILINX);  // DoUpdate reset the record
    // The MCORE image goes next whatever became of the first.
    result.mcore = _pDownloader->Download(_unit.get(), fileMCORE);
    // After a failure, what the Ky reads now, still under the hold: what to
    // do next depends on it, not on a guess about the step that failed.
    KyInfo now;
    if (!result.Succeeded() && !ky::LeftTheBus(result) &&
        ky::IdentifyKy(*_unit, now, _trace) == ky::KyCheck::Accepted)
        result.versionsRead = now;
}

bool CKyFirmwareUpdate::StillAsExpected(ky::UpdateResult& result) {
    if (!_expected) return true;
    KyInfo now;
    const ky::KyCheck check = ky::IdentifyKy(*_unit, now, _trace);
    if (check == ky::KyCheck::Accepted && now.softwareVer == _expected->softwareVer) return true;
    result.started = false;
    result.failure = ky::NotAsAgreedText(check, now, *_expected);
    return false;
}

void CKyFirmwareUpdate::TakeIdentification(const KyInfo& info, ky::KyCheck check,
                                           const FWLib::UnitInfo& unit) {
    _kyInfo = info;
    _kyInfo.valid = check != ky::KyCheck::NotFound;
    _lastCheck = check;
    _foundUnit = unit;
}

void CKyFirmwareUpdate::FinishWorker(const ky::UpdateResult& result) {
    _expected.reset();
    delete _pDownloader;
    _pDownloader = nullptr;
    Thread* thread = _thread;
    _thread = nullptr;
    delete thread;
    _trace << "Delete Download Thread\n";
    _result = result;
    _threadrunning.store(false, std::memory_order_relaxed);
    // The last access to this object: from here the owner may delete it.
    _done.store(true, std::memory_order_release);
}

}  // namespace ZRV::PTA
