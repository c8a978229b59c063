#pragma once
// Notices that the other side of a negotiated webrtcbin has gone: it closed the connection (the
// DTLS close_notify), the connection failed, or it stayed disconnected or silent (no DTLS, SCTP,
// RTP or RTCP packet) for longer than peerSilenceLimit. The connector's shared state is
// told through WebRTCShared::lose and WebRTCShared::disconnected.

#include <memory>

typedef struct _GstElement GstElement;

namespace realtime::detail {

struct WebRTCShared;

// Call once the answer has been set: the transports exist from then on.
void watchPeer(GstElement* webrtcbin, const std::shared_ptr<WebRTCShared>& shared);

}  // namespace realtime::detail
