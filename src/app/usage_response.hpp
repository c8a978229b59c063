#pragma once
// The usage counts of the backend's replies and of the "usageUpdated" notification.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestro {

struct UsageResponse {
    std::int64_t used = 0;
    std::int64_t total = 0;

    bool operator==(const UsageResponse&) const = default;
};

class UsageDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// {"used": n, "total": n}
std::string encodeUsageResponse(const UsageResponse& usage);
// Both keys are required and must be JSON integers; throws UsageDecodingError otherwise.
UsageResponse decodeUsageResponse(std::string_view json);

}  // namespace kestro
