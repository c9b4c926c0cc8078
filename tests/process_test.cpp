// The process walk over the real /proc, and over a view of it that holds
// only the test's own child: the one that is found and asked to quit.
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
// smoke row. A video application that runs on the machine is never found.
TEST(Processes, WalkFindDescribeAndPolitelyKillAVideoApplication) {
    const kytest::TempDir dir("real");
    const kytest::ProcessView view;
    fs::copy_file("/bin/sleep", dir / "dvgrab", fs::copy_options::overwrite_existing);
    kytest::Sleeper child((dir / "dvgrab").string(), "", {view.Env()});
    TProcess walk(kMyProcess);
    std::vector<std::uint32_t> pids;
    for (int i = 0; i < walk.GetNumProcesses(); ++i, walk.Next())
        pids.push_back(walk.GetProcessID().lowLongOfPSN);
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));  // in process order
    EXPECT_TRUE(std::binary_search(pids.begin(), pids.end(), std::uint32_t(getpid())));
    EXPECT_TRUE(walk.Last());  // past the end: back to the first
    EXPECT_EQ(walk.GetProcessID().lowLongOfPSN, pids.at(0));
    TProcess own(kMyProcess, view.Path());
    ASSERT_TRUE(own.FindProcess(FourCharCode("KeyG")));
    const ProcessSerialNumber target = own.GetProcessID();
    ASSERT_EQ(target.lowLongOfPSN, static_cast<std::uint32_t>(child.pid));
    EXPECT_EQ(own.GetProcessInfoRec().processSignature, FourCharCode("KeyG"));
    EXPECT_GT(own.GetProcessInfoRec().processSize, 0u);
    EXPECT_TRUE(own.KillApplication(&target));
    const int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

}  // namespace
