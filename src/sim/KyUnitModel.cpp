#include "sim/KyUnitModel.h"

#include "firewire/FWLib_Device.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kysim {

namespace {

// Flash area sizes of the Ky; a header announcing more is refused.
constexpr std::array<UInt32, 2> kAreaCapacity{0x80000, 0x20000};

constexpr UInt32 kStatusBusy = 0;
constexpr UInt32 kStatusReady = 1;
constexpr UInt32 kStatusFailed = 2;

UInt32 RoundUp4(UInt32 n) {
    return (n + 3u) & ~3u;
}

std::size_t Index(FlashArea area) {
    return static_cast<std::size_t>(area);
}

}  // namespace

const char* FlashAreaName(FlashArea area) {
    return area == FlashArea::Xilinx ? "Xilinx" : "MCORE";
}

UInt16 Crc16Xmodem(UInt16 crc, std::span<const UInt8> bytes) {
    for (UInt8 byte : bytes) {
        crc ^= static_cast<UInt16>(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<UInt16>((crc << 1) ^ 0x1021)
                                 : static_cast<UInt16>(crc << 1);
    }
    return crc;
}

KyUnitModel::KyUnitModel(ky::Clock& clock, KyIdentity identity, UnitBehaviour behaviour)
    : mClock(clock), mIdentity(std::move(identity)), mBehaviour(behaviour) {}

KyUnitModel::Phase KyUnitModel::CurrentPhase() {
    if (mPhase == Phase::Erasing && !mBehaviour.eraseNeverEnds && mClock.NowMicros() >= mEraseEnds)
        mPhase = Phase::Receiving;
    return mPhase;
}

const std::vector<UInt8>& KyUnitModel::Flash(FlashArea area) const {
    return mFlash[Index(area)];
}

void KyUnitModel::SetFlash(FlashArea area, std::vector<UInt8> bytes) {
    mFlash[Index(area)] = std::move(bytes);
}

UInt32 KyUnitModel::StatusValue() {
    switch (CurrentPhase()) {
        case Phase::UpdateMode:
        case Phase::Receiving:
            return kStatusReady;
        case Phase::Failed:
            return kStatusFailed;
        case Phase::Normal:
        case Phase::Erasing:
            break;
    }
    return kStatusBusy;
}

IOReturn KyUnitModel::ReadQuadlet(UInt64 offset, FWLib::Quadlet& value) {
    switch (offset) {
        case kUpdateControlReg: {
            bool updating = CurrentPhase() != Phase::Normal || mCancelReadsLeft > 0;
            if (mCancelReadsLeft > 0) --mCancelReadsLeft;
            value = FWLib::ToBusOrder(updating ? 1u : 0u);
            return kIOReturnSuccess;
        }
        case kSoftwareVersionReg:
            value =
                FWLib::ToBusOrder((UInt32{mIdentity.mcoreVersion} << 16) | mIdentity.xilinxVersion);
            return kIOReturnSuccess;
        case kProductVersionReg:
            value = FWLib::ToBusOrder(UInt32{mIdentity.productVersion} << 16);
            return kIOReturnSuccess;
        case kStatusReg:
            value = FWLib::ToBusOrder(StatusValue());
            return kIOReturnSuccess;
        case kUpdateCommandReg:
        case kCrcReg:
            return kIOFireWireTypeError;  // write-only
        default:
            return kIOFireWireAddressError;
    }
}

// A command or block that comes less than the unit's gap after the one
// before is not taken: the unit answers busy.
bool KyUnitModel::TooSoon() {
    const std::uint64_t now = mClock.NowMicros();
    const bool soon = mLastCommandAt && now - *mLastCommandAt < kCommandGapMicros;
    if (!soon) mLastCommandAt = now;
    return soon;
}

IOReturn KyUnitModel::WriteQuadlet(UInt64 offset, const FWLib::Quadlet& value) {
    const bool command =
        offset == kUpdateControlReg || offset == kUpdateCommandReg || offset == kCrcReg;
    if (command && TooSoon()) return kIOReturnBusy;
    switch (offset) {
        case kUpdateControlReg:
            return WriteUpdateControl(FWLib::FromBusOrder(value));
        case kUpdateCommandReg:
            return WriteUpdateCommand(FWLib::FromBusOrder(value));
        case kCrcReg:
            return WriteCrc(FWLib::FromBusOrder(value));
        case kSoftwareVersionReg:
        case kProductVersionReg:
        case kStatusReg:
            return kIOFireWireTypeError;  // read-only
        default:
            return kIOFireWireAddressError;
    }
}

IOReturn KyUnitModel::ReadBlock(UInt64 offset, UInt8* buf, UInt32& size) {
    if (offset != kSerialNumberReg) {
        size = 0;
        return kIOFireWireAddressError;
    }
    std::array<UInt8, kSerialBytes> serial{};
    std::memcpy(serial.data(), mIdentity.serial.data(),
                std::min<std::size_t>(mIdentity.serial.size(), kSerialBytes));
    size = std::min({size, kSerialBytes, mBehaviour.serialReadBytes});
    std::memcpy(buf, serial.data(), size);
    return kIOReturnSuccess;
}

IOReturn KyUnitModel::WriteBlock(UInt64 offset, const UInt8* buf, UInt32 size) {
    if (offset != kUpdateDataWindow) return kIOFireWireAddressError;
    if (TooSoon()) return kIOReturnBusy;
    if (size == 0 || size > kMaxBlockBytes || size % 4 != 0) return Fail(kIOFireWireTypeError);
    if (CurrentPhase() != Phase::Receiving) return kIOFireWireConflictError;
    return mHeaderSeen ? ReceiveData(buf, size) : ReceiveHeader(buf, size);
}

IOReturn KyUnitModel::WriteUpdateControl(UInt32 value) {
    if (value == 1) {
        mPhase = Phase::UpdateMode;
        mCancelReadsLeft = 0;
        return kIOReturnSuccess;
    }
    if (value == 2) {
        mPhase = Phase::Normal;
        mCancelReadsLeft = mBehaviour.cancelBusyReads;
        return kIOReturnSuccess;
    }
    return kIOFireWireDataError;
}

IOReturn KyUnitModel::WriteUpdateCommand(UInt32 value) {
    if (CurrentPhase() != Phase::UpdateMode) return kIOFireWireConflictError;
    if (value > 1) return Fail(kIOFireWireDataError);
    mArea = static_cast<FlashArea>(value);
    mFlash[Index(mArea)].clear();
    if (!mBehaviour.versionsOfRunningFirmware) Version(mArea) = 0;  // an erased area does not start
    ++mChanges;
    mPhase = (mBehaviour.eraseFails && Faulty()) ? Phase::Failed : Phase::Erasing;
    mEraseEnds = mClock.NowMicros() + mBehaviour.eraseMicros;
    mHeaderSeen = false;
    mExpectedBytes = mReceivedBytes = 0;
    mCrc = 0;
    return kIOReturnSuccess;
}

IOReturn KyUnitModel::ReceiveHeader(const UInt8* buf, UInt32 size) {
    static constexpr UInt8 kLead[4] = {0xFF, 0xFF, 0x00, 0x01};
    if (size != kHeaderBytes || std::memcmp(buf, kLead, 4) != 0 ||
        std::any_of(buf + 8, buf + kHeaderBytes, [](UInt8 b) { return b != 0xFF; }))
        return Fail(kIOFireWireDataError);
    const UInt32 sizeB =
        (UInt32{buf[4]} << 24) | (UInt32{buf[5]} << 16) | (UInt32{buf[6]} << 8) | buf[7];
    if (sizeB == 0 || sizeB > kAreaCapacity[Index(mArea)]) return Fail(kIOFireWireDataError);
    mHeaderSeen = true;
    mExpectedBytes = sizeB;
    mFlash[Index(mArea)].reserve(sizeB);
    return kIOReturnSuccess;
}

IOReturn KyUnitModel::ReceiveData(const UInt8* buf, UInt32 size) {
    const UInt32 total = RoundUp4(mExpectedBytes);
    // Whole blocks only, but for the last one; nothing past the announced size.
    if (mReceivedBytes + size > total || (size != kMaxBlockBytes && mReceivedBytes + size != total))
        return Fail(kIOFireWireDataError);
    mCrc = Crc16Xmodem(mCrc, {buf, size});
    auto& flash = mFlash[Index(mArea)];
    const UInt32 keep = std::min(size, mExpectedBytes - std::min(mExpectedBytes, mReceivedBytes));
    flash.insert(flash.end(), buf, buf + keep);
    mReceivedBytes += size;
    ++mChanges;
    return kIOReturnSuccess;
}

IOReturn KyUnitModel::WriteCrc(UInt32 value) {
    if (CurrentPhase() != Phase::Receiving || !mHeaderSeen) return kIOFireWireConflictError;
    const bool complete = mReceivedBytes == RoundUp4(mExpectedBytes);
    if (!complete || (mBehaviour.rejectCrc && Faulty()) || value != mCrc)
        return Fail(kIOFireWireDataError);
    Commit();
    return kIOReturnSuccess;
}

UInt16& KyUnitModel::Version(FlashArea area) {
    return area == FlashArea::Xilinx ? mIdentity.xilinxVersion : mIdentity.mcoreVersion;
}

void KyUnitModel::Commit() {
    // The version is the one the boot code finds in a flash it would start.
    const auto& image = mFlash[Index(mArea)];
    const auto version = mVersionReader ? mVersionReader(mArea, image) : std::nullopt;
    if (!mBehaviour.versionsOfRunningFirmware)
        Version(mArea) = WouldStart(mArea, image) && version ? *version : 0;
    ++mProgrammed;
    ++mChanges;
    mPhase = Phase::Normal;
}

IOReturn KyUnitModel::Fail(IOReturn response) {
    mPhase = Phase::Failed;
    return response;
}

}  // namespace kysim
