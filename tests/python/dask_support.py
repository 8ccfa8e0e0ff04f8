"""What the Dask tests share: a real two-process LocalCluster, collections split into
given row blocks (lengths unknown to Dask for frames), and a bit-for-bit comparison."""

import contextlib

import dask
import dask.dataframe as dd
import distributed
import numpy as np


@contextlib.contextmanager
def local_cluster():
    """A client of a LocalCluster of two worker processes with one thread each."""
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def split(pandas_object, chunks):
    """A Dask DataFrame or Series whose partitions hold ``chunks`` rows each."""
    pieces, start = [], 0
    for n in chunks:
        pieces.append(dask.delayed(pandas_object.iloc[start : start + n]))
        start += n
    return dd.from_delayed(pieces, meta=pandas_object.iloc[:0])


def same_bits(got, want) -> None:
    """Equal shape, dtype and bytes (so -0.0 differs from 0.0 and NaNs must match)."""
    got, want = np.asarray(got), np.asarray(want)
    assert got.shape == want.shape and got.dtype == want.dtype, (got.shape, want.shape)
    if want.dtype.kind == "O":
        assert got.tolist() == want.tolist()
    else:
        assert got.tobytes() == want.tobytes()
