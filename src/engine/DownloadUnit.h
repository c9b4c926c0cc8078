#pragma once

#include <string>

#include "firewire/FWLib_Device.h"

// The Ky's firmware-update unit: a FireWire device that knows the unit's
// register map and turns each step of the update protocol into one quadlet
// or block transaction. Pauses, ordering and the meaning of status values
// belong to the download sequence.
class DownloadUnit : public FWLib::Device {
public:
    static const UInt32 kFirmwareUpdateUnitSpecID = 0xA27;
    static const UInt32 kFirmwareUpdateUnitSWVersion = 0x11;
    // How many times CancelTransfer reads the control register before it
    // gives up on bit 0 clearing.
    static const unsigned kCancelPollLimit = 500;
    // Where the serial number is read, without a unit at hand (a recording
    // may hide it).
    static UInt64 SerialNumberBusAddress();

    explicit DownloadUnit(const FWLib::io_service_t& service, ky::Trace trace = {});
    ~DownloadUnit() override;

    IOReturn BeginUpdate(UInt32& generation);
    IOReturn SetUpdateCommand(UInt32& generation, UInt32& updatetype);
    IOReturn SendBlock(void* bytes, unsigned int length, UInt32 offset, UInt32& generation);
    // Calls off the transfer under way. The updater never does: an update,
    // once begun, runs to its end.
    IOReturn CancelTransfer(UInt32& generation);
    IOReturn SendCRCAndVerify(UInt32 crc, UInt32& generation);
    IOReturn RestoreNormalOperation(UInt32& generation);
    IOReturn GetSoftwareVersion(UInt32& version);
    IOReturn GetProductRevision(UInt32& revision);
    IOReturn GetProductSerNum(std::string& serNum);
    unsigned int MaxDownloadBlockSize() const { return 128; }

    IOReturn ReadUpdateControl(UInt32& value, UInt32 generation);
    IOReturn WriteUpdateControl(UInt32 value, UInt32 generation);
    IOReturn WriteUpdateCommand(UInt32 value, UInt32 generation);
    IOReturn WriteCRCReg(UInt32 value, UInt32 generation);
    IOReturn ReadStatusRegister(UInt32& value, UInt32 generation);

    // The register map, for tests and diagnostics.
    const FWAddressStruct& UpdateControlAddress() const { return m_addr_update_control; }
    const FWAddressStruct& SoftwareVersionAddress() const { return m_addr_sw_version; }
    const FWAddressStruct& ProductVersionAddress() const { return m_addr_product_version; }
    const FWAddressStruct& UpdateCommandAddress() const { return m_addr_update_command; }
    const FWAddressStruct& CrcAddress() const { return m_addr_crc_reg; }
    const FWAddressStruct& StatusAddress() const { return m_addr_status_reg; }
    const FWAddressStruct& UpdateDataAddress() const { return m_addr_update_data; }
    const FWAddressStruct& SerialNumberAddress() const { return m_addr_sernum; }
    const FWAddressStruct& CommandRegsAddress() const { return m_addr_command_regs; }

private:
    void InitAddresses();

    FWAddressStruct m_addr_command_regs;
    FWAddressStruct m_addr_crc_reg;
    FWAddressStruct m_addr_update_data;
    FWAddressStruct m_addr_update_control;
    FWAddressStruct m_addr_update_command;
    FWAddressStruct m_addr_sw_version;
    FWAddressStruct m_addr_product_version;
    FWAddressStruct m_addr_status_reg;
    FWAddressStruct m_addr_sernum;
};
