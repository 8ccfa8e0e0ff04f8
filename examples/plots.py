"""Every plot of vorlent.plotting on small real and made-up data, written as PNG files.

    python examples/plots.py [FOLDER]      # default: ./plots

Needs matplotlib, scikit-learn (for its bundled breast cancer and iris tables) and pandas.
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no window

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from sklearn.datasets import load_breast_cancer, load_iris
from sklearn.model_selection import train_test_split
from vorlent import VorlentClassifier, VorlentRegressor
from vorlent.plotting import (
    plot_importance,
    plot_metric,
    plot_shap_summary,
    plot_split,
    plot_tree,
)


def save(ax, folder: pathlib.Path, name: str) -> None:
    path = folder / f"{name}.png"
    ax.figure.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(ax.figure)
    print(path)


def first_node(model, kind: str, tree_limit: int = 50):
    """(tree, node) of the first internal node of ``kind`` in the model's dump."""
    for tree in model.dump_model()["trees"][:tree_limit]:
        for record in tree["nodes"]:
            if record["kind"] == kind:
                return tree["tree"], record["node"]
    raise LookupError(f"no {kind} split in the first {tree_limit} trees")


def breast_cancer(folder: pathlib.Path) -> None:
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.3, random_state=0)
    model = VorlentClassifier(
        n_estimators=300, learning_rate=0.1, early_stopping=True, random_state=0
    ).fit(X_train, y_train, eval_set=(X_test, y_test))
    save(plot_importance(model, max_num_features=15), folder, "importance_gain")
    save(
        plot_importance(model, kind="coefficient", max_num_features=15),
        folder,
        "importance_coefficient",
    )
    save(
        plot_importance(model, kind="interaction", max_num_features=10),
        folder,
        "importance_interaction",
    )
    save(plot_metric(model), folder, "metric")
    save(plot_tree(model, tree_index=0), folder, "tree_depth4")
    phi = model.shap_values(X_test)
    save(plot_shap_summary(phi, X_test, max_display=12), folder, "shap_beeswarm")
    save(plot_shap_summary(phi, X_test, kind="bar", max_display=12), folder, "shap_bar")
    tree, node = first_node(model, "oblique")
    save(plot_split(model, X_test, tree, node, y=y_test), folder, "split_oblique_breast_cancer")


def deep_tree(folder: pathlib.Path) -> None:
    """A depth-6 tree with many leaves, grown to the right where it has room."""
    rng = np.random.default_rng(3)
    X = pd.DataFrame(rng.normal(size=(20_000, 6)), columns=[f"f{j}" for j in range(6)])
    y = np.sin(2 * X["f0"]) + X["f1"] * X["f2"] + np.abs(X["f3"] - X["f4"])
    model = VorlentRegressor(n_estimators=3, max_depth=6, random_state=0).fit(X, y)
    save(plot_tree(model, tree_index=0, orientation="horizontal"), folder, "tree_depth6")


def two_features(folder: pathlib.Path) -> None:
    """A diagonal class boundary: one oblique split where axis splits need a staircase."""
    rng = np.random.default_rng(0)
    X = pd.DataFrame(rng.normal(size=(2000, 2)), columns=["humid", "pressure"])
    y = (X["humid"] - 0.8 * X["pressure"] + 0.3 * rng.normal(size=2000) > 0.2).astype(int)
    model = VorlentClassifier(n_estimators=20, max_depth=3, random_state=0).fit(X, y)
    save(plot_split(model, X, 0, 0, y=y), folder, "split_oblique_target")
    save(plot_split(model, X, 3, 0, y=y, color_by="gradient"), folder, "split_oblique_gradient")


def weather(folder: pathlib.Path) -> None:
    """A category whose offset changes the slope's threshold: categorical-pair splits, and an
    axis-only model for the histogram."""
    rng = np.random.default_rng(1)
    n = 3000
    city = rng.choice(["oslo", "rome", "lima", "pune", "kyiv"], n)
    temp = rng.normal(size=n)
    shift = pd.Series(city).map({"oslo": -1.0, "rome": 0.5, "lima": 1.0, "pune": -0.5, "kyiv": 0})
    X = pd.DataFrame({"city": pd.Categorical(city), "temp": temp, "wind": rng.normal(size=n)})
    y = temp + shift.to_numpy() + 0.2 * rng.normal(size=n)
    model = VorlentRegressor(n_estimators=10, random_state=0).fit(X, y)
    tree, node = first_node(model, "category_pair")
    save(plot_split(model, X, tree, node, y=y), folder, "split_category_pair")
    axis = VorlentRegressor(n_estimators=5, split_mode="axis", random_state=0).fit(X, y)
    save(plot_split(axis, X, 0, 0, y=y), folder, "split_axis")


def lineage(folder: pathlib.Path) -> None:
    rng = np.random.default_rng(2)
    X = rng.normal(size=(3000, 4))
    y = (X[:, 0] + X[:, 1] - X[:, 2] > 0).astype(int)
    model = VorlentClassifier(n_estimators=10, max_lineage=2, random_state=0).fit(X, y)
    tree, node = first_node(model, "projection")
    save(plot_split(model, X, tree, node, y=y), folder, "split_projection")


def iris(folder: pathlib.Path) -> None:
    X, y = load_iris(return_X_y=True, as_frame=True)
    model = VorlentClassifier(n_estimators=20, random_state=0).fit(X, y)
    phi = model.shap_values(X)  # (rows, 3 classes, 4 features + 1)
    save(plot_shap_summary(phi, X, kind="bar"), folder, "shap_bar_multiclass")
    save(plot_tree(model, tree_index=0), folder, "tree_multiclass")


def main() -> None:
    folder = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "plots")
    folder.mkdir(parents=True, exist_ok=True)
    breast_cancer(folder)
    deep_tree(folder)
    two_features(folder)
    weather(folder)
    lineage(folder)
    iris(folder)


if __name__ == "__main__":
    main()
