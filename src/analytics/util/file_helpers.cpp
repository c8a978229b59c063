#include "analytics/util/file_helpers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "analytics/util/debug_log.hpp"

namespace plover {

namespace fs = std::filesystem;

bool somethingExistsAt(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

void deleteSafely(const fs::path& path) {
    if (!somethingExistsAt(path)) return;
    std::error_code error;
    fs::remove_all(path, error);
    if (error) ploverLog("Error trying to delete file " + path.string() + " " + error.message());
}

void createDirectoryIfNeeded(const fs::path& path) {
    if (somethingExistsAt(path)) return;
    if (auto error = createPrivateDirectories(path)) ploverLog("Error creating storage directory: " + error.message());
}

std::error_code createPrivateDirectories(const fs::path& path) {
    std::error_code error;
    fs::path absolute = path.lexically_normal();
    fs::path partial;
    for (auto& part : absolute) {
        partial /= part;
        if (part.empty() || part == "/" || part == "." || part == "..") continue;
        if (::mkdir(partial.c_str(), 0700) == 0 || errno == EEXIST) continue;
        return {errno, std::generic_category()};
    }
    if (!fs::is_directory(path, error)) return error ? error : std::make_error_code(std::errc::not_a_directory);
    // An older run may have made it with the umask's permissions.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
        (info.st_mode & 077) != 0) {
        ::chmod(path.c_str(), 0700);
    }
    return {};
}

bool directoryExists(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

std::optional<std::string> readFileAtMost(const fs::path& path, std::size_t limit, std::error_code& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = {errno, std::generic_category()};
        return std::nullopt;
    }
    auto fail = [&](std::error_code why) -> std::optional<std::string> {
        ::close(fd);
        error = why;
        return std::nullopt;
    };
    struct stat info {};
    if (::fstat(fd, &info) == 0 && static_cast<std::uintmax_t>(info.st_size) > limit) {
        return fail(std::make_error_code(std::errc::file_too_large));
    }
    std::string content;
    char buffer[16384];
    while (true) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail({errno, std::generic_category()});
        }
        if (got == 0) break;
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > limit) return fail(std::make_error_code(std::errc::file_too_large));
    }
    ::close(fd);
    return content;
}

}  // namespace plover
