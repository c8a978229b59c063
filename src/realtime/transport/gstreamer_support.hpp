#pragma once
// The pieces of GStreamer that every webrtcbin of the process shares: one initialisation, made on
// first use, the choice of the local addresses its ICE agent gathers candidates on, and the
// description of the RTP stream it sends.

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

// Tells the RTP session of `webrtcbin` what the one RTP stream it sends is: `rtpCaps`
// ("application/x-rtp,...", with its payload, clock-rate and ssrc). Call before negotiating.
//
// webrtcbin bundles its RTP streams through a funnel that describes them to the session only as
// "application/x-rtp". The session then learns of the sent stream from its first packet, without
// a clock rate, and asks for the rate while it writes its first sender report: it lets go of its
// lock for the question in the middle of walking its table of sources, and a source that the other
// side's first packet adds at that moment breaks the walk (GLib reports "g_hash_table_foreach:
// assertion 'version == hash_table->version' failed"; a table that grows meanwhile is read after
// it is freed). With the stream's caps the session knows the rate from the start and never asks.
// Throws std::invalid_argument when `rtpCaps` cannot be read.
void describeSentStream(GstElement* webrtcbin, const std::string& rtpCaps);

}  // namespace realtime::detail
