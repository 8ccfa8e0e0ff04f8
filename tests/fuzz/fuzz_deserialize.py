"""Fuzzes Booster.deserialize with mutated, truncated and spliced model bytes.

Every input must either load or raise ValueError. A model that loads must predict, write
itself back, and load again from what it wrote with the same bytes and the same scores.
Anything else (another exception, a crash, a sanitizer report) is a finding.

Run through tests/fuzz/run.sh, which builds an instrumented module and seeds the corpus.
"""

import os
import struct
import sys

import atheris

# An instrumented build of the module, when run.sh made one, comes first.
if os.environ.get("VORLENT_FUZZ_MODULE_DIR"):
    sys.path.insert(0, os.environ["VORLENT_FUZZ_MODULE_DIR"])

with atheris.instrument_imports():
    import numpy as np
    import vorlent_core

# Columns of the prediction matrix: wide enough for the seed models, small enough to
# keep each run fast. A model reading further columns is refused by predict (ValueError).
MAX_COLUMNS = 64


def n_features_of(data: bytes) -> int:
    (f,) = struct.unpack_from("<i", data, 44)
    (n,) = struct.unpack_from("<i", data, 48 + 8 * f)
    return n


def rows_for(width: int) -> np.ndarray:
    # Spread values, a NaN and an infinity for the missing-value and overflow paths, and
    # whole numbers for category codes.
    gen = np.random.default_rng(width)
    x = gen.uniform(-3.0, 3.0, size=(5, width))
    x[1, 0] = np.nan
    x[2, -1] = np.inf
    x[3] = np.floor(x[3])  # category codes
    return x


def same(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def call_optional(booster, name: str, *args) -> None:
    # Parts of the surface that land separately are exercised once they exist.
    method = getattr(booster, name, None)
    if method is None:
        return
    try:
        method(*args)
    except ValueError:
        pass


@atheris.instrument_func
def test_one_input(data: bytes) -> None:
    booster = vorlent_core.Booster()
    try:
        booster.deserialize(data)
    except ValueError as e:
        if "offset" not in str(e):
            raise AssertionError(f"error without an offset: {e}") from e
        if booster.serialize() != vorlent_core.Booster().serialize():
            raise AssertionError("a failed load changed the booster")
        return

    written = booster.serialize()
    x = rows_for(max(1, min(n_features_of(data), MAX_COLUMNS)))
    try:
        raw = booster.predict_raw(x)
        proba = booster.predict_proba(x)
    except ValueError:
        raw = proba = None  # the model reads columns beyond MAX_COLUMNS

    again = vorlent_core.Booster()
    again.deserialize(written)
    if again.serialize() != written:
        raise AssertionError("writing a loaded model back is not stable")
    if raw is not None and (
        not same(again.predict_raw(x), raw) or not same(again.predict_proba(x), proba)
    ):
        raise AssertionError("a written-back model predicts differently")

    call_optional(booster, "explain", x)
    call_optional(booster, "feature_importances")
    call_optional(booster, "coefficient_importances")
    call_optional(booster, "interaction_importances")
    call_optional(booster, "interaction_pairs")


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
