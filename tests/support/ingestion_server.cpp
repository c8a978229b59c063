#include "support/ingestion_server.hpp"

#include <zlib.h>

#include <stdexcept>

namespace support {

std::string gunzip(std::string_view compressed) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) throw std::runtime_error("inflateInit2 failed");
    std::string out;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    int status = Z_OK;
    char buffer[65536];
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
        if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    bool complete = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!complete) throw std::runtime_error("not a complete gzip stream");
    return out;
}

std::string IngestionServer::host() const { return "http://127.0.0.1:" + std::to_string(port()); }

std::vector<RecordedRequest> IngestionServer::decodedRequests() const {
    auto recorded = requests();
    for (auto& request : recorded) {
        if (request.header("Content-Encoding") == "gzip") request.body = gunzip(request.body);
    }
    return recorded;
}

}  // namespace support
