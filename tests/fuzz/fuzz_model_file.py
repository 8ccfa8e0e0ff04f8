"""Fuzzes the model file envelope: decode_model, then the core's reader on what it unwraps.

Every input must either decode or raise a one-line ValueError giving a byte offset. Each
input is tried as it is and with its checksum recomputed, so that mutations also reach the
length, header and core checks behind the checksum. What decodes is written again and must decode to
the same header and core bytes, and the core bytes go through the core harness's checks
(tests/fuzz/fuzz_deserialize.py).

Run through tests/fuzz/run.sh, which builds an instrumented module and seeds the corpus.
"""

import os
import pathlib
import struct
import sys
import zlib

import atheris

if os.environ.get("VORLENT_FUZZ_MODULE_DIR"):
    sys.path.insert(0, os.environ["VORLENT_FUZZ_MODULE_DIR"])
# The package from this tree, over whatever copy the environment has installed.
sys.path.insert(1, str(pathlib.Path(__file__).resolve().parents[2] / "python"))
sys.path.insert(1, str(pathlib.Path(__file__).resolve().parent))

with atheris.instrument_imports():
    from vorlent._model_file import decode_model, encode_model

from fuzz_deserialize import test_one_input as check_core_bytes


def resealed(data: bytes) -> bytes:
    if len(data) < 4:
        return data
    return data[:-4] + struct.pack("<I", zlib.crc32(data[:-4]))


@atheris.instrument_func
def test_one_input(data: bytes) -> None:
    check_envelope(data)
    check_envelope(resealed(data))


def check_envelope(data: bytes) -> None:
    try:
        header, core = decode_model(data)
    except ValueError as e:
        message = str(e)
        if "byte offset" not in message or "\n" in message:
            raise AssertionError(f"error without an offset, or on several lines: {e}") from e
        return
    again = decode_model(encode_model(header, core))
    if again != (header, core):
        raise AssertionError("writing a decoded model again changes it")
    check_core_bytes(core)


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
