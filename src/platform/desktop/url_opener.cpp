#include "platform/desktop/url_opener.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cctype>
#include <cerrno>

#include "platform/runtime/print.hpp"

extern char** environ;

namespace platform {
namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool isUrlCharacter(char c) {
    if (std::isalnum(static_cast<unsigned char>(c))) return true;
    static constexpr std::string_view allowed = "-._~:/?#[]@!$&'()*+,;=%";
    return allowed.find(c) != std::string_view::npos;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return std::nullopt;
    for (std::size_t i = 1; i < colon; ++i) {
        char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
            return std::nullopt;
        }
    }
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        char c = text[i];
        if (!isUrlCharacter(c)) return std::nullopt;
        if (c == '%' && (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))) {
            return std::nullopt;
        }
    }
    return Url(std::string(text));
}

std::string Url::scheme() const {
    std::string scheme = text_.substr(0, text_.find(':'));
    for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

void UrlOpener::openURLString(std::string_view text) {
    if (auto url = Url::parse(text)) open(*url);
}

void XdgUrlOpener::open(const Url& url) {
    // A short-lived shell starts xdg-open in the background and exits at once, so the opener is
    // adopted by init and never left as a zombie of ours, and nothing here waits for the browser
    // or mail program. The URL travels as a positional argument, never as shell text.
    const char* argv[] = {"sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 </dev/null &", "sh",
                          url.text().c_str(), nullptr};
    pid_t pid = 0;
    int spawned = ::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
    if (spawned != 0) {
        print("Could not start xdg-open");
        return;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace platform
