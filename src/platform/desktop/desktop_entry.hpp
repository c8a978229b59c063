#pragma once
// The parts of XDG desktop entries that the application's own entries need: writing a program
// path as the Exec key's first argument, and reading which program an entry starts.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The program path as one argument of an Exec key: quoted when it holds a reserved character,
// then escaped once more for the desktop entry's string syntax.
std::string desktopExecArgument(const std::string& path);

// What a desktop entry file says about the program it starts (its main group only).
struct DesktopEntryProgram {
    std::string exec;     // the Exec value, as written
    std::string tryExec;  // the TryExec value, as written ("" when absent)
    bool hidden = false;  // Hidden=true: the entry counts as deleted
};

// Reads the main group of a desktop entry, at most 64 KiB of it; none when the file cannot be read
// or has no main group.
std::optional<DesktopEntryProgram> readDesktopEntryProgram(const std::filesystem::path& file);

// The program of an Exec value (its first argument, unescaped and unquoted); none when there is
// none or the quoting is broken.
std::optional<std::string> execProgram(std::string_view exec);

// Whether a program named in an entry exists and can be run: a path as it stands, a bare name
// through `searchPath` (PATH's syntax).
bool programExists(const std::string& program, std::string_view searchPath);

}  // namespace platform
