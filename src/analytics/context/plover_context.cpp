#include "analytics/context/plover_context.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "analytics/storage/plover_storage_manager.hpp"

namespace plover {

namespace fs = std::filesystem;

namespace {

// KEY=value lines of os-release, quotes removed.
std::map<std::string, std::string> readOsRelease(const std::string& file) {
    std::map<std::string, std::string> values;
    std::ifstream in(file);
    std::string line;
    for (int lines = 0; lines < 200 && std::getline(in, line); ++lines) {
        auto equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        values[line.substr(0, equals)] = value;
    }
    return values;
}

std::optional<std::string> firstLineOf(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.empty()) return std::nullopt;
    return line.substr(0, 256);
}

std::optional<std::string> zoneBelowZoneinfo(const std::string& path) {
    static const std::string marker = "zoneinfo/";
    auto at = path.find(marker);
    if (at == std::string::npos || at + marker.size() >= path.size()) return std::nullopt;
    return path.substr(at + marker.size());
}

}  // namespace

ApplicationInfo ApplicationInfo::current() {
    ApplicationInfo info;
    info.identifier = std::string(program_invocation_short_name);
    return info;
}

std::optional<std::string> environmentLanguageCode() {
    const char* locale = nullptr;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            locale = value;
            break;
        }
    }
    if (!locale) return std::nullopt;
    std::string text(locale);
    std::string language = text.substr(0, text.find_first_of("_.@"));
    if (language.empty() || language == "C" || language == "POSIX") return std::nullopt;
    for (char c : language) {
        if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z')) return std::nullopt;
    }
    return language;
}

std::string currentTimeZoneIdentifier() {
    if (const char* tz = std::getenv("TZ"); tz && *tz) {
        std::string zone(tz);
        if (zone.front() == ':') zone.erase(0, 1);
        if (!zone.empty() && zone.front() == '/') {
            if (auto below = zoneBelowZoneinfo(zone)) return *below;
        } else if (!zone.empty()) {
            return zone;
        }
    }
    if (auto zone = firstLineOf("/etc/timezone")) return *zone;
    std::error_code error;
    auto target = fs::read_symlink("/etc/localtime", error);
    if (!error) {
        if (auto below = zoneBelowZoneinfo(target.string())) return *below;
    }
    return "UTC";
}

PloverContext::PloverContext(std::shared_ptr<Reachability> reachability, ApplicationInfo application,
                             std::string osReleaseFile)
    : reachability_(std::move(reachability)),
      application_(std::move(application)),
      osReleaseFile_(std::move(osReleaseFile)) {}

const Properties& PloverContext::theStaticContext() {
    std::call_once(staticOnce_, [this] {
        Properties& p = staticContext_;
        if (application_.name) {
            p["$app_name"] = *application_.name;
        } else if (application_.displayName) {
            p["$app_name"] = *application_.displayName;
        }
        if (application_.version) p["$app_version"] = *application_.version;
        if (application_.build) p["$app_build"] = *application_.build;
        if (application_.identifier) p["$app_namespace"] = *application_.identifier;

        struct utsname system {};
        bool haveUname = ::uname(&system) == 0;
        if (auto vendor = firstLineOf("/sys/class/dmi/id/sys_vendor")) p["$device_manufacturer"] = *vendor;
        if (haveUname) p["$device_model"] = std::string(system.machine);
        p["$device_type"] = "Desktop";
        p["$is_emulator"] = false;
        p["$is_ios_running_on_mac"] = false;
        p["$is_mac_catalyst_app"] = false;
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0 && host[0]) p["$device_name"] = std::string(host);

        auto release = readOsRelease(osReleaseFile_);
        if (auto name = release.find("NAME"); name != release.end() && !name->second.empty()) {
            p["$os_name"] = name->second;
        } else {
            p["$os_name"] = haveUname ? std::string(system.sysname) : std::string("Linux");
        }
        if (auto version = release.find("VERSION_ID"); version != release.end() && !version->second.empty()) {
            p["$os_version"] = version->second;
        } else if (haveUname) {
            p["$os_version"] = std::string(system.release);
        }
    });
    return staticContext_;
}

const Properties& PloverContext::theSdkInfo() {
    std::call_once(sdkOnce_, [this] {
        sdkInfo_["$lib"] = ploverSdkName();
        sdkInfo_["$lib_version"] = ploverVersion();
    });
    return sdkInfo_;
}

Properties PloverContext::dynamicContext() {
    Properties p;
    if (auto size = screenSize_.get()) {
        p["$screen_width"] = static_cast<float>(size->width);
        p["$screen_height"] = static_cast<float>(size->height);
    }
    if (auto language = environmentLanguageCode()) p["$locale"] = *language;
    p["$timezone"] = currentTimeZoneIdentifier();
    if (reachability_) {
        p["$network_wifi"] = reachability_->connection() == Reachability::Connection::wifi;
        p["$network_cellular"] = false;
    }
    return p;
}

Properties PloverContext::defaultPersonProperties() {
    Properties p;
    const auto& fixed = theStaticContext();
    for (const char* key : {"$app_version", "$app_build", "$os_name", "$os_version", "$device_type",
                            "$device_manufacturer", "$device_model"}) {
        if (auto found = fixed.find(key); found != fixed.end()) p[key] = found->second;
    }
    if (auto language = environmentLanguageCode()) p["$locale"] = *language;
    return p;
}

}  // namespace plover
