#pragma once
// Transcripts whose upload failed, kept as files until a later upload succeeds. Each file holds
// the request body exactly as it was to be sent. The outbox is bounded: the oldest files go first
// when there are too many, and files older than the age limit are dropped.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestro {

class TranscriptOutbox {
public:
    static constexpr std::size_t defaultMaxCount = 100;
    static constexpr std::chrono::hours defaultMaxAge{24 * 30};
    // A kept transcript larger than this is not ours: it is never read further, nor sent.
    static constexpr std::size_t maxBodySize = 8 * 1024 * 1024;

    explicit TranscriptOutbox(std::filesystem::path folder, std::size_t maxCount = defaultMaxCount,
                              std::chrono::system_clock::duration maxAge = defaultMaxAge);

    // $XDG_STATE_HOME/kestro/outbox (or ~/.local/state/kestro/outbox).
    static std::filesystem::path defaultFolder();

    // Keeps `body` (written atomically, mode 0600) and returns its file. Throws std::system_error
    // when it cannot.
    std::filesystem::path save(const std::string& body);

    struct Kept {
        std::filesystem::path file;
        std::string body;
    };
    // What is kept, oldest first (after dropping what is too old).
    std::vector<Kept> pending();
    void remove(const std::filesystem::path& file);

    // A kept transcript taken for posting: while the claim lives no other claim on the file, in
    // this process or another, succeeds (an exclusive lock on the open file, which ends with the
    // process that holds it).
    class Claim {
    public:
        Claim(Claim&& other) noexcept;
        Claim& operator=(Claim&&) = delete;
        ~Claim();
        const std::string& body() const { return body_; }
        // Posted: the file goes before the claim ends.
        void removeFile();

    private:
        friend class TranscriptOutbox;
        Claim(int fd, std::filesystem::path file, std::string body);
        int fd_;
        std::filesystem::path file_;
        std::string body_;
    };
    // Our files, oldest first (after dropping what is too old).
    std::vector<std::filesystem::path> files();
    // Claims one of them; nothing when it is gone or claimed by someone else, or when it is not a
    // regular file holding a transcript of at most maxBodySize bytes (such a file stays where it
    // is, and one line on standard error says why, once).
    std::optional<Claim> claim(const std::filesystem::path& file);

    const std::filesystem::path& folder() const { return folder_; }

private:
    struct Named {
        std::filesystem::path file;
        std::chrono::system_clock::time_point saved;
    };
    // Our files, oldest first; drops the expired ones and all but the newest maxCount.
    std::vector<Named> prune();
    void leaveAside(const std::filesystem::path& file, const std::string& why);

    std::filesystem::path folder_;
    std::size_t maxCount_;
    std::chrono::system_clock::duration maxAge_;
    std::set<std::filesystem::path> setAside_;
};

}  // namespace kestro
