#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/Translate.h"
#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Identify.h"
#include "cli/Text.h"

namespace kyfw {

namespace {

void PrintText(std::ostream& out, const std::vector<FoundKy>& all) {
    const std::string builtIn = ky::BuiltInVersionText();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const FoundKy& f = all[i];
        // TRANSLATORS: {1} counts the Kys found, {2} is a device file, {3} a unit's
        // name, {4} a GUID.
        out << ky::Fill(ky::Tr("Ky {1}: {2} (unit {3}, GUID {4})"),
                        {std::to_string(i + 1), Printable(f.unit.deviceNode),
                         Printable(f.unit.name), GuidText(f.unit.guid)})
            << "\n";
        ky::LabelledLines lines(18);
        if (f.VersionsKnown()) {
            lines.Add(ky::Tr("firmware version:"), f.Version() + " (MCORE-Xilinx)");
            lines.Add(ky::Tr("serial number:"), Printable(f.Serial()));
            lines.Add(ky::Tr("product version:"), std::to_string(f.info.productVer >> 16));
        }
        lines.Add(ky::Tr("status:"), f.Status());
        // TRANSLATORS: what writing the built-in firmware {1} (as "2-6") would be.
        if (f.Usable()) lines.Add(ky::Fill(ky::Tr("built-in {1}:"), {builtIn}), f.Verdict());
        out << lines.Text();
    }
}

// Each Ky's GUID, device file and unit, for the shells' completion; a name
// that would not print as it is cannot be typed either, and is left out.
void PrintNames(std::ostream& out, const std::vector<FoundKy>& all) {
    for (const FoundKy& f : all)
        for (const std::string& name : {GuidText(f.unit.guid), f.unit.deviceNode, f.unit.name})
            if (Printable(name) == name) out << name << "\n";
}

}  // namespace

nlohmann::json DeviceJson(const FoundKy& f) {
    nlohmann::json d{{"unit", f.unit.name},
                     {"node", f.unit.deviceNode},
                     {"guid", GuidText(f.unit.guid)},
                     {"usable", f.Usable()},
                     {"status", f.Status()}};
    if (f.VersionsKnown()) {
        d["firmware_version"] = f.Version();
        d["mcore_version"] = f.info.MCOREver;
        d["xilinx_version"] = f.info.XilinxVer;
        d["serial_number"] = f.Serial();
        d["product_version"] = f.info.productVer >> 16;
    }
    if (f.Usable()) d["built_in"] = f.Verdict();
    return d;
}

int RunList(Context& context) {
    auto found = IdentifyKys(*context.start.Bus(), context.trace);
    if (!found) {
        const std::string& problem = found.Failure().What();
        context.err << "kyfw: " << Printable(problem) << "\n";
        Emit(context, {{"command", "list"}, {"message", problem}});
        return kExitNoKy;
    }
    const std::vector<FoundKy>& all = *found;
    const bool usable = std::any_of(all.begin(), all.end(), [](auto& f) { return f.Usable(); });
    const auto reason =
        usable ? ky::NoKyReason{} : WhyNoKy(*context.start.Bus(), all, context.processes);
    if (context.options.json) {
        nlohmann::json devices = nlohmann::json::array();
        for (const FoundKy& f : all) devices.push_back(DeviceJson(f));
        nlohmann::json doc{{"command", "list"},
                           {"devices", devices},
                           {"built_in_version", ky::BuiltInVersionText()}};
        if (!usable) doc["reason"] = ReasonJson(reason);
        Emit(context, std::move(doc));
    } else if (context.options.names) {
        PrintNames(context.out, all);
    } else {
        PrintText(context.out, all);
        if (!usable)
            context.out << ky::Fill(all.empty() ? ky::Tr("No Ky found: {1}")
                                                : ky::Tr("No Ky can be updated: {1}"),
                                    {Printable(reason.text, true)})
                        << "\n";
    }
    return usable ? kExitDone : kExitNoKy;
}

}  // namespace kyfw
