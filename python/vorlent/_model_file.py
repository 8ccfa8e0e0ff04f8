"""The model file: a checked envelope around the core's model bytes.

Layout (all integers little-endian)::

    offset      size  field
    0           8     magic b"\\x89VORLENT" (the high first byte catches 7-bit transfers)
    8           4     u32 format version (this module writes version 2, reads 1 and 2)
    12          8     u64 header length H
    20          H     header: a JSON object in UTF-8, with "format_version" repeating the
                      version above
    20+H        8     u64 core length C
    28+H        C     the core model bytes, exactly as vorlent_core.Booster.serialize()
                      wrote them (readable by Booster().deserialize)
    28+H+C      4     u32 CRC-32 (zlib's) of every byte before it
    32+H+C            end of file: nothing may follow

The versions share this layout and differ in what the core bytes may hold. Version 2 core
bytes keep the interaction gains in a trailing block of the pairs that have any, with an
empty dense table in their place; version 1 core bytes have the dense n_features^2 table,
which the core's reader still loads (and writes back in the new form). Readers of version 1
cannot load the new core bytes, so the raised version makes them refuse the file as needing
a newer vorlent rather than fail inside it.

Reading checks, in order, the magic, the version (a file from a newer format says which
version it needs and to upgrade vorlent), the lengths against the file's size, the
checksum, and the header (valid UTF-8, strict JSON, an object, the same version). The core
bytes are left to the core's reader, which checks them itself. Every problem is a
ValueError saying what is wrong and at which byte offset.
"""

from __future__ import annotations

import json
import os
import struct
import zlib

from ._replace import replacing

MAGIC = b"\x89VORLENT"
FORMAT_VERSION = 2

_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")
_FIXED = len(MAGIC) + _U32.size + _U64.size + _U64.size + _U32.size  # 32 bytes around H and C


def encode_model(header: dict, core_bytes: bytes) -> bytes:
    """Wrap a header and the core's model bytes into the file format.

    Parameters
    ----------
    header : dict
        JSON-ready (str, int, float, bool, None, lists and dicts; no NaN or infinity).
        ``format_version`` is added.
    core_bytes : bytes
        From ``vorlent_core.Booster.serialize()``.

    Returns
    -------
    bytes

    Raises
    ------
    TypeError
        When the header is not a dict or not JSON-ready, or core_bytes is not bytes.

    Examples
    --------
    >>> data = encode_model({"estimator": "demo"}, b"core")
    >>> decode_model(data)
    ({'estimator': 'demo', 'format_version': 2}, b'core')
    """
    if not isinstance(header, dict):
        raise TypeError(f"header must be a dict, got {type(header).__name__}")
    if not isinstance(core_bytes, (bytes, bytearray, memoryview)):
        raise TypeError(f"core_bytes must be bytes, got {type(core_bytes).__name__}")
    try:
        text = json.dumps({**header, "format_version": FORMAT_VERSION}, allow_nan=False)
    except (TypeError, ValueError) as e:
        raise TypeError(f"header is not JSON-ready: {e}") from None
    head = text.encode("utf-8")
    core = bytes(core_bytes)
    body = b"".join(
        [MAGIC, _U32.pack(FORMAT_VERSION), _U64.pack(len(head)), head, _U64.pack(len(core)), core]
    )
    return body + _U32.pack(zlib.crc32(body))


def decode_model(data: bytes, *, source: str = "<bytes>") -> tuple[dict, bytes]:
    """Check the envelope and split it into the header and the core's model bytes.

    Parameters
    ----------
    data : bytes
        A whole model file.
    source : str
        Where the bytes came from (a path), for error messages.

    Returns
    -------
    header : dict
    core_bytes : bytes

    Raises
    ------
    ValueError
        For anything damaged, truncated or from a newer format: the message says what and
        at which byte offset.
    """
    data = bytes(data)

    def fail(offset: int, what: str):
        raise ValueError(f"{source}: {what} (byte offset {offset})")

    if data[: len(MAGIC)] != MAGIC:
        fail(0, "not a vorlent model file: the magic bytes differ")
    if len(data) < len(MAGIC) + _U32.size:
        fail(len(data), "the file ends inside the format version")
    (version,) = _U32.unpack_from(data, 8)
    if version > FORMAT_VERSION:
        fail(
            8,
            f"the file has model format version {version}, which needs a newer vorlent; "
            f"this one reads versions up to {FORMAT_VERSION}: upgrade vorlent",
        )
    if version == 0:
        fail(8, "format version 0 does not exist")
    if len(data) < _FIXED:
        fail(len(data), f"the file is truncated: {len(data)} bytes, at least {_FIXED} needed")
    (head_length,) = _U64.unpack_from(data, 12)
    if head_length > len(data) - _FIXED:
        fail(12, f"header length {head_length} runs past the end of the {len(data)}-byte file")
    core_at = 20 + head_length
    (core_length,) = _U64.unpack_from(data, core_at)
    end = core_at + 8 + core_length
    if end + _U32.size != len(data):
        problem = "runs past the end" if end + _U32.size > len(data) else "stops before the end"
        fail(core_at, f"core length {core_length} {problem} of the {len(data)}-byte file")
    (stored,) = _U32.unpack_from(data, end)
    if zlib.crc32(data[:end]) != stored:
        fail(end, "checksum mismatch: the file is damaged")
    header = _parse_header(data[20:core_at], fail)
    stated = header.get("format_version")
    if type(stated) is not int or stated != version:
        fail(20, f"the header's format_version {stated!r} is not {version}")
    return header, data[core_at + 8 : end]


def _parse_header(raw: bytes, fail) -> dict:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        fail(20 + e.start, f"the header is not valid UTF-8 ({e.reason})")
    try:
        header = json.loads(text, parse_constant=_refuse_constant, object_pairs_hook=_unique_keys)
    except json.JSONDecodeError as e:
        # e.pos counts characters; the offset counts bytes.
        fail(20 + len(text[: e.pos].encode("utf-8")), f"the header is not valid JSON ({e.msg})")
    except (ValueError, RecursionError) as e:
        fail(20, f"the header is not valid JSON ({e})")
    if not isinstance(header, dict):
        fail(20, f"the header is a JSON {type(header).__name__}, not an object")
    return header


def _refuse_constant(name: str):
    raise ValueError(f"{name} is not JSON")


def _unique_keys(pairs: list) -> dict:
    result = dict(pairs)
    if len(result) != len(pairs):
        raise ValueError("a key appears twice in one object")
    return result


def write_model_file(path, header: dict, core_bytes: bytes) -> None:
    """Write a model file, replacing any file at path only once it is complete.

    Parameters
    ----------
    path : str or os.PathLike
    header : dict
        See :func:`encode_model`.
    core_bytes : bytes
        From ``vorlent_core.Booster.serialize()``.
    """
    data = encode_model(header, core_bytes)
    with replacing(path) as scratch, open(scratch, "wb") as f:
        f.write(data)


def read_model_file(path) -> tuple[dict, bytes]:
    """Read and check a model file written by :func:`write_model_file`.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    header : dict
    core_bytes : bytes

    Raises
    ------
    ValueError
        For a damaged file or one from a newer format (see :func:`decode_model`).
    OSError
        When the file cannot be read.
    """
    path = os.fspath(path)
    with open(path, "rb") as f:
        data = f.read()
    return decode_model(data, source=str(path))
