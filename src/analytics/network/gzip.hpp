#pragma once
// Compression of request bodies with zlib: gzip by default, a zlib wrapper or raw deflate with
// other window bits.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace plover {

namespace Gzip {
inline constexpr std::int32_t maxWindowBits = 15;
}

struct CompressionLevel {
    std::int32_t rawValue = -1;

    constexpr CompressionLevel() = default;
    constexpr explicit CompressionLevel(std::int32_t value) : rawValue(value) {}

    static const CompressionLevel noCompression;
    static const CompressionLevel bestSpeed;
    static const CompressionLevel bestCompression;
    static const CompressionLevel defaultCompression;

    bool operator==(const CompressionLevel&) const = default;
};

inline constexpr CompressionLevel CompressionLevel::noCompression{0};
inline constexpr CompressionLevel CompressionLevel::bestSpeed{1};
inline constexpr CompressionLevel CompressionLevel::bestCompression{9};
inline constexpr CompressionLevel CompressionLevel::defaultCompression{-1};

class GzipError : public std::runtime_error {
public:
    // What zlib reported; `unknown` keeps zlib's status code.
    class Kind {
    public:
        enum class Case { unknown, stream, data, memory, buffer, version };

        static Kind unknown(int code) { return Kind(Case::unknown, code); }
        static Kind stream() { return Kind(Case::stream); }
        static Kind data() { return Kind(Case::data); }
        static Kind memory() { return Kind(Case::memory); }
        static Kind buffer() { return Kind(Case::buffer); }
        static Kind version() { return Kind(Case::version); }
        // The kind of a zlib status.
        static Kind fromStatus(int status);

        Case kindCase() const { return case_; }
        int code() const { return code_; }
        bool operator==(const Kind& other) const {
            return case_ == other.case_ && (case_ != Case::unknown || code_ == other.code_);
        }

    private:
        explicit Kind(Case which, int code = 0) : case_(which), code_(code) {}
        Case case_;
        int code_;
    };

    // zlib's message when it gave one in valid UTF-8, else "Unknown gzip error".
    GzipError(int status, const char* zlibMessage);

    const Kind& kind() const { return kind_; }
    std::string message() const { return what(); }

private:
    Kind kind_;
};

// The compressed form of `data`; an empty input gives an empty output without calling zlib.
// Throws GzipError.
std::string gzipped(std::string_view data, CompressionLevel level = CompressionLevel::defaultCompression,
                    std::int32_t wBits = Gzip::maxWindowBits + 16);

namespace detail {
// As gzipped(), handing zlib at most `maxPiece` input bytes per call (zlib counts in 32 bits).
std::string gzipped(std::string_view data, CompressionLevel level, std::int32_t wBits, std::size_t maxPiece);
}  // namespace detail

}  // namespace plover
