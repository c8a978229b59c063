// The launcher entry the desktop portal knows the application by: found where the desktop looks,
// made for the user where none it finds would start a program that exists.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "platform/desktop/desktop_entry.hpp"
#include "platform/desktop/launcher_entry.hpp"
#include "support/backend_environment.hpp"
#include "support/test_runtime.hpp"

namespace {

namespace fs = std::filesystem;
using platform::LauncherEntry;

std::string text(const fs::path& file) {
    std::ifstream stream(file);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    return platform::programExists(program, path ? path : "");
}

// Runs `command` (looked up on PATH) to its end, its output in `log`; its exit code, -1 when it
// did not exit.
int run(const std::vector<std::string>& command, const fs::path& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> arguments;
    for (const auto& argument : command) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    pid_t child = -1;
    int spawned = posix_spawnp(&child, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class LauncherEntryTest : public ::testing::Test {
protected:
    LauncherEntry entry(const fs::path& program) const {
        return LauncherEntry("kestro", home, {system1, system2}, program, "/usr/bin:/bin");
    }
    void place(const fs::path& dataFolder, const std::string& body) const {
        fs::create_directories(dataFolder / "applications");
        std::ofstream(dataFolder / "applications" / "kestro.desktop") << body;
    }

    support::TemporaryFolder folder;
    const fs::path home = folder.path() / "home";
    const fs::path system1 = folder.path() / "usr-local-share";
    const fs::path system2 = folder.path() / "usr-share";
};

TEST_F(LauncherEntryTest, WithoutAnEntryOneIsMadeForTheUserStartingThisProgram) {
    auto made = entry("/bin/true");
    EXPECT_FALSE(made.usable());
    EXPECT_EQ(made.ensure(), LauncherEntry::Outcome::written);
    const auto written = home / "applications" / "kestro.desktop";
    EXPECT_EQ(made.firstFound(), written);
    EXPECT_TRUE(made.usable());
    EXPECT_NE(text(written).find("\nExec=/bin/true\n"), std::string::npos) << text(written);
    EXPECT_NE(text(written).find("Name=Kestro\n"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(written.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(made.ensure(), LauncherEntry::Outcome::found) << "a second start leaves it alone";
}

TEST_F(LauncherEntryTest, AnInstalledEntryWhoseProgramExistsIsLeftAlone) {
    place(system2, "[Desktop Entry]\nType=Application\nName=Kestro\nExec=/bin/true --flag %U\n");
    EXPECT_EQ(entry("/elsewhere/kestro").ensure(), LauncherEntry::Outcome::found);
    EXPECT_FALSE(fs::exists(home / "applications" / "kestro.desktop"));
    // A bare program name is looked up on the path.
    place(system1, "[Desktop Entry]\nExec=true\n");
    EXPECT_TRUE(entry("/elsewhere/kestro").usable());
}

// The first entry found counts: one of a removed build tree in the user's folder hides the
// installed one from the portal. One Kestro wrote is written anew; the user's own stays as it is.
TEST_F(LauncherEntryTest, AnEntryWhoseProgramIsGoneIsWrittenAnewOnlyWhenKestroWroteIt) {
    place(home, "[Desktop Entry]\nExec=/gone/build/kestro\nX-Kestro-Generated=true\n");
    place(system2, "[Desktop Entry]\nExec=/bin/true\n");
    EXPECT_FALSE(entry("/bin/true").usable());
    EXPECT_EQ(entry("/bin/true").ensure(), LauncherEntry::Outcome::written);
    EXPECT_NE(text(home / "applications" / "kestro.desktop").find("Exec=/bin/true"), std::string::npos);
    EXPECT_NE(text(home / "applications" / "kestro.desktop").find("\nX-Kestro-Generated=true\n"), std::string::npos);

    const std::string own = "[Desktop Entry]\nName=My Kestro\nExec=/gone/build/kestro --quiet\n";
    place(home, own);
    EXPECT_EQ(entry("/bin/true").ensure(), LauncherEntry::Outcome::leftAlone);
    EXPECT_EQ(text(home / "applications" / "kestro.desktop"), own);
    EXPECT_EQ(entry("/bin/true").problem(), "its program /gone/build/kestro does not exist or cannot be run");

    place(home, "[Desktop Entry]\nExec=/bin/true\nHidden=true\n");
    EXPECT_FALSE(entry("/bin/true").usable()) << "a hidden entry counts as deleted";
    place(home, "[Desktop Entry]\nExec=/bin/true\nTryExec=/gone/kestro\n");
    EXPECT_FALSE(entry("/bin/true").usable());
    place(home, "[Other Group]\nExec=/bin/true\n");
    EXPECT_FALSE(entry("/bin/true").usable()) << "no main group";
}

// Removed from the menus, or kept in the user's dotfiles: neither is replaced, and the reason is
// there to be told.
TEST_F(LauncherEntryTest, TheUsersHiddenOrLinkedEntryIsLeftAsItIs) {
    const auto user = home / "applications" / "kestro.desktop";
    for (const std::string hidden : {"[Desktop Entry]\nName=Kestro\nExec=/bin/true\nHidden=true\n",
                                     "[Desktop Entry]\nExec=/bin/true\nHidden=true\nX-Kestro-Generated=true\n"}) {
        place(home, hidden);
        EXPECT_EQ(entry("/bin/true").ensure(), LauncherEntry::Outcome::leftAlone) << hidden;
        EXPECT_EQ(text(user), hidden);
        EXPECT_NE(entry("/bin/true").problem().value_or("").find("Hidden=true"), std::string::npos);
    }

    const auto dotfiles = folder.path() / "dotfiles";
    fs::create_directories(dotfiles);
    const std::string linked = "[Desktop Entry]\nName=My Kestro\nExec=/moved/kestro\nX-Kestro-Generated=true\n";
    std::ofstream(dotfiles / "kestro.desktop") << linked;
    fs::remove(user);
    fs::create_symlink(dotfiles / "kestro.desktop", user);
    EXPECT_EQ(entry("/bin/true").ensure(), LauncherEntry::Outcome::leftAlone) << "a link is the user's";
    EXPECT_TRUE(fs::is_symlink(user));
    EXPECT_EQ(text(dotfiles / "kestro.desktop"), linked);
    EXPECT_EQ(entry("/bin/true").problem(), "its program /moved/kestro does not exist or cannot be run");

    fs::remove(dotfiles / "kestro.desktop");
    EXPECT_EQ(entry("/bin/true").ensure(), LauncherEntry::Outcome::leftAlone) << "a link that leads nowhere";
    EXPECT_TRUE(fs::is_symlink(user));
    EXPECT_NE(entry("/bin/true").problem().value_or("").find("is a link to"), std::string::npos);
}

// The desktop's own tools judge what is written: desktop-file-validate accepts it, and gio, which
// reads it as the portal does, starts that very program.
TEST_F(LauncherEntryTest, AProgramPathWithReservedCharactersIsWrittenSoItReadsBackAndStarts) {
    const bool tools = onPath("desktop-file-validate") && onPath("gio");
    const auto user = home / "applications" / "kestro.desktop";
    const auto started = folder.path() / "started";
    for (const std::string name : {"my build $dir", "100%", "50%%off", "tab\there", "quote\"s", "back\\slash",
                                   "it's", "tick`s", "new\nline", "a=b"}) {
        SCOPED_TRACE(name);
        const fs::path program = folder.path() / name / "kestro";
        fs::create_directories(program.parent_path());
        std::ofstream(program) << "#!/bin/sh\nprintf '%s' \"$0\" > '" << started.string() << "'\n";
        fs::permissions(program, fs::perms::owner_all);
        fs::remove(user);
        EXPECT_EQ(entry(program).ensure(), LauncherEntry::Outcome::written);
        EXPECT_EQ(entry(program).ensure(), LauncherEntry::Outcome::found) << "written again at the next start";
        auto read = platform::readDesktopEntryProgram(user);
        ASSERT_TRUE(read);
        EXPECT_EQ(platform::execProgram(read->exec), program.string()) << read->exec;
        if (!tools) continue;

        EXPECT_EQ(run({"desktop-file-validate", user.string()}, folder.path() / "validate.log"), 0)
            << text(folder.path() / "validate.log") << text(user);
        fs::remove(started);
        EXPECT_EQ(run({"gio", "launch", user.string()}, folder.path() / "gio.log"), 0) << text(folder.path() / "gio.log");
        EXPECT_TRUE(support::eventually([&] { return text(started) == program.string(); })) << text(started);
    }
    if (!tools) GTEST_SKIP() << "desktop-file-validate or gio is not installed (scripts/install-deps.sh installs them)";
}

// A path no desktop entry can hold is an error, and nothing is written.
TEST_F(LauncherEntryTest, APathNoEntryCanHoldIsAnErrorAndNothingIsWritten) {
    for (const std::string program : {"/opt/bell\a/kestro", "/opt/latin\xe9/kestro", "/opt/100%/a=b/kestro"}) {
        try {
            entry(program).ensure();
            ADD_FAILURE() << "no error for " << program;
        } catch (const platform::LauncherEntryError& error) {
            EXPECT_NE(std::string(error.what()).find("cannot be named in a launcher entry"), std::string::npos)
                << error.what();
        }
        EXPECT_FALSE(fs::exists(home / "applications" / "kestro.desktop"));
    }
}

TEST_F(LauncherEntryTest, ExecValuesAreReadLikeTheDesktopReadsThem) {
    EXPECT_EQ(platform::execProgram("kestro --launched-at-login"), "kestro");
    EXPECT_EQ(platform::execProgram(R"("/opt/my apps/kestro" %U)"), "/opt/my apps/kestro");
    EXPECT_EQ(platform::execProgram(R"("/opt/a\\\\b/kestro")"), "/opt/a\\b/kestro");
    EXPECT_EQ(platform::execProgram(R"("/opt/unclosed)"), std::nullopt);
    EXPECT_EQ(platform::execProgram("   "), std::nullopt);
    EXPECT_EQ(platform::execProgram("/opt/100%%/kestro %u"), "/opt/100%/kestro");
    EXPECT_EQ(platform::execProgram("/opt/%f/kestro"), std::nullopt) << "a field code is no path";
    EXPECT_EQ(platform::execProgram("env LANG=C QT_SCALE=2 /opt/kestro %U"), "/opt/kestro");
    EXPECT_EQ(platform::execProgram("/usr/bin/env -u LANG kestro"), "/usr/bin/env") << "options: env itself counts";
    EXPECT_EQ(platform::execProgram(R"("/opt/my apps/kestro" --name='x')"), "/opt/my apps/kestro");
    EXPECT_FALSE(platform::programExists("relative/kestro", "/usr/bin:/bin"));
    const auto plain = folder.path() / "plain";
    std::ofstream(plain) << "not a program";
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(platform::programExists(plain.string(), "")) << "not runnable";
}

TEST_F(LauncherEntryTest, AnEntryThatCannotBeWrittenIsAnErrorWithItsReason) {
    fs::create_directories(home);
    std::ofstream(home / "applications") << "a file where the folder should be";
    try {
        entry("/bin/true").ensure();
        FAIL() << "no error";
    } catch (const platform::LauncherEntryError& error) {
        EXPECT_NE(std::string(error.what()).find("applications"), std::string::npos) << error.what();
    }
}

// Nothing read is trusted in size: a huge entry is read only so far.
TEST_F(LauncherEntryTest, OnlyTheStartOfAHugeEntryIsRead) {
    place(home, "[Desktop Entry]\n" + std::string(200 * 1024, '#') + "\nExec=/bin/true\n");
    EXPECT_FALSE(entry("/bin/true").usable());
}

}  // namespace
