#include "engine/DownloadUnit.h"

#include <cstring>

namespace {
constexpr UInt16 kRegisterHi = 0xFFFF;
constexpr UInt32 kRegisterBase = 0xF0430000;
constexpr UInt32 kSerialNumberBytes = 8;
// The serial number sits 0x200 bytes after the start of the data window.
constexpr UInt32 kSerialNumberOffset = 0x220;
constexpr UInt32 kEnterUpdateMode = 1;
constexpr UInt32 kCancel = 2;
}  // namespace

DownloadUnit::DownloadUnit(const FWLib::io_service_t& service, ky::Trace trace)
    : FWLib::Device(service, trace) {
    Traced() << "Ctor DownloadUnit\n";
    InitAddresses();
}

DownloadUnit::~DownloadUnit() {
    Traced() << "Dtor DownloadUnit\n";
}

void DownloadUnit::InitAddresses() {
    m_addr_command_regs = FWAddressStruct(kRegisterHi, kRegisterBase);
    const UInt32 base = m_addr_command_regs.addressLo;
    m_addr_update_control = FWAddressStruct(kRegisterHi, base + 0x00);
    m_addr_sw_version = FWAddressStruct(kRegisterHi, base + 0x04);
    m_addr_product_version = FWAddressStruct(kRegisterHi, base + 0x08);
    m_addr_update_command = FWAddressStruct(kRegisterHi, base + 0x0C);
    m_addr_crc_reg = FWAddressStruct(kRegisterHi, base + 0x10);
    m_addr_status_reg = FWAddressStruct(kRegisterHi, base + 0x14);
    m_addr_update_data = FWAddressStruct(kRegisterHi, base + 0x20);
    m_addr_sernum = FWAddressStruct(kRegisterHi, base + kSerialNumberOffset);
}

UInt64 DownloadUnit::SerialNumberBusAddress() {
    return FWAddressStruct(kRegisterHi, kRegisterBase + kSerialNumberOffset).Offset();
}

IOReturn DownloadUnit::BeginUpdate(UInt32& generation) {
    return WriteUpdateControl(kEnterUpdateMode, generation);
}

IOReturn DownloadUnit::SetUpdateCommand(UInt32& generation, UInt32& updatetype) {
    return WriteUpdateCommand(updatetype, generation);
}

IOReturn DownloadUnit::SendBlock(void* bytes, unsigned int length, UInt32 /*offset*/,
                                 UInt32& generation) {
    // Every block goes to the start of the window; the unit takes them in order.
    UInt32 size = length;
    return Write(m_addr_update_data, bytes, size, false, false, generation);
}

IOReturn DownloadUnit::CancelTransfer(UInt32& generation) {
    // The answer comes from the control register, not from the write: a unit
    // that is not updating reads bit 0 clear whether or not the write arrived.
    IOReturn status = WriteUpdateControl(kCancel, generation);
    for (unsigned reads = 0; reads < kCancelPollLimit; ++reads) {
        UInt32 value = 0;
        status = ReadUpdateControl(value, generation);
        if (status != kIOReturnSuccess || (value & 1u) == 0) return status;
    }
    return kIOReturnTimeout;
}

IOReturn DownloadUnit::SendCRCAndVerify(UInt32 crc, UInt32& generation) {
    return WriteCRCReg(crc, generation);
}

IOReturn DownloadUnit::RestoreNormalOperation(UInt32& /*generation*/) {
    return kIOReturnSuccess;
}

IOReturn DownloadUnit::GetSoftwareVersion(UInt32& version) {
    return ReadQuadlet(m_addr_sw_version, version, false, false, 0);
}

IOReturn DownloadUnit::GetProductRevision(UInt32& revision) {
    return ReadQuadlet(m_addr_product_version, revision, false, false, 0);
}

IOReturn DownloadUnit::GetProductSerNum(std::string& serNum) {
    char buffer[kSerialNumberBytes + 1] = {};
    UInt32 count = kSerialNumberBytes;
    IOReturn status = Read(m_addr_sernum, buffer, count, false, false, 0);
    // A failed read leaves no serial number rather than whatever the buffer held.
    if (status != kIOReturnSuccess) count = 0;
    if (count > kSerialNumberBytes) count = kSerialNumberBytes;
    buffer[count] = '\0';
    serNum.assign(buffer, std::strlen(buffer));
    return status;
}

IOReturn DownloadUnit::ReadUpdateControl(UInt32& value, UInt32 generation) {
    return ReadQuadlet(m_addr_update_control, value, false, false, generation);
}

IOReturn DownloadUnit::WriteUpdateControl(UInt32 value, UInt32 generation) {
    return WriteQuadlet(m_addr_update_control, value, false, false, generation);
}

IOReturn DownloadUnit::WriteUpdateCommand(UInt32 value, UInt32 generation) {
    return WriteQuadlet(m_addr_update_command, value, false, false, generation);
}

IOReturn DownloadUnit::WriteCRCReg(UInt32 value, UInt32 generation) {
    return WriteQuadlet(m_addr_crc_reg, value, false, false, generation);
}

IOReturn DownloadUnit::ReadStatusRegister(UInt32& value, UInt32 generation) {
    return ReadQuadlet(m_addr_status_reg, value, false, false, generation);
}
