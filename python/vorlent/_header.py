"""A model file's header, field by field: what each field must hold and how it must agree
with the core's model bytes beside it.

:func:`checked_header` reads a whole header before anything a caller sees is built. The
core's keywords (the ``core`` field) are checked against the keywords the core Booster
takes, build the Booster and load the bytes; the bytes' own account of the model
(``Booster.model_facts``: objective, outputs, columns, trees, learning rate, clipping,
category codes) is taken; then every field of :data:`FIELDS` is checked in turn, against
those facts and against the fields before it. The first that fails raises
:class:`HeaderError`, a ValueError naming the field (``fitted.best_iteration_`` for a
field inside another).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import vorlent_core as _core

from . import _params
from ._schema import FeatureSchema

TASKS = {
    _params.BINARY: "binary classification",
    _params.REGRESSION: "regression",
    _params.MULTICLASS: "multiclass classification",
}
# The thread requests a model file may hold: the integers n_jobs takes.
_THREAD_REQUESTS = _params.SHARED_CONSTRAINTS["n_jobs"][0]
# The objectives each estimator writes.
OBJECTIVES = {
    "VorlentClassifier": (_params.BINARY, _params.MULTICLASS),
    "VorlentRegressor": (_params.REGRESSION,),
}
# Kinds of class labels an estimator can store: the dtypes np.unique gives for labels that
# a JSON header can hold.
CLASS_DTYPE_KINDS = "biufUO"


class HeaderError(ValueError):
    """A header field that is malformed or disagrees with the model bytes."""

    def __init__(self, field: str, problem: str):
        super().__init__(f"header field {field}: {problem}")
        self.field = field


class _Problem(Exception):
    """What is wrong with a field, and which entry of it (None: the field as a whole)."""

    def __init__(self, problem: str, entry: str | None = None):
        super().__init__(problem)
        self.entry = entry


@dataclass
class Loaded:
    """What a checked header gives: an estimator still to be fitted with the rest."""

    booster: object
    facts: dict  # Booster.model_facts() of the loaded bytes
    keywords: dict  # the core's keywords, with the thread count of this machine
    kind: type | None = None  # the estimator class
    estimator: object = None  # built with the stored hyper-parameters, not fitted yet
    expected_core: dict | None = None  # the core keywords the hyper-parameters give
    schema: FeatureSchema | None = None
    classes: np.ndarray | None = None
    n_estimators_: int = 0
    best_iteration_: int | None = None
    validation_score_: np.ndarray | None = None


def checked_header(header: dict, blob: bytes) -> Loaded:
    """Check every field of ``header`` against the others and against the core's model
    bytes ``blob``; return what they give.

    Raises
    ------
    HeaderError
        For a missing, unknown, malformed or inconsistent field.
    ValueError
        From the core's reader, for damaged model bytes.
    """
    missing = [name for name in FIELDS if name not in header]
    if missing:
        raise HeaderError(missing[0], "is missing")
    unknown = sorted(set(header) - set(FIELDS) - {"format_version"})
    if unknown:
        raise HeaderError(unknown[0], "is not a field of this format version")
    keywords = _core_shape(header["core"])
    booster = _core.Booster(**keywords)
    booster.deserialize(blob)
    loaded = Loaded(booster=booster, facts=booster.model_facts(), keywords=keywords)
    for name, check in FIELDS.items():
        try:
            check(header[name], loaded)
        except _Problem as problem:
            field = name if problem.entry is None else f"{name}.{problem.entry}"
            raise HeaderError(field, str(problem)) from None
    return loaded


# The core Booster's keywords and their defaults.
_CORE_DEFAULTS = _core.Booster().__getstate__()[0]


def _core_shape(value) -> dict:
    """The core keywords, with this machine's thread count: exactly the Booster's keywords,
    each one a value the Booster takes; ``n_threads`` holds a request as ``n_jobs`` does
    (-1 every core)."""
    if not isinstance(value, dict):
        raise HeaderError("core", f"must be an object, got {_json_kind(value)}")
    for name in sorted(set(_CORE_DEFAULTS) | set(value)):
        if name not in value:
            raise HeaderError(f"core.{name}", "is missing")
        if name not in _CORE_DEFAULTS:
            raise HeaderError(f"core.{name}", "is not a keyword of the core Booster")
    request = value["n_threads"]
    if not _THREAD_REQUESTS.matches(request):
        raise HeaderError("core.n_threads", f"must be {_THREAD_REQUESTS}, got {request!r}")
    keywords = {**value, "n_threads": _params.core_threads(_params.cap_threads(request))}
    for name, stored in keywords.items():
        try:
            _core.Booster(**{name: stored})
        except ValueError as error:
            raise HeaderError(f"core.{name}", str(error)) from None
        except TypeError:
            wanted = _json_kind(_CORE_DEFAULTS[name])
            raise HeaderError(
                f"core.{name}",
                f"{stored!r} is not a value the core Booster takes (a JSON {wanted})",
            ) from None
    return keywords


def _json_kind(value) -> str:
    kinds = {bool: "boolean", int: "integer", float: "number", str: "string", list: "list"}
    return "null" if value is None else kinds.get(type(value), type(value).__name__)


# --- the fields, in the order they are checked -------------------------------------------


def _library_version(value, loaded: Loaded) -> None:
    if not isinstance(value, str):
        raise _Problem(f"must be a string, got {value!r}")


def _estimator(value, loaded: Loaded) -> None:
    from ._classifier import VorlentClassifier
    from ._regressor import VorlentRegressor

    kinds = {cls.__name__: cls for cls in (VorlentClassifier, VorlentRegressor)}
    if not isinstance(value, str) or value not in kinds:
        raise _Problem(f"{value!r} is not one of {', '.join(kinds)}")
    objective = loaded.facts["objective"]
    if objective not in OBJECTIVES[value]:
        raise _Problem(f"{value} does not match the model bytes, whose trees do {TASKS[objective]}")
    loaded.kind = kinds[value]


def _schema(value, loaded: Loaded) -> None:
    try:
        schema = FeatureSchema.from_json(value)
    except ValueError as error:
        raise _Problem(str(error)) from None
    facts = loaded.facts
    if schema.n_features != facts["n_features"]:
        raise _Problem(
            f"describes {schema.n_features} columns, but the model bytes have {facts['n_features']}"
        )
    for column, count in sorted(facts["category_counts"].items()):
        if not schema.categorical[column]:
            raise _Problem(
                f"column {column} is not categorical, but the trees split on its category codes"
            )
        listed = len(schema.categories[column])
        if listed < count:
            raise _Problem(
                f"column {column} lists {listed} categories, but the trees give offsets to "
                f"{count} category codes"
            )
    loaded.schema = schema


def _classes(value, loaded: Loaded) -> None:
    if loaded.facts["objective"] == _params.REGRESSION:
        if value is not None:
            raise _Problem(f"must be null for a regressor, got {_json_kind(value)}")
        return
    if not isinstance(value, dict) or set(value) != {"values", "dtype"}:
        raise _Problem('must be an object with "values" and "dtype"')
    values = value["values"]
    if not isinstance(values, list) or len(values) < 2:
        raise _Problem(f"must list at least 2 classes, got {values!r}")
    facts = loaded.facts
    scored = 2 if facts["objective"] == _params.BINARY else facts["n_outputs"]
    if len(values) != scored:
        raise _Problem(
            f"lists {len(values)} classes, but the trees of the model bytes score {scored} "
            f"({TASKS[facts['objective']]})"
        )
    loaded.classes = _class_array(values, value["dtype"])


def _class_array(values: list, dtype) -> np.ndarray:
    """The classes as the classifier keeps them: distinct, in increasing order (as np.unique
    gives them) and exactly the stored values."""
    if not isinstance(dtype, str):
        raise _Problem(f"dtype must be a string, got {dtype!r}", "dtype")
    try:
        kind = np.dtype(dtype).kind
    except TypeError:
        kind = None
    if kind is None or kind not in CLASS_DTYPE_KINDS:
        raise _Problem(f"{dtype!r} is not a dtype of class labels", "dtype")
    if not all(type(v) in (str, int, float, bool) for v in values):
        raise _Problem("class labels must be strings, numbers or booleans", "values")
    try:
        if kind == "O":
            classes = np.empty(len(values), dtype=object)
            classes[:] = values
        else:
            classes = np.array(values, dtype=dtype)
        exact = _params._plain(classes) == values
        ordered = np.array_equal(np.unique(classes), classes)
    except (TypeError, ValueError, OverflowError):
        exact = ordered = False
    if not exact:
        raise _Problem(f"{values!r} do not fit the dtype {dtype!r}", "values")
    if not ordered:
        raise _Problem(f"{values!r} are not distinct and in increasing order", "values")
    return classes


def _hyper_parameters(value, loaded: Loaded) -> None:
    if not isinstance(value, dict):
        raise _Problem(f"must be an object, got {_json_kind(value)}")
    try:
        estimator = loaded.kind(**_params.params_from_json(value))
    except (TypeError, ValueError, AttributeError) as error:
        raise _Problem(str(error)) from None
    for name, allowed in estimator._parameter_constraints.items():
        try:
            _params.validate_parameters(estimator, {name: allowed})
        except (TypeError, ValueError) as error:
            raise _Problem(str(error), name) from None
    random_state = estimator.random_state
    try:
        estimator._check_parameters()
        loaded.expected_core = _params.core_keywords(
            estimator,
            loaded.schema,
            # A seed drawn at fit time (random_state None) is whatever the core kept.
            seed=loaded.keywords["seed"]
            if random_state is None
            else _params.core_seed(random_state),
            **estimator._objective(loaded.classes),
        )
    except ValueError as error:
        raise _Problem(str(error)) from None
    estimator.n_jobs = _params.cap_threads(estimator.n_jobs)
    loaded.estimator = estimator


def _core_keywords(value, loaded: Loaded) -> None:
    # n_estimators is that of the last fit from scratch (a warm start adds trees and raises
    # params' n_estimators alone) and n_threads a request of the loading machine's threads.
    most = loaded.expected_core["n_estimators"]
    if not 1 <= value["n_estimators"] <= most:
        raise _Problem(
            f"{value['n_estimators']} is not from 1 to params' n_estimators, {most}", "n_estimators"
        )
    for name, expected in loaded.expected_core.items():
        if name not in ("n_estimators", "n_threads") and value[name] != expected:
            raise _Problem(
                f"{value[name]!r} disagrees with the {expected!r} that params, schema and "
                "classes give",
                name,
            )
    facts = loaded.facts
    held = {
        "objective": facts["objective"],
        "learning_rate": facts["learning_rate"],
        "clip": int(facts["clip"] is not None),
    }
    for name, in_bytes in held.items():
        if value[name] != in_bytes:
            raise _Problem(f"{value[name]!r}, but the model bytes hold {in_bytes!r}", name)


def _same_as_core(name: str):
    """The check of a top-level copy of the core keyword ``name``."""

    def check(value, loaded: Loaded) -> None:
        if type(value) is not type(loaded.keywords[name]) or value != loaded.keywords[name]:
            raise _Problem(f"{value!r} is not core.{name}, {loaded.keywords[name]!r}")

    return check


def _fitted(value, loaded: Loaded) -> None:
    entries = ("n_estimators_", "best_iteration_", "validation_score_")
    if not isinstance(value, dict) or set(value) != set(entries):
        raise _Problem(f"must be an object with {', '.join(entries)}")
    n_trees = loaded.facts["n_trees"]
    count = value["n_estimators_"]
    if type(count) is not int or count != n_trees:
        raise _Problem(f"{count!r}, but the model bytes hold {n_trees} trees", "n_estimators_")
    best = value["best_iteration_"]
    if best is not None and (type(best) is not int or not 0 <= best < n_trees):
        raise _Problem(
            f"{best!r} is neither null nor a round of the {n_trees} trees (0 to {n_trees - 1})",
            "best_iteration_",
        )
    scores = value["validation_score_"]
    if scores is not None:
        # A loss is never negative; JSON has no NaN, which is stored as null.
        if not isinstance(scores, list) or not all(
            v is None or (type(v) is float and 0.0 <= v < math.inf) for v in scores
        ):
            raise _Problem(
                "must be null or a list of losses (non-negative numbers or null)",
                "validation_score_",
            )
        scores = np.array([np.nan if v is None else v for v in scores], dtype=np.float64)
    loaded.n_estimators_ = count
    loaded.best_iteration_ = best
    loaded.validation_score_ = scores


# Every field of the header (besides format_version, which the envelope checks), and its
# check. Each check may rely on those before it.
FIELDS = {
    "library_version": _library_version,
    "estimator": _estimator,
    "schema": _schema,
    "classes": _classes,
    "params": _hyper_parameters,
    "core": _core_keywords,
    "objective": _same_as_core("objective"),
    "loss": _same_as_core("loss"),
    "alpha": _same_as_core("alpha"),
    "fitted": _fitted,
}
