// Several Kys updated as one batch: a quit before a Ky's first write, and
// Kys written side by side. (The versions agreed to, read again before the
// first write, are the window's test: the same session.)
#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

#include "sim/SimState.h"
#include "support/Files.h"
#include "support/SimFixture.h"
#include "update/UpdateBatch.h"

namespace {

using namespace ky;

class BatchTest : public kytest::SimFixture {
protected:
    std::vector<FWLib::UnitInfo> Units(FWLib::Bus& on) {
        std::vector<FWLib::io_service_t> services;
        on.GetMatchingServices(KyUnitMatch(), services);
        std::vector<FWLib::UnitInfo> units;
        for (const auto& s : services) units.push_back(s->Info());
        return units;
    }
    UpdateBatch::Setup Setup(std::function<bool()> quit) {
        return {bus, &clock, ProcessTable(procfs.Path()), std::move(quit), {}};
    }
    kytest::TempDir procfs{"proc"};
    UpdateBatch::Listener quiet;  // shows nothing
};

// The batch asks whether to quit before it starts each Ky, and its worker
// asks once more right before the first write: wherever the quit comes,
// the Kys before it are written whole and the rest not at all.
TEST_F(BatchTest, AQuitAtAnyMomentBeforeAKysFirstWriteLeavesItAndTheRestUnwritten) {
    bus->AddKy();
    bus->AddKy();
    for (int after = 0; after <= 6; ++after) {
        SCOPED_TRACE(after);
        std::atomic<int> asked = 0;
        UpdateBatch batch(Setup([&] { return asked++ >= after; }), quiet);
        batch.Plan(Units(*bus), {.reinstall = true});
        batch.Consent(false);
        std::vector<unsigned> before;
        for (const auto& k : batch.Kys()) before.push_back(bus->Ky(k.unit.guid).Changes());
        batch.Write(1);
        for (std::size_t i = 0; i < batch.Kys().size(); ++i) {
            const KyOutcome& k = batch.Kys()[i];
            const bool written = static_cast<int>(i) < after / 2;
            EXPECT_EQ(std::tuple(k.status, bus->Ky(k.unit.guid).Changes() > before[i]),
                      std::tuple(written ? kExitDone : kExitStopped, written))
                << i << ": " << k.message;
        }
        EXPECT_EQ(batch.Status(), after < 6 ? kExitStopped : kExitDone);
    }
}

// Two simulated Kys, each with its own state file, written side by side
// (the bus, the clock and the state directory shared): both end done, and
// each one's state file holds what was written.
TEST_F(BatchTest, TwoKysWrittenSideBySideBothEndDoneAndAreKept) {
    const kytest::TempDir state("batchsim");
    kysim::DemoKy::Options options;
    options.directory = state.Path(), options.eraseMicros = 0, options.kys = 2;
    options.clock = &clock;
    kysim::DemoKy demo(options);
    auto setup = Setup([] { return false; });
    setup.bus = demo.Bus();
    UpdateBatch batch(setup, quiet);
    batch.Plan(Units(*demo.Bus()), {});
    batch.Consent(false);
    batch.Write(2);
    for (const KyOutcome& k : batch.Kys()) EXPECT_EQ(k.status, kExitDone) << k.message;
    for (const char* file : {"ky.state", "ky1.state"})
        EXPECT_EQ(kytest::ReadFile(state / file).substr(0, 17), "mcore=2\nxilinx=6\n");
}

}  // namespace
