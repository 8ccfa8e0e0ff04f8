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
Tokens are read from all waiting connections side by side, each connection with one
deadline for its whole token and only a few waiting at once, so that peers that connect
and stay silent, or send a byte now and then, cannot keep the coordinator out.
"""

from __future__ import annotations

import hmac
import pickle
import secrets
import selectors
import socket
import struct
import threading
import time
from collections.abc import Callable

TOKEN_BYTES = 32
_TOKEN_SECONDS = 10.0
# The coordinator makes one connection: more than a few waiting at once are someone else's.
_WAITING_LIMIT = 16
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
    Before that, a connection has ``token_timeout`` seconds to present the token, and at most
    ``waiting_limit`` connections wait to present it at once.
    """

    def __init__(
        self,
        answer: Callable,
        host: str,
        idle_timeout: float,
        *,
        token_timeout: float = _TOKEN_SECONDS,
        waiting_limit: int = _WAITING_LIMIT,
    ):
        self.token = secrets.token_bytes(TOKEN_BYTES)
        self._answer = answer
        self._idle_timeout = idle_timeout
        self._token_timeout = min(idle_timeout, token_timeout)
        self._waiting_limit = waiting_limit
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        self._listener.bind((host, 0))
        self._listener.listen(waiting_limit)
        self._listener.setblocking(False)
        self.address = self._listener.getsockname()[:2]
        self._thread = threading.Thread(target=self._serve, name="vorlent-shard", daemon=True)
        self._thread.start()

    def _accept(self) -> socket.socket | None:
        """The first connection that presents the token; None when none did within
        ``idle_timeout`` of the port's opening."""
        give_up = time.monotonic() + self._idle_timeout
        door = _Door(self._listener, self.token, self._token_timeout, self._waiting_limit)
        try:
            conn = door.admit(give_up)
        except OSError:  # the port takes no more connections (out of descriptors)
            return None
        finally:
            door.close()
        if conn is not None:
            conn.settimeout(self._idle_timeout)
        return conn

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


class _Door:
    """Connections that have not presented the whole token yet, oldest first, read side by
    side: one that stays silent or sends a byte now and then holds up no other.

    Each has ``seconds`` from its arrival for the whole token, however it is split. Beyond
    ``limit`` waiting, a new arrival closes the oldest: the coordinator sends its token as it
    connects, so it is the newest when it arrives, whereas closing the newest would let a
    peer that keeps ``limit`` silent connections open keep the coordinator out for good.
    """

    def __init__(self, listener: socket.socket, token: bytes, seconds: float, limit: int):
        self._listener = listener
        self._token = token
        self._seconds = seconds
        self._limit = limit
        # connection -> (monotonic deadline, token bytes so far); arrival order is deadline
        # order, so the first is the oldest and the next to expire
        self._waiting: dict[socket.socket, tuple[float, bytearray]] = {}
        self._selector = selectors.DefaultSelector()
        self._selector.register(listener, selectors.EVENT_READ)

    def admit(self, give_up: float) -> socket.socket | None:
        """The first connection to present the token before ``give_up`` (a monotonic time),
        out of the waiting ones; None if none did."""
        while True:
            now = time.monotonic()
            while self._waiting and self._oldest_deadline() <= now:
                self._drop(self._oldest())
            if now >= give_up:
                return None
            wake = min(give_up, self._oldest_deadline()) if self._waiting else give_up
            for key, _ in self._selector.select(wake - now):
                if key.fileobj is self._listener:
                    self._arrive()
                elif (conn := self._read(key.fileobj)) is not None:
                    return conn

    def close(self) -> None:
        """Closes every connection still waiting."""
        for conn in list(self._waiting):
            self._drop(conn)
        self._selector.close()

    def _oldest(self) -> socket.socket:
        return next(iter(self._waiting))

    def _oldest_deadline(self) -> float:
        return self._waiting[self._oldest()][0]

    def _arrive(self) -> None:
        try:
            conn, _ = self._listener.accept()
        except (BlockingIOError, ConnectionError):  # gone before it was accepted
            return
        if len(self._waiting) >= self._limit:
            self._drop(self._oldest())
        conn.setblocking(False)
        self._waiting[conn] = (time.monotonic() + self._seconds, bytearray())
        self._selector.register(conn, selectors.EVENT_READ)

    def _read(self, conn: socket.socket) -> socket.socket | None:
        """``conn`` once it has presented the token, None while it has not (it is closed
        when what it presented is not the token)."""
        if conn not in self._waiting:  # closed earlier in the same round
            return None
        _, presented = self._waiting[conn]
        try:
            # Never past the token: what follows it is the coordinator's first message.
            chunk = conn.recv(TOKEN_BYTES - len(presented))
        except BlockingIOError:
            return None
        except OSError:  # reset by the peer
            chunk = b""
        if not chunk:  # gone before the whole token
            self._drop(conn)
            return None
        presented += chunk
        if len(presented) < TOKEN_BYTES:
            return None
        if not hmac.compare_digest(bytes(presented), self._token):
            self._drop(conn)
            return None
        self._forget(conn)
        return conn

    def _forget(self, conn: socket.socket) -> None:
        self._selector.unregister(conn)
        del self._waiting[conn]

    def _drop(self, conn: socket.socket) -> None:
        self._forget(conn)
        conn.close()


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
