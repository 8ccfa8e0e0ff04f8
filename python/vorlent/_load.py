"""Loading a model file written by ``_save`` back as a fitted estimator.

Loading checks every header field against the others and against the core bytes
(``_header``) before it builds the estimator; the core's thread count, stored as ``n_jobs``
asks for it, is lowered to the loading machine's cores.
"""

from __future__ import annotations

from ._fitted import FittedState
from ._header import checked_header
from ._model_file import read_model_file


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
