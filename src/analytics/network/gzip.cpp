#include "analytics/network/gzip.hpp"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "platform/json/json.hpp"

namespace plover {

namespace {

constexpr std::size_t outputStep = 16384;

std::string messageOf(const char* zlibMessage) {
    if (zlibMessage && *zlibMessage && platform::json::isValidUtf8(zlibMessage)) return zlibMessage;
    return "Unknown gzip error";
}

}  // namespace

GzipError::Kind GzipError::Kind::fromStatus(int status) {
    switch (status) {
        case Z_STREAM_ERROR: return stream();
        case Z_DATA_ERROR: return data();
        case Z_MEM_ERROR: return memory();
        case Z_BUF_ERROR: return buffer();
        case Z_VERSION_ERROR: return version();
        default: return unknown(status);
    }
}

GzipError::GzipError(int status, const char* zlibMessage)
    : std::runtime_error(messageOf(zlibMessage)), kind_(Kind::fromStatus(status)) {}

std::string gzipped(std::string_view data, CompressionLevel level, std::int32_t wBits) {
    return detail::gzipped(data, level, wBits, std::numeric_limits<uInt>::max());
}

std::string detail::gzipped(std::string_view data, CompressionLevel level, std::int32_t wBits, std::size_t maxPiece) {
    if (data.empty()) return {};
    maxPiece = std::clamp<std::size_t>(maxPiece, 1, std::numeric_limits<uInt>::max());
    z_stream stream{};
    int status = deflateInit2(&stream, level.rawValue, Z_DEFLATED, wBits, 9, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) throw GzipError(status, stream.msg);

    std::string output;
    output.reserve(outputStep);
    std::size_t consumed = 0;  // input handed to zlib so far
    do {
        if (stream.total_out >= output.size()) output.resize(output.size() + outputStep);
        if (stream.avail_in == 0 && consumed < data.size()) {
            std::size_t piece = std::min(maxPiece, data.size() - consumed);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + consumed));
            stream.avail_in = static_cast<uInt>(piece);
            consumed += piece;
        }
        stream.next_out = reinterpret_cast<Bytef*>(output.data() + stream.total_out);
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        // Only the call that has been handed the last of the input may finish the stream.
        status = deflate(&stream, consumed == data.size() ? Z_FINISH : Z_NO_FLUSH);
    } while (status == Z_OK);

    std::string message = stream.msg ? stream.msg : "";
    int ended = deflateEnd(&stream);
    if (ended != Z_OK || status != Z_STREAM_END) throw GzipError(status, message.empty() ? nullptr : message.c_str());
    output.resize(stream.total_out);
    return output;
}

}  // namespace plover
