// Finding the Ky's update unit in sysfs.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "firewire/LinuxBus.h"
#include "firewire/LinuxDevice.h"

namespace FWLib {

namespace {

namespace fs = std::filesystem;

std::string Attribute(const fs::path& dir, const char* name) {
    std::ifstream in(dir / name);
    std::string value;
    std::getline(in, value);
    return value;
}

UInt64 Number(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    return end == text.c_str() || errno == ERANGE ? ~0ull : value;  // ~0 matches nothing
}

// "fw3.12" gives {3, 12}; anything else is not a unit directory.
bool UnitName(const std::string& name, unsigned& node, unsigned& unit) {
    unsigned consumed = 0;
    return std::sscanf(name.c_str(), "fw%u.%u%n", &node, &unit, &consumed) == 2 &&
           consumed == name.size();
}

// "fw3" gives 3; anything else is not a node directory or device file.
bool NodeName(const std::string& name, unsigned& node) {
    unsigned consumed = 0;
    return std::sscanf(name.c_str(), "fw%u%n", &node, &consumed) == 1 && consumed == name.size();
}

struct FoundUnit {
    unsigned node, unit;
    UnitInfo info;
};

std::string FirstOf(const fs::path& dir, const char* text, const char* number) {
    std::string value = Attribute(dir, text);
    return value.empty() ? Attribute(dir, number) : value;
}

}  // namespace

LinuxBus::LinuxBus(LinuxBusOptions options) : mOptions(std::move(options)) {}

IOReturn LinuxBus::GetMatchingServices(const MatchingDictionary& match,
                                       std::vector<io_service_t>& services) {
    services.clear();
    std::vector<FoundUnit> found;
    std::error_code ec;
    // No firewire directory means no FireWire controller: no unit, no error.
    for (const auto& entry : fs::directory_iterator(mOptions.sysfsDevices, ec)) {
        unsigned node = 0, unit = 0;
        const std::string name = entry.path().filename().string();
        if (!UnitName(name, node, unit)) continue;
        const fs::path dir = entry.path();
        if (Number(Attribute(dir, "specifier_id")) != match.unitSpecID ||
            Number(Attribute(dir, "version")) != match.unitSWVersion)
            continue;
        const std::string nodeName = "fw" + std::to_string(node);
        const fs::path nodeDir = mOptions.sysfsDevices / nodeName;
        if (Attribute(nodeDir, "is_local") == "1") continue;
        UnitInfo info{name,
                      (mOptions.devDirectory / nodeName).string(),
                      Number(Attribute(nodeDir, "guid")),
                      match.unitSpecID,
                      match.unitSWVersion,
                      FirstOf(nodeDir, "vendor_name", "vendor"),
                      FirstOf(nodeDir, "model_name", "model"),
                      (mOptions.devDirectory / nodeName).string()};
        found.push_back({node, unit, std::move(info)});
    }
    std::sort(found.begin(), found.end(), [](const FoundUnit& a, const FoundUnit& b) {
        return std::tie(a.node, a.unit) < std::tie(b.node, b.unit);
    });
    for (auto& f : found) services.push_back(MakeLinuxService(std::move(f.info), mOptions));
    return kIOReturnSuccess;
}

BusSurvey LinuxBus::Survey() {
    BusSurvey survey;
    std::error_code ec;
    unsigned n = 0;
    for (const auto& entry : fs::directory_iterator(mOptions.devDirectory, ec))
        survey.controller = survey.controller || NodeName(entry.path().filename().string(), n);
    std::vector<std::pair<unsigned, UnitInfo>> nodes;
    for (const auto& entry : fs::directory_iterator(mOptions.sysfsDevices, ec)) {
        const std::string name = entry.path().filename().string();
        if (!NodeName(name, n) || Attribute(entry.path(), "is_local") == "1") continue;
        UnitInfo info;
        info.name = name;
        info.deviceNode = (mOptions.devDirectory / name).string();
        info.guid = Number(Attribute(entry.path(), "guid"));
        info.vendor = FirstOf(entry.path(), "vendor_name", "vendor");
        info.model = FirstOf(entry.path(), "model_name", "model");
        nodes.emplace_back(n, std::move(info));
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& node : nodes) survey.nodes.push_back(std::move(node.second));
    return survey;
}

std::shared_ptr<Bus> OpenLinuxBus() {
    return std::make_shared<LinuxBus>();
}

}  // namespace FWLib
