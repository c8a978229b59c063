#include "platform/defaults/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

namespace platform {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& path) {
    throw std::system_error(errno, std::generic_category(), what + " " + path.string());
}

void writeAll(int fd, const std::string& text, const fs::path& where) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", where);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

// Creates a new temporary beside `file`: `<file>.tmp-<pid>-<n>`, made exclusively and never through
// a link, so that nothing planted under such a name is written to. A name that is taken is passed
// over for the next.
int createTemporary(const fs::path& file, mode_t mode, fs::path& temporary) {
    static std::atomic<unsigned> counter{0};
    constexpr int attempts = 1000;
    for (int attempt = 0;; ++attempt) {
        temporary = file;
        temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) return fd;
        if (errno != EEXIST || attempt + 1 == attempts) fail("cannot create", temporary);
    }
}

}  // namespace

void makePrivateFolders(const fs::path& folder) {
    if (folder.empty() || fs::exists(folder)) return;
    makePrivateFolders(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) fail("cannot create", folder);
}

void writeFileAtomically(const fs::path& file, const std::string& text, mode_t mode) {
    makePrivateFolders(file.parent_path());
    fs::path temporary;
    int fd = createTemporary(file, mode, temporary);
    try {
        if (::fchmod(fd, mode) != 0) fail("cannot protect", temporary);
        writeAll(fd, text, temporary);
        if (::fsync(fd) != 0) fail("cannot flush", temporary);
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        fail("cannot replace", file);
    }
    // Make the rename itself durable.
    fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}

}  // namespace platform
