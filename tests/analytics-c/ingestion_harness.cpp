#include "ingestion_harness.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "analytics/capi/plover_c_handles.hpp"
#include "platform/json/json.hpp"
#include "support/backend_environment.hpp"
#include "support/ingestion_server.hpp"

struct ingestion {
    // Storage and the user defaults of the lifecycle events stay inside it; it goes at the stop.
    support::TemporaryFolder folder;
    support::IngestionServer server;
    std::string host;
};

namespace {

// Every event of every uploaded batch with that name, in arrival order.
std::vector<boost::json::object> uploadedEvents(const ingestion& server, std::string_view name) {
    std::vector<boost::json::object> found;
    for (const auto& request : server.server.decodedRequests()) {
        if (request.path != "/batch") continue;
        auto body = platform::json::read(request.body);
        if (!body || !body->is_object()) continue;
        const auto* batch = body->as_object().if_contains("batch");
        if (!batch || !batch->is_array()) continue;
        for (const auto& event : batch->as_array()) {
            if (!event.is_object()) continue;
            const auto* eventName = event.as_object().if_contains("event");
            if (eventName && eventName->is_string() && eventName->as_string() == name) {
                found.push_back(event.as_object());
            }
        }
    }
    return found;
}

}  // namespace

extern "C" {

ingestion* ingestion_start(const char* flags_body) {
    auto* server = new ingestion();
    ::setenv("XDG_DATA_HOME", server->folder.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", server->folder.path().c_str(), 1);
    server->host = server->server.host();
    server->server.setReply("/batch", support::ScriptedReply::json(200, "{}"));
    server->server.setReply("/flags", support::ScriptedReply::json(200, flags_body ? flags_body : "{}"));
    return server;
}

void ingestion_stop(ingestion* server) { delete server; }

const char* ingestion_host(const ingestion* server) { return server->host.c_str(); }

size_t ingestion_wait_for_events(ingestion* server, const char* event, size_t count, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        auto found = uploadedEvents(*server, event).size();
        if (found >= count || std::chrono::steady_clock::now() >= deadline) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

char* ingestion_last_properties(ingestion* server, const char* event) {
    auto events = uploadedEvents(*server, event);
    if (events.empty()) return nullptr;
    const auto* properties = events.back().if_contains("properties");
    if (!properties) return nullptr;
    auto text = platform::json::write(*properties);
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

size_t ingestion_distinct_events(ingestion* server, const char* event) {
    std::set<std::string> ids;
    for (const auto& found : uploadedEvents(*server, event)) {
        const auto* uuid = found.if_contains("uuid");
        if (uuid && uuid->is_string()) ids.insert(std::string(uuid->as_string()));
    }
    return ids.size();
}

size_t ingestion_flag_requests(ingestion* server) {
    size_t count = 0;
    for (const auto& request : server->server.requests()) {
        if (request.path.substr(0, request.path.find('?')) == "/flags") ++count;
    }
    return count;
}

void harness_prepare_config(plover_config* config) {
    config->config->disableReachabilityForTesting = true;
    config->config->disableQueueTimerForTesting = true;
}

}  // extern "C"
