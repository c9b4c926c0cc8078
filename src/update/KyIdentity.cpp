#include "update/KyIdentity.h"

#include "base/Translate.h"

namespace ky {

bool IsAcceptedProduct(UInt32 productVer) {
    const UInt32 product = productVer >> 16;
    return product == ZRV::PTA::KyVersion || product == 0;
}

KyCheck IdentifyKy(DownloadUnit& unit, KyInfo& info, const Trace& trace) {
    UInt32 generation = 0;
    if (IOReturn status = unit.GetBusGeneration(generation); status != kIOReturnSuccess) {
        trace << "Could not read the bus generation: " << IOReturnEnglishName(status) << "\n";
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
              << IOReturnEnglishName(versionRead != kIOReturnSuccess ? versionRead : productRead)
              << "\n";
        return KyCheck::ReadFailed;
    }
    return IsAcceptedProduct(info.productVer) ? KyCheck::Accepted : KyCheck::WrongProduct;
}

KyCheck CheckUnopenedUnit(IOReturn status) {
    return status == kIOReturnNotPrivileged ? KyCheck::NoAccess : KyCheck::OpenFailed;
}

Result<std::vector<FWLib::io_service_t>> FindKyUnits(FWLib::Bus& bus) {
    std::vector<FWLib::io_service_t> units;
    if (IOReturn status = bus.GetMatchingServices(KyUnitMatch(), units); status != kIOReturnSuccess)
        return Error(Fill(Tr("cannot look at the FireWire bus: {1}"), {IOReturnName(status)}));
    return units;
}

FWLib::io_service_t KyWithGuid(const std::vector<FWLib::io_service_t>& units, UInt64 guid) {
    for (const auto& unit : units)
        if (unit->Info().guid == guid) return unit;
    return nullptr;
}

FoundKy IdentifyUnit(const FWLib::io_service_t& service, const Trace& trace) {
    FoundKy ky{service->Info(), {}, KyCheck::OpenFailed, false};
    try {
        DownloadUnit unit(service, trace);
        ky.created = true;
        ky.check = IdentifyKy(unit, ky.info, trace);
    } catch (const FWLib::DeviceError& e) {
        ky.check = CheckUnopenedUnit(e.status);
    }
    return ky;
}

Result<std::vector<FoundKy>> FindKys(FWLib::Bus& bus, const Trace& trace) {
    auto units = FindKyUnits(bus);
    if (!units) return units.Failure();
    std::vector<FoundKy> found;
    for (const auto& unit : *units) found.push_back(IdentifyUnit(unit, trace));
    return found;
}

}  // namespace ky
