"""The model file envelope (vorlent._model_file): layout, round trips and damage."""

import json
import os
import struct
import textwrap
import zlib

import numpy as np
import pytest
from helpers import run_capped, trained_model
from hypothesis import given, settings
from hypothesis import strategies as st
from vorlent._model_file import (
    FORMAT_VERSION,
    MAGIC,
    decode_model,
    encode_model,
    read_model_file,
    write_model_file,
)

HEADER = {
    "estimator": "VorlentClassifier",
    "params": {"n_estimators": 4, "learning_rate": 0.1, "monotonic_cst": None},
    "feature_names": ["température", "城市", "x"],
    "categories": [{"column": 1, "kind": "str", "values": ["東京", "Zürich"]}],
}


@pytest.fixture(scope="module")
def model():
    booster, X = trained_model((2, 0, 0), n=300, n_estimators=3)
    return booster, X[:20]


def reseal(data: bytes) -> bytes:
    """The same bytes with the checksum recomputed: damage the checksum alone would not see."""
    return data[:-4] + struct.pack("<I", zlib.crc32(data[:-4]))


def test_layout_is_the_documented_one():
    core = b"\x00core\xff"
    data = encode_model({"a": 1}, core)
    head = json.dumps({"a": 1, "format_version": FORMAT_VERSION}).encode()
    body = (
        MAGIC
        + struct.pack("<IQ", FORMAT_VERSION, len(head))
        + head
        + struct.pack("<Q", len(core))
        + core
    )
    assert data == body + struct.pack("<I", zlib.crc32(body))
    assert MAGIC == b"\x89VORLENT" and FORMAT_VERSION == 2


def test_round_trip_keeps_the_header_and_the_core_bytes(tmp_path, model):
    booster, X = model
    core = booster.serialize()
    path = tmp_path / "m.vorlent"
    write_model_file(path, HEADER, core)
    header, again = read_model_file(path)
    assert header == {**HEADER, "format_version": FORMAT_VERSION}
    assert again == core
    from vorlent_core import Booster

    loaded = Booster()
    loaded.deserialize(again)
    np.testing.assert_array_equal(loaded.predict_raw(X), booster.predict_raw(X))
    write_model_file(str(path), {"other": True}, b"")  # replaces, leaving no scratch file
    assert read_model_file(path) == ({"other": True, "format_version": FORMAT_VERSION}, b"")
    assert os.listdir(tmp_path) == ["m.vorlent"]


def test_every_truncation_and_every_bit_flip_is_refused(model):
    data = encode_model(HEADER, model[0].serialize())
    for end in range(len(data)):
        with pytest.raises(ValueError, match=r"^<bytes>: .* \(byte offset \d+\)$"):
            decode_model(data[:end])
    # CRC-32 sees every single-bit error; the fields before it see their own first.
    for bit in range(8 * len(data)):
        damaged = bytearray(data)
        damaged[bit // 8] ^= 1 << (bit % 8)
        with pytest.raises(ValueError, match=r"byte offset \d+\)$"):
            decode_model(bytes(damaged))
    with pytest.raises(ValueError, match="stops before the end"):
        decode_model(data + b"\x00")


@pytest.mark.parametrize(
    "edit, message, offset",
    [
        (lambda d: b"PK\x03\x04" + d[4:], "not a vorlent model file", 0),
        (
            lambda d: d[:8] + struct.pack("<I", 7) + d[12:],
            "version 7, which needs a newer vorlent",
            8,
        ),
        (lambda d: d[:8] + struct.pack("<I", 0) + d[12:], "format version 0", 8),
        (lambda d: d[:12] + struct.pack("<Q", 2**64 - 1) + d[20:], "header length", 12),
        (lambda d: d[:20] + b"[" + d[21:], "not valid JSON", None),
        (lambda d: d[:21] + b"\xff" + d[22:], "not valid UTF-8", 21),
        (lambda d: d[:-5] + bytes([d[-5] ^ 1]) + d[-4:], "checksum mismatch", None),
    ],
    ids=["magic", "newer", "zero", "header-length", "json", "utf8", "core-bit"],
)
def test_damage_says_what_and_where(edit, message, offset):
    data = encode_model({"key": "value"}, b"core bytes")
    damaged = edit(data)
    if message not in ("checksum mismatch", "not a vorlent model file"):
        damaged = reseal(damaged)
    with pytest.raises(ValueError, match=message) as excinfo:
        decode_model(damaged, source="model.bin")
    text = str(excinfo.value)
    assert text.startswith("model.bin: ") and "\n" not in text
    if offset is not None:
        assert text.endswith(f"(byte offset {offset})")
    if "newer" in message:
        assert "upgrade vorlent" in text


@pytest.mark.parametrize(
    "head, message",
    [
        (b"[1, 2]", "a JSON list, not an object"),
        (b'{"a": NaN, "format_version": 1}', "NaN is not JSON"),
        (b'{"a": 1, "a": 2, "format_version": 1}', "a key appears twice"),
        (b'{"a": 1}', "format_version None is not 1"),
        (b'{"format_version": true}', "format_version True is not 1"),
        (b'{"format_version": 1, "t": "\xc3\xa9"  x}', "not valid JSON"),
        (b"[" * 100_000, "not valid JSON"),
    ],
)
def test_headers_must_be_strict_json_objects(head, message):
    body = MAGIC + struct.pack("<IQ", 1, len(head)) + head + struct.pack("<Q", 0)
    with pytest.raises(ValueError, match=message):
        decode_model(body + struct.pack("<I", zlib.crc32(body)))


def test_json_errors_give_the_byte_offset_of_the_fault():
    head = '{"ville": "Genève", "x": oops}'.encode()
    body = MAGIC + struct.pack("<IQ", 1, len(head)) + head + struct.pack("<Q", 0)
    with pytest.raises(ValueError) as excinfo:
        decode_model(body + struct.pack("<I", zlib.crc32(body)))
    assert str(excinfo.value).endswith(f"(byte offset {20 + head.index(b'oops')})")


def test_headers_that_are_not_json_ready_are_refused_when_writing():
    with pytest.raises(TypeError, match="not JSON-ready"):
        encode_model({"x": float("nan")}, b"")
    with pytest.raises(TypeError, match="not JSON-ready"):
        encode_model({"x": object()}, b"")
    with pytest.raises(TypeError, match="header must be a dict"):
        encode_model([1], b"")


MUTATE_AND_LOAD = """
import random, struct, sys, zlib
sys.path.insert(0, {tests!r})
from helpers import run_capped, trained_model
from vorlent_core import Booster
from vorlent._model_file import decode_model, encode_model

seeds = [encode_model({{"i": i}}, trained_model(kind, n=200, n_estimators=2)[0].serialize())
         for i, kind in enumerate([(0, 0, 0), (1, 2, 0), (2, 0, 0), (1, 0, 1)])]
gen = random.Random(7)
loaded = refused = 0
for _ in range({rounds}):
    data = bytearray(gen.choice(seeds))
    for _ in range(gen.randint(1, 4)):
        at = gen.randrange(len(data))
        data[at] = gen.randrange(256)
    data = bytes(data[:-4]) + struct.pack("<I", zlib.crc32(bytes(data[:-4])))
    try:
        header, core = decode_model(data)
        Booster().deserialize(core)
        loaded += 1
    except ValueError:
        refused += 1
print(loaded, refused)
"""


def test_resealed_mutations_load_or_raise_value_error_without_crashing():
    tests = os.path.dirname(__file__)
    code = textwrap.dedent(MUTATE_AND_LOAD.format(tests=tests, rounds=3000))
    done = run_capped(code, memory_gb=4, timeout=300, env={"OMP_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr[-2000:]
    loaded, refused = map(int, done.stdout.split())
    assert loaded + refused == 3000 and refused > 0 and loaded > 0


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=20,
)


@settings(max_examples=200, deadline=None)
@given(header=st.dictionaries(st.text(), json_values, max_size=6), core=st.binary(max_size=200))
def test_any_json_header_and_core_bytes_round_trip(header, core):
    header.pop("format_version", None)
    assert decode_model(encode_model(header, core)) == (
        {**header, "format_version": FORMAT_VERSION},
        core,
    )


@settings(max_examples=300, deadline=None)
@given(data=st.binary(max_size=300), prefix=st.booleans())
def test_arbitrary_bytes_raise_value_error_only(data, prefix):
    if prefix:  # past the magic and version, into the length, header and checksum checks
        data = reseal(MAGIC + struct.pack("<I", 1) + data + b"\x00" * 4)
    with pytest.raises(ValueError, match=r"byte offset \d+\)$"):
        decode_model(data)
