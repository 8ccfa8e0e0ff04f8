"""pandas, polars and pyarrow data through one code path (narwhals).

narwhals is imported only when a frame or series is passed, so that numpy alone is enough
for arrays. Each frame column becomes a :class:`~vorlent._columns.Column`; pandas
categoricals keep their integer codes (mapped to the fitted codes through their category
list, without touching every value), other categoricals give their values.
"""

from __future__ import annotations

import numpy as np

from ._columns import Column, ComplexDataError

# Top-level modules whose objects are eager frames or series narwhals can read.
_FRAME_MODULES = {"pandas", "polars", "pyarrow", "modin", "cudf"}


def looks_like_frame(obj) -> bool:
    """Whether obj comes from a dataframe library (without importing any of them)."""
    return type(obj).__module__.partition(".")[0] in _FRAME_MODULES or hasattr(
        obj, "__narwhals_dataframe__"
    )


def narwhals():
    """The narwhals module, or an ImportError saying which extra to install."""
    try:
        import narwhals.stable.v2 as nw
    except ImportError:
        try:
            import narwhals
        except ImportError:
            raise ImportError(
                'reading DataFrames needs the narwhals package: pip install "vorlent[pandas]" '
                '(or "vorlent[polars]")'
            ) from None
        raise ImportError(
            f"reading DataFrames needs narwhals 2.0 or newer, found {narwhals.__version__}: "
            "pip install -U narwhals"
        ) from None
    return nw


def eager(X, argument: str) -> tuple[object, object]:
    """``(frame, series)``: X as narwhals reads it, an eager DataFrame (an Arrow Table too)
    or a Series (a chunked Arrow array too), the other one None; both None for anything else.

    Raises
    ------
    TypeError
        For a lazy frame.
    ValueError
        For repeated column names.
    """
    nw = narwhals()
    if type(X).__name__ == "LazyFrame":
        raise TypeError(f"{argument} is a lazy frame; call .collect() on it first")
    try:
        read = nw.from_native(X, eager_only=True, allow_series=True, pass_through=True)
    except ValueError as e:  # narwhals refuses repeated names and the like
        raise ValueError(f"{argument}: {e}".replace("\n", " ")) from None
    if isinstance(read, nw.DataFrame):
        return read, None
    return None, read if isinstance(read, nw.Series) else None


def frame_columns(frame, argument: str) -> list[Column]:
    """The columns of a narwhals DataFrame, in order.

    Raises
    ------
    TypeError
        For a column whose dtype is neither numeric, boolean, string, categorical nor
        object.
    """
    nw = narwhals()
    return [_column(nw, frame.get_column(n), n, argument) for n in frame.columns]


def series_values(series) -> np.ndarray:
    """A narwhals Series as a 1-D NumPy array with its values as they are (nulls become NaN
    in numeric columns, None elsewhere)."""
    nw = narwhals()
    dtype = series.dtype
    if dtype.is_integer() and series.null_count() == 0:
        # Integer labels stay integers, as they do in a NumPy array (classes_, predict).
        values = series.to_numpy()
        if values.dtype.kind in "iu":
            return values
    if dtype.is_numeric() or (dtype == nw.Boolean and series.null_count() > 0):
        return series.cast(nw.Float64).to_numpy()
    values = series.to_numpy()
    if values.dtype == object:
        values = np.where(series.is_null().to_numpy(), None, values)
    return values


def _column(nw, s, name, argument: str) -> Column:
    label = f"column {name!r}"
    dtype = s.dtype
    native_dtype = str(getattr(s.to_native(), "dtype", dtype))
    if dtype.is_numeric():
        values = s.cast(nw.Float64).to_numpy()
        return Column(label, "number", values, dtype=native_dtype, integer=dtype.is_integer())
    if dtype == nw.Boolean:
        return Column(label, "bool", s.cast(nw.Float64).to_numpy(), dtype=native_dtype)
    if dtype in (nw.Categorical, nw.Enum):
        return _categorical_column(nw, s, label, native_dtype)
    if dtype == nw.String:
        encoded = _arrow_codes(s)
        if encoded is not None:
            return Column(
                label, "text", encoded[0], dtype=native_dtype, dictionary=encoded[1], codes=True
            )
        values, missing = s.to_numpy(), s.is_null().to_numpy()
        return Column(label, "text", values.astype(object), missing, dtype=native_dtype)
    if dtype == nw.Object:
        return Column(label, "object", s.to_numpy(), dtype=native_dtype)
    if s.null_count() == len(s):  # a column of nulls only (polars' and Arrow's null type)
        return Column(label, "number", np.full(len(s), np.nan), dtype=native_dtype)
    error = ComplexDataError if "complex" in native_dtype else TypeError
    raise error(
        f"{argument}: {label} has dtype {native_dtype}, which is not numeric, boolean, "
        "string or categorical; convert it to numbers or categories first"
    )


def _categorical_column(nw, s, label: str, native_dtype: str) -> Column:
    native = s.to_native()
    cat = getattr(native, "cat", None)
    if hasattr(cat, "codes") and hasattr(cat, "categories"):  # pandas: codes, -1 missing
        codes = cat.codes.to_numpy().astype(np.intp)
        dictionary = cat.categories.to_numpy()
        return Column(
            label,
            "category",
            codes,
            dtype=native_dtype,
            dictionary=dictionary,
            codes=True,
            ordered=True,
        )
    if s.dtype == nw.Enum:  # a fixed list in a fixed order
        dictionary = np.asarray(list(s.dtype.categories), dtype=object)
        values, missing = s.to_numpy().astype(object), s.is_null().to_numpy()
        return Column(
            label, "category", values, missing, native_dtype, dictionary=dictionary, ordered=True
        )
    encoded = _arrow_codes(s)
    if encoded is not None:
        return Column(
            label, "category", encoded[0], dtype=native_dtype, dictionary=encoded[1], codes=True
        )
    # Arrow dictionaries may show any value in a null slot: the null mask decides.
    values, missing = s.to_numpy().astype(object), s.is_null().to_numpy()
    return Column(label, "category", values, missing, native_dtype)


def _arrow_codes(s) -> tuple[np.ndarray, np.ndarray] | None:
    """Codes (-1 missing) and distinct values of a string or dictionary column, hashed by
    Arrow's compute kernels; None when pyarrow is not installed."""
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
    except ImportError:
        return None
    try:  # an object column that only looks like strings may not convert: take the value path
        array = s.to_arrow()
    except (pa.ArrowException, TypeError, ValueError):
        return None
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if pa.types.is_dictionary(array.type):  # its dictionary may repeat values or hold nulls
        array = array.cast(array.type.value_type)
    encoded = array.dictionary_encode()
    codes = pc.fill_null(encoded.indices, -1).to_numpy(zero_copy_only=False).astype(np.intp)
    return codes, encoded.dictionary.to_numpy(zero_copy_only=False).astype(object)
