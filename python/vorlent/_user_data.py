"""One argument of user data, its kind recognised once: a DataFrame or Arrow Table, a Series
or chunked Arrow array, a scipy sparse matrix, or anything else (read by NumPy).

The readers of user data (``_data.fit_matrix``, ``predict_matrix`` and ``feature_names``,
``_vectors.target_vector`` and ``weight_vector``) wrap their argument in :class:`UserData`
and ask it for the view they need; which library the data comes from is decided here alone.
"""

from __future__ import annotations

import numpy as np

from ._arrays import as_2d, as_array, refuse_sparse
from ._columns import Column
from ._frames import eager, frame_columns, looks_like_frame, series_values


class UserData:
    """``data`` with its kind recognised.

    Every view that reads values refuses a scipy sparse matrix with a TypeError; the views
    of a frame (``frame_columns``, ``column_names``) raise what reading the object as a
    frame raises (a lazy frame, repeated column names), and give None for other kinds.

    Parameters
    ----------
    data : object
        What the user passed.
    argument : str
        The argument name used in error messages.

    Examples
    --------
    >>> import numpy as np
    >>> UserData(np.eye(2), "X").frame_columns() is None
    True
    >>> UserData([1, 2], "y").array()
    array([1, 2])
    """

    def __init__(self, data, argument: str):
        self.data = data
        self.argument = argument
        self._frame = None  # narwhals' eager DataFrame, for a frame library's frame
        self._series = None  # narwhals' Series, for a frame library's series
        self._refusal = None  # why a frame library's object cannot be read as a frame
        if looks_like_frame(data):
            try:
                self._frame, self._series = eager(data, argument)
            except (TypeError, ValueError) as error:
                # Raised only when the object is read as a frame: read as an array (sample
                # weights) it gives the error about its shape that any other array gives.
                self._refusal = error

    def frame_columns(self) -> tuple[list, list[Column]] | None:
        """The column names (as the frame's library holds them) and the columns of a frame;
        None for other kinds."""
        refuse_sparse(self.data, self.argument)
        frame = self._checked_frame()
        return None if frame is None else (list(frame.columns), frame_columns(frame, self.argument))

    def column_names(self) -> list | None:
        """A frame's column names as its library holds them (any type); None for other
        kinds."""
        frame = self._checked_frame()
        return None if frame is None else list(frame.columns)

    def column_values(self, name) -> np.ndarray:
        """The values of a frame's column ``name``, as :meth:`series_values` gives them."""
        return series_values(self._checked_frame().get_column(name))

    def series_values(self) -> np.ndarray | None:
        """A series' values as a 1-D array (nulls become NaN in numeric series, None
        elsewhere); None for other kinds."""
        refuse_sparse(self.data, self.argument)
        return None if self._series is None else series_values(self._series)

    def array(self) -> np.ndarray:
        """The data as NumPy reads it (lists mixing strings and numbers stay objects)."""
        refuse_sparse(self.data, self.argument)
        return as_array(self.data, self.argument)

    def matrix(self) -> np.ndarray:
        """:meth:`array`, refusing anything but a matrix (rows x columns)."""
        refuse_sparse(self.data, self.argument)
        return as_2d(self.data, self.argument)

    def _checked_frame(self):
        if self._refusal is not None:
            raise self._refusal
        return self._frame
