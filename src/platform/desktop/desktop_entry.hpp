#pragma once
// The parts of XDG desktop entries that the application's own entries need: writing a program
// path as the Exec key's first argument, and reading which program an entry starts.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The program path as one argument of an Exec key: quoted when it holds a reserved character,
// then escaped once more for the desktop entry's string syntax (\\, \n, \t, \r) and its field
// codes (%%).
std::string desktopExecArgument(const std::string& path);

// What a desktop entry file says about the program it starts (its main group only).
struct DesktopEntryProgram {
    std::string exec;     // the Exec value, as written
    std::string tryExec;  // the TryExec value, as written ("" when absent)
    bool hidden = false;  // Hidden=true: the entry counts as deleted
    bool generated = false;  // marked with generatedKey=true: the application wrote it itself
};

// The key that marks an entry the application wrote itself, and so may write again.
inline constexpr std::string_view generatedKey = "X-Kestro-Generated";

// Reads the main group of a desktop entry, at most 64 KiB of it; none when the file cannot be read
// or has no main group.
std::optional<DesktopEntryProgram> readDesktopEntryProgram(const std::filesystem::path& file);

// The program of an Exec value (its first argument, unescaped, unquoted, %% read as %); none when
// there is none, the quoting is broken or it holds a field code.
std::optional<std::string> execProgram(std::string_view exec);

// Why a path cannot be written into a desktop entry at all (a value must be UTF-8 without control
// characters other than those the string syntax escapes); none when it can.
std::optional<std::string> desktopEntryUnwritable(const std::string& text);

// Whether a program named in an entry exists and can be run: a path as it stands, a bare name
// through `searchPath` (PATH's syntax).
bool programExists(const std::string& program, std::string_view searchPath);

}  // namespace platform
