// The launcher entry the desktop portal knows the application by: found where the desktop looks,
// made for the user where none it finds would start a program that exists.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/desktop/desktop_entry.hpp"
#include "platform/desktop/launcher_entry.hpp"
#include "support/backend_environment.hpp"

namespace {

namespace fs = std::filesystem;
using platform::LauncherEntry;

std::string text(const fs::path& file) {
    std::ifstream stream(file);
    return std::string(std::istreambuf_iterator<char>(stream), {});
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
// installed one from the portal, so it is written anew.
TEST_F(LauncherEntryTest, AnEntryWhoseProgramIsGoneIsReplacedByTheUsersOwn) {
    place(home, "[Desktop Entry]\nExec=/gone/build/kestro\n");
    place(system2, "[Desktop Entry]\nExec=/bin/true\n");
    EXPECT_FALSE(entry("/bin/true").usable());
    EXPECT_EQ(entry("/bin/true").ensure(), LauncherEntry::Outcome::written);
    EXPECT_NE(text(home / "applications" / "kestro.desktop").find("Exec=/bin/true"), std::string::npos);

    place(home, "[Desktop Entry]\nExec=/bin/true\nHidden=true\n");
    EXPECT_FALSE(entry("/bin/true").usable()) << "a hidden entry counts as deleted";
    place(home, "[Desktop Entry]\nExec=/bin/true\nTryExec=/gone/kestro\n");
    EXPECT_FALSE(entry("/bin/true").usable());
    place(home, "[Other Group]\nExec=/bin/true\n");
    EXPECT_FALSE(entry("/bin/true").usable()) << "no main group";
}

TEST_F(LauncherEntryTest, AProgramPathWithReservedCharactersIsWrittenSoItReadsBack) {
    const fs::path program = folder.path() / "my build $dir" / "kestro";
    fs::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\n";
    fs::permissions(program, fs::perms::owner_all);
    EXPECT_EQ(entry(program).ensure(), LauncherEntry::Outcome::written);
    EXPECT_TRUE(entry(program).usable());
    auto read = platform::readDesktopEntryProgram(home / "applications" / "kestro.desktop");
    ASSERT_TRUE(read);
    EXPECT_EQ(platform::execProgram(read->exec), program.string());
}

TEST_F(LauncherEntryTest, ExecValuesAreReadLikeTheDesktopReadsThem) {
    EXPECT_EQ(platform::execProgram("kestro --launched-at-login"), "kestro");
    EXPECT_EQ(platform::execProgram(R"("/opt/my apps/kestro" %U)"), "/opt/my apps/kestro");
    EXPECT_EQ(platform::execProgram(R"("/opt/a\\\\b/kestro")"), "/opt/a\\b/kestro");
    EXPECT_EQ(platform::execProgram(R"("/opt/unclosed)"), std::nullopt);
    EXPECT_EQ(platform::execProgram("   "), std::nullopt);
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
