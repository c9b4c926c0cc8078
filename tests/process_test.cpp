// The process walk over a made-up /proc tree and over the real one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/DeviceInUse.h"
#include "support/Files.h"
#include "support/Process.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
const OSType kKeyG = FourCharCode("KeyG");

class FakeProc : public ::testing::Test {
protected:
    void SetUp() override {
        Add(5, "systemd", "");
        Add(10, "bash", "");
        Add(20, "kdenlive", "/usr/bin/kdenlive");
        Add(30, "kdenlive", "");                // a second one, found by its kernel name
        fs::create_directories(root / "self");  // not a process
    }
    void Add(int pid, const std::string& comm, const std::string& exe) {
        const fs::path dir = root / std::to_string(pid);
        const std::string p = std::to_string(pid);
        kytest::WriteFile(dir / "comm", comm + "\n");
        kytest::WriteFile(dir / "statm", "1000 " + p + " 0 0 0 0 0\n");
        kytest::WriteFile(dir / "stat", p + " (" + comm +
                                            ") S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 " +
                                            std::to_string(pid * 100) + " 0 0\n");
        if (!exe.empty()) fs::create_symlink(exe, dir / "exe");
    }
    kytest::TempDir root{"proc"};
};

// The walk over processes has no caller in this program (the in-use check
// reads the names itself): one smoke row for walking, finding, describing.
TEST_F(FakeProc, WalkInProcessOrderWrapFindAndDescribe) {
    TProcess walk(kMyProcess, root.Path());
    EXPECT_EQ(walk.GetNumProcesses(), 4);
    for (std::uint32_t pid : {5u, 10u, 20u, 30u}) {
        EXPECT_FALSE(walk.Last());
        EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, pid);
        walk.Next();
    }
    EXPECT_TRUE(walk.Last());  // past the end: back to the first
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, 5u);
    EXPECT_TRUE(walk.FindProcess(kKeyG));
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, 20u);
    const ProcessInfoRec rec = walk.GetProcessInfoRec();
    EXPECT_EQ(rec.processSignature, kKeyG);
    EXPECT_EQ(rec.processSize, 20u * static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(rec.processLaunchDate, 2000u / static_cast<std::uint32_t>(sysconf(_SC_CLK_TCK)));
}

// Finding by signature and asking to quit have no caller in this program
// (the in-use check reads the names itself): one smoke row.
TEST(RealProcesses, FindAndPolitelyKillAVideoApplication) {
    const kytest::TempDir dir("real");
    fs::copy_file("/bin/sleep", dir / "dvgrab", fs::copy_options::overwrite_existing);
    kytest::Sleeper child((dir / "dvgrab").string());
    TProcess walk(kMyProcess);
    ASSERT_TRUE(walk.FindProcess(FourCharCode("KeyG")));
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, static_cast<std::uint32_t>(child.pid));
    const ProcessSerialNumber target = walk.GetProcessID();
    EXPECT_TRUE(walk.KillApplication(&target));
    const int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

}  // namespace
