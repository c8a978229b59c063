#include "app/transcript_outbox.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>

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

void TranscriptOutbox::save(const std::string& body) {
    platform::writeFileAtomically(folder_ / fileName(chr::system_clock::now()), body);
    prune();
}

std::vector<TranscriptOutbox::Named> TranscriptOutbox::prune() {
    std::vector<Named> files;
    std::error_code error;
    for (auto& entry : fs::directory_iterator(folder_, error)) {
        if (auto saved = savedAt(entry.path()); saved && entry.is_regular_file(error)) {
            files.push_back(Named{entry.path(), *saved});
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

void TranscriptOutbox::remove(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
}

}  // namespace kestro
