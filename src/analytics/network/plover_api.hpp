#pragma once
// The analytics service's HTTP API: event batches, session-replay snapshots, feature flags and the
// remote configuration. Each call sends one request and reports its outcome once; nothing is
// retried or stored here.

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/event/plover_event.hpp"
#include "analytics/util/json.hpp"
#include "analytics/util/value.hpp"
#include "platform/http/http_client.hpp"

namespace plover {

class PloverConfig;

struct PloverBatchUploadInfo {
    // The reply's HTTP status; absent when no reply arrived or no request was sent.
    std::optional<int> statusCode;
    // Why no reply arrived, or why no request could be made.
    std::exception_ptr error;
    // No request could be made from the configuration or the events (no URL from the host, a body
    // that cannot be written): sending the same events again can never succeed. A body that could
    // not be compressed is not such a failure: it is tried again like a lost connection.
    bool permanentFailure = false;
};

class PloverApi {
public:
    using UploadCompletion = std::function<void(PloverBatchUploadInfo)>;
    // The reply's JSON object (only for a 2xx reply whose body is an object), or why there is none.
    using ResponseCompletion = std::function<void(std::optional<json::object>, std::exception_ptr)>;
    using Groups = std::map<std::string, std::string>;
    using GroupProperties = std::map<std::string, Properties>;

    PloverApi(std::shared_ptr<const PloverConfig> config, std::shared_ptr<platform::HttpClient> http);

    // "Content-Type" and "User-Agent", the headers of every request.
    static platform::HttpHeaders sessionHeaders();

    // Every call completes exactly once: on the HTTP client's thread once a request was sent, or
    // on the calling thread before returning when none could be made.
    void batch(std::vector<PloverEvent> events, UploadCompletion completion) const;
    void snapshot(std::vector<PloverEvent> events, UploadCompletion completion) const;
    void flags(const std::string& distinctId, const std::optional<std::string>& anonymousId, const Groups& groups,
               const Properties& personProperties, const std::optional<GroupProperties>& groupProperties,
               ResponseCompletion completion) const;
    void remoteConfig(ResponseCompletion completion) const;
    // The remote-configuration GET; nothing when the host gives no URL.
    std::optional<platform::HttpRequest> remoteConfigRequest() const;

    // Seconds.
    const double defaultTimeout = 10.0;

    // Replaces the gzip compression of upload bodies (tests make it fail); it may throw GzipError.
    void setCompressor(std::function<std::string(std::string_view)> compress) { compress_ = std::move(compress); }

private:
    struct Upload;
    void upload(const Upload& kind, std::vector<PloverEvent> events, UploadCompletion completion) const;
    platform::HttpRequest request(std::string url, std::string method) const;

    std::shared_ptr<const PloverConfig> config_;
    std::shared_ptr<platform::HttpClient> http_;
    std::function<std::string(std::string_view)> compress_;
};

}  // namespace plover
