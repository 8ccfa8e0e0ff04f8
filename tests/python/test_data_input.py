"""User data to the core's matrix: arrays, lists and frames (vorlent._data)."""

import json
import math
import re

import numpy as np
import pytest
import vorlent_core as vc
from vorlent import VorlentClassifier
from vorlent._data import FeatureSchema, fit_matrix, predict_matrix, target_vector, weight_vector

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")


def mixed_frame(rng, n=200):
    """A pandas frame with every supported column family, missing values in each."""
    colours = np.array(["red", "green", "blue", "ochre"], dtype=object)
    frame = pd.DataFrame(
        {
            "x": rng.normal(size=n),
            "count": pd.array(rng.integers(0, 9, n), dtype="Int64"),
            "flag": pd.array(rng.random(n) < 0.5, dtype="boolean"),
            "colour": pd.Categorical(
                colours[rng.integers(0, 4, n)], categories=["red", "green", "blue", "ochre"]
            ),
            "city": pd.array(
                np.array(["oslo", "rome", "lima"], dtype=object)[rng.integers(0, 3, n)],
                dtype="string",
            ),
        }
    )
    for name in frame.columns:
        frame.loc[rng.random(n) < 0.1, name] = None
    frame.loc[3, "x"] = np.inf
    return frame


def brute_codes(values, categories):
    """Reference: the code of each value by a plain search, NaN when absent or missing."""
    out = []
    for v in values:
        missing = v is None or v is pd.NA or (isinstance(v, float) and math.isnan(v))
        out.append(float(categories.index(v)) if not missing and v in categories else math.nan)
    return np.array(out)


def decoded(matrix, schema):
    """The matrix with category codes replaced by their values: equal across libraries even
    where one library orders the categories differently."""
    return [
        [
            None if math.isnan(v) else schema.categories[j][int(v)] if j in schema.categories else v
            for j, v in enumerate(row)
        ]
        for row in matrix.tolist()
    ]


def as_python(column):
    return [None if v is pd.NA else v for v in column.astype(object)]


def test_every_frame_library_gives_the_reference_matrix(rng):
    frame = mixed_frame(rng)
    expected, schema = fit_matrix(frame)
    assert schema.feature_names == tuple(frame.columns)
    assert schema.categorical == (False, False, False, True, True)
    assert schema.categories == {3: ("red", "green", "blue", "ochre"), 4: ("lima", "oslo", "rome")}
    reference = np.column_stack(
        [
            frame["x"].to_numpy(dtype=float, na_value=np.nan),
            frame["count"].to_numpy(dtype=float, na_value=np.nan),
            frame["flag"].to_numpy(dtype=float, na_value=np.nan),
            brute_codes(as_python(frame["colour"]), schema.categories[3]),
            brute_codes(as_python(frame["city"]), schema.categories[4]),
        ]
    )
    np.testing.assert_array_equal(expected, reference)
    assert expected[3, 0] == np.inf  # infinities are data, not errors
    assert expected.flags.c_contiguous and expected.dtype == np.float64

    polars_frame = pl.from_pandas(frame)
    for other in (polars_frame, polars_frame.to_arrow(), frame.astype({"city": object})):
        matrix, other_schema = fit_matrix(other)
        assert other_schema.categorical == schema.categorical
        assert other_schema.categories[4] == schema.categories[4]
        # polars has no fixed category order: its categoricals are sorted like strings.
        assert sorted(other_schema.categories[3]) == sorted(schema.categories[3])
        assert decoded(matrix, other_schema) == decoded(expected, schema)
        # Each library's data predicts through the schema fitted on any other.
        np.testing.assert_array_equal(predict_matrix(other, schema), expected)


def test_categories_map_by_value_whatever_the_frame_order(rng):
    frame = mixed_frame(rng)
    _, schema = fit_matrix(frame)
    n = len(frame)
    new_colours = np.array(["ochre", "violet", "red", None, "blue"], dtype=object)[
        rng.integers(0, 5, n)
    ]
    reordered = frame[list(frame.columns[::-1])].copy()
    # Another category order, an unseen category and missing values in the new data.
    reordered["colour"] = pd.Categorical(new_colours, categories=["violet", "ochre", "blue", "red"])
    reordered["city"] = np.array(["rome", "paris", None], dtype=object)[rng.integers(0, 3, n)]
    matrix = predict_matrix(reordered, schema)
    np.testing.assert_array_equal(
        matrix[:, 3], brute_codes(list(new_colours), schema.categories[3])
    )
    np.testing.assert_array_equal(
        matrix[:, 4], brute_codes(list(reordered["city"]), schema.categories[4])
    )
    np.testing.assert_array_equal(matrix[:, :3], fit_matrix(frame)[0][:, :3])
    for other in (pl.from_pandas(reordered), pa.Table.from_pandas(reordered)):
        np.testing.assert_array_equal(predict_matrix(other, schema), matrix)


def test_polars_enum_and_categorical_columns():
    frame = pl.DataFrame(
        {
            "size": pl.Series(["m", "s", None, "l", "m"], dtype=pl.Enum(["s", "m", "l", "xl"])),
            "shop": pl.Series(["b", "a", "b", None, "c"], dtype=pl.Categorical),
        }
    )
    matrix, schema = fit_matrix(frame)
    assert schema.categories == {
        0: ("s", "m", "l", "xl"),
        1: ("a", "b", "c"),
    }  # Enum keeps its order
    np.testing.assert_array_equal(matrix, [[1, 1], [0, 0], [np.nan, 1], [2, np.nan], [1, 2]])
    table = pa.table(
        {"size": pa.array(["xl", None, "s"]).dictionary_encode(), "shop": ["c", "a", "z"]}
    )
    np.testing.assert_array_equal(predict_matrix(table, schema), [[3, 2], [np.nan, 0], [0, np.nan]])


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a.astype(np.float32),
        lambda a: (a * 10).astype(np.int8),
        lambda a: a > 0.5,
        lambda a: np.asfortranarray(a),
        lambda a: np.repeat(a, 2, axis=1)[::2, ::2],  # strided, not contiguous
        lambda a: a.astype(object),
        lambda a: a.tolist(),
        lambda a: (a * 100).astype(np.uint16).astype(object),
    ],
    ids=["float32", "int8", "bool", "fortran", "strided", "object", "list", "object-ints"],
)
def test_arrays_of_any_real_dtype_and_layout(rng, make):
    X = make(rng.random((30, 4)))
    matrix, schema = fit_matrix(X)
    reference = np.array(np.asarray(X, dtype=object).tolist(), dtype=np.float64)
    np.testing.assert_array_equal(matrix, reference)
    assert matrix.flags.c_contiguous and matrix.dtype == np.float64
    assert schema == FeatureSchema(4, None, (False,) * 4, {})
    np.testing.assert_array_equal(predict_matrix(X, schema), reference)


def test_contiguous_float64_passes_through_without_a_copy(rng):
    X = rng.random((50, 3))
    matrix, schema = fit_matrix(X)
    assert matrix is X
    assert predict_matrix(X, schema) is X


@pytest.mark.parametrize("wanted", [[0, 2], np.array([True, False, True]), ["a", "c"], [-3, 2]])
def test_categorical_features_by_index_name_or_mask(wanted):
    X = np.array([[3.0, 0.5, 7], [1, 0.25, 7], [3, np.nan, -2], [np.nan, 1, 7]])
    kept = X.copy()
    data = pd.DataFrame(X, columns=["a", "b", "c"]) if isinstance(wanted[0], str) else X
    matrix, schema = fit_matrix(data, categorical_features=wanted)
    np.testing.assert_array_equal(X, kept)  # the caller's array is never written
    assert schema.categorical == (True, False, True)
    assert schema.categories == {0: (1.0, 3.0), 2: (-2.0, 7.0)}
    np.testing.assert_array_equal(
        matrix, [[1, 0.5, 1], [0, 0.25, 1], [1, np.nan, 0], [np.nan, 1, 1]]
    )
    new = np.array([[1.0, 0, 8], [3, 0, -2]])
    np.testing.assert_array_equal(predict_matrix(new, schema), [[0, 0, np.nan], [1, 0, 0]])


def test_integer_and_boolean_categories_survive_json():
    frame = pd.DataFrame(
        {"n": [5, 2, 5, 9], "b": [True, False, True, True], "s": ["q", "p", "p", "r"]}
    )
    _, schema = fit_matrix(frame, categorical_features=["n", "b", "s"])
    assert schema.categories == {0: (2, 5, 9), 1: (False, True), 2: ("p", "q", "r")}
    assert all(type(v) is int for v in schema.categories[0])
    again = FeatureSchema.from_json(json.loads(json.dumps(schema.to_json())))
    assert again == schema
    assert [type(v) for v in again.categories[1]] == [bool, bool]


@pytest.mark.parametrize(
    "damage",
    [
        lambda d: d.update(n_features=-1),
        lambda d: d.update(feature_names=["a"]),
        lambda d: d.update(categorical=[True, "yes"]),
        lambda d: d["categories"][0].update(kind="complex"),
        lambda d: d["categories"][0].update(values=["x", 1]),
        lambda d: d["categories"][0].update(values=["x", "x"]),
        lambda d: d["categories"][0].update(column=0),
        lambda d: d.update(categories=[]),
        lambda d: d.pop("categorical"),
        lambda d: d.update(categories=[5]),
    ],
)
def test_malformed_schema_json_is_a_value_error(damage):
    data = FeatureSchema(2, ("a", "b"), (False, True), {1: ("x", "y")}).to_json()
    damage(data)
    with pytest.raises(ValueError, match="schema"):
        FeatureSchema.from_json(data)


def test_too_many_categories_names_the_column():
    ok = pd.DataFrame({"id": [f"v{i}" for i in range(8192)]})
    assert len(fit_matrix(ok)[1].categories[0]) == 8192
    too_many = pd.DataFrame({"x": 0.0, "id": [f"v{i}" for i in range(8193)]})
    with pytest.raises(ValueError, match="'id' has 8193 distinct categories"):
        fit_matrix(too_many)
    with pytest.raises(ValueError, match="column 0 has 8193"):
        fit_matrix(np.arange(8193.0)[:, None], categorical_features=[0])


def test_predict_matches_columns_by_name_or_position(rng):
    frame = pd.DataFrame(rng.random((20, 3)), columns=["a", "b", "c"])
    _, named = fit_matrix(frame)
    values = frame.to_numpy()
    np.testing.assert_array_equal(predict_matrix(frame[["c", "a", "b"]], named), values)
    np.testing.assert_array_equal(predict_matrix(values, named), values)  # arrays: by position
    with pytest.raises(ValueError, match=r"missing 'b'; unexpected 'z'$"):
        predict_matrix(frame.rename(columns={"b": "z"}), named)
    with pytest.raises(ValueError, match="unexpected 'd'"):
        predict_matrix(frame.assign(d=1.0), named)
    with pytest.raises(ValueError, match="X has 2 columns but the model was fitted on 3"):
        predict_matrix(values[:, :2], named)
    _, unnamed = fit_matrix(values)
    renamed = pl.DataFrame(values, schema=["p", "q", "r"])
    np.testing.assert_array_equal(predict_matrix(renamed, unnamed), values)  # by position
    with pytest.raises(ValueError, match="4 columns but the model was fitted on 3"):
        predict_matrix(frame.assign(d=1.0), unnamed)


def test_model_trained_on_a_frame_predicts_the_same_on_reordered_frames(rng):
    frame = mixed_frame(rng, n=600)
    y = (frame["x"].fillna(0).clip(-3, 3) + (frame["colour"] == "red").astype(float) > 0.5).astype(
        float
    )
    matrix, schema = fit_matrix(frame)
    booster = vc.Booster(n_estimators=5, categorical=[int(c) for c in schema.categorical])
    booster.fit(matrix, y.to_numpy())
    shuffled = pl.from_pandas(frame).select(list(reversed(frame.columns)))
    np.testing.assert_array_equal(
        booster.predict_raw(predict_matrix(shuffled, schema)), booster.predict_raw(matrix)
    )


LIBRARIES = {
    "pandas": lambda frame: frame,
    "polars": pl.from_pandas,
    "pyarrow": lambda frame: pa.Table.from_pandas(frame, preserve_index=False),
}


@pytest.mark.parametrize("library", LIBRARIES)
def test_column_names_match_when_all_are_strings_else_by_position_with_a_warning(rng, library):
    convert = LIBRARIES[library]
    frame = pd.DataFrame(rng.normal(size=(300, 3)), columns=["a", "b", "c"])
    frame["shop"] = rng.choice(["x", "y", "z"], size=300)
    frame["size"] = rng.integers(1, 4, size=300)
    y = (frame["a"] - frame["c"] + (frame["shop"] == "y") + frame["size"] > 2).astype(int)
    # Strings and integers as categories: the integers must stay numbers that match.
    kw = {"n_estimators": 5, "random_state": 0, "categorical_features": ["shop", "size"]}
    model = VorlentClassifier(**kw).fit(convert(frame), y)
    proba = model.predict_proba(convert(frame))
    np.testing.assert_array_equal(model.predict_proba(convert(frame.iloc[:, ::-1])), proba)
    # A mix of names cannot be matched (pandas is the library that allows one).
    mixed = frame.set_axis(["a", 1, 2.5, None, "size"], axis=1)
    types = re.escape("['NoneType', 'float', 'int', 'str']")
    for call in (lambda: model.predict_proba(mixed), lambda: VorlentClassifier(**kw).fit(mixed, y)):
        with pytest.raises(TypeError, match=f"^X: feature names are only .* {types} as feature"):
            call()
    # Without names on one side the columns are read by position, as scikit-learn warns.
    positional = frame.to_numpy(dtype=object)
    with pytest.warns(UserWarning, match="^X does not have valid feature names, but Vorlent"):
        np.testing.assert_array_equal(model.predict_proba(positional), proba)
    integer_names = frame.set_axis(range(5), axis=1)  # names, but none a string: no names
    with pytest.warns(UserWarning, match="^X does not have valid feature names, but Vorlent"):
        np.testing.assert_array_equal(model.predict_proba(integer_names), proba)
    unnamed = VorlentClassifier(**{**kw, "categorical_features": [3, 4]}).fit(positional, y)
    assert unnamed.booster_.serialize() == model.booster_.serialize()
    with pytest.warns(UserWarning, match="^X has feature names, but VorlentClassifier was fitted "):
        np.testing.assert_array_equal(unnamed.predict_proba(convert(frame)), proba)
    # Numbers never equal string categories: refused rather than all made missing. (A number
    # among strings is an object column, which pandas alone holds.)
    ints = frame["size"]
    shops = frame.assign(shop=np.where(np.arange(300) == 7, 2, frame["shop"]).astype(object))
    for numbers, row, value in (
        (convert(frame.assign(shop=ints)), 0, ints[0]),
        (convert(frame.assign(shop=pd.Categorical(ints))), 0, ints[0]),
        (shops, 7, 2),
    ):
        with pytest.raises(ValueError, match=f"^X: column 'shop' row {row} holds {value} "):
            model.predict_proba(numbers)


def one_line(excinfo):
    message = str(excinfo.value)
    assert "\n" not in message and "incompatible function arguments" not in message
    return message


@pytest.mark.parametrize(
    "X, kwargs, error, words",
    [
        (np.ones((3, 2), dtype=complex), {}, TypeError, ["X", "Complex data not supported"]),
        (np.ones((3, 2, 2)), {}, ValueError, ["X must be 2-D", "3-D"]),
        (np.ones(3), {}, ValueError, ["X must be 2-D", "reshape"]),
        (np.ones((0, 3)), {}, ValueError, ["0 sample(s)"]),
        (np.ones((3, 0)), {}, ValueError, ["0 feature(s)"]),
        ([[1, 2], [3]], {}, ValueError, ["X", "different lengths"]),
        (
            np.array([[1.0, {"a": 1}]], dtype=object),
            {},
            TypeError,
            ["column 1 row 0", "argument must be a string"],
        ),
        (
            np.array([[1.0, 2.0], [1.0, 3j]], dtype=object),
            {},
            ValueError,
            ["column 1 row 1", "complex"],
        ),
        (np.array([[1.0, 2], [2, "x"]], dtype=object), {}, TypeError, ["column 1 row 1", "'x'"]),
        (
            pd.DataFrame({"a": [1, 2], "b": ["u", "v"], "c": ["w", "x"]}),
            {"categorical_features": ["c"]},
            TypeError,
            ["column 'b' holds strings", "categorical_features"],
        ),
        (
            pd.DataFrame({"when": pd.to_datetime(["2020-01-01", "2021-01-01"])}),
            {},
            TypeError,
            ["'when'", "datetime"],
        ),
        (pd.DataFrame({"z": [1 + 1j, 2j]}), {}, ValueError, ["'z'", "complex"]),
        (
            pd.DataFrame({"a": [1, 2]}),
            {"categorical_features": ["b"]},
            ValueError,
            ["categorical_features", "'b'"],
        ),
        (
            np.ones((2, 2)),
            {"categorical_features": [2]},
            ValueError,
            ["categorical_features", "2 is out of range"],
        ),
        (np.ones((2, 2)), {"categorical_features": [True]}, ValueError, ["mask of 1", "2 columns"]),
        (
            np.ones((2, 2)),
            {"categorical_features": "a"},
            ValueError,
            ["categorical_features", "in a list"],
        ),
        (
            np.ones((2, 2)),
            {"categorical_features": [1.5]},
            TypeError,
            ["categorical_features", "float"],
        ),
        (
            np.array([[1.0, np.inf]]),
            {"categorical_features": [1]},
            ValueError,
            ["column 1", "infinite"],
        ),
        (pl.LazyFrame({"a": [1.0]}), {}, TypeError, ["lazy", "collect"]),
        (
            pd.DataFrame({"c": pd.Categorical([(1, 2), (3, 4)])}),
            {},
            TypeError,
            ["'c'", "categories must"],
        ),
    ],
)
def test_bad_input_names_the_argument_and_the_column(X, kwargs, error, words):
    with pytest.raises(error) as excinfo:
        fit_matrix(X, argument="X", **kwargs)
    message = one_line(excinfo)
    for word in words:
        assert word in message


def test_sparse_input_asks_to_densify():
    sparse = pytest.importorskip("scipy.sparse")
    X = sparse.random(5, 3, density=0.5, format="csr")
    for call in (
        lambda: fit_matrix(X),
        lambda: predict_matrix(X, FeatureSchema(3, None, (False,) * 3)),
    ):
        with pytest.raises(TypeError, match=r"X is a scipy sparse matrix .*X.toarray\(\)"):
            call()


def test_predict_refuses_strings_in_a_numeric_column():
    _, schema = fit_matrix(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}))
    with pytest.raises(TypeError) as excinfo:
        predict_matrix(pd.DataFrame({"a": [1.0], "b": ["x"]}), schema, argument="X_val")
    assert one_line(excinfo).startswith("X_val: column 'b' holds strings")


def test_targets_keep_their_labels():
    for y, expected in [
        (pd.Series(["yes", "no", "yes"]), ["yes", "no", "yes"]),
        (pl.Series([True, False, True]), [True, False, True]),
        (pa.chunked_array([[2, 1], [2]]), [2, 1, 2]),
        (pd.Series(pd.Categorical(["b", "a", "b"])), ["b", "a", "b"]),
        ([0.5, 1.5, 2.5], [0.5, 1.5, 2.5]),
    ]:
        assert target_vector(y, n_rows=3).tolist() == expected
    np.testing.assert_array_equal(
        target_vector(pd.array([1, None, 3], dtype="Int64")), [1, np.nan, 3]
    )
    # Integer series stay integers, as a NumPy array does, so classes_ and predict do too.
    for y in (
        pd.Series([2, 1, 2]),
        pd.Series([2, 1, 2], dtype="Int64"),
        pl.Series([2, 1, 2]),
        pa.chunked_array([[2, 1], [2]]),
    ):
        got = target_vector(y)
        assert got.dtype.kind == "i" and got.tolist() == [2, 1, 2], type(y)
    with pytest.warns(Warning, match="column-vector y"):
        assert target_vector(np.ones((3, 1))).shape == (3,)
    with pytest.raises(ValueError, match="y must be 1-D"):
        target_vector(np.ones((3, 2)))
    with pytest.raises(ValueError, match="y has 3 entries but X has 4 rows"):
        target_vector([1, 2, 3], n_rows=4)
    with pytest.raises(ValueError, match="requires y to be passed"):
        target_vector(None)
    with pytest.raises(TypeError, match="Complex"):
        target_vector(np.ones(3, dtype=complex))


def test_sample_weights():
    assert weight_vector(None, 3) is None
    np.testing.assert_array_equal(weight_vector(2, 3), [2.0, 2.0, 2.0])
    w = weight_vector(pd.Series([1, 0, 3]), 3)
    assert w.dtype == np.float64 and w.tolist() == [1.0, 0.0, 3.0]
    assert weight_vector(pl.Series([0.5, 1.0]), 2).tolist() == [0.5, 1.0]
    for bad, words in [
        ([1.0, -1.0, 2.0], "row 1 is -1.0"),
        ([1.0, 2.0, np.nan], "row 2 is nan"),
        ([1.0, 2.0], "one weight per row of X (3)"),
        ([[1.0, 2.0, 3.0]], "must be 1-D"),
    ]:
        with pytest.raises(ValueError) as excinfo:
            weight_vector(bad, 3)
        assert words in one_line(excinfo) and "sample_weight" in str(excinfo.value)
    with pytest.raises(TypeError, match="sample_weight"):
        weight_vector(["a", "b"], 2)


def test_without_pyarrow_strings_take_the_value_path(rng, monkeypatch):
    from vorlent import _frames

    frame = mixed_frame(rng)
    frames = [frame, pl.from_pandas(frame), pl.from_pandas(frame).to_arrow()]
    hashed = [fit_matrix(f) for f in frames]
    monkeypatch.setattr(_frames, "_arrow_codes", lambda series: None)
    for f, (matrix, schema) in zip(frames, hashed):
        again, again_schema = fit_matrix(f)
        assert again_schema == schema
        np.testing.assert_array_equal(again, matrix)
        np.testing.assert_array_equal(predict_matrix(f, schema), matrix)


def test_dictionary_columns_of_numbers():
    table = pa.table({"n": pa.array([30, None, 10, 30]).dictionary_encode(), "x": [1.0, 2, 3, 4]})
    matrix, schema = fit_matrix(table)
    assert schema.categories == {0: (10.0, 30.0)}
    np.testing.assert_array_equal(matrix[:, 0], [1, np.nan, 0, 1])
    np.testing.assert_array_equal(
        predict_matrix(pd.DataFrame({"x": [0.0], "n": [10]}), schema), [[0, 0]]
    )
    for strings in (pd.DataFrame({"n": ["10"], "x": [1.0]}), pa.table({"n": ["10"], "x": [1.0]})):
        with pytest.raises(
            TypeError, match="column 'n' holds strings .* categories of this column are numbers"
        ):
            predict_matrix(strings, schema)
    matrix, schema = fit_matrix(table, categorical_features=None)  # numbers when not categorical
    np.testing.assert_array_equal(matrix[:, 0], [30, np.nan, 10, 30])


def test_columns_of_nulls_only_are_missing_numbers():
    for frame in (
        pl.DataFrame({"a": [None, None], "b": [1.0, 2.0]}),
        pa.table({"a": pa.nulls(2), "b": [1.0, 2.0]}),
    ):
        matrix, schema = fit_matrix(frame)
        np.testing.assert_array_equal(matrix, [[np.nan, 1], [np.nan, 2]])
        assert schema.categorical == (False, False)
    with pytest.raises(ValueError, match="X: Expected unique column names"):
        fit_matrix(pd.DataFrame([[1, 2]], columns=["a", "a"]))


def test_numpy_alone_is_enough_for_arrays_and_frames_name_the_extra(monkeypatch):
    import subprocess
    import sys

    code = (
        "import sys, numpy as np; from vorlent._data import fit_matrix, predict_matrix;"
        "x = np.array([['a', 1.5]], dtype=object); m, s = fit_matrix(x); predict_matrix(x, s);"
        "assert not {'narwhals', 'pandas', 'polars', 'pyarrow'} & set(sys.modules), sys.modules"
    )
    done = subprocess.run([sys.executable, "-c", code], check=False, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    monkeypatch.setitem(sys.modules, "narwhals", None)
    monkeypatch.setitem(sys.modules, "narwhals.stable.v2", None)
    with pytest.raises(ImportError, match=r'pip install "vorlent\[pandas\]"'):
        fit_matrix(pd.DataFrame({"a": [1.0]}))
