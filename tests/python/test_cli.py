"""The ``vorlent`` command, run for real as a child process (``python -m vorlent`` and the
installed console script): train -> info -> predict -> explain on CSV and Parquet files,
checked against the estimators trained in-process on the same data, and its errors (one
line on stderr, exit code 1 for data and files, 2 for usage; most of them through ``main``
in this process, which is what the child process runs, to keep the tests quick)."""

import json
import pathlib
import re
import shlex
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

import vorlent
from vorlent.cli import main
from vorlent.cli._task import inferred_task

SCRIPT = pathlib.Path(sys.executable).parent / "vorlent"
README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
PARAMS = {"n_estimators": 15, "max_depth": 3, "random_state": 0}


def run(*args, script=False, cwd=None, preexec_fn=None):
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "vorlent"]
    return subprocess.run(
        [*command, *map(str, args)],
        check=False,
        capture_output=True,
        text=True,
        timeout=120,
        cwd=cwd,
        preexec_fn=preexec_fn,
    )


def table(n=400, seed=0):
    """Numbers with missing values, a string column, and one target of every task."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {
            "size": rng.normal(size=n),
            "weight": rng.uniform(0, 5, size=n),
            "colour": rng.choice(["red", "green", "blue"], size=n),
            "shop": rng.integers(0, 4, size=n),  # codes: categorical only when named
        }
    )
    frame.loc[rng.random(n) < 0.1, "weight"] = np.nan
    signal = frame["size"] + (frame["colour"] == "red") - frame["weight"].fillna(2) / 2
    signal += np.array([0.0, 1.0, -1.0, 0.5])[frame["shop"]]
    frame["label"] = np.where(signal + rng.normal(size=n) > 0, "yes", "no")
    frame["grade"] = np.digitize(signal, [-1.0, 0.0])  # 3 integer classes
    frame["amount"] = signal + rng.normal(scale=0.1, size=n)
    return frame


TARGETS = {"label": "binary", "grade": "multiclass", "amount": "regression"}


def write(frame, path):
    if path.suffix == ".csv":
        frame.to_csv(path, index=False)
    else:
        frame.to_parquet(path, index=False)


def read(path):
    return pd.read_csv(path) if path.suffix == ".csv" else pd.read_parquet(path)


# Every task, both formats and both entry points (the console script, python -m vorlent).
@pytest.mark.parametrize(
    ("target", "suffix", "script"),
    [("label", ".csv", False), ("grade", ".parquet", True), ("amount", ".parquet", False)],
)
def test_train_info_predict_explain_match_the_estimator(tmp_path, target, suffix, script):
    data, model = tmp_path / f"data{suffix}", tmp_path / "model.vrl"
    write(table(), data)
    frame = read(data)  # exactly what the command reads
    others = [t for t in TARGETS if t != target]
    write(frame.drop(columns=others), data)
    params = [a for k, v in PARAMS.items() for a in ("--param", f"{k}={v}")]
    trained = run(
        "train",
        data,
        "--target",
        target,
        "--categorical",
        "shop",
        *params,
        "-q",
        "-o",
        model,
        script=script,
    )
    assert (trained.returncode, trained.stderr) == (0, "")

    X, y = frame.drop(columns=[target, *others]), frame[target]
    kind = (
        vorlent.VorlentRegressor if TARGETS[target] == "regression" else vorlent.VorlentClassifier
    )
    reference = kind(**PARAMS, categorical_features=["colour", "shop"]).fit(X, y)

    shown = run("info", model, "--json", script=script)
    assert shown.returncode == 0, shown.stderr
    info = json.loads(shown.stdout)
    assert info["task"] == TARGETS[target] and info["trees"] == PARAMS["n_estimators"]
    assert info["feature_names"] == list(X.columns) and info["categorical"] == ["colour", "shop"]
    assert {k: info["parameters"][k] for k in PARAMS} == PARAMS
    top = max(info["importances"], key=info["importances"].get)
    assert top == X.columns[np.argmax(reference.feature_importances_)]

    out = tmp_path / f"predictions{suffix}"
    predicted = run("predict", model, data, "--keep", "colour", "-o", out, script=script)
    assert predicted.returncode == 0, predicted.stderr
    got = read(out)
    assert list(got["row"]) == list(range(len(X))) and (got["colour"] == X["colour"]).all()
    np.testing.assert_array_equal(got["prediction"].to_numpy(), reference.predict(X))
    if kind is vorlent.VorlentClassifier:
        columns = [f"probability_{c}" for c in reference.classes_]
        assert list(got.columns) == ["row", "colour", "prediction", *columns]
        np.testing.assert_allclose(got[columns].to_numpy(), reference.predict_proba(X), rtol=1e-14)

    out = tmp_path / f"contributions{suffix}"
    explained = run("explain", model, data, "-o", out, script=script)
    assert explained.returncode == 0, explained.stderr
    got = read(out)
    assert list(got.columns) == ["row", *X.columns]
    np.testing.assert_allclose(got[list(X.columns)].to_numpy(), reference.explain(X), rtol=1e-14)


def test_task_inference():
    n = 60

    def infer_task(target):
        return inferred_task(target)[0]

    assert infer_task(pd.Series(np.linspace(0, 1, n))) == "regression"
    assert infer_task(pd.Series(np.arange(n))) == "regression"  # many integer values
    assert infer_task(pd.Series(np.arange(n) % 3)) == "multiclass"
    assert infer_task(pd.Series(np.arange(n) % 2 == 0)) == "binary"
    assert infer_task(pd.Series(["a", "b"] * (n // 2))) == "binary"


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A data file, a trained model and a copy of it with a flipped byte."""
    folder = tmp_path_factory.mktemp("cli")
    data = folder / "data.csv"
    table().drop(columns=["grade", "amount"]).to_csv(data, index=False)
    model = folder / "model.vrl"
    assert (
        main(
            [
                "train",
                str(data),
                "--target",
                "label",
                "--param",
                "n_estimators=3",
                "-q",
                "-o",
                str(model),
            ]
        )
        == 0
    )
    damaged = folder / "damaged.vrl"
    raw = bytearray(model.read_bytes())
    raw[len(raw) // 2] ^= 0xFF
    damaged.write_bytes(bytes(raw))
    (folder / "garbage.parquet").write_bytes(b"not a parquet file at all")
    table().drop(columns=["size"]).to_csv(folder / "no_size.csv", index=False)
    return folder


ERRORS = [
    (["train", "data.csv", "--target", "nope", "-o", "m.vrl"], 1, "has no column 'nope'"),
    (["train", "absent.csv", "--target", "label", "-o", "m.vrl"], 1, "cannot read 'absent.csv'"),
    (["train", "garbage.parquet", "--target", "label", "-o", "m.vrl"], 1, "as Parquet"),
    (["train", "data.txt", "--target", "label", "-o", "m.vrl"], 1, "unknown file type '.txt'"),
    (
        ["train", "data.csv", "--target", "label", "--param", "bogus=1", "-o", "m.vrl"],
        2,
        "unknown parameter 'bogus' for VorlentClassifier",
    ),
    (
        ["train", "data.csv", "--target", "label", "--param", "max_depth=0", "-o", "m.vrl"],
        2,
        "'max_depth' parameter",
    ),
    (
        ["train", "data.csv", "--target", "label", "--task", "regression", "-o", "m.vrl"],
        1,
        "needs a numeric target",
    ),
    (["info", "damaged.vrl"], 1, "cannot load model 'damaged.vrl'"),
    (["predict", "damaged.vrl", "data.csv", "-o", "p.csv"], 1, "cannot load model"),
    (["predict", "model.vrl", "no_size.csv", "-o", "p.csv"], 1, "has no column 'size'"),
    (["explain", "model.vrl", "data.csv", "-o", "p.json"], 1, "unknown file type '.json'"),
]


@pytest.mark.parametrize(("args", "code", "message"), ERRORS)
def test_errors_are_one_line_with_their_exit_code(files, args, code, message, monkeypatch, capsys):
    monkeypatch.chdir(files)
    before = set(files.iterdir())
    assert main(args) == code
    stderr = capsys.readouterr().err
    assert re.fullmatch(r"vorlent: error: [^\n]+\n", stderr), stderr
    assert message in stderr
    assert set(files.iterdir()) == before  # nothing written


def test_a_model_fitted_on_an_array_reads_the_file_by_position(tmp_path, recwarn):
    X = np.random.default_rng(3).normal(size=(60, 3))
    model = vorlent.VorlentRegressor(n_estimators=3).fit(X, X[:, 0])
    model.save_model(tmp_path / "m.vrl")
    pd.DataFrame(X, columns=["z", "y", "x"]).to_csv(tmp_path / "d.csv", index=False)
    out = tmp_path / "p.csv"
    assert main(["predict", str(tmp_path / "m.vrl"), str(tmp_path / "d.csv"), "-o", str(out)]) == 0
    np.testing.assert_allclose(pd.read_csv(out)["prediction"], model.predict(X), rtol=1e-15)
    assert not [w for w in recwarn if "feature names" in str(w.message)]


def test_exit_codes_of_the_process_and_missing_pandas(files):
    done = run("predict", "damaged.vrl", "data.csv", "-o", "p.csv", script=True, cwd=files)
    assert done.returncode == 1 and done.stderr.startswith("vorlent: error: cannot load model")
    assert run("train", "data.csv", "-o", "m.vrl", cwd=files).returncode == 2  # no --target
    with pytest.raises(SystemExit) as usage:
        main(
            [
                "train",
                str(files / "data.csv"),
                "--target",
                "label",
                "--eval-fraction",
                "1.5",
                "-o",
                "m.vrl",
            ]
        )
    assert usage.value.code == 2
    hide_pandas = (
        "import sys; sys.modules['pandas'] = None; from vorlent.cli import main; "
        "raise SystemExit(main(['info', 'model.vrl']))"
    )
    done = subprocess.run(
        [sys.executable, "-c", hide_pandas],
        check=False,
        capture_output=True,
        text=True,
        cwd=files,
        timeout=60,
    )
    assert done.returncode == 1 and "vorlent[pandas]" in done.stderr
    assert done.stderr.count("\n") == 1


def test_ignore_and_seed_and_the_refusals_they_answer(tmp_path, capsys):
    frame = table().drop(columns=["grade", "amount"])
    frame.insert(0, "customer", [f"c{i:04d}" for i in range(len(frame))])
    data, model = tmp_path / "ids.csv", tmp_path / "model.vrl"
    frame.to_csv(data, index=False)
    train = ["train", str(data), "--target", "label", "-o", str(model)]

    # Through main, as the process runs it: an id column is refused as a category, and a
    # task that was inferred says so and why.
    assert main(train) == 1
    error = capsys.readouterr().err
    assert "'customer' has 400 distinct values in 400 rows" in error
    assert "--ignore customer " in error
    frame.assign(label="yes").to_csv(data, index=False)
    assert main([*train, "--ignore", "customer"]) == 1
    error = capsys.readouterr().err
    assert "inferred as binary ('label' holds text values" in error
    assert "needs 2 classes, but 'label' has 1" in error
    assert not model.exists()

    frame.to_csv(data, index=False)
    done = run(*train, "--ignore", "customer,weight", "--seed", 7, "--param", "n_estimators=5")
    assert done.returncode == 0, done.stderr
    X = read(data).drop(columns=["label", "customer", "weight"])
    trained = vorlent.load_model(model)
    assert list(trained.feature_names_in_) == list(X.columns)
    references = [
        vorlent.VorlentClassifier(n_estimators=5, random_state=seed).fit(X, frame["label"])
        for seed in (7, 8)
    ]
    blobs = [m.booster_.serialize() for m in (trained, *references)]
    assert blobs[0] == blobs[1] != blobs[2]  # the seed reached the model, and it matters


def test_a_failed_write_leaves_the_earlier_output_as_it_was(files, tmp_path):
    import resource
    import signal

    limit = 2048

    def small_files():  # writes past the limit fail with EFBIG instead of killing the child
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    for command, out in (("predict", tmp_path / "p.csv"), ("explain", tmp_path / "e.parquet")):
        args = [command, files / "model.vrl", files / "data.csv", "-o", out]
        assert main(list(map(str, args))) == 0
        earlier = out.read_bytes()
        assert len(earlier) > limit
        done = run(*args, preexec_fn=small_files)
        assert done.returncode == 1
        assert done.stderr.startswith(f"vorlent: error: cannot write {str(out)!r}: "), done.stderr
        assert "File too large" in done.stderr and ".partial" not in done.stderr
        assert out.read_bytes() == earlier
    assert sorted(p.name for p in tmp_path.iterdir()) == ["e.parquet", "p.csv"]


def test_readme_commands_run(tmp_path):
    """The shell commands of the README's "Command line" section, on a file like the one its
    Python example writes."""
    section = README.read_text().split("### Command line", 1)[1]
    block = re.search(r"^```bash\n(.*?)^```", section, flags=re.DOTALL | re.MULTILINE).group(1)
    rng = np.random.default_rng(0)
    n = 500
    flights = pd.DataFrame(
        {
            "distance": rng.uniform(100, 2500, n),
            "hour": rng.integers(5, 23, n).astype(float),
            "carrier": rng.choice(["AA", "B6", "UA", "DL"], n),
            "origin": rng.choice(["EWR", "JFK", "LGA"], n),
        }
    )
    flights["status"] = np.where(flights["hour"] + rng.normal(size=n) > 14, "late", "on time")
    flights.to_csv(tmp_path / "flights.csv", index=False)
    for line in block.splitlines():
        words = shlex.split(line, comments=True)
        if words:
            assert words[0] == "vorlent"
            done = run(*words[1:], script=True, cwd=tmp_path)
            assert done.returncode == 0, (line, done.stderr)
            if words[1] == "info":
                assert (
                    "task: binary" in done.stdout and "classes: ['late', 'on time']" in done.stdout
                )
    assert len(read(tmp_path / "predictions.parquet")) == n


def run_on_terminal(*args, timeout=120):
    """Runs ``python -m vorlent`` with its output on a pseudo-terminal of 120 columns, as
    on a user's terminal; returns (exit code, everything it wrote)."""
    import fcntl
    import os
    import pty
    import select
    import struct
    import termios
    import time

    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
    child = subprocess.Popen(
        [sys.executable, "-m", "vorlent", *map(str, args)],
        stdin=follower,
        stdout=follower,
        stderr=follower,
        close_fds=True,
    )
    os.close(follower)
    output, deadline = b"", time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            if select.select([leader], [], [], 1.0)[0]:
                try:
                    chunk = os.read(leader, 65536)
                except OSError:  # the child closed the terminal
                    break
                if not chunk:
                    break
                output += chunk
        else:
            child.kill()
    finally:
        os.close(leader)
    return child.wait(timeout=30), output.decode(errors="replace")


def test_train_shows_a_round_bar_on_a_terminal_only(tmp_path):
    pytest.importorskip("tqdm")
    data = tmp_path / "data.csv"
    write(table(), data)
    args = [
        "train",
        data,
        "--target",
        "label",
        "--eval-fraction",
        "0.2",
        "--param",
        "n_estimators=12",
        "--param",
        "random_state=0",
    ]
    code, shown = run_on_terminal(*args, "-o", tmp_path / "tty.vrl")
    assert code == 0, shown
    assert re.search(r"rounds: +\d+%.*\| *\d+/12", shown), shown
    assert "validation log_loss=" in shown
    assert re.search(r"vorlent: trained a binary VorlentClassifier of \d+ trees", shown)

    done = run(*args, "-o", tmp_path / "plain.vrl")
    assert done.returncode == 0, done.stderr
    assert "rounds" not in done.stderr and "\r" not in done.stderr
    # The bar watches training without changing it.
    models = [vorlent.load_model(tmp_path / name) for name in ("tty.vrl", "plain.vrl")]
    assert models[0].booster_.serialize() == models[1].booster_.serialize()
