"""Writes the seed corpus of the model-bytes fuzzers: one file per model.

Each source is a function returning {name: model bytes}; add a source to SOURCES to seed
the fuzzers with more models. Both core fuzzers share this corpus (tests/fuzz/run.sh for
the Python module, tests/fuzz/run_native.sh for the reader itself). Given a second
directory, it also writes every model wrapped in the model file envelope (vorlent's
save format) there, for the envelope fuzzer (tests/fuzz/fuzz_model_file.py).
"""

import pathlib
import random
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "python"))

from helpers import TRAINED_KINDS, kind_id, trained_model
from model_craft import (
    Model,
    axis,
    category,
    every_kind_model,
    leaf,
    lineage_model,
    multiclass_model,
    pair,
    projection,
)


def random_pairs(gen: random.Random, n_features: int) -> list[tuple[int, int, float]]:
    """Distinct column pairs with random gains."""
    cells = {(gen.randrange(n_features), gen.randrange(n_features)) for _ in range(4)}
    return [(a, b, gen.uniform(0, 2)) for a, b in cells]


def random_model(seed: int) -> Model:
    """A few random trees mixing every split kind, with offsets on some category splits."""
    gen = random.Random(seed)
    n_features = gen.randint(2, 6)
    multiclass = gen.random() < 0.3
    n_outputs = gen.randint(2, 4) if multiclass else 1
    directions = []
    for _ in range(gen.randint(0, 3)):
        d = [gen.choice([0.0, gen.uniform(-1, 1)]) for _ in range(n_features)]
        directions.append(d)
    categories = []
    trees = []
    for t in range(gen.randint(1, 4)):
        tree = []

        def grow(depth, tree=tree, t=t):
            index = len(tree)
            tree.append(None)
            if depth == 0 or gen.random() < 0.25:
                values = [gen.uniform(-1, 1) for _ in range(n_outputs)] if multiclass else []
                tree[index] = leaf(0.0 if multiclass else gen.uniform(-1, 1), values)
                return index
            kinds = ["axis", "pair", "category"] + (["projection"] if directions else [])
            kind = gen.choice(kinds)
            a, b = gen.randrange(n_features), gen.randrange(n_features)
            left = grow(depth - 1)
            right = grow(depth - 1)
            if kind == "axis":
                node = axis(a, gen.uniform(-1, 1), left, right, gen.randint(0, 1))
            elif kind == "pair":
                node = pair(
                    a,
                    b,
                    gen.uniform(-1, 1),
                    gen.uniform(-1, 1),
                    gen.uniform(-1, 1),
                    left,
                    right,
                    gen.randint(0, 1),
                )
            elif kind == "category":
                node = category(a, b, gen.uniform(-1, 1), gen.uniform(-1, 1), left, right)
                if gen.random() < 0.7:
                    offsets = [gen.uniform(-2, 2) for _ in range(gen.randint(1, 5))]
                    categories.append((t, index, offsets))
            else:
                node = projection(gen.randrange(len(directions)), gen.uniform(-1, 1), left, right)
            node.gain = gen.uniform(0, 3)
            tree[index] = node
            return index

        grow(gen.randint(0, 4))
        trees.append(tree)
    return Model(
        base_score=gen.uniform(-1, 1),
        learning_rate=gen.uniform(0.01, 1),
        objective=2 if multiclass else gen.randint(0, 1),
        clip=gen.randint(0, 1),
        clip_low=-1.0,
        clip_high=1.0,
        n_outputs=n_outputs,
        n_features=n_features,
        feature_gain=[gen.random() for _ in range(n_features)],
        coefficient_gain=[gen.random() for _ in range(n_features)],
        # Some seeds store the pairs as earlier writers did, in the dense table.
        **(
            {"interaction_gain": [gen.random() for _ in range(n_features * n_features)]}
            if seed % 2
            else {"interactions": sorted(random_pairs(gen, n_features))}
        ),
        trees=trees,
        projections=directions,
        base_scores=[gen.uniform(-1, 1) for _ in range(n_outputs)] if multiclass else [],
        categories=sorted(categories),
    )


def crafted_models() -> dict[str, bytes]:
    without_offsets = every_kind_model()
    without_offsets.categories = []
    models = {
        "empty": Model().pack(),
        "every_kind": every_kind_model().pack(),
        "every_kind_without_offsets": without_offsets.pack(),
        "multiclass": multiclass_model().pack(),
        "multiclass_without_start_scores": multiclass_model(with_start_scores=False).pack(),
        "lineage": lineage_model().pack(),
    }
    for seed in range(8):
        models[f"random_{seed}"] = random_model(seed).pack()
    models.update(refused_models())
    return models


def refused_models() -> dict[str, bytes]:
    """Models the reader must refuse, a byte or two away from ones it accepts: binary and
    regression headers that claim more than one output, with and without per-leaf values."""
    models = {}
    for objective in (0, 1):
        claimed = every_kind_model()
        claimed.objective = objective
        claimed.n_outputs = 2
        models[f"refused_outputs_{objective}"] = claimed.pack()
    wide = random_model(1)
    wide.objective, wide.n_outputs = 0, 3
    for tree in wide.trees:
        for node in tree:
            if node.is_leaf:
                node.leaf_values = [0.5, -0.5, 0.25]
    models["refused_outputs_with_leaf_values"] = wide.pack()
    return models


def trained_models() -> dict[str, bytes]:
    """Models made by Booster.fit: every objective and loss with both builders, over data
    with a categorical column (so the histogram builder's models carry category offsets),
    plus a deeper one with many small leaves."""
    models = {}
    for kind in TRAINED_KINDS:
        booster, _ = trained_model(kind, n=300, n_estimators=4)
        models[f"trained_{kind_id(kind)}"] = booster.serialize()
    deep, _ = trained_model((1, 0, 0), n=600, n_estimators=3, max_depth=6, min_samples=2)
    models["trained_regression_deep"] = deep.serialize()
    return models


def golden_models() -> dict[str, bytes]:
    """The committed golden models (tests/data/golden), the legacy ones included."""
    golden = pathlib.Path(__file__).resolve().parents[1] / "data" / "golden"
    models = {f"golden_{p.stem}": p.read_bytes() for p in sorted(golden.glob("*.model"))}
    for p in sorted((golden / "legacy").glob("*/*.model")):
        models[f"golden_legacy_{p.parent.name}_{p.stem}"] = p.read_bytes()
    return models


SOURCES = [crafted_models, trained_models, golden_models]


# Headers like the ones the estimators write, and the edge cases of the JSON reader.
ENVELOPE_HEADERS = [
    {},
    {
        "estimator": "VorlentClassifier",
        "params": {"n_estimators": 4, "learning_rate": 0.1, "monotonic_cst": None, "tol": 1e-7},
        "features": {
            "n_features": 3,
            "feature_names": ["température", "城市", "x"],
            "categorical": [False, True, False],
            "categories": [{"column": 1, "kind": "str", "values": ["東京", "Zürich", ""]}],
        },
        "classes": ["no", "yes"],
    },
    {"nested": [[[{"a": [1, -2.5e-300, True, None]}]]], "escaped": '\\u0000"\t'},
]


def write_corpus(directory: pathlib.Path, envelope_directory: pathlib.Path | None = None) -> int:
    from vorlent._model_file import encode_model

    directory.mkdir(parents=True, exist_ok=True)
    if envelope_directory is not None:
        envelope_directory.mkdir(parents=True, exist_ok=True)
    written = 0
    for source in SOURCES:
        for name, data in source().items():
            (directory / f"{name}.bin").write_bytes(data)
            written += 1
            if envelope_directory is not None:
                header = ENVELOPE_HEADERS[written % len(ENVELOPE_HEADERS)]
                (envelope_directory / f"{name}.vorlent").write_bytes(encode_model(header, data))
    return written


if __name__ == "__main__":
    target = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/fuzz/seeds")
    envelopes = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else None
    print(f"wrote {write_corpus(target, envelopes)} seed models to {target}")
