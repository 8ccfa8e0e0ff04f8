"""Data files in and out: CSV or Parquet, chosen by the file's extension, through pandas
(Parquet through pyarrow)."""

from __future__ import annotations

import pathlib

from .._replace import replacing
from ._errors import CommandError

FORMATS = {".csv": "CSV", ".parquet": "Parquet", ".pq": "Parquet"}


def table_format(path, role: str) -> str:
    """The format of ``path``, "CSV" or "Parquet"; a CommandError for another extension."""
    suffix = pathlib.Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise CommandError(
            f"{role} {str(path)!r}: unknown file type {suffix or '(no extension)'!r}; "
            "use .csv or .parquet"
        )
    return FORMATS[suffix]


def read_table(path):
    """The file at ``path`` as a pandas DataFrame."""
    import pandas as pd

    kind = table_format(path, "data file")
    try:
        frame = pd.read_csv(path) if kind == "CSV" else pd.read_parquet(path)
    except ImportError as error:
        raise CommandError(f"cannot read {str(path)!r}: {kind} needs pyarrow ({error})") from None
    except FileNotFoundError:
        raise CommandError(f"cannot read {str(path)!r}: no such file") from None
    except (ValueError, TypeError, OSError) as error:  # what pandas and pyarrow raise
        message = " ".join(str(error).split()) or type(error).__name__
        raise CommandError(f"cannot read {str(path)!r} as {kind}: {message}") from None
    if len(frame) == 0:
        raise CommandError(f"{str(path)!r} holds no rows")
    return frame


def write_table(frame, path) -> None:
    """Write ``frame`` to ``path`` as its extension says (checked before any work by
    :func:`table_format`), replacing an earlier file only once the new one is complete."""
    kind = table_format(path, "output file")
    try:
        with replacing(path) as scratch:
            if kind == "CSV":
                frame.to_csv(scratch, index=False)
            else:
                frame.to_parquet(scratch, index=False)
    except OSError as error:
        raise CommandError(f"cannot write {str(path)!r}: {error.strerror or error}") from None


def require_columns(frame, names, path) -> None:
    """A CommandError naming the first of ``names`` that ``frame`` lacks."""
    missing = [name for name in names if name not in frame.columns]
    if missing:
        shown = ", ".join(map(repr, missing))
        raise CommandError(f"{str(path)!r} has no column {shown}")
