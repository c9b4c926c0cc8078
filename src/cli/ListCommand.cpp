#include <nlohmann/json.hpp>

#include "app/kyfirmwareupdate.h"
#include "cli/Context.h"
#include "cli/ExitStatus.h"

namespace kyfw {

namespace {

using ZRV::PTA::KyCheck;
using ZRV::PTA::KyInfo;

struct Found {
    FWLib::UnitInfo unit;
    KyInfo info;
    KyCheck check = KyCheck::OpenFailed;
    bool created = false;
};

const char* Verdict(const KyInfo& info) {
    if (ZRV::PTA::IsDowngradeFor(info)) return "downgrade";
    if (ZRV::PTA::IsSameAsBuiltIn(info)) return "same";
    return "upgrade";
}

Found Identify(const FWLib::io_service_t& service) {
    Found found{service->Info(), {}, KyCheck::OpenFailed, false};
    try {
        DownloadUnit unit(service);
        found.created = true;
        found.check = ZRV::PTA::IdentifyKy(unit, found.info);
    } catch (const std::exception&) {
    }
    return found;
}

std::string Serial(const KyInfo& info) {
    return info.MCOREver > 1 ? info.serialNum : "Not Available";
}

std::string Hex(UInt64 v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(v));
    return buf;
}

void PrintText(std::ostream& out, const std::vector<Found>& all) {
    const std::string builtIn =
        ZRV::PTA::VersionText(ZRV::PTA::KyMCOREUpgradeVer, ZRV::PTA::KyXilinxUpgradeVer);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Found& f = all[i];
        out << "Ky " << (i + 1) << ": " << f.unit.deviceNode << " (unit " << f.unit.name
            << ", GUID " << Hex(f.unit.guid) << ")\n";
        if (!f.created) {
            out << "  status:           update unit could not be used\n";
            continue;
        }
        if (f.check != KyCheck::Accepted && f.check != KyCheck::WrongProduct) {
            out << "  status:           " << ZRV::PTA::KyCheckText(f.check) << "\n";
            continue;
        }
        out << "  firmware version: " << ZRV::PTA::VersionText(f.info.MCOREver, f.info.XilinxVer)
            << " (MCORE-Xilinx)\n"
            << "  serial number:    " << Serial(f.info) << "\n"
            << "  product version:  " << (f.info.productVer >> 16) << "\n"
            << "  status:           " << ZRV::PTA::KyCheckText(f.check) << "\n";
        if (f.check == KyCheck::Accepted) {
            const std::string label = "built-in " + builtIn + ":";
            out << "  " << label << std::string(label.size() < 18 ? 18 - label.size() : 1, ' ')
                << Verdict(f.info) << "\n";
        }
    }
}

void PrintJson(std::ostream& out, const std::vector<Found>& all) {
    nlohmann::json devices = nlohmann::json::array();
    for (const Found& f : all) {
        nlohmann::json d{{"unit", f.unit.name},
                         {"node", f.unit.deviceNode},
                         {"guid", Hex(f.unit.guid)},
                         {"usable", f.created && f.check == KyCheck::Accepted},
                         {"status", f.created ? ZRV::PTA::KyCheckText(f.check)
                                              : "update unit could not be used"}};
        if (f.created && (f.check == KyCheck::Accepted || f.check == KyCheck::WrongProduct)) {
            d["firmware_version"] = ZRV::PTA::VersionText(f.info.MCOREver, f.info.XilinxVer);
            d["mcore_version"] = f.info.MCOREver;
            d["xilinx_version"] = f.info.XilinxVer;
            d["serial_number"] = Serial(f.info);
            d["product_version"] = f.info.productVer >> 16;
        }
        if (f.created && f.check == KyCheck::Accepted) d["built_in"] = Verdict(f.info);
        devices.push_back(std::move(d));
    }
    nlohmann::json doc{{"devices", devices},
                       {"built_in_version", ZRV::PTA::VersionText(ZRV::PTA::KyMCOREUpgradeVer,
                                                                  ZRV::PTA::KyXilinxUpgradeVer)}};
    out << doc.dump(2) << "\n";
}

}  // namespace

int RunList(Context& context) {
    std::vector<FWLib::io_service_t> services;
    const FWLib::MatchingDictionary match{DownloadUnit::kFirmwareUpdateUnitSpecID,
                                          DownloadUnit::kFirmwareUpdateUnitSWVersion};
    if (IOReturn status = context.bus->GetMatchingServices(match, services);
        status != kIOReturnSuccess) {
        context.err << "kyfw: cannot look at the FireWire bus: " << IOReturnName(status) << "\n";
        return kExitNoKy;
    }
    std::vector<Found> all;
    for (const auto& service : services) all.push_back(Identify(service));
    if (context.options.json)
        PrintJson(context.out, all);
    else if (all.empty())
        context.out << "No Ky found.\n";
    else
        PrintText(context.out, all);
    for (const Found& f : all)
        if (f.created && f.check == KyCheck::Accepted) return kExitDone;
    return kExitNoKy;
}

}  // namespace kyfw
