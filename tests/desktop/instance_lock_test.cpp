#include "platform/desktop/instance_lock.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "support/backend_environment.hpp"

namespace {

using platform::InstanceLock;
using Outcome = InstanceLock::Outcome;
namespace fs = std::filesystem;

// Whether another process could take the lock now (a child process: flock() locks belong to the
// open file, so this also holds between processes).
Outcome outcomeInAnotherProcess(const fs::path& path) {
    pid_t child = ::fork();
    if (child == 0) {
        std::optional<InstanceLock> lock;
        _exit(static_cast<int>(InstanceLock::acquire(path, lock)));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return static_cast<Outcome>(WEXITSTATUS(status));
}

TEST(InstanceLock, OneHolderAtATimeUntilItIsGoneAndAnUnusableFolderIsSaid) {
    support::TemporaryFolder folder;
    const auto path = folder.path() / "kestro.lock";
    std::optional<InstanceLock> first;
    ASSERT_EQ(InstanceLock::acquire(path, first), Outcome::acquired);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(outcomeInAnotherProcess(path), Outcome::heldElsewhere);
    std::optional<InstanceLock> second;
    EXPECT_EQ(InstanceLock::acquire(path, second), Outcome::heldElsewhere) << "also within one process";
    EXPECT_FALSE(second.has_value());

    // Moving the lock keeps it held; dropping it lets the next start in.
    std::optional<InstanceLock> moved(std::move(*first));
    first.reset();
    EXPECT_EQ(outcomeInAnotherProcess(path), Outcome::heldElsewhere);
    moved.reset();
    EXPECT_EQ(outcomeInAnotherProcess(path), Outcome::acquired);
    EXPECT_EQ(InstanceLock::acquire(path, second), Outcome::acquired);

    std::string why;
    std::optional<InstanceLock> nowhere;
    EXPECT_EQ(InstanceLock::acquire(folder.path() / "missing" / "kestro.lock", nowhere, &why), Outcome::unavailable);
    EXPECT_NE(why.find("missing/kestro.lock"), std::string::npos) << why;
    // A symbolic link planted where the lock goes is not followed.
    fs::create_symlink(folder.path() / "elsewhere", folder.path() / "planted.lock");
    EXPECT_EQ(InstanceLock::acquire(folder.path() / "planted.lock", nowhere), Outcome::unavailable);
    EXPECT_FALSE(fs::exists(folder.path() / "elsewhere"));
}

TEST(InstanceLock, TheLockLivesInTheRuntimeFolderElseInTheConfigurationFolder) {
    support::TemporaryFolder folder;
    const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
    const char* savedConfig = std::getenv("XDG_CONFIG_HOME");
    std::string runtime = savedRuntime ? savedRuntime : "", config = savedConfig ? savedConfig : "";
    ::setenv("XDG_RUNTIME_DIR", (folder.path() / "run").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (folder.path() / "config").c_str(), 1);
    EXPECT_EQ(InstanceLock::defaultPath("kestro"), folder.path() / "run" / "kestro.lock");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(InstanceLock::defaultPath("kestro"), folder.path() / "config" / "kestro" / "kestro.lock");
    EXPECT_TRUE(fs::is_directory(folder.path() / "config" / "kestro"));
    if (savedRuntime) ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    if (savedConfig) {
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace
