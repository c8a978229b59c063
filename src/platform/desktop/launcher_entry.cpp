#include "platform/desktop/launcher_entry.hpp"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <system_error>

#include "platform/defaults/atomic_file.hpp"
#include "platform/defaults/xdg_folders.hpp"
#include "platform/desktop/desktop_entry.hpp"
#include "platform/desktop/login_item.hpp"

namespace platform {

namespace fs = std::filesystem;

LauncherEntry::LauncherEntry(std::string id, fs::path dataHome, std::vector<fs::path> dataDirs, fs::path executable,
                             std::string searchPath)
    : id_(std::move(id)),
      dataHome_(std::move(dataHome)),
      dataDirs_(std::move(dataDirs)),
      executable_(std::move(executable)),
      searchPath_(std::move(searchPath)) {}

LauncherEntry LauncherEntry::forCurrentProgram(std::string id) {
    std::vector<fs::path> dirs;
    const char* variable = std::getenv("XDG_DATA_DIRS");
    std::string list = variable && *variable ? variable : "/usr/local/share/:/usr/share/";
    std::size_t at = 0;
    while (at <= list.size()) {
        auto end = list.find(':', at);
        if (end == std::string::npos) end = list.size();
        fs::path folder = list.substr(at, end - at);
        // Relative entries are not part of the search.
        if (folder.is_absolute()) dirs.push_back(folder);
        at = end + 1;
    }
    const char* path = std::getenv("PATH");
    return LauncherEntry(std::move(id), xdgFolder("XDG_DATA_HOME", ".local/share"), std::move(dirs),
                         XdgAutostartService::currentExecutable(), path ? path : "");
}

fs::path LauncherEntry::userEntry() const { return dataHome_ / "applications" / (id_ + ".desktop"); }

fs::path LauncherEntry::firstFound() const {
    std::error_code error;
    if (fs::is_regular_file(userEntry(), error)) return userEntry();
    for (const auto& folder : dataDirs_) {
        auto candidate = folder / "applications" / (id_ + ".desktop");
        if (fs::is_regular_file(candidate, error)) return candidate;
    }
    return {};
}

bool LauncherEntry::usable() const { return !problem(); }

std::optional<std::string> LauncherEntry::problem() const {
    auto found = firstFound();
    std::error_code error;
    if (found.empty()) {
        auto user = userEntry();
        if (fs::is_symlink(user, error)) {
            return "it is a link to " + fs::read_symlink(user, error).string() + ", which is no file";
        }
        if (fs::exists(fs::symlink_status(user, error))) return "it is not a file";
        return "there is none";
    }
    auto entry = readDesktopEntryProgram(found);
    if (!entry) return "it cannot be read or has no [Desktop Entry] group";
    if (entry->hidden) return "it is hidden (Hidden=true), as when Kestro is removed from the menus";
    if (!entry->tryExec.empty() && !programExists(entry->tryExec, searchPath_)) {
        return "its TryExec program " + entry->tryExec + " does not exist or cannot be run";
    }
    auto program = execProgram(entry->exec);
    if (!program) return "its Exec line names no program";
    if (!programExists(*program, searchPath_)) return "its program " + *program + " does not exist or cannot be run";
    return std::nullopt;
}

std::string LauncherEntry::execValue() const {
    auto program = executable_.string();
    // The desktop's own reader (GLib, and the portal through it) looks for the program as written,
    // %% and all, and finds none: a path with a percent sign is started through env, which it finds.
    if (program.find('%') != std::string::npos) return "env " + desktopExecArgument(program);
    return desktopExecArgument(program);
}

std::string LauncherEntry::entryText() const {
    std::ostringstream text;
    text << "[Desktop Entry]\n"
         << "Type=Application\n"
         << "Name=Kestro\n"
         << "GenericName=Voice Assistant\n"
         << "Comment=Tray voice assistant: start a call from the tray menu or with Control-P\n"
         << "Exec=" << execValue() << '\n'
         << "Icon=kestro\n"
         << "Terminal=false\n"
         << "Categories=Utility;\n"
         << "Keywords=voice;assistant;call;\n"
         << generatedKey << "=true\n";
    return text.str();
}

LauncherEntry::Outcome LauncherEntry::ensure() const {
    if (usable()) return Outcome::found;
    auto entry = userEntry();
    std::error_code error;
    auto status = fs::symlink_status(entry, error);
    if (status.type() != fs::file_type::not_found) {
        // Only a file of the application's own, not hidden since, is written again: a link
        // (into the user's dotfiles, say) or the user's own lines stay as they are.
        bool ours = status.type() == fs::file_type::regular;
        if (ours) {
            auto read = readDesktopEntryProgram(entry);
            ours = read && read->generated && !read->hidden;
        }
        if (!ours) return Outcome::leftAlone;
    }
    auto why = desktopEntryUnwritable(executable_.string());
    if (!why && executable_.string().find('%') != std::string::npos &&
        executable_.string().find('=') != std::string::npos) {
        why = "env would take a path with both % and = for a variable";
    }
    if (why) {
        throw LauncherEntryError("The program " + executable_.string() + " cannot be named in a launcher entry: " +
                                 *why + ".");
    }
    fs::create_directories(entry.parent_path(), error);
    if (error) {
        throw LauncherEntryError("Could not create the folder " + entry.parent_path().string() + ": " +
                                 error.message());
    }
    try {
        writeFileAtomically(entry, entryText(), 0644);
    } catch (const std::system_error& failed) {
        throw LauncherEntryError("Could not write the launcher entry " + entry.string() + ": " +
                                 std::strerror(failed.code().value()));
    }
    return Outcome::written;
}

}  // namespace platform
