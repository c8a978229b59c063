#pragma once
// The pieces of GStreamer that every webrtcbin of the process shares: one initialisation, made on
// first use, and the choice of the local addresses its ICE agent gathers candidates on.

#include <string>
#include <vector>

typedef struct _GstElement GstElement;

namespace realtime::detail {

// Initialises GStreamer once per process; throws std::runtime_error with GStreamer's text when
// it cannot be initialised. Later calls return at once.
void ensureGStreamer();

// Makes the ICE agent of `webrtcbin` gather host candidates on `addresses` only (and never ask
// the router for a port mapping). Does nothing for an empty list. Throws std::invalid_argument for
// a text that is not an IP address.
void restrictIceAddresses(GstElement* webrtcbin, const std::vector<std::string>& addresses);

}  // namespace realtime::detail
