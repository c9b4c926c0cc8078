#include "update/kyfirmwareupdate.h"

#include "base/KyAssert.h"
#include "engine/Downloader.h"
#include "support/DeviceInUse.h"
#include "support/ZRV_PTA_Thread.h"
#include "update/NoKyReason.h"

namespace ky {

bool IsAcceptedProduct(UInt32 productVer) {
    const UInt32 product = productVer >> 16;
    return product == ZRV::PTA::KyVersion || product == 0;
}

KyCheck IdentifyKy(DownloadUnit& unit, KyInfo& info, const Trace& trace) {
    UInt32 generation = 0;
    if (IOReturn status = unit.GetBusGeneration(generation); status != kIOReturnSuccess) {
        trace << "Could not read the bus generation: " << IOReturnName(status) << "\n";
        return KyCheck::NoGeneration;
    }
    if (IOReturn status = unit.Open(); status != kIOReturnSuccess)
        return status == kIOReturnExclusiveAccess ? KyCheck::InUse : KyCheck::OpenFailed;
    // Versions that could not be read must not pass for the Ky's own (an
    // unread product register would otherwise look like product 0).
    info.softwareVer = info.productVer = 0;
    const IOReturn versionRead = unit.GetSoftwareVersion(info.softwareVer);
    info.XilinxVer = info.softwareVer & 0xFFFF;
    info.MCOREver = info.softwareVer >> 16;
    const IOReturn productRead = unit.GetProductRevision(info.productVer);
    unit.GetProductSerNum(info.serialNum);
    unit.Close();
    if (versionRead != kIOReturnSuccess || productRead != kIOReturnSuccess) {
        trace << "Could not read the Ky's versions: "
              << IOReturnName(versionRead != kIOReturnSuccess ? versionRead : productRead) << "\n";
        return KyCheck::ReadFailed;
    }
    return IsAcceptedProduct(info.productVer) ? KyCheck::Accepted : KyCheck::WrongProduct;
}

const char* KyCheckText(KyCheck check) {
    switch (check) {
        case KyCheck::Accepted:
            return "ready";
        case KyCheck::WrongProduct:
            return "product version not supported by this updater";
        case KyCheck::OpenFailed:
            return "could not be opened";
        case KyCheck::InUse:
            return "held by another updater";
        case KyCheck::NoAccess:
            return "may not be opened by this user (see the udev rule)";
        case KyCheck::NotFound:
            return "not found";
        case KyCheck::NoGeneration:
            return "bus generation could not be read";
        case KyCheck::ReadFailed:
            return "versions could not be read";
    }
    return "?";
}

std::string SerialText(const KyInfo& info) {
    return info.MCOREver > 1 ? info.serialNum : "Not Available";
}

std::string VersionText(UInt32 mcore, UInt32 xilinx) {
    return std::to_string(mcore) + "-" + std::to_string(xilinx);
}

Verdict VerdictFor(const KyInfo& info) {
    // Each half on its own: 1-7 and 3-0 are downgrades.
    if (info.XilinxVer > ZRV::PTA::KyXilinxUpgradeVer ||
        info.MCOREver > ZRV::PTA::KyMCOREUpgradeVer)
        return Verdict::Downgrade;
    return info.XilinxVer == ZRV::PTA::KyXilinxUpgradeVer &&
                   info.MCOREver == ZRV::PTA::KyMCOREUpgradeVer
               ? Verdict::Same
               : Verdict::Upgrade;
}

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Downgrade:
            return "downgrade";
        case Verdict::Same:
            return "same";
        case Verdict::Upgrade:
            break;
    }
    return "upgrade";
}

PolicyAnswer Judge(const KyInfo& info, const WritePolicy& policy) {
    switch (VerdictFor(info)) {
        case Verdict::Same:
            return policy.reinstall ? PolicyAnswer::Write : PolicyAnswer::NothingToDo;
        case Verdict::Downgrade:
            return policy.allowDowngrade ? PolicyAnswer::Write : PolicyAnswer::NeedsConsent;
        case Verdict::Upgrade:
            break;
    }
    return PolicyAnswer::Write;
}

bool LeftTheBus(const UpdateResult& result) {
    return result.xilinx.error == kIOReturnNoDevice || result.mcore.error == kIOReturnNoDevice;
}

std::string ErrorText(IOReturn error) {
    if (error == kUpdateStatusError) return "the Ky reported an unexpected status (error -192)";
    if (error == kIOReturnNoDevice)
        return "device not found: the Ky left the bus (error " + std::to_string(error) + ")";
    return IOReturnName(error) + " (error " + std::to_string(error) + ")";
}

void NoteStateNotKept(UpdateResult& result, const std::string& problem) {
    if (!problem.empty() && result.failure.empty())
        result.failure = "the simulated Ky's state could not be kept: " + problem;
}

std::string BeingUpdatedText(const FWLib::UnitInfo& unit, const ProcessTable& processes) {
    const auto updater = ky::FindUpdater(unit.lockFile, processes);
    if (!updater) return "the Ky is being updated by another program";
    const std::string who =
        updater->who.name + " (process " + std::to_string(updater->who.pid) + ")";
    if (updater->activity == "waiting")
        return "the Ky is held by " + who +
               ", waiting for confirmation; nothing has been written yet";
    if (updater->activity == "writing") return "the Ky is being written by " + who;
    return "the Ky is being updated by " + who;
}

std::string DescribeFailure(const UpdateResult& result) {
    if (!result.started)
        return "The update could not be started: " + result.failure +
               ". Nothing was written to the Ky.";
    if (!result.deviceFound)
        return "The Ky could not be reached when the update began: " + result.failure + ".";
    std::string text;
    auto image = [&](const char* name, const ImageOutcome& image) {
        if (image.Programmed()) return;
        if (!text.empty()) text += " ";
        const std::string step = image.StepText();
        text += std::string("The ") + name + " image failed" +
                (step.empty() ? "" : " while " + step) + ": " + ErrorText(image.error) + ".";
    };
    image("FPGA (Xilinx)", result.xilinx);
    image("MCORE", result.mcore);
    if (text.empty() && !result.failure.empty())
        text = "The update failed: " + result.failure + ".";
    return text;
}

std::string RetryCommand(const UpdateResult& result) {
    if (!result.versionsRead) return "kyfw update --reinstall --allow-downgrade";
    switch (VerdictFor(*result.versionsRead)) {
        case Verdict::Upgrade:
            return "kyfw update";
        case Verdict::Same:
            return "kyfw update --reinstall";
        case Verdict::Downgrade:
            break;
    }
    return "kyfw update --allow-downgrade";
}

}  // namespace ky

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
    std::vector<FWLib::io_service_t> services;
    const bool looked =
        _bus && _bus->GetMatchingServices(_matchingDictionary, services) == kIOReturnSuccess;
    if (!looked) {
        _trace << "Problem with MasterPort\n";
        return false;
    }
    FWLib::io_service_t service;
    for (const auto& candidate : services) {
        if (_selectedGuid == 0 || candidate->Info().guid == _selectedGuid) {
            service = candidate;
            break;
        }
    }
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
    try {
        if (!OpenKy()) return false;
    } catch (const FWLib::DeviceError& e) {
        _lastCheck = ky::CheckUnopenedUnit(e.status);
        return false;
    }
    _lastCheck = ky::IdentifyKy(*_unit, _kyInfo, _trace);
    CloseKy();
    return _lastCheck == ky::KyCheck::Accepted;
}

ky::NoKyReason CKyFirmwareUpdate::WhyNotFound() const {
    if (!_bus) return {"no-bus", "there is no bus to look at", {}};
    return ky::ExplainNoKy(*_bus, _lastCheck, _foundUnit, _processes);
}

IOReturn CKyFirmwareUpdate::HoldKy() {
    if (_held) return kIOReturnSuccess;
    bool found = false;
    try {
        found = OpenKy();
    } catch (const std::exception&) {
        found = false;
    }
    if (!found) return kIOReturnNoDevice;
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
    failed.failure = "the update thread could not be created";
    ReleaseKy();
    FinishWorker(failed);
    return false;
}

void CKyFirmwareUpdate::Run() {
    ky::UpdateResult result;
    try {
        DownloadBoth(result);
    } catch (const std::exception& e) {
        result.failure = std::string("unexpected error: ") + e.what();
    } catch (...) {
        result.failure = "unexpected error";
    }
    ReleaseKy();  // lets the Ky go: another updater may take it from here
    FinishWorker(result);
}

void CKyFirmwareUpdate::DownloadBoth(ky::UpdateResult& result) {
    if (const IOReturn status = HoldKy(); status != kIOReturnSuccess) {
        // The Ky left the bus, or another updater took it, since the user asked.
        result.xilinx.error = result.mcore.error = status;
        result.failure = status == kIOReturnNoDevice
                             ? "device not found"
                             : "could not open the Ky: " + ky::ErrorText(status);
        return;
    }
    result.deviceFound = true;
    if (!StillAsExpected(result)) return;
    if (_beforeWriting) {
        if (std::string why = _beforeWriting(); !why.empty()) {
            result.started = false;
            result.failure = std::move(why);
            return;
        }
    }
    if (_quit && _quit()) {
        result.started = false;
        result.stopped = true;
        result.failure = "a quit signal came before the first write";
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
    result.failure =
        check != ky::KyCheck::Accepted
            ? std::string("the Ky could not be identified again (") + ky::KyCheckText(check) + ")"
            : "the Ky now reads " + ky::VersionText(now.MCOREver, now.XilinxVer) + ", not the " +
                  ky::VersionText(_expected->MCOREver, _expected->XilinxVer) +
                  " you agreed to update";
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
