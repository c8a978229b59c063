#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>

#include "analytics/context/plover_context.hpp"
#include "analytics_fixtures.hpp"
#include "fake_flag_source.hpp"

namespace {

using plover::PloverContext;
using plover::Properties;
using plover::Value;

// Sets (or, with nothing, unsets) an environment variable for the guard's lifetime.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnvironment() {
        if (previous_) {
            ::setenv(name_, previous_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

std::optional<Value> entry(const Properties& properties, const std::string& key) {
    auto found = properties.find(key);
    if (found == properties.end()) return std::nullopt;
    return found->second;
}

TEST(PloverContext, StaticPropertiesDescribeThisMachine) {
    PloverContext context(nullptr);
    auto& fixed = context.theStaticContext();
    ASSERT_TRUE(entry(fixed, "$os_name"));
    EXPECT_TRUE(entry(fixed, "$os_name")->string());
    EXPECT_FALSE(entry(fixed, "$os_name")->string()->empty());
    ASSERT_TRUE(entry(fixed, "$os_version"));
    EXPECT_EQ(entry(fixed, "$device_type"), Value("Desktop"));
    EXPECT_EQ(entry(fixed, "$is_emulator"), Value(false));
    EXPECT_EQ(entry(fixed, "$is_ios_running_on_mac"), Value(false));
    EXPECT_EQ(entry(fixed, "$is_mac_catalyst_app"), Value(false));
    struct utsname system {};
    ASSERT_EQ(::uname(&system), 0);
    EXPECT_EQ(entry(fixed, "$device_model"), Value(std::string(system.machine)));
    EXPECT_EQ(entry(fixed, "$app_namespace"), Value(std::string(program_invocation_short_name)));
    EXPECT_FALSE(entry(fixed, "$app_name"));
    EXPECT_EQ(&context.theStaticContext(), &fixed);

    auto& sdk = context.theSdkInfo();
    EXPECT_EQ(sdk, (Properties{{"$lib", "plover-ios"}, {"$lib_version", "3.30.0"}}));
}

TEST(PloverContext, ApplicationAndOsReleaseFactsAsGiven) {
    support::TemporaryFolder folder;
    auto release = folder.path() / "os-release";
    std::ofstream(release) << "# comment\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n";
    struct Case {
        plover::ApplicationInfo info;
        std::optional<std::string> appName;
    };
    const Case cases[] = {
        {{"Kestro", "Kestro Display", "1.2", "34", "org.example.kestro"}, "Kestro"},
        {{std::nullopt, "Kestro Display", "1.2", std::nullopt, std::nullopt}, "Kestro Display"},
        {{}, std::nullopt},
    };
    for (auto& c : cases) {
        PloverContext context(nullptr, c.info, release.string());
        auto& fixed = context.theStaticContext();
        EXPECT_EQ(entry(fixed, "$app_name"), c.appName ? std::optional<Value>(Value(*c.appName)) : std::nullopt);
        EXPECT_EQ(entry(fixed, "$os_name"), Value("Debian GNU/Linux"));
        EXPECT_EQ(entry(fixed, "$os_version"), Value("12"));
        auto person = context.defaultPersonProperties();
        for (auto& [key, value] : person) {
            EXPECT_TRUE(key == "$app_version" || key == "$app_build" || key == "$os_name" || key == "$os_version" ||
                        key == "$device_type" || key == "$device_manufacturer" || key == "$device_model" ||
                        key == "$locale")
                << key;
        }
        EXPECT_EQ(entry(person, "$app_version"), entry(fixed, "$app_version"));
        EXPECT_EQ(entry(person, "$device_type"), Value("Desktop"));
    }
    PloverContext without(nullptr, {}, (folder.path() / "missing").string());
    struct utsname system {};
    ::uname(&system);
    EXPECT_EQ(entry(without.theStaticContext(), "$os_name"), Value(std::string(system.sysname)));
    EXPECT_EQ(entry(without.theStaticContext(), "$os_version"), Value(std::string(system.release)));
}

TEST(PloverContext, DynamicPropertiesFollowScreenNetworkLocaleAndTimeZone) {
    ScopedEnvironment noAll("LC_ALL", nullptr);
    ScopedEnvironment noMessages("LC_MESSAGES", nullptr);
    ScopedEnvironment lang("LANG", "C.UTF-8");
    ScopedEnvironment tz("TZ", "Pacific/Chatham");

    PloverContext plain(nullptr);
    auto dynamic = plain.dynamicContext();
    EXPECT_EQ(dynamic, (Properties{{"$timezone", "Pacific/Chatham"}}));

    plain.setScreenSize(plover::ScreenSize{1512, 982});
    dynamic = plain.dynamicContext();
    EXPECT_EQ(entry(dynamic, "$screen_width"), Value(1512.0f));
    EXPECT_EQ(entry(dynamic, "$screen_height"), Value(982.0f));
    plain.setScreenSize(std::nullopt);
    EXPECT_FALSE(entry(plain.dynamicContext(), "$screen_width"));

    auto starts = std::make_shared<std::atomic<int>>(0);
    auto source = std::make_unique<analytics_test::FakeFlagSource>(starts);
    auto* flags = source.get();
    auto reachability = plover::Reachability::create(std::move(source), std::nullopt);
    PloverContext networked(reachability);
    reachability->beginNotifier();
    flags->set(0x2);
    EXPECT_EQ(entry(networked.dynamicContext(), "$network_wifi"), Value(true));
    EXPECT_EQ(entry(networked.dynamicContext(), "$network_cellular"), Value(false));
    flags->set(0x6);
    EXPECT_EQ(entry(networked.dynamicContext(), "$network_wifi"), Value(false));

    const std::pair<const char*, std::optional<std::string>> locales[] = {
        {"C.UTF-8", std::nullopt}, {"POSIX", std::nullopt}, {"de_DE.UTF-8", "de"}, {"en", "en"}, {"sr_RS@latin", "sr"},
    };
    for (auto& [value, language] : locales) {
        ScopedEnvironment locale("LANG", value);
        EXPECT_EQ(plover::environmentLanguageCode(), language) << value;
        EXPECT_EQ(entry(plain.dynamicContext(), "$locale"), language ? std::optional<Value>(Value(*language)) : std::nullopt);
    }
    {
        ScopedEnvironment all("LC_ALL", "fr_FR.UTF-8");
        EXPECT_EQ(plover::environmentLanguageCode(), "fr");
    }
    const std::pair<const char*, const char*> zones[] = {
        {":Europe/Berlin", "Europe/Berlin"}, {"/usr/share/zoneinfo/America/New_York", "America/New_York"},
    };
    for (auto& [value, zone] : zones) {
        ScopedEnvironment zoneVariable("TZ", value);
        EXPECT_EQ(plover::currentTimeZoneIdentifier(), zone);
    }
    ScopedEnvironment noZone("TZ", nullptr);
    EXPECT_FALSE(plover::currentTimeZoneIdentifier().empty());
}

}  // namespace
