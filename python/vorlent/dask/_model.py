"""Getting a fitted estimator to the workers once, and unpickling it once per process.

The estimator is pickled on the client (its trees, node covers, feature schema and classes)
and the bytes are named by their SHA-256. With a distributed client the bytes are scattered
to every worker once (``broadcast=True``) and every task refers to that one Future; without
one (the local schedulers) they are one literal key of the graph. On the worker, every task
looks the digest up in a small per-process cache and unpickles the bytes only on a miss, so
a process unpickles a model once however many blocks it predicts, and calls made one after
another with the same model (``predict`` then ``predict_proba``) reuse it. The pickle is
taken when the collection is built: refitting the estimator afterwards does not change a
collection that was built before.

The threads of one worker share its process's estimator, and the core runs the calls on one
booster one at a time (each call is parallel inside, with the estimator's ``n_jobs``): on a
worker of several threads the blocks of one model take turns. Workers of one thread each, or
an ``n_jobs`` that fills the worker's cores, keep the machine busy.
"""

from __future__ import annotations

import collections
import hashlib
import pickle
import threading
import weakref
from dataclasses import dataclass

import dask

#: Unpickled estimators kept per worker process, the least recently used dropped first.
CACHE_SIZE = 8

_lock = threading.Lock()
_cache: collections.OrderedDict[str, object] = collections.OrderedDict()
_loads: collections.Counter[str] = collections.Counter()

# Futures of bytes already scattered, per (client id, digest): a second call with the same
# model on the same client sends nothing while the first call's collections still hold it.
_scattered: weakref.WeakValueDictionary = weakref.WeakValueDictionary()


@dataclass(frozen=True)
class ShippedModel:
    """Where tasks find an estimator: its pickle's digest and the reference to its bytes."""

    digest: str  # SHA-256 of the pickle, hex
    ref: object  # a distributed Future or a Delayed holding the pickle


def ship(estimator, client) -> ShippedModel:
    """Pickles ``estimator`` and makes its bytes reachable from tasks.

    Parameters
    ----------
    estimator : VorlentClassifier or VorlentRegressor
        A fitted estimator.
    client : distributed.Client or None
        Scatter to this client's workers; None puts the bytes in the graph.
    """
    blob = pickle.dumps(estimator, protocol=pickle.HIGHEST_PROTOCOL)
    digest = hashlib.sha256(blob).hexdigest()
    if client is None:
        return ShippedModel(digest, _literal(blob, f"vorlent-model-{digest}"))
    key = (client.id, digest)
    future = _scattered.get(key)
    if future is None or future.status != "finished":
        future = _scatter(client, blob)
        _scattered[key] = future
    return ShippedModel(digest, future)


def ship_data(value, client, name: str):
    """Makes an in-memory argument (background rows) reachable from tasks as one key: a
    scattered Future with a client, else a literal of the graph."""
    if client is None:
        return _literal(value, f"{name}-{dask.base.tokenize(value)}")
    return _scatter(client, value)


def load(digest: str, blob: bytes):
    """The estimator whose pickle is ``blob``, unpickled at most once per process while it
    stays among the ``CACHE_SIZE`` most recently used."""
    with _lock:
        model = _cache.get(digest)
        if model is None:
            model = pickle.loads(blob)
            _loads[digest] += 1
            _cache[digest] = model
            while len(_cache) > CACHE_SIZE:
                _cache.popitem(last=False)
        else:
            _cache.move_to_end(digest)
        return model


def load_counts() -> dict[str, int]:
    """How many times this process unpickled each model, by digest (for diagnosis: run it
    on the workers with ``client.run(vorlent.dask.load_counts)``)."""
    with _lock:
        return dict(_loads)


def _scatter(client, value):
    """One Future of ``value`` on every worker (in a list, so that a list or a dict is not
    taken for many values)."""
    return client.scatter([value], broadcast=True, hash=False)[0]


def _literal(value, key: str):
    """A Delayed holding ``value`` itself under ``key``, never traversed for collections."""
    return dask.delayed(value, name=key, pure=True, traverse=False)


def resolve_client(client):
    """The distributed client to ship to: ``client`` itself, else the default client when
    one exists, else None (the collections then run on any scheduler)."""
    try:
        import distributed
    except ImportError:
        distributed = None
    if client is not None:
        if distributed is None or not isinstance(client, distributed.Client):
            raise TypeError(f"client must be a distributed.Client or None, got {type(client)}")
        return client
    if distributed is None:
        return None
    try:
        return distributed.default_client()
    except ValueError:  # no client was started
        return None
