"""The estimators' hyper-parameters: the values each one may take, checked once at the start of
``fit``, and their translation into the core ``Booster``'s keywords.

A constraint list holds the kinds of value a parameter accepts; a value that matches none of
them raises ``ValueError`` (or ``TypeError`` when its type fits no constraint at all) naming
the parameter, the estimator, what it must be and what it got.
"""

from __future__ import annotations

import numbers
import os
from dataclasses import dataclass

import numpy as np

# Words of the split search and the core's codes for them.
SPLIT_MODES = {"oblique": 0, "axis": 1, "oblique_full": 2}
# Regression losses and the core's codes for them.
LOSSES = {"squared_error": 0, "huber": 1, "quantile": 2}
# Core objective codes.
BINARY, REGRESSION, MULTICLASS = 0, 1, 2

UINT32_MAX = 2**32 - 1
# The core counts rounds (and patience) in signed 32-bit integers.
INT32_MAX = 2**31 - 1


@dataclass(frozen=True)
class Interval:
    """A real (or, with ``integral``, integer) number between two bounds."""

    integral: bool
    low: float | None
    high: float | None
    closed: str = "both"  # "both", "left", "right" or "neither"

    def matches_type(self, value) -> bool:
        if isinstance(value, bool):
            return False
        if self.integral:
            return isinstance(value, numbers.Integral)
        return isinstance(value, numbers.Real)

    def matches(self, value) -> bool:
        if not self.matches_type(value) or np.isnan(value):
            return False
        low_ok = self.low is None or (
            value >= self.low if self.closed in ("both", "left") else value > self.low
        )
        high_ok = self.high is None or (
            value <= self.high if self.closed in ("both", "right") else value < self.high
        )
        return low_ok and high_ok

    def __str__(self) -> str:
        kind = "an int" if self.integral else "a float"
        left = "[" if self.closed in ("both", "left") and self.low is not None else "("
        right = "]" if self.closed in ("both", "right") and self.high is not None else ")"
        low = "-inf" if self.low is None else _bound(self.low, self.integral)
        high = "inf" if self.high is None else _bound(self.high, self.integral)
        return f"{kind} in the range {left}{low}, {high}{right}"


def _bound(value, integral: bool) -> str:
    return str(int(value)) if integral else f"{value:g}"


@dataclass(frozen=True)
class Options:
    """One of a fixed set of values (strings, booleans or None)."""

    values: tuple

    def matches_type(self, value) -> bool:
        return any(type(value) is type(v) for v in self.values)

    def matches(self, value) -> bool:
        return any(value is v or (type(value) is type(v) and value == v) for v in self.values)

    def __str__(self) -> str:
        return "one of " + ", ".join(repr(v) for v in self.values)


@dataclass(frozen=True)
class Kind:
    """Any value of the named kind: "array-like", "dict", "random_state" or "boolean"."""

    name: str

    def matches(self, value) -> bool:
        if self.name == "array-like":
            return not isinstance(value, (str, bytes, dict)) and (
                hasattr(value, "__len__") or hasattr(value, "__array__")
            )
        if self.name == "dict":
            return isinstance(value, dict)
        if self.name == "eval_metric":
            items = value if isinstance(value, (list, tuple)) else [value]
            return value is None or all(isinstance(v, str) or callable(v) for v in items)
        if self.name == "boolean":
            return isinstance(value, (bool, np.bool_))
        if self.name == "random_state":
            return (
                value is None
                or isinstance(value, np.random.RandomState)
                or (
                    isinstance(value, numbers.Integral)
                    and not isinstance(value, bool)
                    and 0 <= value <= UINT32_MAX
                )
            )
        raise AssertionError(self.name)

    def matches_type(self, value) -> bool:
        if self.name == "random_state":
            return isinstance(value, numbers.Integral) or self.matches(value)
        return self.matches(value)

    def __str__(self) -> str:
        if self.name == "random_state":
            return "an int in the range [0, 4294967295], a numpy RandomState or None"
        return {
            "array-like": "an array-like",
            "dict": "a dict",
            "boolean": "a bool",
            "eval_metric": "None, a metric name, a callable or a list of them",
        }[self.name]


def validate_parameters(estimator, constraints: dict) -> None:
    """Checks every parameter of ``estimator`` against its constraint list."""
    for name, allowed in constraints.items():
        value = getattr(estimator, name)
        if any(c.matches(value) for c in allowed):
            continue
        wanted = " or ".join(str(c) for c in allowed)
        message = (
            f"The {name!r} parameter of {type(estimator).__name__} must be {wanted}. "
            f"Got {value!r} instead."
        )
        raise (ValueError if any(c.matches_type(value) for c in allowed) else TypeError)(message)


SHARED_CONSTRAINTS = {
    "n_estimators": [Interval(True, 1, INT32_MAX)],
    "learning_rate": [Interval(False, 0, None, "neither")],
    "max_depth": [Interval(True, 1, 64)],
    "max_bins": [Interval(True, 2, 65536)],
    "reg_lambda": [Interval(False, 0, None, "left")],
    "min_samples_split": [Interval(True, 2, INT32_MAX)],
    "subsample": [Interval(False, 0, 1, "right")],
    "colsample": [Interval(False, 0, 1, "right")],
    "random_state": [Kind("random_state")],
    "split_mode": [Options(tuple(SPLIT_MODES))],
    "max_lineage": [Interval(True, 0, INT32_MAX)],
    # One column makes no pair: 0 (every column) or 2 and more.
    "max_pair_columns": [Interval(True, 0, 0), Interval(True, 2, INT32_MAX)],
    "best_of_kinds": [Kind("boolean")],
    "learn_missing": [Kind("boolean")],
    "exact_sums": [Kind("boolean")],
    "monotonic_cst": [Kind("array-like"), Kind("dict"), Options((None,))],
    "categorical_features": [Options(("auto", None)), Kind("array-like")],
    "early_stopping": [Options(("auto",)), Kind("boolean")],
    "validation_fraction": [Interval(False, 0, 1, "neither"), Interval(True, 1, None)],
    "n_iter_no_change": [Interval(True, 1, INT32_MAX)],
    "tol": [Interval(False, 0, None, "left")],
    "n_jobs": [Interval(True, None, 1024), Options((None,))],
    "verbose": [Interval(True, 0, None), Kind("boolean")],
    "warm_start": [Kind("boolean")],
    "eval_metric": [Kind("eval_metric")],
}


def core_seed(random_state) -> int:
    """The core's unsigned 32-bit seed: an int is used as it is, None draws from numpy's
    global generator and a RandomState from itself (as scikit-learn's estimators do)."""
    if isinstance(random_state, numbers.Integral):
        return int(random_state)
    rng = np.random.mtrand._rand if random_state is None else random_state
    return int(rng.randint(0, UINT32_MAX, dtype=np.uint64))


def core_threads(n_jobs) -> int:
    """The core's thread count: 0 (the runtime's default) for None or 0, every core for -1,
    all but ``-n_jobs - 1`` cores for other negative values, else the count itself."""
    if n_jobs is None or n_jobs == 0:
        return 0
    if n_jobs < 0:
        return max(1, (os.cpu_count() or 1) + 1 + int(n_jobs))
    return int(n_jobs)


def thread_request(n_jobs) -> int:
    """``n_jobs`` as a model file keeps it: None as 0, anything else as it is, so that -1
    means every core of the machine that loads the file, not of the one that saved it."""
    return 0 if n_jobs is None else int(n_jobs)


def cap_threads(n_jobs):
    """``n_jobs`` read from a file, with a count above the machine's cores lowered to them:
    a file cannot ask for more threads than there are cores (a thousand threads under an
    address-space limit would end the process inside the OpenMP runtime)."""
    cores = os.cpu_count() or 1
    return cores if n_jobs is not None and n_jobs > cores else n_jobs


def monotone_list(monotonic_cst, schema, estimator_name: str) -> list[int]:
    """One entry per column (-1, 0 or +1) from a list, or from a dict keyed by feature name
    or column index; categorical columns cannot be constrained."""
    n = schema.n_features
    if monotonic_cst is None:
        return []
    if isinstance(monotonic_cst, dict):
        values = [0] * n
        for key, value in monotonic_cst.items():
            try:
                column = schema.feature_index(key)
            except (KeyError, IndexError, ValueError, TypeError) as error:
                raise ValueError(
                    f"monotonic_cst names {key!r}, which is not a feature of X: {error}"
                ) from None
            values[column] = value
    else:
        values = list(np.asarray(monotonic_cst).ravel().tolist())
        if len(values) != n:
            raise ValueError(f"monotonic_cst has {len(values)} entries but X has {n} features")
    for column, value in enumerate(values):
        if value not in (-1, 0, 1) or isinstance(value, float) and not float(value).is_integer():
            raise ValueError(
                f"monotonic_cst must hold -1, 0 or 1 per feature; got {value!r} for feature "
                f"{_feature_label(schema, column)}"
            )
        if value != 0 and schema.categorical[column]:
            raise ValueError(
                f"monotonic_cst constrains the categorical feature "
                f"{_feature_label(schema, column)}: {estimator_name} cannot constrain a "
                "categorical feature"
            )
    return [int(v) for v in values]


def _feature_label(schema, column: int) -> str:
    if schema.feature_names is not None:
        return repr(schema.feature_names[column])
    return str(column)


def core_keywords(
    estimator,
    schema,
    *,
    objective: int,
    loss: int = 0,
    alpha: float = 0.9,
    clip: bool = False,
    seed: int,
) -> dict:
    """The core ``Booster``'s keywords for a validated estimator and a fitted schema."""
    return {
        "n_estimators": int(estimator.n_estimators),
        "learning_rate": float(estimator.learning_rate),
        "max_depth": int(estimator.max_depth),
        "max_bins": int(estimator.max_bins),
        "reg_lambda": float(estimator.reg_lambda),
        "min_samples": int(estimator.min_samples_split),
        "subsample": float(estimator.subsample),
        "colsample": float(estimator.colsample),
        "seed": int(seed),
        "objective": int(objective),
        "loss": int(loss),
        "alpha": float(alpha),
        "clip": int(bool(clip)),
        "monotone": monotone_list(estimator.monotonic_cst, schema, type(estimator).__name__),
        "categorical": [int(c) for c in schema.categorical],
        "max_lineage": int(estimator.max_lineage),
        "split_mode": SPLIT_MODES[estimator.split_mode],
        "n_threads": core_threads(estimator.n_jobs),
        "max_pair_columns": int(estimator.max_pair_columns),
        "best_of_kinds": bool(estimator.best_of_kinds),
        "learn_missing": bool(estimator.learn_missing),
        "exact_sums": bool(estimator.exact_sums),
    }


def params_to_json(params: dict) -> dict:
    """Hyper-parameters as JSON-ready values: arrays become lists, a class-weight dict the
    list of its [label, weight] pairs (JSON keys would turn labels into strings), a
    RandomState the word "RandomState" (its state is not kept) and a callable metric its
    name (the function itself is not kept)."""
    return {name: _json_value(name, value) for name, value in params.items()}


def params_from_json(data: dict) -> dict:
    """The inverse of :func:`params_to_json` for what a saved model holds."""
    params = dict(data)
    if isinstance(params.get("class_weight"), list):
        params["class_weight"] = {_label(k): v for k, v in params["class_weight"]}
    if (
        isinstance(params.get("monotonic_cst"), list)
        and params["monotonic_cst"]
        and isinstance(params["monotonic_cst"][0], list)
    ):
        params["monotonic_cst"] = {_label(k): v for k, v in params["monotonic_cst"]}
    if params.get("random_state") == "RandomState":
        params["random_state"] = None
    metric = params.get("eval_metric")
    if metric is not None:
        # A callable metric is not kept; the built-in ones are.
        items = [
            m
            for m in (metric if isinstance(metric, list) else [metric])
            if not m.startswith("callable:")
        ]
        params["eval_metric"] = (items if isinstance(metric, list) else items[0]) if items else None
    return params


def _json_value(name: str, value):
    if isinstance(value, np.random.RandomState):
        return "RandomState"
    if name == "eval_metric" and value is not None:
        items = value if isinstance(value, (list, tuple)) else [value]
        names = [
            v if isinstance(v, str) else "callable:" + getattr(v, "__name__", "metric")
            for v in items
        ]
        return names if isinstance(value, (list, tuple)) else names[0]
    if isinstance(value, dict):
        # Keys may be labels or column indices of any type: kept as pairs.
        return [[_plain(k), _plain(v)] for k, v in value.items()]
    return _plain(value)


def _plain(value):
    if isinstance(value, np.ndarray):
        return [_plain(v) for v in value.tolist()]
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    return value


def _label(value):
    return tuple(value) if isinstance(value, list) else value
