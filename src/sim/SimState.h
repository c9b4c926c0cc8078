#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "sim/SimBus.h"

namespace kysim {

// The simulated Ky behind --simulate. It keeps its versions, serial number
// and flash contents between runs in a small directory under the user's
// state directory, so that an update followed by a listing shows the new
// versions. KYFW_SIM_STATE names another directory; KYFW_SIM_RESET=1 starts
// from a fresh Ky with older firmware; KYFW_SIM_COUNT=N puts N Kys on the bus;
// KYFW_SIM_ERASE_MS sets how long an erase takes.
class DemoKy {
public:
    struct Options {
        std::filesystem::path directory;  // empty: the default directory
        bool reset = false;
        std::uint64_t eraseMicros = 1'500'000;
        unsigned extraKys = 0;  // more Kys beside it, afresh each run (KYFW_SIM_COUNT)
    };

    explicit DemoKy(Options options);
    static Options FromEnvironment();
    static std::filesystem::path DefaultDirectory();

    std::shared_ptr<SimBus> Bus() const { return mBus; }
    UInt64 Guid() const { return mGuid; }
    const std::filesystem::path& Directory() const { return mDirectory; }
    // Writes the Ky's state; false (and a reason) when it cannot be written.
    bool Save(std::string* error) const;

private:
    void Load();

    std::filesystem::path mDirectory;
    std::shared_ptr<SimBus> mBus;
    UInt64 mGuid = 0;
};

}  // namespace kysim
