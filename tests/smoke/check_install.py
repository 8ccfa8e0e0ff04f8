"""Smoke test of an installed vorlent on an interpreter with numpy as the only dependency.

Run by the test command on the CPython versions other than the one the full suite uses:
it proves that the wheel builds, installs and imports there, and that the compiled core and
the estimators train, predict and round-trip a model.
"""

import importlib.util
import pathlib
import sys
import tempfile

import numpy as np

import vorlent
import vorlent._core
import vorlent.plotting
import vorlent_core

OPTIONAL = ("pandas", "polars", "pyarrow", "sklearn", "matplotlib")


def main() -> None:
    assert vorlent._core is vorlent_core, "vorlent._core and vorlent_core are two module objects"
    missing = [name for name in OPTIONAL if importlib.util.find_spec(name) is None]

    rng = np.random.default_rng(0)
    X = rng.normal(size=(2000, 5))
    y = (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(float)
    booster = vorlent_core.Booster(n_estimators=20)
    booster.fit(X, y)
    proba = booster.predict_proba(X)[:, 1]
    accuracy = float(np.mean((proba > 0.5) == y))
    assert accuracy > 0.8, f"training accuracy {accuracy:.3f} is too low"

    copy = vorlent_core.Booster()
    copy.deserialize(booster.serialize())
    assert np.array_equal(copy.predict_raw(X), booster.predict_raw(X)), "reloaded model differs"

    # The estimator API with numpy alone (scikit-learn is optional), string labels included.
    labels = np.where(y > 0, "yes", "no")
    model = vorlent.VorlentClassifier(n_estimators=20).fit(X, labels)
    assert set(model.predict(X)) <= {"yes", "no"}
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "model.vrl"
        model.save_model(path)
        loaded = vorlent.load_model(path)
    assert np.array_equal(loaded.predict_proba(X), model.predict_proba(X)), "loaded model differs"

    # Plotting imports without matplotlib; drawing without it names the extra to install.
    if "matplotlib" in missing:
        try:
            vorlent.plotting.plot_importance(model)
        except ImportError as error:
            assert "vorlent[plot]" in str(error), error
        else:
            raise AssertionError("plot_importance drew without matplotlib")

    print(
        f"smoke test passed on CPython {sys.version.split()[0]}: vorlent {vorlent.__version__}, "
        f"accuracy {accuracy:.3f}, optional packages absent: {', '.join(missing) or 'none'}"
    )


if __name__ == "__main__":
    main()
