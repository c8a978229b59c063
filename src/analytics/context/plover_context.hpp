#pragma once
// The standard properties that describe the application, the device and its surroundings: the
// static ones (computed once), the dynamic ones (for every event), the library's own name and
// version, and the default person properties of flag requests. Everything comes from the Linux
// host: /etc/os-release, uname, the host name, the locale and time zone of the environment, and a
// screen size the host reports.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/network/reachability.hpp"
#include "analytics/util/read_write_lock.hpp"
#include "analytics/util/value.hpp"

namespace plover {

// What the application says about itself (on other systems its bundle's metadata).
struct ApplicationInfo {
    std::optional<std::string> name;
    std::optional<std::string> displayName;
    std::optional<std::string> version;
    std::optional<std::string> build;
    std::optional<std::string> identifier;

    // The running program's name as identifier, nothing else.
    static ApplicationInfo current();
};

struct ScreenSize {
    double width = 0;
    double height = 0;
};

class PloverContext {
public:
    explicit PloverContext(std::shared_ptr<Reachability> reachability,
                           ApplicationInfo application = ApplicationInfo::current(),
                           std::string osReleaseFile = "/etc/os-release");

    const Properties& theStaticContext();
    const Properties& theSdkInfo();
    Properties dynamicContext();
    Properties defaultPersonProperties();

    // The size of the screen that shows the application's active window; nothing while none does.
    void setScreenSize(std::optional<ScreenSize> size) { screenSize_.set(size); }

private:
    ReadWriteLock<std::optional<ScreenSize>> screenSize_;
    std::shared_ptr<Reachability> reachability_;
    ApplicationInfo application_;
    std::string osReleaseFile_;
    std::once_flag staticOnce_;
    Properties staticContext_;
    std::once_flag sdkOnce_;
    Properties sdkInfo_;
};

// The language code of the environment's locale (LC_ALL, LC_MESSAGES, then LANG), e.g. "en";
// nothing for the C and POSIX locales.
std::optional<std::string> environmentLanguageCode();
// The time zone's identifier, e.g. "Europe/Berlin": $TZ, /etc/timezone, the target of
// /etc/localtime, else "UTC".
std::string currentTimeZoneIdentifier();

}  // namespace plover
