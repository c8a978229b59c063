#pragma once
// A loopback stand-in for the analytics ingestion service: it records every request exactly as it
// arrived (method, target with query, headers, raw body) and answers from a script, as the fake
// backend does.

#include <string>
#include <string_view>
#include <vector>

#include "support/fake_backend.hpp"

namespace support {

// The content of a complete gzip stream; throws std::runtime_error for anything else.
std::string gunzip(std::string_view compressed);

class IngestionServer : public FakeBackend {
public:
    // "http://127.0.0.1:<port>", without a path or a trailing slash.
    std::string host() const;
    // The recorded requests with every gzip-encoded body decoded.
    std::vector<RecordedRequest> decodedRequests() const;
};

}  // namespace support
