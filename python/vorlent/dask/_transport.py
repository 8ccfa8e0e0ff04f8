"""How the coordinator of Dask training reaches its shard actors: through Dask's actor calls
(the default) or through sockets of their own (``transport="socket"``). Both send every
message to all actors at once and return the answers flattened in actor order, so the fit
is the same bytes whichever carries it."""

from __future__ import annotations

import asyncio
import pickle

from ._sockets import connect, read_frame, send_frame

_IDLE_SECONDS = 600.0


class WorkerLostError(RuntimeError):
    """A worker holding training rows died, lost its blocks or did not answer within the
    fit's timeout; the fit stops and the estimator keeps its previous state."""


def _timed_out(method: str, timeout: float) -> WorkerLostError:
    return WorkerLostError(
        f"a worker did not answer {method!r} within {timeout:g} s (fit_timeout): a worker "
        "died or lost its row blocks"
    )


def _lost(method: str, error: BaseException) -> WorkerLostError:
    return WorkerLostError(f"a worker was lost while answering {method!r}: {error}")


def _logged_name(method: str, args: tuple) -> str:
    # A batch counts as its last message, the one answered.
    return args[0][-1][0] if method == "batch" else method


class DaskShards:
    """Messages as Dask actor calls.

    A message goes to every actor at once from one coroutine on the client's event loop, and
    the coordinator's thread wakes once, when the last answer is in: on a busy machine every
    thread that has to wake up on the way costs a scheduling delay.
    """

    def __init__(self, client, actors, timeout: float, log=None):
        self.client = client
        self.actors = actors
        self.timeout = timeout
        self.log = log  # a list: every message as (method, bytes sent, bytes received)

    async def _ask(self, method, args):
        parts = await asyncio.gather(*(actor.call(method, *args) for actor in self.actors))
        return [answer for part in parts for answer in part]

    def __call__(self, method, *args):
        try:
            answers = self.client.sync(self._ask, method, args, callback_timeout=self.timeout)
        except TimeoutError:
            raise _timed_out(method, self.timeout) from None
        except OSError as error:  # the connection to the actor's worker is gone
            raise _lost(method, error) from error
        if self.log is not None:
            sent = len(self.actors) * len(pickle.dumps(args))
            received = sum(len(pickle.dumps(a)) for a in answers)
            self.log.append((_logged_name(method, args), sent, received))
        return answers

    def close(self) -> None:
        pass


class SocketShards:
    """Messages over one TCP connection per actor, to a thread beside its shard.

    Each actor opens a port on the host Dask reaches its worker at (``hosts``) and tells
    the coordinator, through Dask, where and with which token to connect; the port answers
    this coordinator only and closes with the fit.
    """

    def __init__(self, actors, hosts, timeout: float, log=None):
        self.timeout = timeout
        self.log = log
        self.sockets = []
        # The worker's thread lets its shard go after this long without a message: only a
        # coordinator that vanished without closing its sockets leaves one silent, and the
        # coordinator may think between messages for longer than one step's timeout.
        idle = max(timeout, _IDLE_SECONDS)
        servers = [actor.listen(host, idle) for actor, host in zip(actors, hosts, strict=True)]
        try:
            for server in servers:
                address, token = server.result(timeout=timeout)
                self.sockets.append(connect(address, token, timeout))
        except TimeoutError:
            self.close()
            raise _timed_out("listen", timeout) from None
        except OSError as error:
            self.close()
            raise _lost("listen", error) from error

    def __call__(self, method, *args):
        payload = pickle.dumps((method, args), protocol=pickle.HIGHEST_PROTOCOL)
        try:
            for sock in self.sockets:
                send_frame(sock, payload)
            frames = [read_frame(sock) for sock in self.sockets]
        except TimeoutError:
            raise _timed_out(method, self.timeout) from None
        except OSError as error:  # reset or closed: the worker's process is gone
            raise _lost(method, error) from error
        answers = []
        for frame in frames:
            ok, value = pickle.loads(frame)
            if not ok:
                raise value
            answers.extend(value)
        if self.log is not None:
            sent = len(self.sockets) * len(payload)
            self.log.append((_logged_name(method, args), sent, sum(map(len, frames))))
        return answers

    def close(self) -> None:
        for sock in self.sockets:
            sock.close()
        self.sockets = []


def worker_host(address: str) -> str:
    """The host of a worker reached over plain TCP (``tcp://host:port``); ValueError for
    other protocols, whose encryption or transport the sockets would bypass."""
    protocol, _, rest = address.partition("://")
    if protocol != "tcp":
        raise ValueError(
            f"transport='socket' needs workers reached over plain TCP, but a worker is at "
            f"{address!r}: use transport='dask'"
        )
    host, _, _ = rest.rpartition(":")
    return host.strip("[]")
