#include "platform/audio/audio_device_facts.hpp"

#include "platform/audio/detail/pulse_connection.hpp"

namespace platform {

namespace {

using detail::PulseConnection;

std::map<std::string, std::string> propertiesOf(const pa_proplist* list) {
    std::map<std::string, std::string> properties;
    void* state = nullptr;
    while (const char* key = pa_proplist_iterate(list, &state)) {
        if (const char* value = pa_proplist_gets(list, key)) properties.emplace(key, value);
    }
    return properties;
}

std::string property(const std::map<std::string, std::string>& properties, const char* key) {
    auto found = properties.find(key);
    return found == properties.end() ? std::string() : found->second;
}

AudioPortType portType(uint32_t type) {
    return type <= PA_DEVICE_PORT_TYPE_ANALOG ? static_cast<AudioPortType>(type) : AudioPortType::unknown;
}

struct Query {
    PulseConnection& connection;
    std::string sinkName;
    std::string sourceName;
    std::optional<OutputDeviceFacts> output;
    std::optional<InputDeviceFacts> input;
};

// Reads the names of the default devices; false when the server cannot be asked.
bool readDefaults(Query& query) {
    auto* operation = pa_context_get_server_info(
        query.connection.context(),
        [](pa_context*, const pa_server_info* info, void* user) {
            auto* query = static_cast<Query*>(user);
            if (info && info->default_sink_name) query->sinkName = info->default_sink_name;
            if (info && info->default_source_name) query->sourceName = info->default_source_name;
            query->connection.signal();
        },
        &query);
    return query.connection.await(operation);
}

void readOutput(Query& query) {
    if (query.sinkName.empty()) return;
    auto* operation = pa_context_get_sink_info_by_name(
        query.connection.context(), query.sinkName.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* user) {
            auto* query = static_cast<Query*>(user);
            if (eol == 0 && info) {
                OutputDeviceFacts facts;
                facts.name = info->name ? info->name : "";
                facts.description = info->description ? info->description : "";
                facts.properties = propertiesOf(info->proplist);
                facts.bus = property(facts.properties, PA_PROP_DEVICE_BUS);
                facts.formFactor = property(facts.properties, PA_PROP_DEVICE_FORM_FACTOR);
                if (info->active_port) {
                    facts.activePortName = info->active_port->name ? info->active_port->name : "";
                    facts.activePortDescription = info->active_port->description ? info->active_port->description : "";
                    facts.activePortType = portType(info->active_port->type);
                }
                facts.isNetwork = (info->flags & PA_SINK_NETWORK) != 0;
                query->output = std::move(facts);
            }
            if (eol != 0) query->connection.signal();
        },
        &query);
    query.connection.await(operation);
}

void readInput(Query& query) {
    if (query.sourceName.empty()) return;
    auto* operation = pa_context_get_source_info_by_name(
        query.connection.context(), query.sourceName.c_str(),
        [](pa_context*, const pa_source_info* info, int eol, void* user) {
            auto* query = static_cast<Query*>(user);
            if (eol == 0 && info) {
                InputDeviceFacts facts;
                facts.name = info->name ? info->name : "";
                facts.description = info->description ? info->description : "";
                facts.properties = propertiesOf(info->proplist);
                facts.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
                query->input = std::move(facts);
            }
            if (eol != 0) query->connection.signal();
        },
        &query);
    query.connection.await(operation);
}

}  // namespace

std::optional<OutputDeviceFacts> defaultOutputDeviceFacts() {
    PulseConnection connection("Kestro device check");
    PulseConnection::Lock lock(connection);
    std::string error;
    if (!connection.connect(error)) return std::nullopt;
    Query query{connection, {}, {}, {}, {}};
    if (readDefaults(query)) readOutput(query);
    return std::move(query.output);
}

std::optional<InputDeviceFacts> defaultInputDeviceFacts() {
    PulseConnection connection("Kestro device check");
    PulseConnection::Lock lock(connection);
    std::string error;
    if (!connection.connect(error)) return std::nullopt;
    Query query{connection, {}, {}, {}, {}};
    if (readDefaults(query)) readInput(query);
    return std::move(query.input);
}

bool hasMicrophone() {
    auto input = defaultInputDeviceFacts();
    return input && !input->isMonitor;
}

}  // namespace platform
