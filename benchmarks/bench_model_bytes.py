"""Throughput of serialize / deserialize on a large hand-built model.

    .venv/bin/python benchmarks/bench_model_bytes.py [TREES] [DEPTH]

Prints the model size and the best of five timings of each direction.
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

from model_craft import Model, axis, category, leaf, pair
from timing import best_seconds
from vorlent_core import Booster


def full_tree(depth: int, n_features: int, seed: int) -> list:
    nodes = []

    def grow(d):
        index = len(nodes)
        nodes.append(None)
        if d == depth:
            nodes[index] = leaf(0.01 * (index % 7))
            return index
        left = grow(d + 1)
        right = grow(d + 1)
        f = (index + seed) % n_features
        kind = (index + seed) % 3
        if kind == 0:
            nodes[index] = axis(f, 0.5, left, right)
        elif kind == 1:
            nodes[index] = pair(f, (f + 1) % n_features, 0.3, -0.7, 0.1, left, right)
        else:
            nodes[index] = category(f, (f + 1) % n_features, 0.2, -0.1, left, right)
        return index

    grow(0)
    return nodes




def main() -> None:
    n_trees = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    depth = int(sys.argv[2]) if len(sys.argv) > 2 else 6
    n_features = 20
    model = Model(
        objective=1,
        n_features=n_features,
        feature_gain=[1.0] * n_features,
        coefficient_gain=[1.0] * n_features,
        trees=[full_tree(depth, n_features, t) for t in range(n_trees)],
    )
    data = model.pack()
    booster = Booster()
    load = best_seconds(lambda: booster.deserialize(data), 5)
    save = best_seconds(booster.serialize, 5)
    assert booster.serialize() == data
    n_nodes = n_trees * (2 ** (depth + 1) - 1)
    mb = len(data) / 1e6
    print(f"{n_trees} trees, {n_nodes} nodes, {mb:.1f} MB")
    print(f"deserialize: {load * 1e3:.1f} ms ({mb / load:.0f} MB/s)")
    print(f"serialize:   {save * 1e3:.1f} ms ({mb / save:.0f} MB/s)")


if __name__ == "__main__":
    main()
