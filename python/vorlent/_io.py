"""Saving a fitted estimator to a model file and loading it back as a fitted estimator.

The file envelope (magic, format version, JSON header, core bytes) is written and checked by
``_model_file``; this module decides what the header holds: the library version, the
estimator class, every hyper-parameter, the core's keywords (objective, loss, alpha and the
rest, so that continued training uses the stored ones), the feature schema, the classes and
the fitted attributes that the core bytes do not carry.
"""

from __future__ import annotations

import numpy as np
import vorlent_core as _core

from . import _params
from ._data import FeatureSchema
from ._fitted import FittedState
from ._model_file import read_model_file, write_model_file


def core_booster(keywords: dict, blob: bytes):
    """A core Booster built with ``keywords`` (so that loss, alpha and the other settings the
    bytes do not carry are the stored ones) and loaded from ``blob``."""
    booster = _core.Booster(**keywords)
    booster.deserialize(blob)
    return booster


def model_header(estimator, state) -> dict:
    """The JSON header describing ``state``, the fitted record of ``estimator``."""
    from . import __version__

    classes = state.classes
    header = {
        "library_version": __version__,
        "estimator": type(estimator).__name__,
        # The hyper-parameters the model was trained with (later set_params calls that did
        # not train do not describe it).
        "params": state.trained_params,
        "core": dict(state.core_keywords),
        "objective": state.core_keywords["objective"],
        "loss": state.core_keywords["loss"],
        "alpha": state.core_keywords["alpha"],
        "schema": state.schema.to_json(),
        "classes": None
        if classes is None
        else {"values": _params._plain(classes), "dtype": classes.dtype.str},
        "fitted": {
            "n_estimators_": state.n_estimators,
            "best_iteration_": state.best_iteration,
            # JSON has no NaN: a non-finite loss is stored as null.
            "validation_score_": None
            if state.validation_score is None
            else [float(v) if np.isfinite(v) else None for v in state.validation_score],
        },
    }
    return header


def save_model(estimator, state, path) -> None:
    write_model_file(path, model_header(estimator, state), state.booster.serialize())


def load_model(path):
    """Load a model written by ``save_model`` as a fitted estimator.

    Parameters
    ----------
    path : str or os.PathLike
        A file written by :meth:`VorlentClassifier.save_model` or
        :meth:`VorlentRegressor.save_model`.

    Returns
    -------
    estimator : VorlentClassifier or VorlentRegressor
        Fitted, with the stored hyper-parameters; it predicts exactly as the saved one and
        continues training (``warm_start=True``) with the stored loss and alpha.

    Raises
    ------
    ValueError
        When the file is not a vorlent model file, needs a newer format version, or is
        damaged (the message says what and where).

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> import vorlent
    >>> X = np.random.default_rng(0).normal(size=(200, 3))
    >>> model = vorlent.VorlentClassifier(n_estimators=5).fit(X, X[:, 0] > 0)
    >>> path = os.path.join(tempfile.mkdtemp(), "model.vrl")
    >>> model.save_model(path)
    >>> vorlent.load_model(path).classes_
    array([False,  True])
    """
    header, blob = read_model_file(path)
    try:
        return _estimator_from(header, blob)
    except (KeyError, TypeError, AttributeError) as error:
        raise ValueError(f"{path}: the model header is malformed ({error!r})") from None


def _estimator_from(header: dict, blob: bytes):
    from ._classifier import VorlentClassifier
    from ._regressor import VorlentRegressor

    kinds = {cls.__name__: cls for cls in (VorlentClassifier, VorlentRegressor)}
    name = header["estimator"]
    if name not in kinds:
        raise ValueError(f"the model header names an unknown estimator {name!r}")
    estimator = kinds[name](**_params.params_from_json(header["params"]))
    keywords = dict(header["core"])
    for key in ("monotone", "categorical"):
        keywords[key] = [int(v) for v in keywords[key]]
    booster = core_booster(keywords, blob)
    fitted = header["fitted"]
    if int(fitted["n_estimators_"]) != booster.n_trees():
        raise ValueError(
            f"the model header counts {int(fitted['n_estimators_'])} trees but the model bytes "
            f"hold {booster.n_trees()}"
        )
    classes = header["classes"]
    if classes is not None:
        dtype = np.dtype(classes["dtype"])
        values = classes["values"]
        classes = np.array(values, dtype=dtype) if dtype.kind != "O" else _object_array(values)
    validation = evals = None
    if fitted["validation_score_"] is not None:
        validation = np.array(
            [np.nan if v is None else v for v in fitted["validation_score_"]], dtype=np.float64
        )
        evals = {"validation": {estimator._loss_name(): validation.tolist()}}
    estimator._set_fitted(
        FittedState(
            booster,
            keywords,
            FeatureSchema.from_json(header["schema"]),
            classes,
            header["params"],
            best_iteration=fitted["best_iteration_"],
            validation_score=validation,
            evals_result=evals,
        )
    )
    return estimator


def _object_array(values: list) -> np.ndarray:
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out
