#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "firewire/FWPlatform.h"

namespace kysim {

// The update unit's registers: 48-bit offsets in the Ky's node.
inline constexpr UInt64 kRegisterBase = 0xFFFF'F043'0000ull;
inline constexpr UInt64 kUpdateControlReg = kRegisterBase + 0x00;
inline constexpr UInt64 kSoftwareVersionReg = kRegisterBase + 0x04;
inline constexpr UInt64 kProductVersionReg = kRegisterBase + 0x08;
inline constexpr UInt64 kUpdateCommandReg = kRegisterBase + 0x0C;
inline constexpr UInt64 kCrcReg = kRegisterBase + 0x10;
inline constexpr UInt64 kStatusReg = kRegisterBase + 0x14;
inline constexpr UInt64 kUpdateDataWindow = kRegisterBase + 0x20;
inline constexpr UInt64 kSerialNumberReg = kUpdateDataWindow + 0x200;

inline constexpr UInt32 kMaxBlockBytes = 128;
inline constexpr UInt32 kHeaderBytes = 20;
inline constexpr UInt32 kSerialBytes = 8;

enum class FlashArea { Xilinx = 0, MCORE = 1 };
inline constexpr std::array<FlashArea, 2> kFlashAreas{FlashArea::Xilinx, FlashArea::MCORE};
const char* FlashAreaName(FlashArea area);

// What the unit reports about itself.
struct KyIdentity {
    UInt16 mcoreVersion = 1;
    UInt16 xilinxVersion = 5;
    UInt16 productVersion = 3;
    std::string serial = "KY041187";  // up to 8 bytes; shorter is padded with zeros
};

// The version an image installs, read the way the Ky's boot code reads it;
// nothing when the image carries no marker.
using VersionReader = std::function<std::optional<UInt16>(FlashArea, std::span<const UInt8>)>;
std::optional<UInt16> ReadVersionMarker(FlashArea area, std::span<const UInt8> image);
// Whether the Ky would start from a flash area: the FPGA's begins with the
// configuration's synchronisation signature, the MCORE's is well-formed
// S-record text (S0 first, S3 records, S7 last, checksums right, CR LF).
bool WouldStart(FlashArea area, std::span<const UInt8> flash);

// The pause the unit needs after each command or block before the next.
inline constexpr std::uint64_t kCommandGapMicros = 1000;

// CRC-16/XMODEM, bit by bit: the unit's own check of what it received.
UInt16 Crc16Xmodem(UInt16 crc, std::span<const UInt8> bytes);

// Behaviour that a test or the demo can bend.
struct UnitBehaviour {
    std::uint64_t eraseMicros = 1'500'000;  // how long an erase takes, on the model's clock
    bool eraseNeverEnds = false;
    bool eraseFails = false;                // the erase ends with the failure status (2)
    bool rejectCrc = false;                 // the CRC check fails whatever was sent
    std::optional<FlashArea> faultyArea;    // eraseFails and rejectCrc hit this area alone
    UInt32 serialReadBytes = kSerialBytes;  // bytes a serial-number read delivers
    unsigned cancelBusyReads = 0;           // update-control reads with bit 0 set after a cancel
    // The version register says what runs, not what the flash holds: an
    // erase or a write leaves it as it was (whether a real Ky does is not
    // known, so both are played).
    bool versionsOfRunningFirmware = false;
    // What switching the Ky off and on after an update does: it starts what
    // was written, comes back with its old firmware, or never comes back.
    enum class Restart { Normal, OldFirmware, NeverBack } restart = Restart::Normal;
};

// A model of the Ky's firmware-update unit: the register protocol, the erase
// and its timing, the update-data window, the header and CRC checks and two
// flash areas that keep what was written.
class KyUnitModel {
public:
    enum class Phase { Normal, UpdateMode, Erasing, Receiving, Failed };

    explicit KyUnitModel(ky::Clock& clock, KyIdentity identity = {}, UnitBehaviour behaviour = {});

    IOReturn ReadQuadlet(UInt64 offset, FWLib::Quadlet& value);
    IOReturn WriteQuadlet(UInt64 offset, const FWLib::Quadlet& value);
    IOReturn ReadBlock(UInt64 offset, UInt8* buf, UInt32& size);
    IOReturn WriteBlock(UInt64 offset, const UInt8* buf, UInt32 size);

    UnitBehaviour& Behaviour() { return mBehaviour; }
    void SetVersionReader(VersionReader reader) { mVersionReader = std::move(reader); }

    const KyIdentity& Identity() const { return mIdentity; }
    KyIdentity& Identity() { return mIdentity; }
    Phase CurrentPhase();
    const std::vector<UInt8>& Flash(FlashArea area) const;
    void SetFlash(FlashArea area, std::vector<UInt8> bytes);
    // How many images were programmed and verified since the model was made.
    unsigned ProgrammedCount() const { return mProgrammed; }
    // Grows with every change of the flash or the versions made over the bus.
    unsigned Changes() const { return mChanges; }

private:
    UInt32 StatusValue();
    IOReturn WriteUpdateControl(UInt32 value);
    IOReturn WriteUpdateCommand(UInt32 value);
    IOReturn WriteCrc(UInt32 value);
    IOReturn ReceiveHeader(const UInt8* buf, UInt32 size);
    IOReturn ReceiveData(const UInt8* buf, UInt32 size);
    IOReturn Fail(IOReturn response);
    bool TooSoon();
    UInt16& Version(FlashArea area);
    void Commit();
    bool Faulty() const { return !mBehaviour.faultyArea || *mBehaviour.faultyArea == mArea; }

    ky::Clock& mClock;
    KyIdentity mIdentity;
    UnitBehaviour mBehaviour;
    VersionReader mVersionReader = ReadVersionMarker;
    Phase mPhase = Phase::Normal;
    FlashArea mArea = FlashArea::Xilinx;
    std::uint64_t mEraseEnds = 0;
    bool mHeaderSeen = false;
    UInt32 mExpectedBytes = 0;  // sizeB of the header
    UInt32 mReceivedBytes = 0;  // data bytes received, padding included
    UInt16 mCrc = 0;
    unsigned mCancelReadsLeft = 0;
    unsigned mProgrammed = 0;
    unsigned mChanges = 0;
    std::optional<std::uint64_t> mLastCommandAt;
    std::array<std::vector<UInt8>, 2> mFlash;
};

}  // namespace kysim
