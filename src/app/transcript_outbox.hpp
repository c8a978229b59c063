#pragma once
// Transcripts whose upload failed, kept as files until a later upload succeeds. Each file holds
// the request body exactly as it was to be sent. The outbox is bounded: the oldest files go first
// when there are too many, and files older than the age limit are dropped.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace kestro {

class TranscriptOutbox {
public:
    static constexpr std::size_t defaultMaxCount = 100;
    static constexpr std::chrono::hours defaultMaxAge{24 * 30};

    explicit TranscriptOutbox(std::filesystem::path folder, std::size_t maxCount = defaultMaxCount,
                              std::chrono::system_clock::duration maxAge = defaultMaxAge);

    // $XDG_STATE_HOME/kestro/outbox (or ~/.local/state/kestro/outbox).
    static std::filesystem::path defaultFolder();

    // Keeps `body` (written atomically, mode 0600). Throws std::system_error when it cannot.
    void save(const std::string& body);

    struct Kept {
        std::filesystem::path file;
        std::string body;
    };
    // What is kept, oldest first (after dropping what is too old).
    std::vector<Kept> pending();
    void remove(const std::filesystem::path& file);

    const std::filesystem::path& folder() const { return folder_; }

private:
    struct Named {
        std::filesystem::path file;
        std::chrono::system_clock::time_point saved;
    };
    // Our files, oldest first; drops the expired ones and all but the newest maxCount.
    std::vector<Named> prune();

    std::filesystem::path folder_;
    std::size_t maxCount_;
    std::chrono::system_clock::duration maxAge_;
};

}  // namespace kestro
