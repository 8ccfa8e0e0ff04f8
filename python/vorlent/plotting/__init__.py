"""Plots of fitted vorlent models, drawn with matplotlib (the optional extra
``pip install "vorlent[plot]"``; importing this module does not import matplotlib, drawing
does).

- :func:`plot_importance`: feature importances as bars (split gain or coefficient-weighted
  gain), or the gain of feature pairs as a heat map;
- :func:`plot_metric`: the loss after every boosting round, the best round marked;
- :func:`plot_tree`: one tree, every split's test written out, without graphviz;
- :func:`plot_split`: one split over the rows that reach it: the dividing line of a pair
  split over its two features, or the histogram of an axis or projection split;
- :func:`plot_shap_summary`: Shapley values over many rows as a beeswarm or bars, without
  the ``shap`` package.

Each takes a fitted ``VorlentClassifier`` or ``VorlentRegressor`` (the model plots also a
core ``vorlent_core.Booster``), draws on ``ax`` or a new figure, and returns the matplotlib
Axes. The argument names follow LightGBM's and XGBoost's plotting functions (``ax``,
``figsize``, ``title``, ``xlabel``, ``ylabel``, ``max_num_features``, ``precision``, ...).

Examples
--------
>>> import numpy as np
>>> import vorlent
>>> from vorlent import plotting
>>> X = np.random.default_rng(0).normal(size=(300, 3))
>>> model = vorlent.VorlentRegressor(n_estimators=10).fit(X, X[:, 0] - X[:, 1])
>>> ax = plotting.plot_importance(model)
>>> ax.figure.savefig(__import__("os").devnull, format="png")
"""

from ._importance import plot_importance
from ._metric import plot_metric
from ._shap import plot_shap_summary
from ._split import plot_split
from ._tree import plot_tree

__all__ = ["plot_importance", "plot_metric", "plot_shap_summary", "plot_split", "plot_tree"]
