// The process walk over the real /proc.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support/Files.h"
#include "support/Process.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;

// Walking, finding by signature, describing and asking to quit have no
// caller in this program (the in-use check reads the names itself): one
// smoke row.
TEST(Processes, WalkFindDescribeAndPolitelyKillAVideoApplication) {
    const kytest::TempDir dir("real");
    fs::copy_file("/bin/sleep", dir / "dvgrab", fs::copy_options::overwrite_existing);
    kytest::Sleeper child((dir / "dvgrab").string());
    TProcess walk(kMyProcess);
    std::vector<std::uint32_t> pids;
    for (int i = 0; i < walk.GetNumProcesses(); ++i, walk.Next())
        pids.push_back(walk.GetProcessID().lowLongOfPSN);
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));  // in process order
    EXPECT_TRUE(std::binary_search(pids.begin(), pids.end(), std::uint32_t(getpid())));
    EXPECT_TRUE(walk.Last());  // past the end: back to the first
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, pids.at(0));
    ASSERT_TRUE(walk.FindProcess(FourCharCode("KeyG")));
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, static_cast<std::uint32_t>(child.pid));
    EXPECT_EQ(walk.GetProcessInfoRec().processSignature, FourCharCode("KeyG"));
    EXPECT_GT(walk.GetProcessInfoRec().processSize, 0u);
    const ProcessSerialNumber target = walk.GetProcessID();
    EXPECT_TRUE(walk.KillApplication(&target));
    const int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

}  // namespace
