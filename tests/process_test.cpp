// The process walk over a made-up /proc tree and over the real one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/DeviceInUse.h"
#include "support/Process.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
const OSType kKeyG = FourCharCode("KeyG");

class FakeProc : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("kyfw-proc-" + std::to_string(getpid()));
        fs::remove_all(root);
        Add(5, "systemd", "");
        Add(10, "bash", "");
        Add(20, "kdenlive", "/usr/bin/kdenlive");
        Add(30, "kdenlive", "");                // a second one, found by its kernel name
        fs::create_directories(root / "self");  // not a process
    }
    void TearDown() override { fs::remove_all(root); }
    void Add(int pid, const std::string& comm, const std::string& exe) {
        const fs::path dir = root / std::to_string(pid);
        fs::create_directories(dir);
        std::ofstream(dir / "comm") << comm << "\n";
        std::ofstream(dir / "statm") << "1000 " << pid << " 0 0 0 0 0\n";
        std::ofstream(dir / "stat")
            << pid << " (" << comm << ") S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 " << pid * 100
            << " 0 0\n";
        if (!exe.empty()) fs::create_symlink(exe, dir / "exe");
    }
    fs::path root;
};

TEST_F(FakeProc, WalkInProcessOrderWrapsAndRemembersTheEnd) {
    TProcess walk(kMyProcess, root);
    EXPECT_EQ(walk.GetProcessID(), (ProcessSerialNumber{0, 5}));
    EXPECT_EQ(walk.GetNumProcesses(), 4);
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, 5u);  // counting does not move the walk
    walk.Next();
    walk.Next();
    walk.Next();
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, 30u);
    EXPECT_FALSE(walk.Last());
    walk.Next();  // past the end: back to the first, and Last says so for good
    EXPECT_TRUE(walk.Last());
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, 5u);
    EXPECT_EQ(walk.Error(), procNotFound);
    walk.First();
    EXPECT_TRUE(walk.Last());
}

TEST_F(FakeProc, FindProcessStartsOverAndStopsAtTheFirstMatch) {
    TProcess walk(kMyProcess, root);
    walk.Next();
    walk.Next();
    walk.Next();
    EXPECT_TRUE(walk.FindProcess(kKeyG));
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, 20u);
    EXPECT_FALSE(walk.FindProcess(FourCharCode("MACS")));
    const ProcessInfoRec rec = walk.GetProcessInfoRec();
    EXPECT_EQ(rec.processInfoLength, 60u);
    EXPECT_EQ(rec.processSignature, kKeyG);
    EXPECT_EQ(rec.processSize, 20u * static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(rec.processLaunchDate, 2000u / static_cast<std::uint32_t>(sysconf(_SC_CLK_TCK)));
    fs::remove_all(root / "20");
    fs::remove_all(root / "30");
    EXPECT_FALSE(TProcess(kMyProcess, root).FindProcess(kKeyG));  // bash and systemd are not
}

TEST_F(FakeProc, KillOfAProcessThatIsNotThereFailsAtTheFirstStep) {
    TProcess walk(kMyProcess, root);
    const ProcessSerialNumber gone{0, 77};
    EXPECT_FALSE(walk.KillApplication(&gone));
    EXPECT_EQ(walk.Error(), procNotFound);
}

TEST(RealProcesses, FindAndPolitelyKillAVideoApplication) {
    const fs::path dir = fs::temp_directory_path() / ("kyfw-real-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::copy_file("/bin/sleep", dir / "dvgrab", fs::copy_options::overwrite_existing);
    kytest::Sleeper child((dir / "dvgrab").string());
    TProcess walk(kMyProcess);
    ASSERT_TRUE(walk.FindProcess(FourCharCode("KeyG")));
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, static_cast<std::uint32_t>(child.pid));
    const ProcessSerialNumber target = walk.GetProcessID();
    EXPECT_TRUE(walk.KillApplication(&target));
    const int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    fs::remove_all(dir);
}

TEST(DeviceInUse, AnotherProcessHoldingTheNodeIsNamed) {
    const fs::path node = fs::temp_directory_path() / ("kyfw-node-" + std::to_string(getpid()));
    std::ofstream(node) << "";
    const int own = open(node.c_str(), O_RDONLY);  // this process does not count
    EXPECT_FALSE(ky::FindOtherDeviceUser(node));
    {
        kytest::Sleeper child("/bin/sleep", node.string());
        auto user = ky::FindOtherDeviceUser(node);
        ASSERT_TRUE(user);
        EXPECT_EQ(user->pid, child.pid);
        EXPECT_EQ(user->name, "sleep");
    }
    EXPECT_FALSE(ky::FindOtherDeviceUser(node));
    close(own);
    fs::remove(node);
}

}  // namespace
