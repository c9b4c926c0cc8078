#include "sim/SimState.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "base/Paths.h"

namespace kysim {

namespace {

constexpr UInt64 kDemoGuid = 0x0000'D0A0'0412'0187ull;
constexpr const char* kStateFile = "ky.state";

std::filesystem::path FlashFile(const std::filesystem::path& dir, FlashArea area) {
    return dir / (area == FlashArea::Xilinx ? "xilinx.flash" : "mcore.flash");
}

std::map<std::string, std::string> ReadKeyValues(const std::filesystem::path& file) {
    std::map<std::string, std::string> values;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::optional<UInt16> Small(const std::map<std::string, std::string>& kv, const char* key) {
    auto it = kv.find(key);
    if (it == kv.end()) return std::nullopt;
    char* end = nullptr;
    unsigned long v = std::strtoul(it->second.c_str(), &end, 10);
    if (end == it->second.c_str() || *end != '\0' || v > 0xFFFF) return std::nullopt;
    return static_cast<UInt16>(v);
}

}  // namespace

std::filesystem::path DemoKy::DefaultDirectory() {
    return ky::StateDirectory() / "simulated-ky";
}

DemoKy::Options DemoKy::FromEnvironment() {
    Options options;
    if (const char* dir = std::getenv("KYFW_SIM_STATE"); dir && *dir) options.directory = dir;
    if (const char* reset = std::getenv("KYFW_SIM_RESET"); reset && std::string(reset) == "1")
        options.reset = true;
    if (const char* erase = std::getenv("KYFW_SIM_ERASE_MS"); erase && *erase)
        options.eraseMicros = static_cast<std::uint64_t>(std::atoll(erase)) * 1000u;
    if (const char* count = std::getenv("KYFW_SIM_COUNT"); count && std::atoi(count) > 1)
        options.extraKys = static_cast<unsigned>(std::atoi(count) - 1);
    return options;
}

DemoKy::DemoKy(Options options)
    : mDirectory(options.directory.empty() ? DefaultDirectory() : options.directory),
      mBus(SimBus::Create()) {
    mGuid = mBus->AddKy({}, kDemoGuid);
    mBus->Ky(mGuid).Behaviour().eraseMicros = options.eraseMicros;
    if (!options.reset) Load();
    // A file that stands for the Ky's device node, so that a program
    // holding it open shows the Ky as in use, as with a real one.
    std::error_code ec;
    std::filesystem::create_directories(mDirectory, ec);
    const auto node = mDirectory / "fw-simulated";
    if (!std::filesystem::exists(node, ec)) std::ofstream(node).flush();
    mBus->SetDeviceNode(mGuid, node.string());
    for (unsigned i = 1; i <= options.extraKys; ++i)
        mBus->AddKy({1, 4, 3, "KY00000" + std::to_string(i % 10)}, kDemoGuid + i);
}

void DemoKy::Load() {
    const auto kv = ReadKeyValues(mDirectory / kStateFile);
    if (kv.empty()) return;  // a fresh Ky
    KyIdentity& id = mBus->Ky(mGuid).Identity();
    if (auto v = Small(kv, "mcore")) id.mcoreVersion = *v;
    if (auto v = Small(kv, "xilinx")) id.xilinxVersion = *v;
    if (auto v = Small(kv, "product")) id.productVersion = *v;
    if (auto it = kv.find("serial"); it != kv.end()) id.serial = it->second.substr(0, kSerialBytes);
    for (FlashArea area : kFlashAreas) {
        std::ifstream in(FlashFile(mDirectory, area), std::ios::binary);
        if (in) mBus->Ky(mGuid).SetFlash(area, {std::istreambuf_iterator<char>(in), {}});
    }
}

bool DemoKy::Save(std::string* error) const {
    std::error_code ec;
    std::filesystem::create_directories(mDirectory, ec);
    KyUnitModel& ky = mBus->Ky(mGuid);
    std::ostringstream text;
    text << "mcore=" << ky.Identity().mcoreVersion << "\nxilinx=" << ky.Identity().xilinxVersion
         << "\nproduct=" << ky.Identity().productVersion << "\nserial=" << ky.Identity().serial
         << "\n";
    bool ok = !ec;
    for (FlashArea area : kFlashAreas) {
        std::ofstream out(FlashFile(mDirectory, area), std::ios::binary | std::ios::trunc);
        const auto& bytes = ky.Flash(area);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        ok = ok && out.good();
    }
    std::ofstream state(mDirectory / kStateFile, std::ios::trunc);
    state << text.str();
    ok = ok && state.good();
    if (!ok && error) *error = "cannot write the simulated Ky's state to " + mDirectory.string();
    return ok;
}

}  // namespace kysim
