"""Writing a file so that it appears whole or not at all.

Every file vorlent writes (model files, the command line's outputs) is written to a scratch
file beside its path and renamed onto it once complete: a write that fails half-way (a full
disk, a file-size limit, an interrupt) leaves any earlier file at the path as it was, where
writing in place would leave a truncated one behind.
"""

from __future__ import annotations

import contextlib
import os


@contextlib.contextmanager
def replacing(path):
    """Yield a scratch path to write to; on success it replaces ``path``, on failure it is
    removed and ``path`` is untouched.

    An OSError from the block or the rename is raised again naming ``path`` (the scratch
    file is nobody's business).

    Parameters
    ----------
    path : str or os.PathLike
        The file to write (or replace).

    Yields
    ------
    scratch : str
        A path in the same folder (so the rename stays on one file system).

    Examples
    --------
    >>> import os, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "out.txt")
    >>> with replacing(path) as scratch:
    ...     with open(scratch, "w") as f:
    ...         _ = f.write("complete")
    >>> open(path).read()
    'complete'
    >>> with replacing(path) as scratch:
    ...     with open(scratch, "w") as f:
    ...         _ = f.write("half")
    ...     raise OSError(27, "File too large")
    Traceback (most recent call last):
    OSError: [Errno 27] File too large
    >>> open(path).read(), sorted(os.listdir(os.path.dirname(path)))
    ('complete', ['out.txt'])
    """
    path = os.fspath(path)
    scratch = f"{path}.{os.getpid()}.partial"
    try:
        yield scratch
        os.replace(scratch, path)
    except OSError as error:
        raise _naming(error, scratch, path) from None
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(scratch)


def _naming(error: OSError, scratch: str, path: str) -> OSError:
    """``error`` with ``path`` wherever it named ``scratch`` (OSError(errno, ...) keeps the
    subclass: PermissionError stays PermissionError)."""
    if error.errno is None:
        return OSError(str(error).replace(scratch, path))
    named = path if error.filename == scratch else error.filename
    return OSError(error.errno, (error.strerror or "").replace(scratch, path), named)
