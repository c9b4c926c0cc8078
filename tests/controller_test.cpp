// Finding and identifying the Ky through the controller.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <tuple>

#include "firewire/Recording.h"
#include "firewire/Replay.h"
#include "support/Files.h"
#include "support/GateClock.h"
#include "support/SimFixture.h"
#include "support/TraceCapture.h"
#include "support/Why.h"
#include "update/RestartWatch.h"
#include "update/UpdateSession.h"
#include "update/kyfirmwareupdate.h"

namespace {

using kysim::TxType;
using ZRV::PTA::CKyFirmwareUpdate;

class ControllerTest : public kytest::SimFixture {
protected:
    ControllerTest() : ky(bus, ky::SystemClock(), {}, io.Sink()) {}
    kytest::TraceCapture io;  // before the controller: captures its traces too
    CKyFirmwareUpdate ky;
};

TEST_F(ControllerTest, VersionTextsSerialAndDowngradeRule) {
    // The versions, the text shown, whether it is a downgrade, the serial shown, whether
    // nothing is to do.
    const std::vector<std::tuple<UInt16, UInt16, std::string, bool, std::string, bool>> cases = {
        {2, 6, "2-6", false, "KY123456", true},
        {2, 7, "2-7", true, "KY123456", false},
        {3, 0, "3-0", true, "KY123456", false},
        {1, 5, "1-5", false, "Not Available", false},
        {1, 7, "1-7", true, "Not Available", false},
        {0, 0, "0-0", false, "Not Available", false},
        {10, 65535, "10-65535", true, "KY123456", false},
        {2, 5, "2-5", false, "KY123456", false},
        {1, 6, "1-6", false, "Not Available", false},
    };
    Ky().Identity().serial = "KY123456";
    for (const auto& [mcore, xilinx, text, downgrade, serial, same] : cases) {
        SCOPED_TRACE(text);
        Ky().Identity().mcoreVersion = mcore, Ky().Identity().xilinxVersion = xilinx;
        ASSERT_TRUE(ky.IsFound());
        std::string shown, number, update;
        ky.GetCurrentFirmwareVersionString(shown);
        ky.GetSerialNumberString(number);
        ky.GetUpdateFirmwareVersionString(update);
        EXPECT_EQ(shown + "|" + number + "|" + update, text + "|" + serial + "|2-6");
        EXPECT_EQ(std::pair(ky.IsDowngrade(), ky::IsSameAsBuiltIn(ky.Info())),
                  std::pair(downgrade, same));
    }
}

// clang-format off
TEST_F(ControllerTest, EachFailureToIdentifyIsNotFoundAndLeavesNothingBehind) {
    // Each fault, and what the controller traces.
    const auto unit = [](const std::string& t) { return "Open Ky\nCtor DownloadUnit\n" + t + "Close Ky\nDtor DownloadUnit\n"; };
    const std::vector<std::tuple<std::string, std::function<void(kysim::SimBus&, UInt64)>, std::string>> cases = {
        {"refused open", [](auto& b, UInt64 g) { b.Faults(g).openStatus = kIOReturnExclusiveAccess; }, unit("FWDL::Open\n")},
        {"no plug-in", [](auto& b, UInt64 g) { b.Faults(g).plugInFails = true; },
         "Open Ky\nCouldn't create plug in interface\n"},
        {"no interface", [](auto& b, UInt64 g) { b.Faults(g).queryInterfaceFails = true; },
         "Open Ky\nFWLib_Device:109 CFPlugInInterface->QueryInterface returned error\n"},
        {"no generation", [](auto& b, UInt64 g) { b.Faults(g).generationStatus = kIOReturnNotResponding; },
         unit("Could not read the bus generation: device not responding\n")},
        {"versions unreadable", [](auto& b, UInt64 g) {
             b.AddFault(g, kysim::FailWith(kysim::On(TxType::QuadletRead, kysim::kProductVersionReg),
                                           kIOReturnTimeout)); },
         unit("FWDL::Open\nFWDL::Close\nCould not read the Ky's versions: no answer from the Ky (timed out)\n")},
        {"lookup", [](auto& b, UInt64) { b.FailLookups(kIOReturnError); }, "Open Ky\nProblem with MasterPort\n"},
    };
    for (const auto& [name, setUp, err] : cases) {
        SCOPED_TRACE(name);
        setUp(*bus, guid);
        bus->ClearTransactions();
        io.Clear();
        const unsigned opens = bus->Opens(), closes = bus->Closes();
        const bool refused = name == "refused open";  // a refused open is not closed
        // Braces: evaluated in order, the look first; opens less closes.
        EXPECT_EQ((std::tuple{ky.IsFound(), io.Text(), ky.Unit() == nullptr, bus->LiveInterfaces(),
                              int(bus->Opens() - opens) - int(bus->Closes() - closes), bus->Transactions().empty(),
                              name != "no plug-in" || ky.LastCheck() == ky::KyCheck::OpenFailed}),
                  (std::tuple{false, err, true, 0, int(refused),
                              name != "versions unreadable", true}));
        bus->Faults(guid) = {};
        bus->ClearFaults(guid);
        bus->FailLookups(kIOReturnSuccess);
    }
    bus->Faults(guid).plugInFails = true;  // OpenKy lets the failure pass
    EXPECT_THROW(ky.OpenKy(), std::exception);
    EXPECT_EQ(ky.Unit(), nullptr);
}
// clang-format on

// What happens on the bus while the restart is followed: at its second on a
// clock that only counts, what happens, to which Ky.
enum class Do { Leave, Back, Unreadable, Readable, LookupsFail, LookupsWork, Stop };
using Step = std::tuple<std::uint64_t, Do, std::size_t>;
// clang-format off
TEST(FollowRestarts, EachKyIsJudgedOnceItIsBackAndReadableWithinAWaitFromItsLeaving) {
    using E = ky::RestartEnding;
    // Each Ky's ending, and whether kyfw update fails for the first.
    const std::vector<std::tuple<const char*, std::vector<Step>, std::vector<E>, bool>> cases = {
        {"back 40 s after leaving, 70 s after the start", {{30, Do::Leave, 0}, {70, Do::Back, 0}}, {E::Confirmed}, false},
        {"a look at the bus that failed", {{10, Do::LookupsFail, 0}, {20, Do::LookupsWork, 0}}, {E::NeverLeft}, false},
        {"back before it can be opened", {{10, Do::Leave, 0}, {15, Do::Unreadable, 0}, {20, Do::Back, 0}, {30, Do::Readable, 0}},
         {E::Confirmed}, false},
        {"the first Ky back after the last", {{10, Do::Leave, 0}, {10, Do::Leave, 1}, {20, Do::Back, 1}, {50, Do::Back, 0}},
         {E::Confirmed, E::Confirmed}, false},
        {"stopped while it was away", {{10, Do::Leave, 0}, {20, Do::Stop, 0}}, {E::Stopped}, true},
    };
    for (const auto& [name, steps, endings, fails] : cases) {
        SCOPED_TRACE(name);
        ky::FakeClock clock;
        auto bus = kysim::SimBus::Create(clock);
        std::vector<UInt64> guids(endings.size());
        for (auto& g : guids) g = bus->AddKy();
        bool stop = false;
        const std::function<void(UInt64)> act[] = {
            [&](UInt64 g) { bus->Unplug(g); }, [&](UInt64 g) { bus->Replug(g); },
            [&](UInt64 g) { bus->Faults(g).openStatus = kIOReturnNotPermitted; },
            [&](UInt64 g) { bus->Faults(g).openStatus = kIOReturnSuccess; },
            [&](UInt64) { bus->FailLookups(kIOReturnNotResponding); },
            [&](UInt64) { bus->FailLookups(kIOReturnSuccess); }, [&](UInt64) { stop = true; }};
        std::vector<Step> due = steps;
        bus->SetBeforeDiscovery([&] {
            std::erase_if(due, [&](const Step& s) {
                if (std::get<0>(s) * 1'000'000 > clock.NowMicros()) return false;
                act[static_cast<int>(std::get<1>(s))](guids[std::get<2>(s)]);
                return true;
            });
        });
        const auto results = ky::FollowRestarts(*bus, guids, "1-5", {60'000'000, 1'000'000}, clock, [&] { return stop; });
        for (std::size_t i = 0; i < endings.size(); ++i) EXPECT_EQ(results.at(i).ending, endings[i]) << i;
        EXPECT_EQ(ky::RestartFailed(results[0]), fails);
        EXPECT_TRUE(due.empty()) << due.size() << " steps not reached";
    }
}
// clang-format on

// A user who stops the wait during a pause, at a look, or before the first
// look: the replay stops where the recording did and makes no other call.
TEST(FollowRestarts, AStopEndsTheReplayWhereItEndedTheRecordedWait) {
    // The stop says yes from its n-th question on: 1 is before the first look,
    // 2 to 5 within the first pause (four steps of 50 ms), 6 before the second look.
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE(n);
        kytest::TempDir dir("restartrec");
        auto created = FWLib::Recorder::Create(dir / "r.jsonl", {"test"});
        ASSERT_EQ(kytest::Why(created), "");
        const auto recorder = *created;
        ky::FakeClock clock;
        const auto sim = kysim::SimBus::Create(clock);
        const UInt64 guid = sim->AddKy();
        int asked = 0;
        const auto wait = FWLib::RecordRestart(
            recorder, {60, std::shared_ptr<ky::Clock>(&clock, [](ky::Clock*) {}),
                       [&] { return ++asked >= n; }});
        const ky::RestartLimits limits{60'000'000, 200'000};
        const auto recorded = ky::FollowRestarts(*FWLib::RecordingBus(sim, recorder), {guid}, "2-6",
                                                 limits, *wait.clock, wait.stop);
        ASSERT_EQ(kytest::Why(recorder->Finish()), "");
        const auto recording = FWLib::ParseRecording(kytest::ReadFile(dir / "r.jsonl"));
        ASSERT_EQ(kytest::Why(recording), "");
        const auto replay = FWLib::MakeReplayBus(recording->events, false);
        const auto again = replay->ReplayRestart();
        const auto replayed =
            ky::FollowRestarts(*replay, {guid}, "2-6", limits, *again.clock, again.stop);
        EXPECT_EQ(std::tuple(recorded[0].ending, replayed[0].ending, kytest::Why(replay->Finish())),
                  std::tuple(ky::RestartEnding::Stopped, ky::RestartEnding::Stopped, ""));
    }
}

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A follow held up longer than a stop waits for (a busy machine, a slow
// look) says the Ky left only when a look found it gone.
TEST(FollowRestarts, AStopThatCannotWaitForTheLookKeepsWhatTheLastLookFound) {
    for (const bool gone : {false, true}) {
        SCOPED_TRACE(gone);
        kytest::GateClock clock;
        auto bus = kysim::SimBus::Create(clock);
        const UInt64 guid = bus->AddKy();
        if (gone) bus->Unplug(guid);
        std::atomic<int> pauses = 0;
        clock.onPause = [&] {
            if (++pauses == 2) clock.Hold();  // a step into the pause after the first look
        };
        ky::RestartFollower follow(bus, guid, "2-6", {60'000'000, 200'000}, clock);
        const auto until = [](const std::function<bool()>& done) {
            for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(5ms);
        };
        until([&] { return pauses >= 2; });
        const ky::RestartResult r = follow.Stop();
        clock.Release();
        until([&] { return follow.Ended().has_value(); });  // done with the clock
        EXPECT_EQ(std::tuple(r.ending, r.left, follow.Ended().has_value()),
                  std::tuple(ky::RestartEnding::Stopped, gone, true));
    }
}

// logind as the sleep inhibitor meets it, on a bus of the test's own (a
// session dbus-daemon, named in DBUS_SYSTEM_BUS_ADDRESS while this lives):
// Inhibit answers after `delay` with one end of a pipe, and the inhibitor is
// held until every copy of that end is closed.
class StandInLogind {
public:
    StandInLogind(const kytest::TempDir& dir, std::chrono::milliseconds delay) : mDelay(delay) {
        const std::string address = "unix:path=" + (dir / "bus").string();
        if ((mDaemon = fork()) == 0) {
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork",
                   ("--address=" + address).c_str(), nullptr);
            _exit(127);
        }
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        int r = -1;
        for (int i = 0; i < 500 && (r = sd_bus_open_system(&mBus)) < 0; ++i)
            std::this_thread::sleep_for(20ms);
        if (r >= 0) r = sd_bus_request_name(mBus, "org.freedesktop.login1", 0);
        if (r >= 0)
            r = sd_bus_add_object_vtable(mBus, nullptr, "/org/freedesktop/login1",
                                         "org.freedesktop.login1.Manager", kCalls, this);
        EXPECT_GE(r, 0) << "no bus of our own at " << address << " within 10 s";
        mLoop = std::thread([this, r]() mutable {
            while (!mStop && r >= 0)
                if ((r = sd_bus_process(mBus, nullptr)) == 0) sd_bus_wait(mBus, 20'000);
        });
    }
    ~StandInLogind() {
        mStop = true;
        mLoop.join();
        sd_bus_flush_close_unref(mBus);
        kill(mDaemon, SIGTERM);
        waitpid(mDaemon, nullptr, 0);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    // Whether the end it handed out is still open somewhere, after waiting
    // up to `ms` for the last copy to be closed.
    bool Held(int ms = 0) const {
        pollfd watched{mWatched, 0, 0};
        return mWatched >= 0 && poll(&watched, 1, ms) == 0;
    }

private:
    static int Inhibit(sd_bus_message* call, void* self, sd_bus_error*) {
        auto& logind = *static_cast<StandInLogind*>(self);
        std::this_thread::sleep_for(logind.mDelay);
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return -errno;
        logind.mWatched = ends[0];  // the test's: closed when the test process ends
        const int r = sd_bus_reply_method_return(call, "h", ends[1]);
        close(ends[1]);
        return r;
    }
    static constexpr sd_bus_vtable kCalls[] = {SD_BUS_VTABLE_START(0),
                                               SD_BUS_METHOD("Inhibit", "ssss", "h", Inhibit, 0),
                                               SD_BUS_VTABLE_END};
    const std::chrono::milliseconds mDelay;
    pid_t mDaemon = -1;
    sd_bus* mBus = nullptr;
    std::atomic<int> mWatched{-1};
    std::atomic<bool> mStop{false};
    std::thread mLoop;
};

}  // namespace

// The advice after a failed update stands once for both programs: the
// window's user presses the button again, kyfw's runs the command that fits
// the versions read under the hold.
TEST(FailureAdvice, EachProgramReadsWhatToDoWhetherTheKyLeftOrStayed) {
    ky::UpdateResult stayed;
    stayed.deviceFound = true;
    stayed.xilinx.error = kIOReturnNotResponding;
    stayed.versionsRead = ZRV::PTA::KyInfo{0x00020006, 0x00030000, "S", 2, 6, true};
    ky::UpdateResult left = stayed;
    left.mcore.error = kIOReturnNoDevice;
    left.versionsRead.reset();
    using ky::AdviceFor;
    for (const auto& [result, reader, advice] :
         {std::tuple(stayed, AdviceFor::Window,
                     "Do not switch the Ky off. Leave it powered and "
                     "connected, and run the update again."),
          std::tuple(left, AdviceFor::Window,
                     "Reconnect the Ky (power and cable), wait until "
                     "this window shows it, and run the update again."),
          std::tuple(stayed, AdviceFor::Kyfw,
                     "Do not switch the Ky off; leave it connected and "
                     "run `kyfw update --reinstall` again."),
          std::tuple(left, AdviceFor::Kyfw,
                     "Reconnect the Ky (power and cable), check that `kyfw list` shows it, then "
                     "run `kyfw update --reinstall --allow-downgrade` again.")})
        EXPECT_EQ(ky::FailureAdvice(result, reader), advice);
}

// Every request in every state: what fits is done, the rest is refused
// (WrongState) and changes nothing. Never a second worker, never a Ky let
// go under one.
TEST(UpdateSession, EachRequestInEachState) {
    using S = ky::UpdateSession::State;
    constexpr std::optional<S> no;  // refused
    const std::array<S, 5> states = {S::Idle, S::Held, S::Consented, S::Writing, S::Finished};
    // The state each request (Hold, Check, Consent, Start, Release) leads to.
    const std::array<std::array<std::optional<S>, 5>, 5> to = {{
        {S::Held, no, no, no, S::Idle},            // Idle
        {no, S::Held, S::Consented, no, S::Idle},  // Held
        {no, no, no, S::Writing, S::Idle},         // Consented
        {no, no, no, no, no},                      // Writing
        {no, no, no, no, S::Idle},                 // Finished
    }};
    // What another program reads of this one in each state (Finished is not asked).
    const std::array<const char*, 5> activity = {"", "waiting", "waiting", "writing", nullptr};
    const kytest::TempDir dir("session");
    setenv("XDG_STATE_HOME", dir.String().c_str(), 1);
    StandInLogind logind(dir, 100ms);  // slower than a local bus, well within the half second
    for (std::size_t from = 0; from < states.size(); ++from) {
        for (std::size_t r = 0; r < 5; ++r) {
            SCOPED_TRACE(std::string(ky::UpdateSession::StateName(states[from])) + ", request " +
                         std::to_string(r));
            kytest::TraceCapture io;
            kytest::GateClock clock;
            clock.Hold();
            std::atomic<int> pauses{0}, held{0};
            clock.onPause = [&] { ++pauses, held += logind.Held(); };
            auto bus = kysim::SimBus::Create(clock);
            const UInt64 guid = bus->AddKy();
            FWLib::io_service_t service;
            FWLib::GetMatchingService(*bus, {0xA27, 0x11}, service);
            const FWLib::UnitInfo unit = service->Info();
            {
                CKyFirmwareUpdate controller(bus, clock, dir.Path(),
                                             io.Sink());  // a /proc of nobody
                ky::UpdateSession session(controller);
                const std::function<ky::UpdateSession::Answer()> ask[] = {
                    [&] { return session.Hold(unit); }, [&] { return session.Check({}, true); },
                    [&] { return session.Consent(); }, [&] { return session.Start(); },
                    [&] { return session.Release(); }};
                // Each state by the one way into it: its first requests.
                for (int i = 0; i < std::array{0, 1, 3, 4, 4}[from]; ++i)
                    ASSERT_TRUE(ask[i]().Ok());
                if (states[from] == S::Finished) {
                    clock.Release();
                    for (int i = 0; i < 60'000 && session.Poll() == S::Writing; ++i)
                        ky::PreciseSleep(1000);
                    ASSERT_EQ(session.GetState(), S::Finished) << "the update did not end in 60 s";
                    EXPECT_FALSE(logind.Held(5000)) << "still held 5 s after the update ended";
                }
                const auto answer = ask[r]().status;
                const S now = to[from][r].value_or(states[from]);
                using enum ky::UpdateSession::Status;
                EXPECT_EQ(std::tuple(answer, session.GetState(), controller.Holding()),
                          std::tuple(to[from][r] ? Ok : WrongState, now,
                                     now != S::Idle && now != S::Finished));
                if (const char* doing = activity[std::size_t(now)]) {  // what others read
                    EXPECT_EQ(kytest::ReadFile(*ky::ActivityFile(getpid(), unit.lockFile)), doing);
                }
                clock.Release();  // the session waits for a worker to end before it goes
            }
            const std::string out = io.Text();
            const bool wrote = from >= 3 || to[from][r] == S::Writing;
            // Sleep is held off at every pause, from the one after the first
            // write to the one before the last.
            EXPECT_EQ(
                std::tuple(out.find("Start Download Thread"), bus->Ky(guid).Identity().mcoreVersion,
                           pauses > 0, held.load(), bus->Opens()),
                std::tuple(out.rfind("Start Download Thread"), wrote ? 2 : 1, wrote, pauses.load(),
                           bus->Closes()));
        }
    }
}
