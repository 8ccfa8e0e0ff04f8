"""Saving a fitted estimator to a model file: what the file's header holds.

The file envelope (magic, format version, JSON header, core bytes) is written by
``_model_file``; this module decides what the header holds: the library version, the
estimator class, every hyper-parameter, the core's keywords (objective, loss, alpha and the
rest, so that continued training uses the stored ones), the feature schema, the classes and
the fitted attributes that the core bytes do not carry. The core's thread count is stored
as ``n_jobs`` asks for it (-1: every core of the machine that loads the file). ``_load``
reads such a file back.
"""

from __future__ import annotations

import numpy as np

from . import _params
from ._model_file import write_model_file
from ._version import __version__


def model_header(estimator, state) -> dict:
    """The JSON header describing ``state``, the fitted record of ``estimator``."""
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
