#pragma once
// The launcher entry the desktop knows the application by: the desktop portal takes the
// application id "kestro" only where it finds kestro.desktop (in $XDG_DATA_HOME/applications or
// one of $XDG_DATA_DIRS/applications, the first one found counting) and the program its Exec
// names exists. A run from the build tree or from a prefix the desktop does not search has none:
// then the application makes one for the user, as it makes its autostart entry. It writes again
// only an entry it wrote itself (marked so in the file); one of the user's is never changed.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

class LauncherEntryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class LauncherEntry {
public:
    // found: the desktop finds a usable entry. written: the application wrote the user's entry.
    // leftAlone: the user's own entry cannot be used and is left as it is (see problem()).
    enum class Outcome { found, written, leftAlone };

    // `id` the entry's name without ".desktop"; `executable` the program an entry made here
    // starts; `searchPath` is PATH, for entries that name a bare program.
    LauncherEntry(std::string id, std::filesystem::path dataHome, std::vector<std::filesystem::path> dataDirs,
                  std::filesystem::path executable, std::string searchPath);

    // From the environment: $XDG_DATA_HOME (~/.local/share), $XDG_DATA_DIRS
    // (/usr/local/share:/usr/share), the running program and PATH.
    static LauncherEntry forCurrentProgram(std::string id);

    // The entry the desktop finds first, whether or not its program exists; empty for none.
    std::filesystem::path firstFound() const;
    // Whether that entry starts a program that exists.
    bool usable() const;
    // Why the entry the desktop finds cannot be used, in words ("its program /x does not exist");
    // none when it can.
    std::optional<std::string> problem() const;
    // Leaves a usable entry alone, or writes the user's own (atomically, replacing an unusable one
    // there only when the application wrote it). Throws LauncherEntryError when it cannot be
    // written.
    Outcome ensure() const;

    std::filesystem::path userEntry() const;
    std::string entryText() const;

private:
    std::string execValue() const;

    std::string id_;
    std::filesystem::path dataHome_;
    std::vector<std::filesystem::path> dataDirs_;
    std::filesystem::path executable_;
    std::string searchPath_;
};

}  // namespace platform
