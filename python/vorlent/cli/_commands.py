"""The four commands: train, predict, explain and info. Each takes the parsed arguments and
returns the exit code; problems are raised as CommandError."""

from __future__ import annotations

import json
import sys
import time

from ._errors import CommandError, one_line
from ._features import categorical_columns, check_choices, features, refuse_identifiers
from ._params import configured, parse_params, set_seed
from ._progress import Phases, RoundBar
from ._tables import read_table, require_columns, table_format, write_table
from ._task import check_task, inferred_task

TOP_IMPORTANCES = 10


def train(args) -> int:
    from .. import VorlentClassifier, VorlentRegressor

    params = parse_params(args.param)
    categorical, ignored = _names(args.categorical), _names(args.ignore)
    check_choices(categorical, ignored)
    set_seed(params, args.seed)
    if args.eval_fraction is not None:
        params["early_stopping"] = args.eval_fraction > 0
        if args.eval_fraction > 0:
            params["validation_fraction"] = args.eval_fraction
    started = time.perf_counter()
    with Phases(["reading", "training", "saving"], enabled=not args.quiet) as phases:
        phases.step("reading")
        frame = read_table(args.data)
        require_columns(frame, [args.target, *categorical, *ignored], args.data)
        target = frame[args.target]
        if target.isna().any():
            raise CommandError(
                f"target column {args.target!r} has {int(target.isna().sum())} missing values "
                f"(first in row {int(target.isna().to_numpy().argmax())})"
            )
        X = features(frame, args.target, ignored, args.data)
        refuse_identifiers(X, categorical)
        if categorical:
            params["categorical_features"] = categorical_columns(X, categorical)
        if args.task:
            task, inferred_because = args.task, None
        else:
            task, inferred_because = inferred_task(target)
        check_task(task, target, inferred_because)
        estimator_class = VorlentRegressor if task == "regression" else VorlentClassifier
        estimator = configured(estimator_class, params)
        phases.step("training")
        with RoundBar(estimator.n_estimators, enabled=phases.shown) as rounds:
            # Without a bar no callback: training stays exactly as without progress.
            estimator.fit(X, target, callbacks=[rounds] if phases.shown else None)
        phases.step("saving")
        estimator.save_model(args.output)
    if not args.quiet:
        print(
            f"vorlent: trained a {task} {estimator_class.__name__} of {estimator.n_estimators_} "
            f"trees on {X.shape[0]} rows x {X.shape[1]} features in "
            f"{time.perf_counter() - started:.2f} s -> {args.output}",
            file=sys.stderr,
        )
    return 0


def predict(args) -> int:
    return _per_row(args, _predictions)


def explain(args) -> int:
    return _per_row(args, _contributions)


def _predictions(model, X) -> dict:
    """The label (or value) of every row, and for a classifier every class's probability."""
    columns = {"prediction": model.predict(X)}
    if hasattr(model, "classes_"):
        probabilities = model.predict_proba(X)
        for j, label in enumerate(model.classes_):
            columns[f"probability_{label}"] = probabilities[:, j]
    return columns


def _contributions(model, X) -> dict:
    contributions = model.explain(X)
    contributions = getattr(contributions, "to_numpy", lambda: contributions)()
    return {name: contributions[:, j] for j, name in enumerate(_feature_names(model))}


def _per_row(args, compute) -> int:
    """Write the row number, the kept columns and ``compute(model, X)``'s columns."""
    import pandas as pd

    table_format(args.output, "output file")
    model = _load(args.model)
    frame = read_table(args.data)
    out = _row_ids(frame, _names(args.keep), args.data)
    columns = compute(model, _features(model, frame, args.data))
    out = pd.concat([out, pd.DataFrame(columns, index=out.index)], axis=1)
    write_table(out, args.output)
    return 0


def info(args) -> int:
    description = describe(_load(args.model))
    if args.json:
        print(json.dumps(description, indent=2))
        return 0
    for key in ("estimator", "task", "classes", "trees", "best_iteration", "features"):
        print(f"{key}: {description[key]}")
    print("feature names: " + ", ".join(description["feature_names"]))
    if description["categorical"]:
        print("categorical: " + ", ".join(description["categorical"]))
    print("parameters:")
    for name, value in description["parameters"].items():
        print(f"  {name} = {json.dumps(value)}")
    print("top importances (share of split gain):")
    for name, share in description["importances"].items():
        print(f"  {name}: {share:.4f}")
    return 0


def describe(model) -> dict:
    """What ``info`` shows, as a JSON-ready dict."""
    names = _feature_names(model)
    classes = getattr(model, "classes_", None)
    if classes is None:
        task = "regression"
    else:
        task = "binary" if len(classes) == 2 else "multiclass"
    shares = model.feature_importances_
    order = sorted(range(len(names)), key=lambda j: -shares[j])[:TOP_IMPORTANCES]
    return {
        "estimator": type(model).__name__,
        "task": task,
        "classes": None if classes is None else [_plain(c) for c in classes],
        "trees": int(model.n_estimators_),
        "best_iteration": model.best_iteration_,
        "features": len(names),
        "feature_names": names,
        "categorical": [n for n, flag in zip(names, model._schema.categorical) if flag],
        "parameters": model._trained_params,
        "importances": {names[j]: float(shares[j]) for j in order if shares[j] > 0},
    }


def _load(path):
    from .. import load_model

    try:
        return load_model(path)
    except FileNotFoundError:
        raise CommandError(f"cannot load model {str(path)!r}: no such file") from None
    except (OSError, ValueError) as error:
        raise CommandError(f"cannot load model {str(path)!r}: {one_line(error)}") from None


def _features(model, frame, path):
    """The model's feature columns of ``frame``: by name when the model has names, else the
    file's columns by position."""
    names = model._schema.feature_names
    if names is None:
        # Integer names are no names: a model fitted on an array reads the file by position,
        # as it always has, rather than warning that the file's header goes unused.
        return frame.set_axis(range(frame.shape[1]), axis=1)
    require_columns(frame, names, path)
    return frame[list(names)]


def _feature_names(model) -> list[str]:
    names = model._schema.feature_names
    return list(names) if names is not None else [f"x{j}" for j in range(model.n_features_in_)]


def _row_ids(frame, keep: list[str], path):
    """The first output columns: the row number in the input, then the kept columns."""
    import pandas as pd

    require_columns(frame, keep, path)
    out = pd.DataFrame({"row": range(len(frame))})
    for name in keep:
        out[name] = frame[name].to_numpy()
    return out


def _names(text) -> list[str]:
    return [] if not text else [name.strip() for name in text.split(",") if name.strip()]


def _plain(value):
    return value.item() if hasattr(value, "item") else value
