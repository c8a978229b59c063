#include "platform/desktop/desktop_entry.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "platform/json/json.hpp"

namespace platform {
namespace {

constexpr std::size_t longestEntry = 64 * 1024;

std::string trim(std::string_view text) {
    auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return {};
    auto end = text.find_last_not_of(" \t\r");
    return std::string(text.substr(begin, end - begin + 1));
}

// The string syntax of desktop entries: \s, \n, \t, \r and \\.
std::string unescapeValue(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '\\': out += '\\'; break;
            default:
                out += '\\';
                out += value[i];
        }
    }
    return out;
}

// The arguments of an Exec value already read as a string: separated by spaces, a double-quoted
// one with \", \`, \$ and \\ inside; field codes and %% as they stand. An argument that cannot be
// read (quotes left open, an unquoted one with a character that needs quoting) is none.
std::vector<std::optional<std::string>> execArguments(std::string_view value) {
    std::vector<std::optional<std::string>> arguments;
    std::size_t at = 0;
    while (true) {
        at = value.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) return arguments;
        std::string argument;
        if (value[at] != '"') {
            auto end = value.find_first_of(" \t", at);
            argument = std::string(value.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
            at = end;
            if (argument.find_first_of("\"'\\") != std::string::npos) {
                arguments.emplace_back();
                continue;
            }
        } else {
            bool closed = false;
            std::size_t i = at + 1;
            for (; i < value.size(); ++i) {
                char c = value[i];
                if (c == '\\' && i + 1 < value.size()) {
                    argument += value[++i];
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    argument += c;
                }
            }
            if (!closed) {
                arguments.emplace_back();
                return arguments;
            }
            at = i + 1;
        }
        arguments.emplace_back(std::move(argument));
        if (at == std::string_view::npos || at >= value.size()) return arguments;
    }
}

bool isRunnableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string desktopExecArgument(const std::string& path) {
    static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string argument;
    if (path.find_first_of(reserved) == std::string::npos) {
        argument = path;
    } else {
        argument = "\"";
        for (char c : path) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
            argument += c;
        }
        argument += '"';
    }
    std::string value;
    for (char c : argument) {
        if (c == '\\') {
            value += "\\\\";
        } else if (c == '%') {
            value += "%%";
        } else if (c == '\n') {
            value += "\\n";
        } else if (c == '\t') {
            value += "\\t";
        } else if (c == '\r') {
            value += "\\r";
        } else {
            value += c;
        }
    }
    return value;
}

std::optional<DesktopEntryProgram> readDesktopEntryProgram(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) return std::nullopt;
    std::string text(longestEntry, '\0');
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(stream.gcount()));
    DesktopEntryProgram program;
    bool inMainGroup = false;
    bool sawMainGroup = false;
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        auto line = trim(std::string_view(text).substr(at, end - at));
        at = end + 1;
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        auto equals = line.find('=');
        if (!inMainGroup || equals == std::string::npos) continue;
        auto key = trim(std::string_view(line).substr(0, equals));
        auto value = trim(std::string_view(line).substr(equals + 1));
        if (key == "Exec") program.exec = value;
        if (key == "TryExec") program.tryExec = unescapeValue(value);
        if (key == "Hidden") program.hidden = value == "true";
        if (key == generatedKey) program.generated = value == "true";
    }
    if (!sawMainGroup) return std::nullopt;
    return program;
}

std::optional<std::string> execProgram(std::string_view exec) {
    auto arguments = execArguments(unescapeValue(exec));
    if (arguments.empty() || !arguments[0]) return std::nullopt;
    std::size_t at = 0;
    // env with assignments only: the program is the one it runs (env takes every argument with
    // an equals sign for an assignment). With options it is env itself that counts.
    if (auto& first = *arguments[0]; first == "env" || first.ends_with("/env")) {
        std::size_t next = 1;
        while (next < arguments.size() && arguments[next] && arguments[next]->find('=') != std::string::npos) ++next;
        if (next < arguments.size() && !arguments[next]) return std::nullopt;
        if (next < arguments.size() && !arguments[next]->starts_with("-")) at = next;
    }
    // A literal percent sign is written %%; any other field code has no place in a program's path.
    std::string program;
    const auto& raw = *arguments[at];
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            program += raw[i];
        } else if (i + 1 < raw.size() && raw[i + 1] == '%') {
            program += '%';
            ++i;
        } else {
            return std::nullopt;
        }
    }
    if (program.empty()) return std::nullopt;
    return program;
}

std::optional<std::string> desktopEntryUnwritable(const std::string& text) {
    if (!json::isValidUtf8(text)) return "it is not valid UTF-8";
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) {
            return "it holds a control character";
        }
    }
    return std::nullopt;
}

bool programExists(const std::string& program, std::string_view searchPath) {
    if (program.empty()) return false;
    if (program.find('/') != std::string::npos) return program.front() == '/' && isRunnableFile(program);
    std::size_t at = 0;
    while (at <= searchPath.size()) {
        auto end = searchPath.find(':', at);
        if (end == std::string_view::npos) end = searchPath.size();
        auto folder = std::string(searchPath.substr(at, end - at));
        if (!folder.empty() && isRunnableFile(folder + "/" + program)) return true;
        at = end + 1;
    }
    return false;
}

}  // namespace platform
