#pragma once

// Who a Ky is: its update unit on the bus, and the versions, product and
// serial number it reads. Every part of the program finds and identifies
// Kys through these.

#include <string>
#include <vector>

#include "base/Result.h"
#include "base/Trace.h"
#include "engine/DownloadUnit.h"
#include "firewire/FWPlatform.h"

namespace ZRV::PTA {

// The product this updater is for (the upper half of the unit's
// product-revision register).
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

// Reads versions, product revision and serial number of a unit that is not
// open yet, and closes it again. Only an accepted product may be updated.
// Why the unit could not be read goes to `trace`.
KyCheck IdentifyKy(DownloadUnit& unit, KyInfo& info, const Trace& trace = {});
bool IsAcceptedProduct(UInt32 productVer);
// What became of a unit whose device interface could not be made, from
// the backend's status: NoAccess when this user may not open it.
KyCheck CheckUnopenedUnit(IOReturn status);

// The Ky's update unit wherever discovery looks for it.
inline FWLib::MatchingDictionary KyUnitMatch() {
    return {DownloadUnit::kFirmwareUpdateUnitSpecID, DownloadUnit::kFirmwareUpdateUnitSWVersion};
}

// The Ky update units on the bus, in the bus's order.
Result<std::vector<FWLib::io_service_t>> FindKyUnits(FWLib::Bus& bus);
// The unit of the Ky with `guid` among `units`, or null.
FWLib::io_service_t KyWithGuid(const std::vector<FWLib::io_service_t>& units, UInt64 guid);

// One Ky update unit found on the bus and what identification made of it.
struct FoundKy {
    FWLib::UnitInfo unit;
    KyInfo info;
    KyCheck check = KyCheck::OpenFailed;
    bool created = false;  // the update unit object could be made

    bool Usable() const { return created && check == KyCheck::Accepted; }
    bool VersionsKnown() const {
        return created && (check == KyCheck::Accepted || check == KyCheck::WrongProduct);
    }
};

// Makes the update unit of `service` and identifies it (see IdentifyKy).
FoundKy IdentifyUnit(const FWLib::io_service_t& service, const Trace& trace);
// Every Ky update unit on the bus, identified.
Result<std::vector<FoundKy>> FindKys(FWLib::Bus& bus, const Trace& trace);

}  // namespace ky
