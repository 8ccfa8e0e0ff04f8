"""What the data layer (vorlent._data) costs next to the core's own fit and predict.

    OMP_WAIT_POLICY=PASSIVE .venv/bin/python benchmarks/bench_data_layer.py [--rows 100000]

First the goal: on a C-contiguous float64 array of ROWS x 20, fit and predict through
fit_matrix / predict_matrix must stay within 5% (fit) and 10% (predict) of calling the core
directly on the same array (best of --repeat runs, same process). Then, for scale, the
conversion time alone for other inputs of the same size: other dtypes and layouts, pandas,
polars and Arrow frames, with and without string categorical columns.
"""

import argparse
import pathlib
import sys

import numpy as np
import vorlent_core as vc

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import best_seconds
from vorlent._data import fit_matrix, predict_matrix


def overhead(rows: int, repeat: int, trees: int) -> None:
    rng = np.random.default_rng(0)
    X = rng.normal(size=(rows, 20))
    y = (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(float)
    booster = vc.Booster(n_estimators=trees)

    def fit_layer():
        matrix, schema = fit_matrix(X)
        booster.fit(matrix, y)
        return schema

    schema = fit_layer()
    core_fit = best_seconds(lambda: booster.fit(X, y), repeat)
    layer_fit = best_seconds(fit_layer, repeat)
    core_predict = best_seconds(lambda: booster.predict_proba(X), repeat * 5)
    layer_predict = best_seconds(
        lambda: booster.predict_proba(predict_matrix(X, schema)), repeat * 5
    )
    print(f"{rows} x 20 float64, {trees} trees, best of {repeat} (predict: {repeat * 5})")
    for name, core, layer, goal in [
        ("fit", core_fit, layer_fit, 5),
        ("predict", core_predict, layer_predict, 10),
    ]:
        extra = 100 * (layer / core - 1)
        print(
            f"  {name:8s} core {core:8.4f} s   with the layer {layer:8.4f} s   {extra:+6.2f}%  (goal <= {goal}%)"
        )


def conversions(rows: int, repeat: int) -> None:
    rng = np.random.default_rng(1)
    X = rng.normal(size=(rows, 20))
    inputs = {
        "float64 C": X,
        "float32": X.astype(np.float32),
        "Fortran": np.asfortranarray(X),
        "int32": (X * 100).astype(np.int32),
    }
    try:
        import pandas as pd
        import polars as pl

        frame = pd.DataFrame(X, columns=[f"f{i}" for i in range(20)])
        words = np.array([f"word{i}" for i in range(300)], dtype=object)
        mixed = frame.copy()
        for i in range(3):
            mixed[f"f{i}"] = words[rng.integers(0, 300, rows)]
        with_category = mixed.astype({"f0": "category"})
        inputs.update(
            {
                "pandas float": frame,
                "polars float": pl.from_pandas(frame),
                "arrow float": pl.from_pandas(frame).to_arrow(),
                "pandas 3 string": mixed,
                "pandas 1 category + 2 string": with_category,
                "polars 3 string": pl.from_pandas(mixed),
            }
        )
    except ImportError:
        print("  (pandas or polars missing: frames left out)")
    print(f"conversion alone, {rows} x 20, best of {repeat}: fit_matrix / predict_matrix")
    for name, data in inputs.items():
        _, schema = fit_matrix(data)
        fit = best_seconds(lambda data=data: fit_matrix(data), repeat)
        predict = best_seconds(
            lambda data=data, schema=schema: predict_matrix(data, schema), repeat
        )
        print(f"  {name:30s} {1000 * fit:9.2f} ms {1000 * predict:9.2f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--trees", type=int, default=60)
    args = parser.parse_args()
    overhead(args.rows, args.repeat, args.trees)
    conversions(args.rows, args.repeat)


if __name__ == "__main__":
    main()
