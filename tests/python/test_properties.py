"""Property-based checks against plain-Python references: fold assignment, target encoding
and prediction from random hand-built models (packed field by field with `struct`)."""

import math
import struct
from collections import defaultdict

import numpy as np
import vorlent_core as vc
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from model_craft import Model, Node, every_kind_model, lineage_model, multiclass_model
from vorlent_core import Booster


# Deterministic runs, so that CI never fails on an example it did not fail on before.
def examples(n=80):
    return settings(
        max_examples=n,
        deadline=None,
        derandomize=True,
        suppress_health_check=[HealthCheck.too_slow],
    )


NAN, INF = math.nan, math.inf
VALUES = st.sampled_from([-3.0, -1.0, -0.5, 0.0, 0.25, 0.5, 1.0, 1.9, 2.0, 7.5, NAN, INF, -INF])


def same(a, b):
    np.testing.assert_array_equal(np.asarray(a, dtype=float), np.asarray(b, dtype=float))


# --- Folds ----------------------------------------------------------------------------


def deal_sizes(m, nf):
    """How many of m shuffled rows each fold gets: position i goes to fold nf * i // m."""
    sizes = [0] * nf
    for i in range(m):
        sizes[nf * i // m] += 1
    return sizes


def label_of(v):
    whole = math.trunc(v)
    fraction = v - whole
    return whole + (fraction >= 0.5) - (fraction <= -0.5)


@examples()
@given(
    y=st.lists(st.sampled_from([0.0, 1.0, 1.4, 2.5, -2.5, 3.0, -0.49]), max_size=60),
    nf=st.integers(1, 9),
    seed=st.integers(0, 2**32 - 1),
    stratified=st.booleans(),
)
def test_folds_are_balanced_and_seeded(y, nf, seed, stratified):
    y = np.array(y, dtype=float)
    folds = vc.make_folds(y, nf, seed, stratified)
    assert folds.dtype == np.int32 and folds.shape == y.shape
    assert ((folds >= 0) & (folds < nf)).all()
    same(folds, vc.make_folds(y.copy(), nf, seed, stratified))
    groups = defaultdict(list)
    for r, v in enumerate(y):
        groups[label_of(v) if stratified else 0].append(r)
    for rows in groups.values():
        assert np.bincount(folds[rows], minlength=nf).tolist() == deal_sizes(len(rows), nf)


# --- Target encoding ------------------------------------------------------------------


def shrink(prior_mean, prior_var, n, s, q):
    if n <= 0:
        return prior_mean
    between = n * prior_var
    a = between + (q - s * s / n) / n
    if a <= 0:
        return prior_mean
    w = between / a
    return prior_mean * (1 - w) + (s / n) * w


def te_reference(codes, y, folds, K, nf):
    cell = [[[0.0, 0.0, 0.0] for _ in range(K)] for _ in range(nf)]
    fold = [[0.0, 0.0, 0.0] for _ in range(nf)]
    for c, v, f in zip(codes, y, folds):
        if 0 <= c < K:
            for m in (cell[f][c], fold[f]):
                m[0] += 1
                m[1] += v
                m[2] += v * v
    code = [[0.0, 0.0, 0.0] for _ in range(K)]
    total = [0.0, 0.0, 0.0]
    for f in range(nf):
        for c in range(K):
            for i in range(3):
                code[c][i] += cell[f][c][i]
        for i in range(3):
            total[i] += fold[f][i]
    mu, var = [0.0] * nf, [0.0] * nf
    for f in range(nf):
        n = total[0] - fold[f][0]
        if n > 0:
            mu[f] = (total[1] - fold[f][1]) / n
            var[f] = (total[2] - fold[f][2]) / n - mu[f] * mu[f]
    encodings = []
    for c, f in zip(codes, folds):
        if 0 <= c < K:
            out = [code[c][i] - cell[f][c][i] for i in range(3)]
            encodings.append(shrink(mu[f], var[f], *out))
        else:
            encodings.append(mu[f])
    gmean = overall_var = 0.0
    if total[0] > 0:
        gmean = total[1] / total[0]
        overall_var = total[2] / total[0] - gmean * gmean
    full_map = [shrink(gmean, overall_var, *code[c]) for c in range(K)]
    return encodings, full_map, gmean


@examples()
@given(
    rows=st.lists(
        st.tuples(
            st.integers(-2, 7), st.sampled_from([0.0, 1.0, 2.5, -4.0, 1e3]), st.integers(0, 5)
        ),
        max_size=40,
    ),
    K=st.integers(0, 6),
    nf=st.integers(1, 6),
)
def test_target_encoding_matches_the_reference(rows, K, nf):
    codes = np.array([r[0] for r in rows], dtype=np.int64)
    y = np.array([r[1] for r in rows], dtype=float)
    folds = np.array([r[2] % nf for r in rows], dtype=np.int32)
    encodings, full_map, gmean = vc.te_fit_transform(codes, y, folds, K, nf)
    want = te_reference(codes.tolist(), y.tolist(), folds.tolist(), K, nf)
    same(encodings, want[0])
    same(full_map, want[1])
    same([gmean], [want[2]])
    # Applying the map looks every code up, out-of-range ones getting gmean.
    lookups = np.array([-1, *range(K + 2)], dtype=np.int64)
    same(vc.te_transform(lookups, full_map, gmean), [gmean, *full_map, gmean, gmean])


# --- Prediction from hand-built models ------------------------------------------------


def category_code(a):
    return math.trunc(a) if -2147483649.0 < a < 2147483648.0 else -(2**31)


def goes_right(node, offsets, row, projections):
    if node.projection >= 0:
        s = node.bias
        for j, d in enumerate(projections[node.projection]):
            if d == 0.0:
                continue
            if math.isnan(row[j]):
                return node.missing_right != 0
            s += row[j] * d
        return not s < 0.0
    if node.kind == 1:
        v = row[node.feature_a]
        return node.missing_right != 0 if math.isnan(v) else not node.threshold > v
    a, b = row[node.feature_a], row[node.feature_b]
    if math.isnan(a) or math.isnan(b):
        return node.missing_right != 0
    if node.kind == 3:
        c = category_code(a)
        t = offsets[c] if 0 <= c < len(offsets) else 0.0
        return not (node.coef_b * b + t) + node.bias < 0.0
    return not (node.coef_b * b + node.coef_a * a) + node.bias < 0.0


def reference_scores(model, offsets, X):
    k = model.n_outputs
    multi = model.objective == 2
    out = []
    for row in X.tolist():
        if multi:
            start = model.base_scores if len(model.base_scores or []) == k else [0.0] * k
            score = list(start)
        else:
            score = model.base_score
        for t, tree in enumerate(model.trees):
            i = 0
            while not tree[i].is_leaf:
                right = goes_right(tree[i], offsets.get((t, i), []), row, model.projections)
                i = tree[i].right if right else tree[i].left
            leaf = tree[i]
            if not multi:
                score = leaf.value * model.learning_rate + score
            elif len(leaf.leaf_values) == k:
                score = [v * model.learning_rate + s for v, s in zip(leaf.leaf_values, score)]
        if not multi and model.clip != 0:
            if model.clip_low > score:
                score = model.clip_low
            elif model.clip_high < score:
                score = model.clip_high
        out.append(score)
    return np.array(out, dtype=float).reshape((len(X), k) if multi else (len(X),))


@st.composite
def models(draw):
    n_features = draw(st.integers(1, 4))
    objective = draw(st.sampled_from([0, 1, 2]))
    k = draw(st.integers(1, 3)) if objective == 2 else 1
    n_projections = draw(st.integers(0, 2))
    projections = [
        draw(
            st.lists(
                st.sampled_from([0.0, 0.6, -0.8, 1.0]), min_size=n_features, max_size=n_features
            )
        )
        for _ in range(n_projections)
    ]
    feature = st.integers(0, n_features - 1)
    trees, categories = [], []

    def grow(tree, t, depth):
        index = len(tree)
        tree.append(None)
        # Three splits in four below the depth limit, so that most models have some.
        if depth == 0 or draw(st.integers(0, 3)) == 0:
            values = draw(st.lists(st.sampled_from([-1.5, 0.0, 0.25, 2.0]), min_size=k, max_size=k))
            tree[index] = Node(value=values[0], leaf_values=values if objective == 2 else [])
            return index
        kind = draw(st.integers(0 if n_projections else 1, 3))
        node = Node(is_leaf=0, gain=draw(st.sampled_from([0.0, 0.5, 2.0])))
        node.missing_right = draw(st.integers(0, 1))
        node.bias = draw(VALUES.filter(math.isfinite))
        if kind == 0:
            node.projection = draw(st.integers(0, n_projections - 1))
        else:
            node.kind = kind
            node.feature_a = draw(feature)
            node.feature_b = draw(feature) if kind != 1 else -1
            node.threshold = draw(VALUES) if kind == 1 else 0.0
            node.coef_a = 1.0 if kind == 3 else draw(VALUES.filter(math.isfinite))
            node.coef_b = draw(VALUES.filter(math.isfinite)) if kind != 1 else 0.0
            if kind == 3 and draw(st.integers(0, 3)) > 0:
                offsets = draw(st.lists(st.sampled_from([-2.0, 0.5, 3.0]), min_size=1, max_size=4))
                categories.append((t, index, offsets))
        tree[index] = node
        node.left = grow(tree, t, depth - 1)
        node.right = grow(tree, t, depth - 1)
        return index

    for t in range(draw(st.integers(0, 4))):
        tree = []
        grow(tree, t, draw(st.integers(0, 4)))
        trees.append(tree)
    model = Model(
        base_score=draw(st.sampled_from([0.0, -0.5, 1.0])),
        learning_rate=draw(st.sampled_from([0.1, 1.0, -0.3])),
        objective=objective,
        clip=draw(st.integers(0, 1)) if objective != 2 else 0,
        clip_low=-0.5,
        clip_high=0.75,
        n_outputs=k,
        n_features=n_features,
        trees=trees,
        projections=projections,
        base_scores=[0.1 * j for j in range(k)] if objective == 2 else [],
        categories=categories,
    )
    return model


@examples(250)
@given(model=models(), X=st.lists(st.lists(VALUES, min_size=4, max_size=4), max_size=16))
def test_predictions_of_hand_built_models_match_the_reference(model, X):
    X = np.array(X, dtype=float).reshape(-1, 4)
    data = model.pack()
    b = Booster()
    b.deserialize(data)
    assert b.serialize() == data
    offsets = {(t, i): values for t, i, values in model.categories}
    raw = b.predict_raw(X)
    want = reference_scores(model, offsets, X)
    same(raw, want)
    proba = b.predict_proba(X)
    if model.objective == 2:
        assert proba.shape == (len(X), model.n_outputs)
    else:
        assert proba.shape == (len(X), 2)
    contributions = b.explain(X)
    assert contributions.shape == X.shape
    assert not np.isnan(contributions).any()


# --- Damaged model bytes --------------------------------------------------------------

GOOD_MODELS = [every_kind_model().pack(), multiclass_model().pack(), lineage_model().pack()]
PROBE_ROWS = np.array([[0.0, 1.0, 2.0, 3.0], [NAN, -1.0, 0.5, INF], [7.5, NAN, -INF, 0.0]])


@examples(300)
@given(
    which=st.integers(0, len(GOOD_MODELS) - 1),
    edits=st.lists(
        st.tuples(
            st.integers(0, 10**6),
            st.sampled_from(["<i", "<d", "<B"]),
            st.sampled_from([0, 1, -1, 2, 3, 255, 2**31 - 1, -(2**31), 0.5, NAN, INF]),
        ),
        min_size=1,
        max_size=3,
    ),
    cut=st.integers(0, 40),
)
def test_damaged_bytes_load_or_are_refused_without_harm(which, edits, cut):
    data = bytearray(GOOD_MODELS[which])
    for at, fmt, value in edits:
        at %= len(data)
        if fmt != "<d" and isinstance(value, float):
            value = 1
        if fmt == "<B":
            value %= 256
        packed = struct.pack(fmt, value)
        data[at : at + len(packed)] = packed
    data = bytes(data[: len(data) - cut])
    b = Booster()
    b.deserialize(GOOD_MODELS[0])
    before = b.serialize()
    try:
        b.deserialize(data)
    except ValueError as e:
        assert str(e).startswith("data: invalid model bytes at offset ")
        assert b.serialize() == before
        return
    # Loaded: every read works on rows as wide as the model needs, and the bytes it writes
    # load back into the same model.
    rows = np.hstack([PROBE_ROWS, np.zeros((3, 64))])
    raw = b.predict_raw(rows)
    b.predict_proba(rows)
    b.explain(rows)
    b.feature_importances()
    b.interaction_importances()
    again = Booster()
    again.deserialize(b.serialize())
    assert again.serialize() == b.serialize()
    np.testing.assert_array_equal(again.predict_raw(rows), raw)
