#include "analytics/network/plover_api.hpp"

#include <chrono>
#include <cmath>

#include "analytics/config/plover_config.hpp"
#include "analytics/network/gzip.hpp"
#include "analytics/storage/plover_storage_manager.hpp"
#include "analytics/util/debug_log.hpp"
#include "analytics/util/internal_plover_error.hpp"

namespace plover {

namespace {

using platform::HttpError;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::HttpResult;

bool isHttp(const Url& url) {
    std::string scheme;
    for (char c : url.scheme()) scheme.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return (scheme == "http" || scheme == "https") && url.authority() && !url.hostName().empty();
}

std::string collapseSlashes(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    return out;
}

// The host's path, "/", then the endpoint's path, with every run of slashes made one; the host's
// query is replaced by `query`.
std::optional<std::string> endpointUrl(const Url& host, std::string_view endpoint, std::string_view query = {}) {
    if (!isHttp(host)) return std::nullopt;
    std::string path = collapseSlashes(percentDecode(host.path()) + "/" + std::string(endpoint));
    std::string url = host.scheme() + "://" + *host.authority() + percentEncodePath(path);
    if (!query.empty()) url += "?" + std::string(query);
    return url;
}

bool isSuccess(int status) { return status >= 200 && status <= 299; }

// A reply body for the log: a JSON object as text, anything else "nil".
std::string renderBody(const std::string& body) {
    boost::system::error_code error;
    auto parsed = json::parse(body, error);
    if (error || !parsed.is_object()) return "nil";
    return json::serialize(parsed);
}

std::string errorText(const HttpError& error) { return error.what(); }

}  // namespace

struct PloverApi::Upload {
    std::string_view name;  // "batch" or "snapshot"
    std::string_view sentMessage;
};

PloverApi::PloverApi(std::shared_ptr<const PloverConfig> config, std::shared_ptr<platform::HttpClient> http)
    : config_(std::move(config)), http_(std::move(http)) {}

platform::HttpHeaders PloverApi::sessionHeaders() {
    return {{"Content-Type", "application/json; charset=utf-8"}, {"User-Agent", ploverSdkName() + "/" + ploverVersion()}};
}

HttpRequest PloverApi::request(std::string url, std::string method) const {
    HttpRequest request;
    request.method = std::move(method);
    request.url = std::move(url);
    request.headers = sessionHeaders();
    request.timeout = std::chrono::milliseconds(std::llround(defaultTimeout * 1000));
    request.followRedirects = false;
    return request;
}

void PloverApi::batch(std::vector<PloverEvent> events, UploadCompletion completion) const {
    static const Upload kind{"batch", "[Plover] Events sent successfully."};
    upload(kind, std::move(events), std::move(completion));
}

void PloverApi::snapshot(std::vector<PloverEvent> events, UploadCompletion completion) const {
    static const Upload kind{"snapshot", "[Plover] Snapshots sent successfully."};
    upload(kind, std::move(events), std::move(completion));
}

void PloverApi::upload(const Upload& kind, std::vector<PloverEvent> events, UploadCompletion completion) const {
    const std::string name(kind.name);
    auto cannotSend = [&](const std::string& message, bool permanent = true) {
        ploverLog(message);
        PloverBatchUploadInfo info;
        info.error = std::make_exception_ptr(InternalPloverError(message));
        info.permanentFailure = permanent;
        completion(std::move(info));
    };
    bool isBatch = name == "batch";
    auto url = endpointUrl(config_->host(), isBatch ? std::string("/batch") : config_->snapshotEndpoint());
    if (!url) return cannotSend("[Plover] Malformed " + name + " URL error.");

    std::string body;
    try {
        json::array objects;
        objects.reserve(events.size());
        for (auto& event : events) {
            if (!isBatch) event.setApiKey(config_->apiKey());
            objects.push_back(event.toJSON());
        }
        if (isBatch) {
            json::object document;
            document["api_key"] = config_->apiKey();
            document["batch"] = std::move(objects);
            document["sent_at"] = toISO8601String(std::chrono::system_clock::now());
            body = json::serialize(document);
        } else {
            body = json::serialize(objects);
        }
    } catch (const std::exception& error) {
        return cannotSend("Error parsing the " + name + " body: " + error.what());
    }
    std::string compressed;
    try {
        compressed = compress_ ? compress_(body) : gzipped(body);
    } catch (const GzipError& error) {
        // Out of memory, say: the same events may well compress next time.
        return cannotSend("Error gzipping the " + name + " body: " + error.message() + ".", false);
    }

    HttpRequest post = request(*url, "POST");
    post.headers.emplace_back("Accept-Encoding", "gzip");
    post.headers.emplace_back("Content-Encoding", "gzip");
    post.body = std::move(compressed);
    http_->start(std::move(post), [name, sent = std::string(kind.sentMessage),
                                   completion = std::move(completion)](HttpResult result) {
        PloverBatchUploadInfo info;
        if (auto* error = std::get_if<HttpError>(&result)) {
            ploverLog("Error calling the " + name + " API: " + errorText(*error) + ".");
            info.error = std::make_exception_ptr(*error);
        } else {
            auto& response = std::get<HttpResponse>(result);
            if (isSuccess(response.status)) {
                ploverLog(sent);
            } else {
                ploverLog("Error sending events to " + name + " API: status: " + std::to_string(response.status) +
                          ", body: " + renderBody(response.body) + ".");
            }
            info.statusCode = response.status;
        }
        completion(std::move(info));
    });
}

namespace {

// What flags and remote configuration share: the reply to a JSON object or an error. The texts
// are constants that are never destroyed: a request may complete while the process exits, when
// the HTTP client is stopped after every other object of the process has gone.
struct ReplyTexts {
    std::string_view transportError;  // followed by the error's text
    std::string_view success;
    std::string_view parseError;      // followed by the parse error's text
    std::string_view statusError;     // followed by "status: ..., body: ...."
};

constexpr ReplyTexts flagsTexts{"Error calling the flags API: ", "[Plover] Flags called successfully.",
                                "Error parsing the flags response: ", "Error calling flags API: "};
constexpr ReplyTexts remoteConfigTexts{"Error calling the remote config API: ",
                                       "[Plover] Remote config called successfully.",
                                       "Error parsing the remote config response: ",
                                       "Error calling the remote config API: "};

void deliverReply(const ReplyTexts& texts, HttpResult result, const PloverApi::ResponseCompletion& completion) {
    if (auto* error = std::get_if<HttpError>(&result)) {
        ploverLog(std::string(texts.transportError) + errorText(*error));
        completion(std::nullopt, std::make_exception_ptr(*error));
        return;
    }
    auto& response = std::get<HttpResponse>(result);
    if (!isSuccess(response.status)) {
        std::string message = std::string(texts.statusError) + "status: " + std::to_string(response.status) +
                              ", body: " + renderBody(response.body) + ".";
        ploverLog(message);
        completion(std::nullopt, std::make_exception_ptr(InternalPloverError(message)));
        return;
    }
    ploverLog(texts.success);
    boost::system::error_code error;
    auto parsed = json::parse(response.body, error);
    if (error) {
        ploverLog(std::string(texts.parseError) + error.message());
        completion(std::nullopt, std::make_exception_ptr(boost::system::system_error(error)));
        return;
    }
    if (!parsed.is_object()) {
        completion(std::nullopt, nullptr);
        return;
    }
    completion(std::move(parsed.get_object()), nullptr);
}

}  // namespace

void PloverApi::flags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
                      const Groups& groups, const Properties& personProperties,
                      const std::optional<GroupProperties>& groupProperties, ResponseCompletion completion) const {
    auto cannotSend = [&](const std::string& message) {
        ploverLog(message);
        completion(std::nullopt, std::make_exception_ptr(InternalPloverError(message)));
    };
    auto url = endpointUrl(config_->host(), "/flags", "v=2&config=true");
    if (!url) return cannotSend("[Plover] Malformed flags URL error.");

    std::string body;
    try {
        json::object document;
        document["api_key"] = config_->apiKey();
        document["distinct_id"] = distinctId;
        json::object groupsObject;
        for (auto& [type, key] : groups) groupsObject[type] = key;
        document["$groups"] = std::move(groupsObject);
        if (anonymousId) document["$anon_distinct_id"] = *anonymousId;
        if (!personProperties.empty()) document["person_properties"] = writeProperties(personProperties);
        if (groupProperties && !groupProperties->empty()) {
            json::object byGroup;
            for (auto& [type, properties] : *groupProperties) byGroup[type] = writeProperties(properties);
            document["group_properties"] = std::move(byGroup);
        }
        body = json::serialize(document);
    } catch (const std::exception& error) {
        return cannotSend(std::string("Error parsing the flags body: ") + error.what());
    }

    HttpRequest post = request(*url, "POST");
    post.body = std::move(body);
    http_->start(std::move(post), [completion = std::move(completion)](HttpResult result) {
        deliverReply(flagsTexts, std::move(result), completion);
    });
}

std::optional<HttpRequest> PloverApi::remoteConfigRequest() const {
    // The cloud ingestion hosts serve their configuration from the assets hosts; any other host,
    // a cloud host written differently included, serves it itself.
    const std::string& hostText = config_->host().absoluteString();
    std::optional<Url> base = config_->host();
    if (hostText == usIngestionHost) base = Url::parse(usAssetsHost);
    if (hostText == euIngestionHost) base = Url::parse(euAssetsHost);
    if (!base || !isHttp(*base)) return std::nullopt;
    std::string path = percentDecode(base->path());
    while (!path.empty() && path.back() == '/') path.pop_back();
    std::string url = base->scheme() + "://" + *base->authority() + percentEncodePath(path) + "/array/" +
                      percentEncodePath(config_->apiKey(), false) + "/config";
    if (base->query()) url += "?" + *base->query();
    return request(std::move(url), "GET");
}

void PloverApi::remoteConfig(ResponseCompletion completion) const {
    auto get = remoteConfigRequest();
    if (!get) {
        std::string message = "[Plover] Malformed remote config URL error.";
        ploverLog(message);
        completion(std::nullopt, std::make_exception_ptr(InternalPloverError(message)));
        return;
    }
    http_->start(std::move(*get), [completion = std::move(completion)](HttpResult result) {
        deliverReply(remoteConfigTexts, std::move(result), completion);
    });
}

}  // namespace plover
