#include "app/transcript_outbox.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <utility>

#include "app/transcript_entry.hpp"
#include "platform/defaults/atomic_file.hpp"
#include "platform/defaults/xdg_folders.hpp"

namespace kestro {

namespace fs = std::filesystem;
namespace chr = std::chrono;

namespace {

constexpr std::string_view suffix = ".json";

// "<milliseconds since the epoch, 16 digits>-<pid>-<counter>.json": names sort by age.
std::string fileName(chr::system_clock::time_point now) {
    static std::atomic<unsigned> counter{0};
    auto ms = chr::duration_cast<chr::milliseconds>(now.time_since_epoch()).count();
    std::string stamp = std::to_string(ms);
    if (stamp.size() < 16) stamp.insert(0, 16 - stamp.size(), '0');
    return stamp + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + std::string(suffix);
}

std::optional<chr::system_clock::time_point> savedAt(const fs::path& file) {
    std::string name = file.filename().string();
    if (name.size() < 17 + suffix.size() || !name.ends_with(suffix) || name[16] != '-') return std::nullopt;
    std::int64_t ms = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + 16, ms);
    if (error != std::errc() || end != name.data() + 16) return std::nullopt;
    return chr::system_clock::time_point(chr::milliseconds(ms));
}

}  // namespace

TranscriptOutbox::TranscriptOutbox(fs::path folder, std::size_t maxCount, chr::system_clock::duration maxAge)
    : folder_(std::move(folder)), maxCount_(std::max<std::size_t>(1, maxCount)), maxAge_(maxAge) {}

fs::path TranscriptOutbox::defaultFolder() {
    return platform::xdgFolder("XDG_STATE_HOME", ".local/state") / "kestro" / "outbox";
}

fs::path TranscriptOutbox::save(const std::string& body) {
    fs::path file = folder_ / fileName(chr::system_clock::now());
    platform::writeFileAtomically(file, body);
    prune();
    return file;
}

std::vector<TranscriptOutbox::Named> TranscriptOutbox::prune() {
    std::vector<Named> files;
    std::error_code error;
    for (auto& entry : fs::directory_iterator(folder_, error)) {
        auto saved = savedAt(entry.path());
        if (!saved) continue;
        // Only files we wrote: a link (or anything else) under such a name is not sent, nor removed.
        if (entry.symlink_status(error).type() == fs::file_type::regular) {
            files.push_back(Named{entry.path(), *saved});
        } else {
            leaveAside(entry.path(), "it is not a regular file");
        }
    }
    std::sort(files.begin(), files.end(), [](auto& a, auto& b) { return a.file.filename() < b.file.filename(); });
    auto now = chr::system_clock::now();
    std::vector<Named> kept;
    for (std::size_t i = 0; i < files.size(); ++i) {
        bool tooMany = files.size() - i > maxCount_;
        if (tooMany || now - files[i].saved > maxAge_) {
            remove(files[i].file);
        } else {
            kept.push_back(files[i]);
        }
    }
    return kept;
}

std::vector<TranscriptOutbox::Kept> TranscriptOutbox::pending() {
    std::vector<Kept> kept;
    for (auto& named : prune()) {
        std::ifstream in(named.file, std::ios::binary);
        if (!in) continue;
        kept.push_back(Kept{named.file, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())});
    }
    return kept;
}

std::vector<fs::path> TranscriptOutbox::files() {
    std::vector<fs::path> files;
    for (auto& named : prune()) files.push_back(named.file);
    return files;
}

std::optional<TranscriptOutbox::Claim> TranscriptOutbox::claim(const fs::path& file) {
    // Never through a link, and never waiting on a pipe planted under the name.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ELOOP) leaveAside(file, "it is not a regular file");
        return std::nullopt;
    }
    Claim claimed(fd, file, {});
    struct stat held {};
    if (::fstat(fd, &held) != 0) return std::nullopt;
    if (!S_ISREG(held.st_mode)) {
        leaveAside(file, "it is not a regular file");
        return std::nullopt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return std::nullopt;
    // Posted and removed by whoever held it before: the name is gone or names another file.
    struct stat named {};
    if (::lstat(file.c_str(), &named) != 0 || held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        return std::nullopt;
    }
    char buffer[16384];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        if (claimed.body_.size() + static_cast<std::size_t>(got) > maxBodySize) {
            leaveAside(file, "it is larger than " + std::to_string(maxBodySize) + " bytes");
            return std::nullopt;
        }
        claimed.body_.append(buffer, static_cast<std::size_t>(got));
    }
    // What is sent with the credential is a transcript and nothing else.
    try {
        decodeTranscriptPayload(claimed.body_);
    } catch (const std::exception& error) {
        leaveAside(file, std::string("it is not a transcript (") + error.what() + ")");
        return std::nullopt;
    }
    return claimed;
}

void TranscriptOutbox::leaveAside(const fs::path& file, const std::string& why) {
    if (!setAside_.insert(file).second) return;
    std::cerr << "Kestro: the outbox file " << file.string() << " is left where it is and not sent: " << why << '\n';
}

TranscriptOutbox::Claim::Claim(int fd, fs::path file, std::string body)
    : fd_(fd), file_(std::move(file)), body_(std::move(body)) {}

TranscriptOutbox::Claim::Claim(Claim&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), file_(std::move(other.file_)), body_(std::move(other.body_)) {}

TranscriptOutbox::Claim::~Claim() {
    if (fd_ >= 0) ::close(fd_);  // closing ends the lock
}

void TranscriptOutbox::Claim::removeFile() {
    std::error_code ignored;
    fs::remove(file_, ignored);
}

void TranscriptOutbox::remove(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
}

}  // namespace kestro
