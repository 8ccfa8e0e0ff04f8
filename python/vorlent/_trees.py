"""The trees of a fitted model as records people can read: one JSON-ready dict per node, the
table of them (pandas), and the text of a node's test.

A record says which way a row goes in the words of the core's routing rule: a row goes
LEFT when the node's test holds, right otherwise, and a row missing a value the test reads
goes the ``missing`` way. The tests, with ``threshold`` the right-hand side, are

- ``"axis"``: ``x < threshold``;
- ``"oblique"``: ``coef_a * a + coef_b * b < threshold``;
- ``"category_pair"``: ``offset[category of a] + coef_b * b < threshold`` (a category
  without an offset counts 0);
- ``"projection"``: ``sum_j coefficient_j * x_j < threshold`` over the columns whose
  coefficient is not zero;

where ``threshold`` is ``-bias`` for the last three (the core adds ``bias`` to the sum
and compares with 0, which decides the same way).

Beside the nodes go the numbers that turn leaves into raw scores (:func:`score_terms`): the
start score every row begins with (one per class for multiclass models), to which each
tree adds the ``contribution`` of the leaf the row reaches, in tree order, and the range a
regressor trained with ``clip_to_target_range`` clamps the sum to.
"""

from __future__ import annotations

from ._params import MULTICLASS

KINDS = {1: "axis", 2: "oblique", 3: "category_pair"}
COLUMNS = (
    "tree",
    "node",
    "parent",
    "depth",
    "kind",
    "left",
    "right",
    "split",
    "features",
    "columns",
    "coefficients",
    "category_offsets",
    "threshold",
    "bias",
    "missing",
    "gain",
    "cover",
    "value",
    "contribution",
    "values",
    "contributions",
)


def tree_records(booster, schema) -> list[dict]:
    """One record per node of every tree of ``booster`` (keys :data:`COLUMNS`), with the
    feature names and category values of ``schema``."""
    records = []
    parents: dict[int, int] = {}
    depths: dict[int, int] = {}
    nodes = booster.tree_nodes()
    # Multiclass values live in the leaves only; the internal nodes' single value is unused.
    multi = any(raw["leaf_values"] for raw in nodes)
    for raw in nodes:
        if raw["node"] == 0:
            parents, depths = {0: -1}, {0: 0}
        record = _record(raw, schema, parents[raw["node"]], depths[raw["node"]], multi)
        for child in (raw["left"], raw["right"]):
            if child >= 0:
                parents[child] = raw["node"]
                depths[child] = depths[raw["node"]] + 1
        records.append(record)
    return records


def _record(raw: dict, schema, parent: int, depth: int, multi: bool) -> dict:
    leaf = raw["is_leaf"]
    record = {
        "tree": raw["tree"],
        "node": raw["node"],
        "parent": parent,
        "depth": depth,
        "kind": "leaf" if leaf else _kind(raw),
        "left": raw["left"],
        "right": raw["right"],
        "split": None,
        "features": None,
        "columns": None,
        "coefficients": None,
        "category_offsets": None,
        "threshold": None,
        "bias": None,
        "missing": None,
        "gain": None if leaf else raw["gain"],
        "cover": raw["cover"],
        "value": None if multi else raw["value"],
        "contribution": None if multi or not leaf else raw["contribution"],
        "values": raw["leaf_values"] if multi and leaf else None,
        "contributions": raw["contributions"] if multi and leaf else None,
    }
    if not leaf:
        record.update(_test_fields(raw, schema, record["kind"]))
        record["split"] = split_text(record, categorical=_categorical_names(schema))
    return record


def _kind(raw: dict) -> str:
    return "projection" if raw["projection"] is not None else KINDS[raw["kind"]]


def _test_fields(raw: dict, schema, kind: str) -> dict:
    """The columns, coefficients, offsets and threshold of an internal node's test."""
    fields = {"missing": "right" if raw["missing_right"] else "left", "bias": raw["bias"]}
    offsets = None
    if kind == "axis":
        columns, coefficients = [raw["feature_a"]], [1.0]
        fields["bias"] = None
        threshold = raw["threshold"]
    elif kind == "projection":
        columns = [j for j, d in enumerate(raw["projection"]) if d != 0.0]
        coefficients = [raw["projection"][j] for j in columns]
        threshold = -raw["bias"]
    else:
        columns = [raw["feature_a"], raw["feature_b"]]
        threshold = -raw["bias"]
        if kind == "oblique":
            coefficients = [raw["coef_a"], raw["coef_b"]]
        else:
            coefficients = [None, raw["coef_b"]]
            offsets = _category_offsets(raw["category_values"], schema, raw["feature_a"])
    fields.update(
        columns=columns,
        features=[_feature_name(schema, j) for j in columns],
        coefficients=coefficients,
        category_offsets=offsets,
        threshold=threshold,
    )
    return fields


def _categorical_names(schema) -> set:
    return {_feature_name(schema, j) for j, flag in enumerate(schema.categorical) if flag}


def _feature_name(schema, column: int) -> str:
    names = schema.feature_names
    return names[column] if names is not None and column < len(names) else f"x{column}"


def _category_offsets(values: list, schema, column: int) -> dict:
    """Offset per category: keyed by the category value where the schema knows it, else by
    the category code."""
    categories = schema.categories.get(column, ())
    return {
        (categories[code] if code < len(categories) else code): offset
        for code, offset in enumerate(values)
    }


def split_text(record: dict, digits: int = 4, categorical=()) -> str:
    """The test of an internal node's record as text: the condition that sends a row left.

    Parameters
    ----------
    record : dict
        A record of :func:`tree_records` (an internal node).
    digits : int, default=4
        Significant digits of every number; ``digits=17`` keeps them exactly.
    categorical : collection of str, default=()
        Names of categorical features: where a test weighs one like a number (projection
        splits weigh every column they read) the text says ``code(name)``, the position of
        the row's category in the model's category list.

    Returns
    -------
    str
        For example ``"0.71 * humid - 0.7 * pressure < 1.23 (missing: right)"``,
        ``"humid < 0.5 (missing: left)"`` or, for a categorical pair,
        ``"city{'Oslo': 0.2, 'Rome': -1.1} + 0.5 * temp < 1.23 (missing: right)"`` (the
        offset of the row's category; one not listed counts 0).

    Examples
    --------
    >>> split_text({"kind": "axis", "features": ["humid"], "coefficients": [1.0],
    ...             "threshold": 0.5, "missing": "left", "category_offsets": None})
    'humid < 0.5 (missing: left)'
    """
    number = f"{{:.{int(digits)}g}}"
    terms = []
    for name, coefficient in zip(record["features"], record["coefficients"]):
        if coefficient is None:
            offsets = ", ".join(
                f"{key!r}: {number.format(v)}" for key, v in record["category_offsets"].items()
            )
            terms.append(("+", f"{name}{{{offsets}}}"))
        elif record["kind"] == "axis":
            terms.append(("+", name))
        else:
            sign = "-" if coefficient < 0 else "+"
            shown = f"code({name})" if name in categorical else name
            terms.append((sign, f"{number.format(abs(coefficient))} * {shown}"))
    left = terms[0][1] if terms[0][0] == "+" else f"-{terms[0][1]}"
    for sign, term in terms[1:]:
        left += f" {sign} {term}"
    threshold = number.format(record["threshold"])
    return f"{left} < {threshold} (missing: {record['missing']})"


def score_terms(booster) -> dict:
    """What a raw score is made of besides the leaves' contributions.

    Returns
    -------
    dict
        ``start_score`` (the raw score before any tree; None for multiclass models),
        ``start_scores`` (multiclass: one per class, else None) and ``raw_score_range``
        (``[low, high]`` that the sum is clamped to, or None when it is not).
    """
    facts = booster.model_facts()
    multi = facts["objective"] == MULTICLASS
    starts = facts["start_scores"]
    clip = facts["clip"]
    return {
        "start_score": None if multi else starts[0],
        "start_scores": list(starts) if multi else None,
        "raw_score_range": None if clip is None else list(clip),
    }


def dump(booster, schema, n_features: int) -> dict:
    """The JSON-ready dump of a model: its node records, tree by tree, what names them and
    the :func:`score_terms`."""
    names = schema.feature_names
    trees = [{"tree": t, "nodes": []} for t in range(booster.n_trees())]
    for record in tree_records(booster, schema):
        trees[record["tree"]]["nodes"].append(record)
    return {
        "feature_names": list(names) if names is not None else [f"x{j}" for j in range(n_features)],
        "categories": {
            _feature_name(schema, col): list(values) for col, values in schema.categories.items()
        },
        **score_terms(booster),
        "trees": trees,
    }


def to_dataframe(booster, schema):
    """The node records as a pandas DataFrame with :data:`COLUMNS` as its columns, and the
    :func:`score_terms` in its ``attrs``."""
    try:
        import pandas as pd
    except ImportError:
        raise ImportError(
            "trees_to_dataframe needs pandas; install it with pip install 'vorlent[pandas]'"
        ) from None
    table = pd.DataFrame.from_records(tree_records(booster, schema), columns=list(COLUMNS))
    table.attrs.update(score_terms(booster))
    return table
