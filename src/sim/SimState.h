#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"
#include "base/Trace.h"
#include "sim/SimBus.h"

namespace kysim {

// What the simulated Ky keeps between runs: its identity and both flash
// areas, in one file (key=value lines, a blank line, then the flash bytes).
struct DemoState {
    KyIdentity identity;
    std::array<std::vector<UInt8>, 2> flash;
};
std::string FormatDemoState(const DemoState& state);
// A failure with the reason ("line 3: ...") when `bytes` is not such a file.
ky::Result<DemoState> ParseDemoState(std::string_view bytes);

// The simulated Ky behind --simulate. Its state lives in a small private
// directory under the user's state directory, and that directory is its
// device: the file is read when a program takes the Ky (opens its unit)
// and written, in one step, when the program lets it go after changing it.
// While one program holds the Ky, the directory's lock file is locked and
// its device file is held open, so another updater is refused and the
// in-use check of another process sees it, as with a real Ky.
// KYFW_SIM_STATE names another directory; KYFW_SIM_RESET=1 starts from a
// fresh Ky with older firmware; KYFW_SIM_COUNT=N puts N Kys on the bus;
// KYFW_SIM_ERASE_MS sets how long an erase takes. When a program waits for
// the restart after an update, each Ky it wrote is switched off and on, as
// its user would: KYFW_SIM_POWER_CYCLE_AFTER seconds later (1 unless set;
// "never": it stays on) it leaves the bus for a second and comes back
// running what was written.
class DemoKy {
public:
    struct Options {
        std::filesystem::path directory;  // where the state is kept
        bool reset = false;
        std::uint64_t eraseMicros = 1'500'000;
        unsigned kys = 1;            // Kys on the bus, each with its own state
        std::string problem;         // why the environment's settings cannot be used
        ky::Clock* clock = nullptr;  // the Ky's own time; null: the machine's
        std::optional<std::uint64_t> powerCycleAfterMicros = kPowerCycleAfterMicros;  // or never
        ky::Trace trace{};  // why its state could not be read or kept, as it happens
    };
    static constexpr std::uint64_t kPowerCycleAfterMicros = 1'000'000;
    static constexpr std::uint64_t kSwitchedOffMicros = 1'000'000;

    explicit DemoKy(Options options);
    // The options the environment asks for; `directory` is empty unless
    // KYFW_SIM_STATE names one.
    static Options FromEnvironment();

    // Why the simulated Ky cannot be used (no state directory, a state file
    // that cannot be read); empty when it can.
    const std::string& Problem() const;
    // Whether the state was kept after the Ky was last written, and if
    // not why. Read once the update has ended.
    ky::Done LastSave() const;

    std::shared_ptr<SimBus> Bus() const { return mBus; }
    UInt64 Guid() const { return mGuid; }
    const std::filesystem::path& Directory() const;
    // A program waits for the Kys it wrote to be switched off and on: the
    // simulated user does so (unless KYFW_SIM_POWER_CYCLE_AFTER=never).
    void SwitchedOffAndOnSoon();

    struct Store;

private:
    std::shared_ptr<Store> mStore;
    std::shared_ptr<SimBus> mBus;
    UInt64 mGuid = 0;
};

}  // namespace kysim
