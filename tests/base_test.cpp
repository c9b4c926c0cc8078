// Pauses and assertions that every layer relies on.
#include <gtest/gtest.h>
#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/KyAssert.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "base/Translate.h"
#include "support/Files.h"
#include "support/Why.h"

namespace {

std::uint64_t NowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000u + std::uint64_t(ts.tv_nsec) / 1000u;
}

TEST(PreciseSleep, NeverShorterThanAsked) {
    for (std::uint64_t micros : {0u, 1u, 59u, 60u, 61u, 1000u, 2500u}) {
        for (int i = 0; i < 10; ++i) {
            const std::uint64_t start = NowMicros();
            ky::PreciseSleep(micros);
            EXPECT_GE(NowMicros() - start, micros);
        }
    }
}

TEST(KyAssertDeathTest, WritesFileLineAndExpressionThenAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int value = 3;
    EXPECT_DEATH(KY_ASSERT(value == 4), "^base_test.cpp:[0-9]+: failed assertion `value == 4'\n");
    KY_ASSERT(value == 3);  // a true check does nothing
}

// Sets or (with nothing) unsets a variable while it lives.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : mName(name) {
        if (const char* old = std::getenv(name)) mOld = old;
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    ~ScopedEnv() { mOld ? setenv(mName, mOld->c_str(), 1) : unsetenv(mName); }

private:
    const char* mName;
    std::optional<std::string> mOld;
};

// A translation puts the values where its language wants them, once.
TEST(Fill, PutsEachValueWhereThePatternNamesIt) {
    EXPECT_EQ(ky::Fill("{2} von {1}{1}; {3} {x} {0} {1", {"a", "{2}"}),
              "{2} von aa; {3} {x} {0} {1");
}

// Values line up on a terminal whatever the labels' language: Japanese
// letters take two columns, a combining mark none, a stray byte one.
TEST(LabelledLines, ValuesShareOneColumnMeasuredAsATerminalShowsIt) {
    // A label, and the spaces after it.
    const std::pair<std::string, std::size_t> rows[] = {
        {"a:", 12}, {"シリアル番号:", 1}, {"Gro\u0308\u00DFe:", 8}, {"\xFF:", 12}};
    ky::LabelledLines lines(8);
    std::string expected;
    for (const auto& [label, spaces] : rows)
        lines.Add(label, "v"), expected += "  " + label + std::string(spaces, ' ') + "v\n";
    EXPECT_EQ(lines.Text(), expected);
}

TEST(StateDirectory, XdgWhenAbsoluteElseHomeElseThePasswordDatabaseNeverShared) {
    const std::string own = getpwuid(geteuid())->pw_dir;
    const struct {
        std::optional<std::string> xdg, home;
        std::string expected;
    } cases[] = {
        {"/x/state", "/h", "/x/state/kyfirmwareupdate"},
        {"relative/state", "/h", "/h/.local/state/kyfirmwareupdate"},
        {std::nullopt, "relative", own + "/.local/state/kyfirmwareupdate"},
        {std::nullopt, std::nullopt, own + "/.local/state/kyfirmwareupdate"},
    };
    for (const auto& c : cases) {
        ScopedEnv xdg("XDG_STATE_HOME", c.xdg), home("HOME", c.home);
        const auto dir = ky::StateDirectory();
        EXPECT_EQ(dir ? dir->string() : "none", c.expected);
    }
}

namespace fs = std::filesystem;

std::vector<std::string> gCalls;

// A file's name, with the temporary file beside "f" called "temp".
std::string Named(const fs::path& path) {
    const std::string name = path.filename();
    return name.starts_with("f.") ? "temp" : name;
}

TEST(PrivateFiles, DirectoriesArePrivateAndFilesWrittenWholeOrNotAtAll) {
    kytest::TempDir dir{"paths"};
    const fs::path inner = dir / "a" / "b", file = inner / "f";
    ASSERT_EQ(kytest::Why(ky::EnsurePrivateDirectory(inner)), "");
    EXPECT_EQ(std::pair(fs::status(dir / "a").permissions(), fs::status(inner).permissions()),
              std::pair(fs::perms::owner_all, fs::perms::owner_all));
    for (mode_t mode : {0720, 0702}) {
        ::chmod(inner.c_str(), mode);
        EXPECT_EQ(kytest::Why(ky::EnsurePrivateDirectory(inner)),
                  "refusing to use " + inner.string() +
                      ": others may write to it (make it private with chmod 700)");
    }
    ::chmod(inner.c_str(), 0700);
    // The data is on the disk before the rename makes it the file.
    ky::gDurableWriteCalls.fsync = [](int fd) {
        gCalls.push_back("fsync " + Named(fs::read_symlink("/proc/self/fd/" + std::to_string(fd))));
        return ::fsync(fd);
    };
    ky::gDurableWriteCalls.rename = [](const char* from, const char* to) {
        gCalls.push_back("rename " + Named(from) + " " + Named(to));
        return ::rename(from, to);
    };
    ASSERT_EQ(kytest::Why(ky::WriteFileAtomically(file, "old")), "");
    EXPECT_EQ(gCalls, (std::vector<std::string>{"fsync temp", "rename temp f", "fsync b"}));
    // A save that fails (at the rename, or at the close, which may be the
    // first to tell of a lost write) leaves the old file, and nothing beside it.
    for (bool atClose : {true, false}) {
        ky::gDurableWriteCalls = {};
        if (atClose)
            ky::gDurableWriteCalls.close = [](int fd) { return ::close(fd), errno = EIO, -1; };
        else
            ky::gDurableWriteCalls.rename = [](const char*, const char*) {
                return errno = EIO, -1;
            };
        // (Braces: the save is tried before what it left is read.)
        EXPECT_EQ(
            (std::tuple{kytest::Why(ky::WriteFileAtomically(file, "new")), kytest::ReadFile(file),
                        std::distance(fs::directory_iterator(inner), {})}),
            std::tuple("cannot write " + file.string() + ": Input/output error", "old", 1));
    }
    ky::gDurableWriteCalls = {};
    // Nor is another user's directory ours, whatever its mode.
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a directory to another user";
    ASSERT_EQ(::chown(inner.c_str(), getpwnam("nobody")->pw_uid, 0), 0);
    EXPECT_EQ(kytest::Why(ky::EnsurePrivateDirectory(inner)),
              "refusing to use " + inner.string() + ": it belongs to another user");
}

}  // namespace
