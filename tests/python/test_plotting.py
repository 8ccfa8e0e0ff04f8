"""vorlent.plotting draws what the model holds: every plot is rendered with Agg to a PNG and
its artists are read back (bar widths, image arrays, line data, texts, scatter offsets) and
checked against the model's own numbers."""

import dataclasses
import itertools
import sys

import numpy as np
import pytest
from helpers import planted_binary, run_capped

mpl = pytest.importorskip("matplotlib")
mpl.use("Agg")
import matplotlib.pyplot as plt
from vorlent import VorlentClassifier, VorlentRegressor
from vorlent.plotting import (
    plot_importance,
    plot_metric,
    plot_shap_summary,
    plot_split,
    plot_tree,
)

pd = pytest.importorskip("pandas")


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def render(ax, tmp_path, name="plot"):
    path = tmp_path / f"{name}.png"
    ax.figure.savefig(path)
    assert path.stat().st_size > 1000
    return ax


@pytest.fixture(scope="module")
def binary():
    X, y = planted_binary(n=2500, d=6, seed=3, nan_share=0.03)
    names = ["humid", "pressure", "wind", "temp", "rain", "sun"]
    frame = pd.DataFrame(X, columns=names)
    model = VorlentClassifier(
        n_estimators=80, early_stopping=True, n_iter_no_change=5, random_state=0
    )
    return model.fit(frame[:2000], y[:2000], eval_set=(frame[2000:], y[2000:])), frame, y


def test_importing_leaves_matplotlib_out_and_a_plot_without_it_names_the_extra():
    code = (
        "import sys\n"
        "import numpy as np, vorlent, vorlent.plotting\n"
        "assert 'matplotlib' not in sys.modules, 'imported matplotlib'\n"
        "sys.modules['matplotlib'] = None\n"
        "X = np.random.default_rng(0).normal(size=(100, 2))\n"
        "model = vorlent.VorlentRegressor(n_estimators=2).fit(X, X[:, 0])\n"
        "for plot in ('plot_importance', 'plot_metric', 'plot_tree'):\n"
        "    try:\n"
        "        getattr(vorlent.plotting, plot)(model)\n"
        "    except ImportError as error:\n"
        "        assert 'pip install \"vorlent[plot]\"' in str(error), error\n"
        "    else:\n"
        "        raise AssertionError(plot)\n"
        "print('ok')\n"
    )
    result = run_capped(code, timeout=120)
    assert result.stdout.strip() == "ok", result.stderr


def test_importance_bars_are_the_importances_largest_first(binary, tmp_path):
    model, frame, _ = binary
    for kind, values in (
        ("gain", model.feature_importances_),
        ("coefficient", model.booster_.coefficient_importances()),
    ):
        for target in (model, model.booster_):
            ax = render(plot_importance(target, kind=kind, max_num_features=4), tmp_path, kind)
            widths = [bar.get_width() for bar in ax.patches]
            labels = [t.get_text() for t in ax.get_yticklabels()]
            order = np.argsort(-values, kind="stable")[:4][::-1]  # the largest drawn on top
            names = frame.columns if target is model else [f"x{j}" for j in range(6)]
            # Shares computed once more may differ in the last bit from the attribute's.
            assert widths == pytest.approx(values[order], rel=1e-12, abs=0)
            assert labels == [names[j] for j in order]
            assert [bar.get_y() + bar.get_height() / 2 for bar in ax.patches] == [0, 1, 2, 3]
    zero = plot_importance(model, ignore_zero=True)
    assert len(zero.patches) == np.count_nonzero(model.feature_importances_)


def test_interaction_heat_map_is_the_symmetric_pair_gain_of_the_top_features(binary, tmp_path):
    model, frame, _ = binary
    pairs = model.booster_.interaction_importances()
    assert pairs.sum() > 0
    ax = render(plot_importance(model, kind="interaction", max_num_features=4), tmp_path)
    symmetric = pairs + pairs.T
    keep = np.sort(np.argsort(-symmetric.sum(axis=1), kind="stable")[:4])
    (image,) = ax.images
    assert np.array_equal(image.get_array(), symmetric[np.ix_(keep, keep)])
    assert [t.get_text() for t in ax.get_xticklabels()] == list(frame.columns[keep])
    assert [t.get_text() for t in ax.get_yticklabels()] == list(frame.columns[keep])
    assert len(ax.figure.axes) == 2  # the colour bar
    axis = VorlentRegressor(n_estimators=3, split_mode="axis").fit(frame, np.arange(len(frame)) % 7)
    with pytest.raises(ValueError, match="no pair splits"):
        plot_importance(axis, kind="interaction")
    with pytest.raises(ValueError, match="kind must be one of"):
        plot_importance(model, kind="split")


def test_metric_lines_are_the_recorded_losses_with_the_best_round_marked(binary, tmp_path):
    model, _, _ = binary
    best = model.best_iteration_
    assert best is not None and best < len(model.validation_score_) - 1
    ax = render(plot_metric(model), tmp_path)
    loss_line, dot, best_line = ax.lines
    assert np.array_equal(loss_line.get_ydata(), model.validation_score_)
    assert np.array_equal(loss_line.get_xdata(), np.arange(len(model.validation_score_)))
    assert list(best_line.get_xdata()) == [best, best]
    assert (dot.get_xdata()[0], dot.get_ydata()[0]) == (best, model.validation_score_[best])
    # the core booster records the same losses and best round
    core = plot_metric(model.booster_)
    assert np.array_equal(core.lines[0].get_ydata(), model.validation_score_)
    assert list(core.lines[-1].get_xdata()) == [best, best]


def test_metric_draws_every_series_of_evals_result(binary, tmp_path):
    model, _, _ = binary
    copy = VorlentClassifier()
    train = list(np.linspace(0.7, 0.1, len(model.validation_score_)))
    evals = {"training": {"log_loss": train}, **model.evals_result_}
    copy._set_fitted(dataclasses.replace(model._fitted, evals_result=evals))
    ax = render(plot_metric(copy, show_best=False), tmp_path)
    drawn = {line.get_label(): list(line.get_ydata()) for line in ax.lines}
    assert drawn == {"training": train, "validation": list(model.validation_score_)}
    only = plot_metric(copy, dataset_names=["training"], show_best=False)
    assert [line.get_label() for line in only.lines] == ["training"]
    with pytest.raises(ValueError, match="no recorded loss matches metric='auc'"):
        plot_metric(copy, metric="auc")
    plain = plot_metric(copy.evals_result_)  # the dict itself, as LightGBM takes it
    assert {line.get_label(): list(line.get_ydata()) for line in plain.lines} == drawn


def test_metric_without_a_validation_set_is_refused():
    X, y = planted_binary(n=300, seed=1)
    model = VorlentClassifier(n_estimators=5, early_stopping=False).fit(X, y)
    with pytest.raises(ValueError, match="no recorded losses.*eval_set"):
        plot_metric(model)
    with pytest.raises(ValueError, match="no recorded losses"):
        plot_metric(model.booster_)


def weather(n=3000, seed=0):
    rng = np.random.default_rng(seed)
    values = rng.normal(size=(n, 3))
    city = rng.choice(["oslo", "rome", "lima", "pune"], n)
    shift = pd.Series(city).map({"oslo": -1.0, "rome": 0.5, "lima": 1.0, "pune": 0.0})
    frame = pd.DataFrame(values, columns=["humid", "pressure", "temp"])
    frame["city"] = pd.Categorical(city)
    signal = frame["humid"] - frame["pressure"] + shift.to_numpy() * (1 + frame["temp"])
    frame.loc[rng.random(n) < 0.05, "humid"] = np.nan
    return frame, signal.to_numpy()


def split_kinds():
    frame, signal = weather()
    models = {
        "oblique_and_category_pair": VorlentRegressor(max_depth=5, random_state=0),
        "axis": VorlentRegressor(max_depth=5, split_mode="axis", random_state=0),
        "projection": VorlentClassifier(max_depth=4, max_lineage=2, random_state=0),
        "multiclass": VorlentClassifier(max_depth=4, random_state=0),
    }
    targets = {
        "projection": signal > 0,
        "multiclass": np.digitize(signal, [-0.5, 0.5]),
    }
    for name, model in models.items():
        model.set_params(n_estimators=4)
        yield name, model.fit(frame, targets.get(name, signal)), frame


@pytest.mark.parametrize("orientation", ["vertical", "horizontal"])
def test_tree_shows_every_split_and_leaf_without_overlapping_boxes(orientation, tmp_path):
    for name, model, _ in split_kinds():
        for tree in model.dump_model()["trees"][1:2]:
            ax = plot_tree(model, tree["tree"], precision=4, orientation=orientation)
            render(ax, tmp_path, f"{name}-{tree['tree']}")
            texts = {t.get_gid(): t for t in ax.texts if t.get_gid() and "-" in t.get_gid()}
            nodes = tree["nodes"]
            leaves = [r for r in nodes if r["kind"] == "leaf"]
            splits = [r for r in nodes if r["kind"] != "leaf"]
            assert sum(gid.startswith("leaf-") for gid in texts) == len(leaves)
            for r in splits:
                shown = " ".join(texts[f"split-{r['node']}"].get_text().split("\n"))
                assert shown == r["split"], (shown, r["split"])
            for r in leaves:
                values = r["contributions"] or [r["contribution"]]
                shown = texts[f"leaf-{r['node']}"].get_text()
                assert all(f"{v:.4g}" in shown for v in values)
            assert sum(t.get_text() == "yes" for t in ax.texts) == len(splits)
            boxes_apart(ax, [t for gid, t in texts.items() if not gid.startswith("edge")])


def boxes_apart(ax, texts):
    renderer = ax.figure.canvas.get_renderer()
    boxes = [t.get_bbox_patch().get_window_extent(renderer) for t in texts]
    for a, b in itertools.combinations(boxes, 2):
        assert not a.overlaps(b), (a, b)


def test_tree_text_carries_the_split_text_at_the_asked_precision():
    _, model, _ = next(split_kinds())
    records = model.dump_model()["trees"][0]["nodes"]
    ax = plot_tree(model, 0)  # precision 3
    root = next(t for t in ax.texts if t.get_gid() == "split-0").get_text()
    from vorlent._trees import split_text

    assert " ".join(root.split("\n")) == split_text(records[0], digits=3, categorical={"city"})
    with pytest.raises(ValueError, match="tree_index=4 is out of range"):
        plot_tree(model, 4)
    with pytest.raises(ValueError, match="show_info"):
        plot_tree(model, 0, show_info=["depth"])


def one_tree_sides(model, X):
    """Per row, whether the model's single tree ends it in the LEFT subtree of each node,
    read from predict_raw alone: raw = base + the leaf's contribution, and the leaves'
    contributions are distinct."""
    nodes = model.dump_model()["trees"][0]["nodes"]
    raw = model.predict_raw(X)
    contributions = np.array([r["contribution"] for r in nodes if r["kind"] == "leaf"])
    leaf_ids = [r["node"] for r in nodes if r["kind"] == "leaf"]
    assert len(np.unique(contributions)) == len(contributions)
    base = next(
        b
        for b in raw[0] - contributions
        if np.all(np.min(np.abs(raw[:, None] - b - contributions), axis=1) < 1e-9)
    )
    leaf = np.array(leaf_ids)[np.argmin(np.abs(raw[:, None] - base - contributions), axis=1)]
    below = {}
    for r in reversed(nodes):
        n = r["node"]
        below[n] = {n} if r["kind"] == "leaf" else {n} | below[r["left"]] | below[r["right"]]
    return {
        r["node"]: (np.isin(leaf, list(below[r["left"]])), np.isin(leaf, list(below[r["right"]])))
        for r in nodes
        if r["kind"] != "leaf"
    }


def test_split_line_separates_the_rows_the_model_sends_left_from_the_right(tmp_path):
    rng = np.random.default_rng(5)
    X = rng.normal(size=(3000, 2))
    y = (X[:, 0] - 0.7 * X[:, 1] + 0.2 * rng.normal(size=3000) > 0.3).astype(int)
    model = VorlentClassifier(n_estimators=1, max_depth=2, random_state=0).fit(X, y)
    sides = one_tree_sides(model, X)
    kinds = {r["node"]: r["kind"] for r in model.dump_model()["trees"][0]["nodes"]}
    assert "oblique" in [kinds[n] for n in sides]
    for node, (left, right) in sides.items():
        ax = render(plot_split(model, X, 0, node, y=y), tmp_path, f"node{node}")
        points = np.concatenate([c.get_offsets() for c in ax.collections if len(c.get_offsets())])
        drawn = np.array(sorted(map(tuple, points)))
        assert np.array_equal(drawn, np.array(sorted(map(tuple, X[left | right]))))
        if kinds[node] != "oblique":
            continue
        (line,) = [line for line in ax.lines if line.get_gid() == "split-line"]
        (x1, x2), (y1, y2) = line.get_xdata(), line.get_ydata()
        side = np.sign((x2 - x1) * (X[:, 1] - y1) - (y2 - y1) * (X[:, 0] - x1))
        assert len(np.unique(side[left])) == 1 and len(np.unique(side[right])) == 1
        assert side[left][0] == -side[right][0]


def test_category_pair_thresholds_separate_every_category(tmp_path):
    frame, signal = weather(seed=4)
    frame = frame[["city", "temp"]]
    model = VorlentRegressor(n_estimators=1, max_depth=1, random_state=0).fit(frame, signal)
    (root,) = [r for r in model.dump_model()["trees"][0]["nodes"] if r["kind"] != "leaf"]
    assert root["kind"] == "category_pair"
    left, right = one_tree_sides(model, frame)[0]
    assert np.all(left ^ right)  # no missing values: every row goes one way
    ax = render(plot_split(model, frame, 0, 0), tmp_path)
    codes = np.round(ax.collections[0].get_offsets()[:, 0]).astype(int)
    temp = ax.collections[0].get_offsets()[:, 1]
    order = np.lexsort((frame["temp"].to_numpy(), frame["city"].cat.codes.to_numpy()))
    drawn = np.lexsort((temp, codes))
    assert np.array_equal(temp[drawn], frame["temp"].to_numpy()[order])
    going_left = left[order]
    cuts = {int(line.get_gid().rsplit("-", 1)[1]): line.get_ydata()[0] for line in ax.lines}
    assert set(cuts) == set(codes)
    below = temp[drawn] < np.array([cuts[c] for c in codes[drawn]])
    assert np.array_equal(below, going_left) or np.array_equal(~below, going_left)
    assert [t.get_text() for t in ax.get_xticklabels()] == list(frame["city"].cat.categories)


def test_axis_and_projection_histograms_count_the_rows_reaching_the_node(tmp_path):
    for name, model, frame in split_kinds():
        if name not in ("axis", "projection"):
            continue
        nodes = model.dump_model()["trees"][1]["nodes"]
        node = next(r for r in nodes if r["kind"] in ("axis", "projection") and r["depth"] == 1)
        ax = render(plot_split(model, frame, 1, node["node"]), tmp_path, name)
        heights = sum(p.get_height() for p in ax.patches if p.get_gid() != "left-side")
        placed = int(ax.get_title().split(": ")[1].split(" rows")[0])
        assert heights == placed > 0
        (line,) = [line for line in ax.lines if line.get_gid() == "split-line"]
        assert line.get_xdata()[0] == pytest.approx(node["threshold"])


def test_gradient_colours_are_the_loss_derivative_at_the_earlier_trees_score(tmp_path):
    X, y = planted_binary(n=1500, d=4, seed=7)
    settings = {"max_depth": 3, "random_state": 0, "early_stopping": False}
    model = VorlentClassifier(n_estimators=6, **settings).fit(X, y)
    before = VorlentClassifier(n_estimators=4, **settings).fit(X, y)  # the same first trees
    ax = render(plot_split(model, X, 4, 0, y=y, color_by="gradient"), tmp_path)
    (points,) = [c for c in ax.collections if c.get_array() is not None]
    expected = 1 / (1 + np.exp(-before.predict_raw(X))) - y
    drawn = dict(zip(map(tuple, points.get_offsets()), points.get_array()))
    raw = model.dump_model()["trees"][4]["nodes"][0]
    a, b = raw["columns"]
    for row in range(0, len(X), 37):
        assert drawn[(X[row, a], X[row, b])] == pytest.approx(expected[row], abs=1e-9)
    with pytest.raises(ValueError, match="needs y"):
        plot_split(model, X, 4, 0, color_by="gradient")


def test_split_refuses_leaves_and_indices_out_of_range():
    X, y = planted_binary(n=400, seed=2)
    model = VorlentClassifier(n_estimators=2, max_depth=2).fit(X, y)
    leaf = next(r for r in model.dump_model()["trees"][0]["nodes"] if r["kind"] == "leaf")
    with pytest.raises(ValueError, match="is a leaf"):
        plot_split(model, X, 0, leaf["node"])
    with pytest.raises(ValueError, match="node=99 is out of range"):
        plot_split(model, X, 0, 99)
    with pytest.raises(TypeError, match="tree_index must be an int"):
        plot_split(model, X, 0.0, 0)
    with pytest.raises(TypeError, match="must be a fitted VorlentClassifier"):
        plot_split("model", X)


def test_beeswarm_rows_follow_the_mean_absolute_value_and_hold_every_point(binary, tmp_path):
    model, frame, _ = binary
    rows = frame[:400]
    phi = model.shap_values(rows)
    ax = render(plot_shap_summary(phi, rows, max_display=4), tmp_path)
    mean_abs = np.abs(phi[:, :-1]).mean(axis=0)
    top = np.argsort(-mean_abs, kind="stable")[:4]
    assert [t.get_text() for t in ax.get_yticklabels()] == list(frame.columns[top[::-1]])
    assert [t.get_position()[1] for t in ax.get_yticklabels()] == [0, 1, 2, 3]
    for rank, j in enumerate(top):
        drawn = [
            c for c in ax.collections if c.get_gid() in (f"feature-{j}", f"feature-{j}-missing")
        ]
        offsets = np.concatenate([c.get_offsets() for c in drawn])
        assert len(offsets) == len(rows)
        assert sorted(offsets[:, 0]) == sorted(phi[:, j])
        assert np.all(np.abs(offsets[:, 1] - (3 - rank)) <= 0.4)
        missing = rows.iloc[:, j].isna().to_numpy()
        assert len(drawn[0].get_offsets()) == missing.sum()  # grey: no value to colour by
    assert ax.figure.axes[-1].get_ylabel() == "feature value"
    # without the expected-value column the picture is the same
    same = plot_shap_summary(phi[:, :-1], rows, max_display=4)
    assert [c.get_offsets().tolist() for c in same.collections] == [
        c.get_offsets().tolist() for c in ax.collections
    ]


def test_shap_bars_and_multiclass_outputs(tmp_path):
    frame, signal = weather()
    model = VorlentClassifier(n_estimators=5, random_state=0)
    model.fit(frame, np.digitize(signal, [-0.5, 0.5]))
    phi = model.shap_values(frame[:300])  # (rows, 3, columns + 1)
    mean_abs = np.abs(phi[:, :, :-1]).mean(axis=0)
    ax = render(plot_shap_summary(phi, frame[:300], kind="bar"), tmp_path)
    order = np.argsort(-mean_abs.sum(axis=0), kind="stable")[::-1]
    stacked = np.array([bar.get_x() + bar.get_width() for bar in ax.patches[-len(order) :]])
    assert stacked == pytest.approx(mean_abs.sum(axis=0)[order])
    one = plot_shap_summary(phi, frame[:300], kind="bar", class_index=2)
    order = np.argsort(-mean_abs[2], kind="stable")[::-1]
    assert [bar.get_width() for bar in one.patches] == pytest.approx(mean_abs[2][order])
    with pytest.raises(ValueError, match="pass class_index"):
        plot_shap_summary(phi, frame[:300])
    with pytest.raises(ValueError, match="values have 3 columns but X has 4"):
        plot_shap_summary(np.zeros((300, 3)), frame[:300])


def test_plots_draw_on_a_given_axes_and_return_it():
    X, y = planted_binary(n=1200, seed=4)
    model = VorlentClassifier(n_estimators=5, early_stopping=True, random_state=0)
    model.fit(X[:1000], y[:1000], eval_set=(X[1000:], y[1000:]))
    _, axes = plt.subplots(2, 3, figsize=(12, 6))
    drawn = [
        plot_importance(model, ax=axes[0, 0]),
        plot_metric(model, ax=axes[0, 1]),
        plot_tree(model, ax=axes[0, 2]),
        plot_split(model, X, ax=axes[1, 0]),
        plot_shap_summary(model.shap_values(X[:100]), X[:100], ax=axes[1, 1]),
    ]
    assert drawn == list(axes.flat[:5])
    assert sys.modules["matplotlib"].get_backend().lower() == "agg"


@pytest.mark.parametrize(
    "module", ["", "._importance", "._metric", "._tree", "._split", "._shap", "._halfplane"]
)
def test_docstring_examples_run(module):
    import doctest
    import importlib

    result = doctest.testmod(importlib.import_module("vorlent.plotting" + module))
    assert result.attempted > 0 and result.failed == 0
