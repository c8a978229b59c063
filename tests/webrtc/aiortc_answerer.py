#!/usr/bin/python3
"""An answering WebRTC peer built on aiortc, for the connector's tests.

Serves HTTP on 127.0.0.1 (a port of its own, printed as "listening on PORT"):
  POST /offer            the body is an SDP offer; the reply is 201 with the SDP answer. Each offer
                         gets a peer connection of its own that sends a silent Opus track and
                         records what arrives on the "oai-events" channel the offer opened.
  POST /send             sends the body as one text message on the newest channel.
  POST /close-channel    closes the newest channel.
  POST /close-connection closes the newest peer connection (SCTP ABORT, DTLS close_notify).
  GET  /state            "channels=N open=N messages=N audio=N newest=STATE": channels seen, open
                         now, messages received, audio frames decoded, the newest channel's state
                         ("none" before any).
ICE gathers on 127.0.0.1 only. It ends by itself after --lifetime seconds.
"""

import argparse
import asyncio
import sys

import aioice.ice
from aiortc import RTCConfiguration, RTCPeerConnection, RTCSessionDescription
from aiortc.mediastreams import AudioStreamTrack

# aioice leaves out loopback addresses; the tests talk over loopback only.
aioice.ice.get_host_addresses = lambda use_ipv4, use_ipv6: ["127.0.0.1"] if use_ipv4 else []

MAX_BODY = 1 << 20

connections = []  # (peer connection, [channel]) in the order of the offers
messages = []
audio_frames = [0]  # decoded frames of the offerers' audio


def newest_channel():
    for _, channels in reversed(connections):
        if channels:
            return channels[-1]
    return None


async def answer(offer_sdp):
    pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
    channels = []
    connections.append((pc, channels))

    @pc.on("datachannel")
    def on_datachannel(channel):
        channels.append(channel)

        @channel.on("message")
        def on_message(message):
            messages.append(message)

    @pc.on("track")
    def on_track(track):
        async def consume():
            try:
                while True:
                    await track.recv()
                    audio_frames[0] += 1
            except Exception:
                pass

        asyncio.ensure_future(consume())

    @pc.on("connectionstatechange")
    async def on_state():
        if pc.connectionState == "failed":
            await pc.close()

    await pc.setRemoteDescription(RTCSessionDescription(sdp=offer_sdp, type="offer"))
    pc.addTrack(AudioStreamTrack())
    await pc.setLocalDescription(await pc.createAnswer())
    return pc.localDescription.sdp


async def control(path, body):
    if path == "/send":
        channel = newest_channel()
        if channel is None or channel.readyState != "open":
            return 409, "no open channel"
        channel.send(body.decode())
        return 200, "sent"
    if path == "/close-channel":
        channel = newest_channel()
        if channel is None:
            return 409, "no channel"
        channel.close()
        return 200, "closed"
    if path == "/close-connection":
        if not connections:
            return 409, "no connection"
        await connections[-1][0].close()
        return 200, "closed"
    return 404, "unknown"


async def handle(reader, writer):
    try:
        head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 10)
        lines = head.decode("latin-1").split("\r\n")
        method, path = lines[0].split(" ")[:2]
        length = 0
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value.strip())
        if length < 0 or length > MAX_BODY:
            raise ValueError("body too large")
        body = await asyncio.wait_for(reader.readexactly(length), 10) if length else b""
        path = path.split("?")[0]
        content_type = "text/plain"
        if method == "POST" and path == "/offer":
            status, text, content_type = 201, await answer(body.decode()), "application/sdp"
        elif method == "GET" and path == "/state":
            open_now = sum(1 for _, chs in connections for c in chs if c.readyState == "open")
            channels = sum(len(chs) for _, chs in connections)
            newest = newest_channel()
            newest_state = newest.readyState if newest else "none"
            status, text = 200, (
                f"channels={channels} open={open_now} messages={len(messages)} audio={audio_frames[0]} "
                f"newest={newest_state}"
            )
        elif method == "POST":
            status, text = await control(path, body)
        else:
            status, text = 405, "method not allowed"
    except Exception as error:  # a broken request gets an error reply, never ends the server
        status, text, content_type = 400, f"bad request: {error}", "text/plain"
    payload = text.encode()
    reason = {200: "OK", 201: "Created"}.get(status, "Error")
    writer.write(
        f"HTTP/1.1 {status} {reason}\r\nContent-Type: {content_type}\r\n"
        f"Content-Length: {len(payload)}\r\nConnection: close\r\n\r\n".encode() + payload
    )
    try:
        await writer.drain()
    finally:
        writer.close()


async def main(lifetime):
    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print(f"listening on {server.sockets[0].getsockname()[1]}", flush=True)
    try:
        await asyncio.sleep(lifetime)
    finally:
        server.close()
        for pc, _ in connections:
            await pc.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--lifetime", type=float, default=120, help="seconds before it ends by itself")
    asyncio.run(main(parser.parse_args().lifetime))
    sys.exit(0)
