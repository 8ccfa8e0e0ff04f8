"""Saving a fitted estimator to a model file and loading it back as a fitted estimator.

The file envelope (magic, format version, JSON header, core bytes) is written and checked by
``_model_file``; this module decides what the header holds: the library version, the
estimator class, every hyper-parameter, the core's keywords (objective, loss, alpha and the
rest, so that continued training uses the stored ones), the feature schema, the classes and
the fitted attributes that the core bytes do not carry. The core's thread count is stored
as ``n_jobs`` asks for it (-1: every core of the machine that loads the file); loading
lowers a count above the machine's cores to them.

Loading checks every header field against the others and against the core bytes
(``_header``) before it builds the estimator.
"""

from __future__ import annotations

import numpy as np

from . import _params
from ._fitted import FittedState
from ._header import checked_header
from ._model_file import read_model_file, write_model_file


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
        "core": {
            **state.core_keywords,
            "n_threads": _params.thread_request(state.trained_params["n_jobs"]),
        },
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
        damaged (the message says what and where), or when a header field is malformed or
        disagrees with the model bytes (the message names the file and the field).

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
        loaded = checked_header(header, blob)
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
    return _estimator_from(loaded, header)


def _estimator_from(loaded, header: dict):
    """The fitted estimator of a checked header."""
    estimator = loaded.estimator
    validation = loaded.validation_score_
    evals = None
    if validation is not None:
        evals = {"validation": {estimator._loss_name(): validation.tolist()}}
    estimator._set_fitted(
        FittedState(
            loaded.booster,
            loaded.keywords,
            loaded.schema,
            loaded.classes,
            header["params"],
            best_iteration=loaded.best_iteration_,
            validation_score=validation,
            evals_result=evals,
        )
    )
    return estimator
