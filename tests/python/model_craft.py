"""Model bytes written field by field with `struct`, independently of the module's writer.

Used by the byte-format tests and by the fuzz corpus (tests/fuzz/make_corpus.py).
"""

import struct
from dataclasses import dataclass, field, replace

import numpy as np

NODE_FORMAT = "<Bd3i4d3idii"  # one node record without its leaf values: 81 bytes
assert struct.calcsize(NODE_FORMAT) == 81


@dataclass
class Node:
    is_leaf: int = 1
    value: float = 0.0
    kind: int = 0
    feature_a: int = -1
    feature_b: int = -1
    threshold: float = 0.0
    coef_a: float = 0.0
    coef_b: float = 0.0
    bias: float = 0.0
    left: int = -1
    right: int = -1
    missing_right: int = 0
    gain: float = 0.0
    projection: int = -1
    leaf_values: list[float] = field(default_factory=list)

    def pack(self) -> bytes:
        record = struct.pack(
            NODE_FORMAT,
            self.is_leaf,
            self.value,
            self.kind,
            self.feature_a,
            self.feature_b,
            self.threshold,
            self.coef_a,
            self.coef_b,
            self.bias,
            self.left,
            self.right,
            self.missing_right,
            self.gain,
            self.projection,
            len(self.leaf_values),
        )
        return record + f64s(self.leaf_values)


def leaf(value: float, leaf_values: list[float] | None = None) -> Node:
    return Node(value=value, leaf_values=list(leaf_values or []))


def axis(feature: int, threshold: float, left: int, right: int, missing_right: int = 1) -> Node:
    return Node(0, 0.0, 1, feature, -1, threshold, 0.0, 0.0, 0.0, left, right, missing_right, 1.0)


def pair(
    a: int,
    b: int,
    coef_a: float,
    coef_b: float,
    bias: float,
    left: int,
    right: int,
    missing_right: int = 1,
) -> Node:
    return Node(0, 0.0, 2, a, b, 0.0, coef_a, coef_b, bias, left, right, missing_right, 1.0)


def category(code: int, numeric: int, slope: float, bias: float, left: int, right: int) -> Node:
    return Node(0, 0.0, 3, code, numeric, 0.0, 1.0, slope, bias, left, right, 1, 1.0)


def projection(index: int, bias: float, left: int, right: int, missing_right: int = 1) -> Node:
    return Node(0, 0.0, 0, -1, -1, 0.0, 0.0, 0.0, bias, left, right, missing_right, 1.0, index)


def f64s(values) -> bytes:
    # Little-endian binary64, every bit kept (a dense table may hold millions).
    return np.asarray(values, dtype="<f8").tobytes()


def counted(values) -> bytes:
    return struct.pack("<i", len(values)) + f64s(values)


@dataclass
class Model:
    base_score: float = 0.0
    learning_rate: float = 0.12
    objective: int = 0
    clip: int = 0
    clip_low: float = 0.0
    clip_high: float = 0.0
    n_outputs: int = 1
    n_features: int = 0
    feature_gain: list[float] = field(default_factory=list)
    coefficient_gain: list[float] = field(default_factory=list)
    # The dense n_features^2 table that writers before the interaction block wrote; the
    # writer leaves it empty and puts the pairs in `interactions`.
    interaction_gain: list[float] | np.ndarray = field(default_factory=list)
    trees: list[list[Node]] = field(default_factory=list)
    projections: list[list[float]] = field(default_factory=list)
    base_scores: list[float] | None = field(default_factory=list)  # None: no block 5
    # (tree, node, offsets) of categorical-pair splits, in (tree, node) order.
    categories: list[tuple[int, int, list[float]]] = field(default_factory=list)
    # (feature_a, feature_b, gain) of the interaction block, in (feature_a, feature_b) order.
    interactions: list[tuple[int, int, float]] = field(default_factory=list)

    def __post_init__(self):
        # A model with columns carries one accumulator entry per column (the reader insists).
        if self.n_features > 0 and not self.feature_gain:
            self.feature_gain = [0.0] * self.n_features
            self.coefficient_gain = [0.0] * self.n_features

    def pack(self) -> bytes:
        out = struct.pack(
            "<ddiiddi",
            self.base_score,
            self.learning_rate,
            self.objective,
            self.clip,
            self.clip_low,
            self.clip_high,
            self.n_outputs,
        )
        out += counted(self.feature_gain)
        out += struct.pack("<i", self.n_features) + f64s(self.coefficient_gain)
        out += counted(self.interaction_gain)
        out += struct.pack("<i", len(self.trees))
        for tree in self.trees:
            out += struct.pack("<i", len(tree)) + b"".join(n.pack() for n in tree)
        out += struct.pack("<i", len(self.projections))
        out += b"".join(counted(d) for d in self.projections)
        if self.base_scores is None:
            return out
        out += counted(self.base_scores)
        if self.categories:
            block = b"VCAT" + struct.pack("<i", len(self.categories))
            for t, i, values in self.categories:
                block += struct.pack("<iii", t, i, len(values)) + f64s(values)
            out += block + struct.pack("<i", len(block) + 4)
        if self.interactions:
            block = b"VINT" + struct.pack("<i", len(self.interactions))
            block += b"".join(struct.pack("<iid", *entry) for entry in self.interactions)
            out += block + struct.pack("<i", len(block) + 4)
        return out

    def dense(self) -> "Model":
        """This model as writers before the interaction block stored it: the pairs in a
        dense n_features^2 table, no block."""
        n = self.n_features
        table = np.zeros(n * n)
        for a, b, gain in self.interactions:
            table[a * n + b] = gain
        return replace(self, interaction_gain=table, interactions=[])

    def sparse(self) -> "Model":
        """This model as the writer stores it: the cells of a dense table that are not all
        zero bits become the interaction block (the form a dense model is written back in)."""
        n = self.n_features
        cells = [
            (i // n, i % n, gain)
            for i, gain in enumerate(self.interaction_gain)
            if struct.pack("<d", gain) != bytes(8)
        ]
        return replace(self, interaction_gain=[], interactions=self.interactions + cells)


def every_kind_model() -> Model:
    """Three columns; an axis tree, a categorical-pair tree and a projection tree."""
    return Model(
        base_score=1.0,
        learning_rate=0.5,
        objective=1,
        n_features=3,
        feature_gain=[1.0, 2.0, 3.0],
        coefficient_gain=[1.0, 2.0, 0.5],
        interactions=[(1, 2, 2.0)],
        trees=[
            # x0 < 0.5 goes left; NaN goes right.
            [axis(0, 0.5, 1, 2), leaf(1.0), leaf(3.0)],
            # category offset of code x1 plus 2 * x2 - 1 < 0 goes left.
            [category(1, 2, 2.0, -1.0, 1, 2), leaf(-2.0), leaf(4.0)],
            # 0.6 * x0 + 0.8 * x2 - 0.5 < 0 goes left.
            [projection(0, -0.5, 1, 2), leaf(-10.0), leaf(10.0)],
        ],
        projections=[[0.6, 0.0, 0.8]],
        categories=[(1, 0, [0.5, -4.0, 10.0])],
    )


def multiclass_model(with_start_scores: bool = True) -> Model:
    """Three classes over two columns: one oblique split, one axis split."""
    return Model(
        objective=2,
        learning_rate=1.0,
        n_outputs=3,
        n_features=2,
        feature_gain=[1.0, 1.0],
        coefficient_gain=[1.0, 1.0],
        interactions=[(0, 1, 1.0)],
        trees=[
            # x0 - x1 < 0 goes left.
            [
                pair(0, 1, 1.0, -1.0, 0.0, 1, 2),
                leaf(0.0, [1.0, 0.0, -1.0]),
                leaf(0.0, [-1.0, 2.0, 0.0]),
            ],
            [axis(1, 0.0, 1, 2, 0), leaf(0.0, [0.0, 0.0, 0.5]), leaf(0.0, [0.25, 0.0, 0.0])],
        ],
        base_scores=[0.1, 0.2, 0.3] if with_start_scores else None,
    )


def lineage_model() -> Model:
    """Projection splits only, two levels deep, over four columns."""
    return Model(
        objective=0,
        learning_rate=0.1,
        n_features=4,
        feature_gain=[0.5, 0.5, 0.0, 1.0],
        coefficient_gain=[0.5, 0.5, 0.0, 1.0],
        trees=[
            [projection(0, 0.1, 1, 4), projection(1, -0.2, 2, 3), leaf(-1.0), leaf(0.5), leaf(2.0)],
            [leaf(0.25)],
        ],
        projections=[[0.6, 0.8, 0.0, 0.0], [0.0, 0.0, 0.0, -1.0]],
    )


class _Cursor:
    def __init__(self, data: bytes):
        self.data = data
        self.at = 0

    def take(self, fmt: str):
        values = struct.unpack_from(fmt, self.data, self.at)
        self.at += struct.calcsize(fmt)
        return values

    def one(self, fmt: str):
        return self.take(fmt)[0]

    def f64s(self, n: int) -> list[float]:
        return list(self.take(f"<{n}d"))


def unpack(data: bytes) -> Model:
    """The Model that `data` holds, read field by field; the inverse of Model.pack.

    Trusts its input (struct raises on a short buffer): it reads bytes that the module
    wrote, for tests that look inside trained models.
    """
    c = _Cursor(data)
    m = Model()
    (m.base_score, m.learning_rate, m.objective, m.clip, m.clip_low, m.clip_high, m.n_outputs) = (
        c.take("<ddiiddi")
    )
    f = c.one("<i")
    m.feature_gain = c.f64s(f)
    m.n_features = c.one("<i")
    m.coefficient_gain = c.f64s(f)
    m.interaction_gain = c.f64s(c.one("<i"))
    m.trees = []
    for _ in range(c.one("<i")):
        tree = []
        for _ in range(c.one("<i")):
            fields = c.take(NODE_FORMAT)
            node = Node(*fields[:-1])
            node.leaf_values = c.f64s(fields[-1])
            tree.append(node)
        m.trees.append(tree)
    m.projections = [c.f64s(c.one("<i")) for _ in range(c.one("<i"))]
    if c.at == len(data):
        m.base_scores = None
        return m
    m.base_scores = c.f64s(c.one("<i"))
    if data[c.at : c.at + 4] == b"VCAT":
        c.at += 4
        for _ in range(c.one("<i")):
            t, i, v = c.take("<iii")
            m.categories.append((t, i, c.f64s(v)))
        c.at += 4  # the block's own length
    if data[c.at : c.at + 4] == b"VINT":
        c.at += 4
        m.interactions = [c.take("<iid") for _ in range(c.one("<i"))]
        c.at += 4
    return m
