// The update worker: both images on a thread of their own, an honest result
// and a done flag that is the worker's very last word.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "engine/DownloadProgress.h"
#include "sim/SimBus.h"
#include "support/GateClock.h"
#include "support/TraceCapture.h"
#include "update/kyfirmwareupdate.h"

namespace {

using ZRV::PTA::CKyFirmwareUpdate;
using namespace std::chrono_literals;

class WorkerTest : public ::testing::Test {
protected:
    WorkerTest() : bus(kysim::SimBus::Create(clock)), guid(bus->AddKy()) {}

    void WaitDone(CKyFirmwareUpdate& ky) {
        for (int i = 0; i < 5000 && !ky.GetDoneStatus(); ++i) std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(ky.GetDoneStatus());
    }
    kysim::KyUnitModel& Ky() { return bus->Ky(guid); }

    kytest::TraceCapture io;
    kytest::GateClock clock;
    std::shared_ptr<kysim::SimBus> bus;
    UInt64 guid;
};

TEST_F(WorkerTest, DoneOnlyAfterTheWorkerHasLetGoOfEverything) {
    CKyFirmwareUpdate ky(bus, clock, {}, io.Sink());
    clock.Hold();
    io.Clear();
    ASSERT_TRUE(ky.DoUpdate());
    EXPECT_FALSE(ky.GetDoneStatus());
    clock.Release();
    WaitDone(ky);
    const std::string out = io.Text();
    const std::string tail =
        "Close Ky\nDtor DownloadUnit\nDtor Downloader\nDelete Download Thread\n";
    EXPECT_TRUE(out.ends_with(tail)) << out;
    EXPECT_EQ(out.rfind("Start Download Thread\nCtor Downloader\nOpen Ky\nCtor DownloadUnit\n", 0),
              0u);
    // Both images written, on a time-sliced thread, and every interface let go.
    EXPECT_EQ(std::tuple(ky.GetUpdateResult().Succeeded(), Ky().Identity().mcoreVersion,
                         Ky().Identity().xilinxVersion, ky.Progress().Get(), clock.policy,
                         bus->Opens() - bus->Closes(), bus->LiveInterfaces()),
              std::tuple(true, 2, 6, 100u, SCHED_OTHER, 0u, 0));
}

TEST_F(WorkerTest, AKyThatIsGoneOrCannotBeOpenedIsNotFoundForBothImages) {
    for (bool gone : {true, false}) {
        SCOPED_TRACE(gone ? "gone" : "no plug-in");
        CKyFirmwareUpdate ky(bus, clock, {}, io.Sink());
        if (gone) bus->Unplug(guid);
        bus->Faults(guid).plugInFails = !gone;
        io.Clear();
        ky.Progress().SetDeviceType(MCORE), ky.Progress().SetErase();  // the last update's
        ky.DoUpdate();
        WaitDone(ky);
        const auto& result = ky.GetUpdateResult();
        EXPECT_EQ(std::tuple(ky.Progress().Get(), result.deviceFound, result.xilinx.error,
                             result.mcore.error, result.failure),
                  std::tuple(0u, false, kIOReturnNoDevice, kIOReturnNoDevice, "device not found"));
        EXPECT_EQ(io.Text().find("Opening"), std::string::npos);  // nothing downloaded to nothing
        bus->Replug(guid);
    }
}

TEST_F(WorkerTest, ExceptionInTheWorkerBecomesAFailedOutcome) {
    CKyFirmwareUpdate ky(bus, clock, {}, io.Sink());
    clock.throwOnPause = true;
    ky.DoUpdate();
    WaitDone(ky);
    EXPECT_EQ(std::pair(ky.GetUpdateResult().Succeeded(), ky.GetUpdateResult().failure),
              std::pair(false, std::string("unexpected error: clock failed")));
    EXPECT_EQ(bus->LiveInterfaces(), 0);
}

TEST_F(WorkerTest, DestroyingTheControllerWaitsForTheWorker) {
    auto ky = std::make_unique<CKyFirmwareUpdate>(bus, clock);
    clock.Hold();
    ky->DoUpdate();
    std::thread release([&] {
        std::this_thread::sleep_for(30ms);
        clock.Release();
    });
    ky.reset();  // must not free the object under the running worker
    release.join();
    EXPECT_EQ(Ky().ProgrammedCount(), 2u);
}

}  // namespace
