"""Feed clients of vantrel.exe on 127.0.0.1:8902: on a plain socket, where a
test shapes the bytes itself, or on the websockets library; the frames and
feed messages they exchange; and the limits of their asyncio scenarios.
"""

import asyncio
import base64
import contextlib
import hashlib
import json
import os
import socket
import struct
import time

import websockets

from harness.wine import FEED_PORT, fail

HOST = "127.0.0.1"
URL = "ws://%s:%d/feed" % (HOST, FEED_PORT)
GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

# Seconds: the limit of each step that waits for the program.
STEP = 15

OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0x1, 0x2, 0x8, 0x9, 0xA

# A slow reader's socket: receive buffer and segment size.
SLOW_RCVBUF, SLOW_MSS = 2048, 536


# ---------------------------------------------------------------------------
# Limits


def run(scenario, limit):
    """Runs one asyncio scenario; fails when it outlives `limit` seconds
    (the scenario is cancelled, so its clients close)."""
    async def bounded():
        try:
            return await asyncio.wait_for(scenario, limit)
        except asyncio.TimeoutError:
            pass
        fail("the scenario did not finish within %s s" % limit)
    return asyncio.run(bounded())


async def within(awaitable, what, limit=STEP):
    try:
        return await asyncio.wait_for(awaitable, limit)
    except asyncio.TimeoutError:
        pass
    fail("no %s within %s s" % (what, limit))


# ---------------------------------------------------------------------------
# Feed messages and frames


def request_text(item):
    """The request the program sends for an item."""
    return '{ "request" : "%s" }' % item


def update_text(item, value):
    """An update as feed clients write it: with Python's JSON library, its
    defaults (non-ASCII escaped) included."""
    return json.dumps({"key": item, "value": value})


def frame(opcode, payload, mask=True):
    """One complete client frame (FIN set), masked unless told otherwise."""
    if isinstance(payload, str):
        payload = payload.encode("utf-8")
    n = len(payload)
    mask_bit = 0x80 if mask else 0
    if n < 126:
        head = struct.pack("!BB", 0x80 | opcode, mask_bit | n)
    elif n < 65536:
        head = struct.pack("!BBH", 0x80 | opcode, mask_bit | 126, n)
    else:
        head = struct.pack("!BBQ", 0x80 | opcode, mask_bit | 127, n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def text_frame(payload, mask=True):
    return frame(OP_TEXT, payload, mask)


def update_frame(item, value):
    return text_frame(update_text(item, value))


def close_frame(code=1000):
    return frame(OP_CLOSE, struct.pack("!H", code))


def close_answer(code):
    """The program's close frame with a status code (unmasked)."""
    return struct.pack("!BBH", 0x80 | OP_CLOSE, 2, code)


def accept_value(key):
    """Sec-WebSocket-Accept for a client key (RFC 6455, 1.3 and 4.2.2)."""
    return base64.b64encode(hashlib.sha1(key.encode("ascii") + GUID).digest()).decode("ascii")


def new_key():
    return base64.b64encode(os.urandom(16)).decode("ascii")


def request_head(key, path="/feed", origin=None):
    """A browser-like upgrade request head, with an Origin header when given."""
    return ("GET %s HTTP/1.1\r\nHost: %s:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n%s\r\n"
            % (path, HOST, FEED_PORT, key, "Origin: %s\r\n" % origin if origin else "")).encode("ascii")


def response_head(key):
    """The program's complete 101 response for a client key."""
    return ("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: %s\r\n\r\n" % accept_value(key)).encode("ascii")


# ---------------------------------------------------------------------------
# A feed client on a plain socket


class RawFeed:
    """A feed client on a plain socket: it writes exactly the bytes given,
    in the pieces given, and reads the program's frames one by one."""

    def __init__(self, reader, writer):
        self.reader = reader
        self.writer = writer

    @classmethod
    async def connect(cls, slow=False):
        """Connects without a handshake. A `slow` client has a small
        receive buffer and a small segment size, both set before the
        connection so that they shape it: the program's socket then holds
        only some tens of kilobytes for it, and the rest has to wait in the
        program while the client does not read."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            if slow:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SLOW_RCVBUF)
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, SLOW_MSS)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.setblocking(False)
            await within(asyncio.get_running_loop().sock_connect(sock, (HOST, FEED_PORT)),
                         "TCP connection to %s:%d" % (HOST, FEED_PORT))
            reader, writer = await asyncio.open_connection(
                sock=sock, limit=SLOW_RCVBUF if slow else 2 ** 16)
        except BaseException:
            sock.close()
            raise
        return cls(reader, writer)

    @classmethod
    async def opened(cls, slow=False):
        """Connects and completes the handshake."""
        feed = await cls.connect(slow)
        try:
            await feed.handshake()
        except BaseException:
            await feed.close()
            raise
        return feed

    async def send(self, *pieces, pause=0.0):
        """Writes each piece separately, with `pause` seconds between."""
        for i, piece in enumerate(pieces):
            if i and pause:
                await asyncio.sleep(pause)
            self.writer.write(piece)
            await within(self.writer.drain(), "room to write")

    async def handshake(self, key=None, pieces=None, pause=0.2):
        """Sends the request head (in `pieces`, when given, from the head)
        and checks the 101 response byte for byte."""
        key = key or new_key()
        head = request_head(key)
        await self.send(*(pieces(head) if pieces else [head]), pause=pause)
        got = await self.read_head()
        if got != response_head(key):
            fail("handshake response:\n%r" % got)

    async def read_head(self):
        try:
            return await within(self.reader.readuntil(b"\r\n\r\n"), "101 response")
        except asyncio.IncompleteReadError as closed:
            fail("the connection was closed instead of the 101 response; got %r" % closed.partial)

    async def read_frame(self, limit=STEP):
        """The next frame from the program: (first byte, payload). Frames
        from a server are never masked."""
        async def read():
            b0, b1 = await self.reader.readexactly(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", await self.reader.readexactly(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", await self.reader.readexactly(8))[0]
            if b1 & 0x80:
                fail("a masked frame from the program")
            return b0, await self.reader.readexactly(n)
        try:
            return await within(read(), "frame from the program", limit)
        except asyncio.IncompleteReadError as closed:
            fail("the program closed the connection (after %r)" % closed.partial)

    async def next_text(self, limit=STEP):
        """The payload of the next frame, which must be a whole text frame."""
        b0, payload = await self.read_frame(limit)
        if b0 != 0x80 | OP_TEXT:
            fail("frame 0x%02x %r instead of a text frame" % (b0, payload))
        return payload.decode("cp1252")

    def stop_reading(self):
        """Leaves what arrives in the socket: its small window closes."""
        self.writer.transport.pause_reading()

    async def slow_frames(self, count, chunk=512, pause=0.005, limit=300):
        """Reads `count` frames `chunk` bytes at a time with `pause` seconds
        between reads; gives them as (first byte, payload). Every frame
        must be whole: a text frame (a request) or a pong."""
        self.writer.transport.resume_reading()
        frames = []
        buf = bytearray()

        async def read():
            while len(frames) < count:
                data = await self.reader.read(chunk)
                if not data:
                    fail("the program closed the connection after %d of %d frames"
                         % (len(frames), count))
                buf.extend(data)
                while len(buf) >= 2:
                    n, at = buf[1] & 0x7F, 2
                    if n == 126:
                        if len(buf) < 4:
                            break
                        n, at = struct.unpack_from("!H", buf, 2)[0], 4
                    if buf[0] not in (0x80 | OP_TEXT, 0x80 | OP_PONG) or buf[1] & 0x80 or n == 127:
                        fail("frame %d is broken: %r" % (len(frames), bytes(buf[:16])))
                    if len(buf) < at + n:
                        break
                    frames.append((buf[0], bytes(buf[at:at + n])))
                    del buf[:at + n]
                await asyncio.sleep(pause)
            if buf:
                fail("%d stray bytes after %d frames" % (len(buf), count))
        await within(read(), "%d frames" % count, limit)
        return frames

    async def send_message_over_the_limit(self, header):
        """Sends a frame header announcing a message over the program's
        limit of 16 MiB, and 11,000 bytes of its payload; the program must
        end the connection, with close code 1009 where the reset of the bytes
        still coming does not swallow it."""
        try:
            await self.send(header + b"x" * 11000)
        except ConnectionError:
            pass  # closed while the bytes still went in
        got = await self.closed_by_program()
        if got not in (close_answer(1009), b""):
            fail("the program answered a message over the limit with %r" % got)

    async def closed_by_program(self):
        """Waits for the program to close the connection; gives whatever it
        sent before closing."""
        async def drain():
            got = b""
            while True:
                try:
                    data = await self.reader.read(4096)
                except ConnectionResetError:
                    return got
                if not data:
                    return got
                got += data
        return await within(drain(), "close of the connection by the program")

    async def close(self):
        self.writer.close()
        with contextlib.suppress(Exception):
            await asyncio.wait_for(self.writer.wait_closed(), 5)


async def next_client(first_try):
    """Connects a new client and completes its handshake. After a plain
    close of the socket, nothing tells a client when the program has seen
    it: until then a new client is closed at once as a second one, so it
    tries again for a while, unless `first_try` says it must succeed."""
    deadline = time.monotonic() + STEP
    while True:
        feed = await RawFeed.connect()
        key = new_key()
        try:
            await feed.send(request_head(key))
            head = await within(feed.reader.readuntil(b"\r\n\r\n"), "101 response")
        except (asyncio.IncompleteReadError, ConnectionResetError) as refused:
            await feed.close()
            if first_try:
                fail("the next client was closed at once (%r)" % refused)
            if time.monotonic() > deadline:
                fail("no new client accepted within %s s" % STEP)
            await asyncio.sleep(0.2)
            continue
        except BaseException:
            await feed.close()
            raise
        if head != response_head(key):
            await feed.close()
            fail("handshake response:\n%r" % head)
        return feed


# ---------------------------------------------------------------------------
# A feed client on the websockets library


def library_client(**options):
    """A websockets client of the program, used as `async with`: it checks
    the handshake (the accept value included) itself."""
    settings = dict(open_timeout=STEP, close_timeout=3, ping_interval=None)
    settings.update(options)
    return websockets.connect(URL, **settings)


async def next_message(ws, limit=STEP):
    return await within(ws.recv(), "message from the program", limit)
