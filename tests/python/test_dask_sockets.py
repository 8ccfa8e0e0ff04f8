"""The socket transport of Dask training: its wire (frames, token, errors, idle end) in
this process, and fits over it on a real LocalCluster giving the bytes of the actor calls."""

import pickle
import socket
import threading
import time

import numpy as np
import pytest

pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import dask.array as da
import vorlent
from vorlent.dask import DaskVorlentClassifier, DaskVorlentRegressor
from vorlent.dask._sockets import TOKEN_BYTES, ShardServer, connect, read_frame, send_frame


def closed_without_answer(sock) -> bool:
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:  # closed with our bytes unread
        return True


def ask(sock, method, *args):
    send_frame(sock, pickle.dumps((method, args)))
    return pickle.loads(read_frame(sock))


class Recorder:
    """An answer that records its calls and fails on request."""

    def __init__(self):
        self.calls = []

    def __call__(self, method, *args):
        self.calls.append(method)
        if method == "fail":
            raise ValueError(f"refused {args}")
        if method == "unpicklable":
            return [lambda: None]
        return [np.arange(args[0])]


def test_messages_answers_and_errors_cross_the_wire():
    answer = Recorder()
    server = ShardServer(answer, "127.0.0.1", idle_timeout=30)
    with connect(server.address, server.token, timeout=30) as sock:
        for n in (0, 3, 200_000):  # empty, small and a frame larger than one packet
            ok, value = ask(sock, "rows", n)
            assert ok
            np.testing.assert_array_equal(value[0], np.arange(n))
        ok, error = ask(sock, "fail", 7)
        assert not ok and isinstance(error, ValueError) and "refused (7,)" in str(error)
        ok, error = ask(sock, "unpicklable")
        assert not ok and isinstance(error, RuntimeError) and "could not be sent" in str(error)
        ok, _ = ask(sock, "rows", 1)  # an error does not end the connection
        assert ok
    server._thread.join(timeout=30)
    assert not server._thread.is_alive()  # the coordinator's close ends the thread
    assert answer.calls == ["rows", "rows", "rows", "fail", "unpicklable", "rows"]


def test_a_connection_without_the_token_is_closed_unread():
    """Bytes from a connection that does not present the token are never unpickled; the
    coordinator with the token is still served afterwards."""
    answer = Recorder()
    server = ShardServer(answer, "127.0.0.1", idle_timeout=30)
    wrong = bytes(b ^ 1 for b in server.token)
    for token in (wrong, server.token[: TOKEN_BYTES // 2]):
        with socket.create_connection(server.address, timeout=30) as intruder:
            intruder.sendall(token)
            if len(token) < TOKEN_BYTES:
                intruder.shutdown(socket.SHUT_WR)  # a short token, then nothing
            else:
                send_frame(intruder, pickle.dumps(("rows", (1,))))
            assert closed_without_answer(intruder)
    assert answer.calls == []
    with connect(server.address, server.token, timeout=30) as sock:
        assert ask(sock, "rows", 2)[0]


def test_a_silent_coordinator_lets_the_server_go():
    for connect_first in (False, True):
        server = ShardServer(Recorder(), "127.0.0.1", idle_timeout=0.5)
        sock = connect(server.address, server.token, timeout=30) if connect_first else None
        server._thread.join(timeout=30)
        assert not server._thread.is_alive()
        if sock is not None:
            assert closed_without_answer(sock)
            sock.close()


class Dripper(threading.Thread):
    """A peer that connects and sends one byte every ``interval`` seconds until the server
    closes the connection; ``kept`` is how long it was kept, from before it connected."""

    def __init__(self, address, interval):
        super().__init__(daemon=True)
        self.started = time.monotonic()
        # A busy server may take a while to accept; only the drip itself keeps time.
        self.sock = socket.create_connection(address, timeout=30)
        self.sock.settimeout(interval)
        self.kept = None

    def run(self):
        with self.sock:
            while time.monotonic() - self.started < 60:
                try:
                    self.sock.recv(1)  # the server never writes here: only its close wakes us
                    break
                except TimeoutError:
                    self.sock.send(b"\0")
                except OSError:  # reset: our last byte came after the close
                    break
        self.kept = time.monotonic() - self.started


def test_a_token_has_one_deadline_however_it_is_split():
    """A peer dripping a byte every 0.25 s, too slowly to send the token within its 1 s but
    quickly enough for any single read, is closed at that deadline, not after its 32nd
    byte; the coordinator is served afterwards."""
    server = ShardServer(Recorder(), "127.0.0.1", idle_timeout=60, token_timeout=1.0)
    dripper = Dripper(server.address, interval=0.25)
    dripper.start()
    dripper.join(timeout=60)
    assert 1.0 <= dripper.kept < 5.0  # the whole token would have taken 8 s
    with connect(server.address, server.token, timeout=30) as sock:
        assert ask(sock, "rows", 1)[0]


def test_waiting_peers_neither_hold_up_the_coordinator_nor_pile_up():
    """Six silent connections and a dripping one, opened before the coordinator with room for
    four waiting: each arrival beyond four closes the oldest long before its deadline, the
    coordinator's round trip takes a fraction of the deadline, and once it is in, no peer
    is kept waiting."""
    deadline = 30.0
    server = ShardServer(
        Recorder(), "127.0.0.1", idle_timeout=60, token_timeout=deadline, waiting_limit=4
    )
    silent = [socket.create_connection(server.address, timeout=deadline / 2) for _ in range(6)]
    dripper = Dripper(server.address, interval=0.5)
    dripper.start()
    assert all(closed_without_answer(sock) for sock in silent[:3])
    for sock in silent[3:]:  # all seven have arrived: the four newest are still waiting
        sock.settimeout(0.2)
        with pytest.raises(TimeoutError):
            sock.recv(1)
        sock.settimeout(deadline / 2)
    assert dripper.is_alive()
    started = time.monotonic()
    with connect(server.address, server.token, timeout=deadline) as sock:
        assert ask(sock, "rows", 3)[0]
        assert time.monotonic() - started < deadline / 6
        assert all(closed_without_answer(s) for s in silent[3:])
        dripper.join(timeout=deadline)
        assert dripper.kept < deadline / 2
    for s in silent:
        s.close()


@pytest.fixture(scope="module")
def client():
    from dask_support import local_cluster

    with local_cluster() as c:
        yield c


def table(n, seed, cols=4):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, cols))
    X[rng.random(n) < 0.1, 2] = np.nan
    score = X[:, 0] - 0.5 * X[:, 1] + np.nan_to_num(X[:, 2])
    return X, score, score + rng.normal(scale=0.5, size=n), rng.uniform(0.2, 3.0, n)


COMMON = {"random_state": 0, "n_estimators": 5, "max_depth": 3, "learning_rate": 0.4}


def test_a_fit_over_sockets_with_validation_actors_equals_the_local_exact_fit(client):
    """Training and validation rows each held by actors of their own, each over its own
    sockets: weighted multiclass with early stopping gives the local exact fit's bytes."""
    X, score, _, w = table(260, seed=3)
    X_val, score_val, _, _ = table(80, seed=4)
    y, y_val = np.digitize(score, [-1.0, 0.5]), np.digitize(score_val, [-1.0, 0.5])
    params = dict(
        COMMON, split_mode="axis", n_estimators=40, n_iter_no_change=2, early_stopping=True
    )
    local = vorlent.VorlentClassifier(exact_sums=True, **params)
    local.fit(X, y, sample_weight=w, eval_set=(X_val, y_val))
    chunks = (90, 0, 100, 70)
    model = DaskVorlentClassifier(client=client, transport="socket", fit_timeout=60, **params)
    model.fit(
        da.from_array(X, chunks=(chunks, 4)),
        da.from_array(y, chunks=(chunks,)),
        da.from_array(w, chunks=(chunks,)),
        eval_set=(da.from_array(X_val, chunks=(30, 4)), da.from_array(y_val, chunks=30)),
    )
    assert model.n_estimators_ < 40
    assert model.booster_.serialize() == local.booster_.serialize()


def test_sockets_need_workers_reached_over_tcp():
    """Workers in the client's process (inproc://) are refused before anything is computed,
    and so is a transport that is not a string."""
    X, _, y, _ = table(60, seed=5)
    Xd, yd = da.from_array(X, chunks=30), da.from_array(y, chunks=30)
    with (
        distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=None) as cluster,
        distributed.Client(cluster) as c,
    ):
        model = DaskVorlentRegressor(client=c, transport="socket")
        with pytest.raises(ValueError, match="plain TCP"):
            model.fit(Xd, yd)
        assert not hasattr(model, "booster_")
        with pytest.raises(TypeError, match="transport"):
            DaskVorlentRegressor(client=c, transport=None).fit(Xd, yd)
