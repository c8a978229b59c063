#include "platform/desktop/login_item.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/desktop/system_logger.hpp"
#include "support/backend_environment.hpp"

namespace {

namespace fs = std::filesystem;
using platform::LoginItem;
using platform::LoginItemError;
using platform::LoginItemStatus;
using platform::XdgAutostartService;

class FakeLoginItemService : public platform::LoginItemService {
public:
    LoginItemStatus currentStatus = LoginItemStatus::notRegistered;
    bool failRegister = false;
    std::vector<std::string> calls;

    LoginItemStatus status() const override { return currentStatus; }
    void registerItem() override {
        calls.push_back("register");
        if (failRegister) throw LoginItemError("registration refused");
        currentStatus = LoginItemStatus::enabled;
    }
    void unregisterItem() override {
        calls.push_back("unregister");
        if (currentStatus != LoginItemStatus::enabled) throw LoginItemError("not registered");
        currentStatus = LoginItemStatus::notRegistered;
    }
};

struct CapturedLogs {
    std::vector<platform::LogRecord> records;
    platform::ScopedLogSink sink{[this](const platform::LogRecord& record) { records.push_back(record); }};
};

TEST(LoginItem, EnablingUnregistersAnEnabledItemFirst) {
    for (auto [status, calls] :
         {std::pair{LoginItemStatus::enabled, std::vector<std::string>{"unregister", "register"}},
          std::pair{LoginItemStatus::requiresApproval, std::vector<std::string>{"register"}}}) {
        auto service = std::make_shared<FakeLoginItemService>();
        service->currentStatus = status;
        LoginItem item(service);
        EXPECT_EQ(item.isEnabled(), status == LoginItemStatus::enabled);
        CapturedLogs logs;
        item.setEnabled(true);
        EXPECT_EQ(service->calls, calls);
        EXPECT_TRUE(item.isEnabled());
        EXPECT_TRUE(logs.records.empty());
    }
}

TEST(LoginItem, FailuresAreLoggedNotThrownAndObserversAreToldBeforeEachChange) {
    auto service = std::make_shared<FakeLoginItemService>();
    LoginItem item(service);
    CapturedLogs logs;
    std::vector<std::size_t> callsSeenByObserver;
    auto subscription =
        item.observable().onWillChange([&] { callsSeenByObserver.push_back(service->calls.size()); });

    EXPECT_NO_THROW(item.observable().setEnabled(false));
    subscription.reset();
    service->failRegister = true;
    EXPECT_NO_THROW(item.observable().setEnabled(true));

    EXPECT_EQ(callsSeenByObserver, (std::vector<std::size_t>{0})) << "before the failing change, not after";
    ASSERT_EQ(logs.records.size(), 2u);
    EXPECT_EQ(logs.records[0].message, "Failed to disable launch at login: not registered");
    EXPECT_EQ(logs.records[1].message, "Failed to enable launch at login: registration refused");
    for (const auto& record : logs.records) {
        EXPECT_EQ(record.level, platform::LogLevel::error);
        EXPECT_EQ(record.category, "main");
        EXPECT_TRUE(record.subsystem.ends_with(".LoginItem")) << record.subsystem;
    }
    EXPECT_FALSE(item.isEnabled());
}

TEST(LoginItem, LaunchedAtLoginOnlyWithTheAutostartArgument) {
    EXPECT_TRUE(LoginItem::wasLaunchedAtLogin({"/usr/bin/kestro", "--launched-at-login"}));
    EXPECT_FALSE(LoginItem::wasLaunchedAtLogin({"/usr/bin/kestro"}));
    EXPECT_FALSE(LoginItem::wasLaunchedAtLogin({"--launched-at-login"}));
    EXPECT_FALSE(LoginItem::wasLaunchedAtLogin({}));
}

class XdgAutostart : public ::testing::Test {
protected:
    static std::string read(const fs::path& path) {
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }
    static void write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }

    support::TemporaryFolder folder;
    fs::path root = folder.path();
};

TEST_F(XdgAutostart, RegisteringWritesAnEntryWithTheLoginArgumentAndUnregisteringRemovesIt) {
    auto entry = root / "config" / "autostart" / "kestro.desktop";
    XdgAutostartService service(entry, "/opt/kestro/bin/kestro");
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);

    service.registerItem();
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);
    auto text = read(entry);
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\n")) << text;
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExec=/opt/kestro/bin/kestro --launched-at-login\n"), std::string::npos) << text;
    // Written through a temporary file that does not stay behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(entry.parent_path()), fs::directory_iterator()), 1);
    // A desktop entry, not a secret: readable like any other.
    EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);

    service.unregisterItem();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_THROW(service.unregisterItem(), LoginItemError);
}

TEST_F(XdgAutostart, ProgramPathsWithReservedCharactersAreQuoted) {
    XdgAutostartService service(root / "kestro.desktop", "/home/a user/100%/k$\"x");
    EXPECT_NE(service.entryText().find("\nExec=\"/home/a user/100%%/k\\\\$\\\\\"x\" --launched-at-login\n"),
              std::string::npos)
        << service.entryText();
}

TEST_F(XdgAutostart, AHiddenEntryIsNotEnabledAndRegisteringReplacesIt) {
    auto entry = root / "kestro.desktop";
    write(entry, "[Desktop Entry]\nType=Application\nExec=kestro\nHidden = True\n");
    XdgAutostartService service(entry, "/usr/bin/kestro");
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);
    EXPECT_THROW(service.unregisterItem(), LoginItemError);
    EXPECT_TRUE(fs::exists(entry));

    service.registerItem();
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);
    EXPECT_EQ(read(entry).find("Hidden"), std::string::npos);

    // Hidden in another group does not count.
    write(entry, "[Desktop Entry]\nExec=kestro\n[Desktop Action quit]\nHidden=true\n");
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);
}

TEST_F(XdgAutostart, AnUnwritableFolderFailsTheRegistrationWhichTheLoginItemLogs) {
    // A regular file where the autostart folder should be: fails even for root.
    write(root / "blocked", "");
    auto service =
        std::make_shared<XdgAutostartService>(root / "blocked" / "autostart" / "kestro.desktop", "kestro");
    EXPECT_THROW(service->registerItem(), LoginItemError);

    LoginItem item(service);
    CapturedLogs logs;
    item.setEnabled(true);
    ASSERT_EQ(logs.records.size(), 1u);
    EXPECT_TRUE(logs.records[0].message.starts_with("Failed to enable launch at login: "))
        << logs.records[0].message;
    EXPECT_FALSE(item.isEnabled());
}

TEST_F(XdgAutostart, TheDefaultEntryFollowsXdgConfigHome) {
    const char* previous = std::getenv("XDG_CONFIG_HOME");
    std::string saved = previous ? previous : "";
    ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    EXPECT_EQ(XdgAutostartService::defaultEntryPath(), root / "autostart" / "kestro.desktop");
    if (previous) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace
