#pragma once

#include <memory>
#include <string>

#include "engine/DownloadUnit.h"
#include "firewire/FWPlatform.h"

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

// What identification made of a unit.
enum class KyCheck { Accepted, WrongProduct, OpenFailed, NoGeneration, ReadFailed };
const char* KyCheckText(KyCheck check);

// Reads versions, product revision and serial number of a unit that is not
// open yet, and closes it again. Only an accepted product may be updated.
KyCheck IdentifyKy(DownloadUnit& unit, KyInfo& info);
bool IsAcceptedProduct(UInt32 productVer);

// "2-6": the MCORE version, a hyphen and the Xilinx version.
std::string VersionText(UInt32 mcore, UInt32 xilinx);
// Installing the built-in images on this Ky would lower either version.
bool IsDowngradeFor(const KyInfo& info);
bool IsSameAsBuiltIn(const KyInfo& info);

// The controller between the window (or the command line) and the update
// engine: finds the Ky, identifies it and judges its versions.
class CKyFirmwareUpdate {
public:
    explicit CKyFirmwareUpdate(std::shared_ptr<FWLib::Bus> bus);
    virtual ~CKyFirmwareUpdate();

    CKyFirmwareUpdate(const CKyFirmwareUpdate&) = delete;
    CKyFirmwareUpdate& operator=(const CKyFirmwareUpdate&) = delete;

    bool OpenKy();
    void CloseKy();
    bool IsFound();
    void GetSerialNumberString(std::string& out) const;
    void GetCurrentFirmwareVersionString(std::string& out) const;
    void GetUpdateFirmwareVersionString(std::string& out) const;
    bool IsDowngrade() const;

    // The record of the Ky found last (valid or not).
    const KyInfo& Info() const { return _kyInfo; }
    const DownloadUnit* Unit() const { return _unit.get(); }

private:
    std::shared_ptr<FWLib::Bus> _bus;
    std::unique_ptr<DownloadUnit> _unit;
    FWLib::MatchingDictionary _matchingDictionary;
    KyInfo _kyInfo;
};

}  // namespace ZRV::PTA
