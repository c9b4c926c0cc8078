#include "sim/SimFaults.h"

#include "base/Translate.h"

namespace kysim {

const std::vector<NamedFault>& NamedFaults() {
    static const std::vector<NamedFault> faults = {
        {"update-mode-unanswered",
         N_("the Ky enters update mode but its answer is lost (FPGA image; the update goes on)")},
        {"not-ready", N_("the Ky is not ready after entering update mode (FPGA image)")},
        {"erase-unanswered", N_("the Ky does not answer the command to erase the FPGA flash")},
        {"erase-failure", N_("the FPGA flash reports a failure while erasing")},
        {"erase-timeout", N_("no erase ever ends (each image waits a minute, then times out)")},
        {"header-busy", N_("the header of the FPGA image is answered busy")},
        {"block-busy", N_("a block of the FPGA image is answered busy")},
        {"crc-rejected", N_("the Ky rejects the CRC of both images")},
        {"mcore-erase-failure", N_("the MCORE flash reports a failure while erasing")},
        {"mcore-crc-rejected", N_("the Ky rejects the CRC of the MCORE image alone")},
        {"vanish", N_("the Ky leaves the bus in the middle of the FPGA image")},
        {"bus-reset", N_("the bus resets in the middle of the FPGA image (ridden out)")},
        {"in-use", N_("another updater holds the Ky"), true},
        {"restart-old-firmware",
         N_("switched off and on after the update, the Ky starts its old firmware")},
        {"restart-never-back", N_("switched off after the update, the Ky never comes back")},
        {"absent", N_("no Ky on the bus"), true},
    };
    return faults;
}

const NamedFault* FindNamedFault(const std::string& name) {
    for (const auto& f : NamedFaults())
        if (name == f.name) return &f;
    return nullptr;
}

bool ApplyNamedFault(SimBus& bus, UInt64 guid, const std::string& name) {
    auto& ky = bus.Ky(guid);
    if (name == "update-mode-unanswered")
        bus.AddFault(guid, FailWith(On(TxType::QuadletWrite, kUpdateControlReg), kIOReturnTimeout,
                                    /*applied=*/true));
    else if (name == "erase-unanswered")
        bus.AddFault(guid,
                     FailWith(On(TxType::QuadletWrite, kUpdateCommandReg), kIOReturnNotResponding));
    else if (name == "header-busy")
        bus.AddFault(guid, FailWith(On(TxType::BlockWrite, kUpdateDataWindow), kIOReturnBusy));
    else if (name == "not-ready")
        bus.AddFault(guid, ReadsAs(On(TxType::QuadletRead, kStatusReg, 1), 0));
    else if (name == "erase-failure")
        bus.AddFault(guid, ReadsAs(On(TxType::QuadletRead, kStatusReg, 2), 2));
    else if (name == "erase-timeout")
        ky.Behaviour().eraseNeverEnds = true;
    else if (name == "block-busy")
        bus.AddFault(guid, FailWith(OnAny(TxType::BlockWrite, 100), kIOReturnBusy));
    else if (name == "crc-rejected")
        ky.Behaviour().rejectCrc = true;
    else if (name == "mcore-erase-failure")
        ky.Behaviour().eraseFails = true, ky.Behaviour().faultyArea = FlashArea::MCORE;
    else if (name == "mcore-crc-rejected")
        ky.Behaviour().rejectCrc = true, ky.Behaviour().faultyArea = FlashArea::MCORE;
    else if (name == "vanish")
        bus.AddFault(guid, VanishAt(OnAny(TxType::BlockWrite, 500)));
    else if (name == "bus-reset")
        bus.AddFault(guid, BusResetAt(OnAny(TxType::BlockWrite, 300)));
    else if (name == "restart-old-firmware")
        ky.Behaviour().restart = UnitBehaviour::Restart::OldFirmware;
    else if (name == "restart-never-back")
        ky.Behaviour().restart = UnitBehaviour::Restart::NeverBack;
    else if (name == "absent")
        bus.Unplug(guid);
    else if (name == "in-use")
        bus.Faults(guid).openStatus = kIOReturnExclusiveAccess;
    else
        return false;
    return true;
}

}  // namespace kysim
