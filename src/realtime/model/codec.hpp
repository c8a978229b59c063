#pragma once
// JSON text in and out of the model. Keys are the snake-case forms of the records' field names;
// received keys are converted back to camel case before they are matched (see snakeToCamel), so
// "event_id", "eventId" and "EVENT_ID" all fill eventId; the exact wire key wins over a converted
// one. Keys of maps (metadata, schema properties) travel exactly as stored.

#include <optional>
#include <string>
#include <string_view>

#include "realtime/model/client_event.hpp"
#include "realtime/model/decoding_error.hpp"
#include "realtime/model/server_event.hpp"

namespace realtime {

// The JSON text of a client event. Throws EncodingError when a number in it is not finite.
std::string encode(const ClientEvent& event);

// One received message. Throws DecodingError (UnknownEventTypeError for a type this model does not
// know).
ServerEvent decodeServerEvent(std::string_view json);

// A message as a transport receives it. The service adds event types and kinds of items and
// content over time: an event that fails to decode only because it names one this model does not
// know is skipped, and `skipped` holds the one line that reports it (at most a short prefix of the
// unknown text, control characters shown as "?"). Voices, formats, statuses and the other closed
// sets of words never skip an event: their unknown texts are kept (OpenEnum). Every other failure
// throws as decodeServerEvent does.
struct ReceivedServerEvent {
    std::optional<ServerEvent> event;
    std::string skipped;
};
ReceivedServerEvent decodeReceivedServerEvent(std::string_view json);

// Any record of the model (Session, Tool, ToolChoice, Item, Response, Response::Config, ServerError,
// ...) to and from JSON text. Instantiated in the codec for the model's records.
template <class T>
std::string encodeJson(const T& value);
template <class T>
T decodeJson(std::string_view json);

// The key conversions applied to field names.
std::string camelToSnake(std::string_view name);
std::string snakeToCamel(std::string_view key);

}  // namespace realtime
