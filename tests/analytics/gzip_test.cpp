#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "analytics/network/gzip.hpp"
#include "support/ingestion_server.hpp"

namespace {

using plover::CompressionLevel;
using plover::GzipError;

// Inflates a stream written with the given window bits.
std::string inflateAll(const std::string& compressed, int windowBits) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, windowBits), Z_OK);
    std::string out(1 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

TEST(Gzip, EmptyInputGivesEmptyOutput) {
    EXPECT_EQ(plover::gzipped(""), "");
    EXPECT_EQ(plover::gzipped("", CompressionLevel(42), 99), "");
}

TEST(Gzip, WindowBitsChooseGzipZlibOrRawFramingAndTheInputComesBack) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += R"({"event":"e)" + std::to_string(i) + R"(","distinct_id":"p"},)";
    struct Case {
        int wBits;
        CompressionLevel level;
        std::string_view magic;
    };
    const Case cases[] = {
        {31, CompressionLevel::defaultCompression, "\x1f\x8b"},
        {31, CompressionLevel::noCompression, "\x1f\x8b"},
        {31, CompressionLevel::bestSpeed, "\x1f\x8b"},
        {31, CompressionLevel::bestCompression, "\x1f\x8b"},
        {15, CompressionLevel::defaultCompression, "\x78"},
        {-15, CompressionLevel::defaultCompression, ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.wBits << " " << c.level.rawValue);
        auto compressed = plover::gzipped(text, c.level, c.wBits);
        EXPECT_EQ(compressed.substr(0, c.magic.size()), c.magic);
        EXPECT_EQ(inflateAll(compressed, c.wBits), text);
    }
    EXPECT_EQ(support::gunzip(plover::gzipped(text)), text);
    EXPECT_LT(plover::gzipped(text).size(), text.size() / 5);
}

TEST(Gzip, OutputLongerThanOneStepComesOutWhole) {
    auto bytes = randomBytes(100 * 1024, 7);
    auto compressed = plover::gzipped(bytes);
    EXPECT_GT(compressed.size(), 16384u * 6);
    EXPECT_EQ(support::gunzip(compressed), bytes);
}

TEST(Gzip, InputHandedToZlibInPiecesComesOutWhole) {
    // Inputs beyond what zlib counts in one call (4 GiB) go in pieces; smaller pieces show the same.
    struct Case {
        std::size_t size;
        std::size_t piece;
    };
    const Case cases[] = {{50 * 1024, 1000}, {70 * 1024, 16384}, {3000, 1}, {16384, 16384}, {16385, 16384}};
    for (auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " in pieces of " << c.piece);
        auto bytes = randomBytes(c.size, static_cast<unsigned>(c.size));
        auto compressed = plover::detail::gzipped(bytes, CompressionLevel::defaultCompression, 31, c.piece);
        EXPECT_EQ(support::gunzip(compressed), bytes);
        std::string repetitive(c.size, 'r');
        EXPECT_EQ(support::gunzip(plover::detail::gzipped(repetitive, CompressionLevel::bestSpeed, 31, c.piece)),
                  repetitive);
    }
}

TEST(Gzip, ZlibRefusalsBecomeTypedErrors) {
    for (auto [level, wBits] : {std::pair{10, 31}, std::pair{-2, 31}, std::pair{-1, 7}, std::pair{-1, 40}}) {
        SCOPED_TRACE(testing::Message() << level << " " << wBits);
        try {
            plover::gzipped("data", CompressionLevel(level), wBits);
            ADD_FAILURE() << "no error";
        } catch (const GzipError& error) {
            EXPECT_EQ(error.kind(), GzipError::Kind::stream());
            EXPECT_FALSE(error.message().empty());
        }
    }
    EXPECT_EQ(GzipError(Z_STREAM_ERROR, nullptr).message(), "Unknown gzip error");
    EXPECT_EQ(GzipError(Z_DATA_ERROR, "invalid \xff text").message(), "Unknown gzip error");
    EXPECT_EQ(GzipError(Z_DATA_ERROR, "incorrect header check").message(), "incorrect header check");

    const std::pair<int, GzipError::Kind> kinds[] = {
        {Z_STREAM_ERROR, GzipError::Kind::stream()}, {Z_DATA_ERROR, GzipError::Kind::data()},
        {Z_MEM_ERROR, GzipError::Kind::memory()},    {Z_BUF_ERROR, GzipError::Kind::buffer()},
        {Z_VERSION_ERROR, GzipError::Kind::version()}, {2, GzipError::Kind::unknown(2)},
        {-1, GzipError::Kind::unknown(-1)},
    };
    for (auto& [status, kind] : kinds) EXPECT_EQ(GzipError::Kind::fromStatus(status), kind) << status;
    EXPECT_NE(GzipError::Kind::unknown(2), GzipError::Kind::unknown(3));
    EXPECT_EQ(GzipError::Kind::unknown(2), GzipError::Kind::unknown(2));
    EXPECT_NE(GzipError::Kind::stream(), GzipError::Kind::data());
    EXPECT_EQ(CompressionLevel::defaultCompression.rawValue, -1);
    EXPECT_EQ(plover::Gzip::maxWindowBits, 15);
}

}  // namespace
