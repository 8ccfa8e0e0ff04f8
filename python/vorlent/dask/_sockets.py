"""The optional socket transport of Dask training: one TCP connection from the coordinator to
each shard actor's own thread.

Through Dask, a message to an actor crosses the client's event loop, the scheduler-free
actor channel, the worker's event loop and the actor's thread: a few milliseconds per round
trip even on an idle machine, which on small tables is more than the shards' work. Here the
coordinator writes each message straight to a thread on the worker that answers from the
shard, and reads the answer back: the same messages, the same answers, so the same model
bytes.

The worker opens the port only when asked, for one fit, on the host Dask reaches it at. The
first bytes of the connection must be a secret token that travelled through Dask; a
connection that does not start with it is closed before anything it sends is unpickled.
"""

from __future__ import annotations

import hmac
import pickle
import secrets
import socket
import struct
import threading
from collections.abc import Callable

TOKEN_BYTES = 32
_TOKEN_SECONDS = 10.0
_LENGTH = struct.Struct("<Q")


def send_frame(sock: socket.socket, payload: bytes) -> None:
    """One frame: the payload's length (8 bytes, little-endian), then the payload."""
    header = _LENGTH.pack(len(payload))
    if len(payload) < 65536:  # one write, one packet: no copy worth saving
        sock.sendall(header + payload)
    else:
        sock.sendall(header)
        sock.sendall(payload)


def _read_exactly(sock: socket.socket, n: int) -> bytearray:
    buffer = bytearray(n)
    view = memoryview(buffer)
    got = 0
    while got < n:
        count = sock.recv_into(view[got:], n - got)
        if count == 0:
            raise ConnectionError("the connection closed in the middle of a message")
        got += count
    return buffer


def read_frame(sock: socket.socket) -> bytearray:
    """The payload of the next frame; ConnectionError when the other side has closed."""
    (length,) = _LENGTH.unpack(_read_exactly(sock, _LENGTH.size))
    return _read_exactly(sock, length)


class ShardServer:
    """Answers one coordinator's messages with ``answer(method, *args)`` on a thread of its
    own, until the coordinator closes the connection or stays silent for ``idle_timeout``
    seconds (then the thread ends and lets the shard go).

    An answer travels back as ``(True, value)``, an exception raised by ``answer`` as
    ``(False, exception)``, so that the coordinator raises it as the actor call would.
    """

    def __init__(self, answer: Callable, host: str, idle_timeout: float):
        self.token = secrets.token_bytes(TOKEN_BYTES)
        self._answer = answer
        self._idle_timeout = idle_timeout
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        self._listener.bind((host, 0))
        self._listener.listen(4)
        self._listener.settimeout(idle_timeout)
        self.address = self._listener.getsockname()[:2]
        self._thread = threading.Thread(target=self._serve, name="vorlent-shard", daemon=True)
        self._thread.start()

    def _accept(self) -> socket.socket | None:
        """The first connection that presents the token; None when none came in time."""
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return None
            # The token comes with the connection: a peer that holds one open without it
            # must not keep the coordinator out for long.
            conn.settimeout(min(self._idle_timeout, _TOKEN_SECONDS))
            try:
                presented = bytes(_read_exactly(conn, TOKEN_BYTES))
            except OSError:
                presented = b""
            if hmac.compare_digest(presented, self.token):
                conn.settimeout(self._idle_timeout)
                return conn
            conn.close()

    def _serve(self) -> None:
        try:
            conn = self._accept()
        finally:
            self._listener.close()
        if conn is None:
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with conn:
            while True:
                try:
                    method, args = pickle.loads(read_frame(conn))
                except (OSError, EOFError):
                    return
                try:
                    reply = (True, self._answer(method, *args))
                # Any error travels to the coordinator, which raises it as an actor call would.
                except Exception as error:  # noqa: BLE001
                    reply = (False, error)
                try:
                    send_frame(conn, _pickled(reply))
                except OSError:
                    return


def _pickled(reply: tuple) -> bytes:
    """The reply's bytes; an error that cannot be pickled travels as a RuntimeError with its
    text, so that the coordinator is never left waiting for an answer."""
    try:
        return pickle.dumps(reply, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as error:  # noqa: BLE001 (any pickling failure)
        ok, value = reply
        text = f"{type(value).__name__}: {value}" if not ok else "an answer"
        failure = RuntimeError(f"{text} could not be sent back: {error!r}")
        return pickle.dumps((False, failure), protocol=pickle.HIGHEST_PROTOCOL)


def connect(address, token: bytes, timeout: float) -> socket.socket:
    """A connection to a ShardServer at ``address`` that has presented its token."""
    sock = socket.create_connection(tuple(address), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.sendall(token)
    return sock
