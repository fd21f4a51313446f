#!/usr/bin/python3
"""A phone-side WebRTC peer (aiortc), driven over standard input and output.

It offers a data channel as the phone app does, and speaks one JSON object per line:

  out {"type": "offer", "sdp": ...}               once ICE gathering is complete
  in  {"type": "answer", "sdp": ...}
  in  {"type": "candidate", "candidate": ..., "sdpMid": ..., "sdpMLineIndex": ...}
  out {"type": "open"}                             the data channel is open
  out {"type": "text", "text": ..., "channel": l}  a text message arrived on channel l
  out {"type": "binary", "size": n}                a binary message arrived
  in  {"type": "send", "text": ...}                send a text message
  in  {"type": "send_binary_utf8", "text": ...}    send the text's UTF-8 bytes as a binary message
  in  {"type": "send_binary_hex", "hex": ...}      send these bytes as a binary message
  in  {"type": "open_channel", "label": ...}       open another data channel; later sends use it
  in  {"type": "report"}                           say what binary data arrived so far:
  out {"type": "report", "binaryBytes": n, "binaryMessages": n, "sha256": hex, "maxMessage": n}
  out {"type": "state", "state": ...}              the connection state changed
  in  {"type": "reoffer", "sdp": ...}              the host renegotiates (a video track came)
  out {"type": "reanswer", "sdp": ...}
  in  {"type": "frames_every", "n": k}             report every k-th frame (default 5)
  out {"type": "frame", "n": n, "width": w, "height": h, "rgb": [r, g, b]}
                                                   a decoded video frame (the first, then every
                                                   fifth), with the mean colour around a quarter point
  in  {"type": "close"}                            close the connection and exit

Used by the host's tests as an independent WebRTC stack, and by hand for debugging.
"""

import asyncio
import faulthandler
import signal
import hashlib
import json
import os
import select
import sys

from aiortc import RTCConfiguration, RTCPeerConnection, RTCSessionDescription
from aiortc.sdp import candidate_from_sdp


def emit(obj):
    # Straight to the descriptor, whole: a pipe that the reader made non-blocking takes lines in
    # parts, and Python's unbuffered text layer would drop the rest.
    data = (json.dumps(obj) + "\n").encode()
    while data:
        try:
            data = data[os.write(1, data):]
        except BlockingIOError:
            select.select([], [1], [])


async def main():
    # No ICE servers: the host candidates are all there is, and nothing leaves the machine.
    pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
    binary = hashlib.sha256()
    settings = {"every": 5}
    stats = {"bytes": 0, "messages": 0, "max": 0}

    def watch(channel):
        @channel.on("open")
        def on_open():
            emit({"type": "open", "channel": channel.label})

        @channel.on("message")
        def on_message(message):
            if isinstance(message, str):
                emit({"type": "text", "text": message, "channel": channel.label})
            else:
                binary.update(message)
                stats["bytes"] += len(message)
                stats["messages"] += 1
                stats["max"] = max(stats["max"], len(message))
                emit({"type": "binary", "size": len(message)})

        return channel

    channels = [watch(pc.createDataChannel("terminal"))]

    async def watch_video(track):
        n = 0
        while True:
            try:
                frame = await track.recv()
            except Exception:
                return
            n += 1
            if n == 1 or n % settings["every"] == 0:
                picture = frame.to_ndarray(format="rgb24")
                h, w = picture.shape[0], picture.shape[1]
                # A quarter in from the corner: the pointer starts in the middle.
                centre = picture[h // 4 - 8:h // 4 + 8, w // 4 - 8:w // 4 + 8]
                rgb = [int(centre[:, :, i].mean()) for i in range(3)]
                emit({"type": "frame", "n": n, "width": w, "height": h, "rgb": rgb})

    @pc.on("track")
    def on_track(track):
        if track.kind == "video":
            asyncio.ensure_future(watch_video(track))

    @pc.on("connectionstatechange")
    def on_state():
        emit({"type": "state", "state": pc.connectionState})

    await pc.setLocalDescription(await pc.createOffer())
    emit({"type": "offer", "sdp": pc.localDescription.sdp})

    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while True:
        line = await reader.readline()
        if not line:
            break
        try:
            msg = json.loads(line)
        except ValueError:
            continue
        kind = msg.get("type")
        if kind == "answer":
            await pc.setRemoteDescription(RTCSessionDescription(msg["sdp"], "answer"))
        elif kind == "frames_every":
            settings["every"] = max(1, int(msg.get("n", 5)))
        elif kind == "reoffer":
            await pc.setRemoteDescription(RTCSessionDescription(msg["sdp"], "offer"))
            await pc.setLocalDescription(await pc.createAnswer())
            emit({"type": "reanswer", "sdp": pc.localDescription.sdp})
        elif kind == "candidate":
            text = msg.get("candidate", "")
            if text.startswith("candidate:"):
                text = text[len("candidate:"):]
            if not text:
                continue
            candidate = candidate_from_sdp(text)
            candidate.sdpMid = msg.get("sdpMid")
            candidate.sdpMLineIndex = msg.get("sdpMLineIndex")
            await pc.addIceCandidate(candidate)
        elif kind == "send":
            channels[-1].send(msg["text"])
        elif kind == "send_binary_utf8":
            channels[-1].send(msg["text"].encode("utf-8"))
        elif kind == "send_binary_hex":
            channels[-1].send(bytes.fromhex(msg["hex"]))
        elif kind == "open_channel":
            channels.append(watch(pc.createDataChannel(msg.get("label", "second"))))
        elif kind == "report":
            emit({"type": "report", "binaryBytes": stats["bytes"],
                  "binaryMessages": stats["messages"], "sha256": binary.hexdigest(),
                  "maxMessage": stats["max"]})
        elif kind == "close":
            break
    await pc.close()


if __name__ == "__main__":
    faulthandler.register(signal.SIGUSR1)
    asyncio.run(main())
