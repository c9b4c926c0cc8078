// The process walk over the real /proc, and over a view of it that holds
// only the test's own child: the one that is found and asked to quit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "support/DeviceInUse.h"
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

// A process that holds another node of the Ky's device (same number, not
// the same file) holds the Ky; the look at another Ky reads every process
// again, though the last look found none of them holding the Ky then.
TEST(Processes, AnyNodeOfTheKysDeviceHoldsItAndAnotherKyIsLookedAtAfresh) {
    const kytest::TempDir proc("inuse");
    struct stat null {};
    ASSERT_EQ(stat("/dev/null", &null), 0);
    if (mknod((proc / "twin").c_str(), S_IFCHR | 0600, null.st_rdev) != 0)
        GTEST_SKIP() << "cannot make a second node of /dev/null (only root may): "
                     << std::strerror(errno);
    kytest::WriteFile(proc / "77" / "comm", "dvcapture\n");
    fs::create_directories(proc / "77" / "fd");
    fs::create_symlink(proc / "twin", proc / "77" / "fd" / "3");
    ky::InUseWatch watch(proc.Path());
    EXPECT_FALSE(watch.Check("/dev/zero"));
    EXPECT_EQ(ky::InUseText(watch.Check("/dev/null").value_or(ky::InUse{})),
              "the Ky is in use by dvcapture (process 77); quit it first");
}

}  // namespace
