// The process walk over the real /proc, and over a view of it that holds
// only the test's own child: the one that is found and asked to quit; the
// process table over a made-up /proc.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "support/Files.h"
#include "support/Process.h"
#include "support/ProcessTable.h"
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

// A made-up /proc: which entries are processes, and by what name each is
// known (its executable's, even replaced while it runs, else the kernel's).
TEST(ProcessTable, ProcessesOfAnyNumberKnownByTheirExecutable) {
    const kytest::TempDir proc("proc");
    // An entry, its exe link's target and its comm, and its name; nullptr: no process.
    const std::vector<std::tuple<const char*, const char*, const char*, const char*>> entries = {
        {"123", "/usr/bin/vlc (deleted)", "vlc", "vlc"},
        {"77", "", "ffmpeg", "ffmpeg"},  // its executable may not be looked at
        {"4194304", "/usr/bin/kdenlive", "kdenlive", "kdenlive"},
        {"4294967295", "/usr/bin/dvgrab", "dvgrab", "dvgrab"},
        {"4294967296", "/usr/bin/vlc", "vlc", nullptr},
        {"0123", "/usr/bin/vlc", "vlc", nullptr},
        {"self", "/usr/bin/vlc", "vlc", nullptr},
    };
    std::vector<std::pair<std::uint32_t, std::string>> expected, found;
    for (const auto& [entry, exe, comm, name] : entries) {
        kytest::WriteFile(proc / entry / "comm", std::string(comm) + "\n");
        if (*exe) fs::create_symlink(exe, proc / entry / "exe");
        if (name) expected.emplace_back(std::stoul(entry), name);
    }
    std::sort(expected.begin(), expected.end());
    const ky::ProcessTable table(proc.String());
    for (const std::uint32_t pid : table.Pids()) found.emplace_back(pid, table.NameOf(pid));
    EXPECT_EQ(found, expected);
}

}  // namespace
