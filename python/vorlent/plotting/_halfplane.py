"""A rectangle cut by the line of a pair split: the part where the test holds and the piece of
the line inside the rectangle."""

from __future__ import annotations


def clip_half_plane(rectangle, coefficients):
    """Cut ``rectangle`` by the line ``ca * x + cb * y + bias = 0``.

    Parameters
    ----------
    rectangle : tuple (x0, x1, y0, y1)
    coefficients : tuple (ca, cb, bias)

    Returns
    -------
    inside : list of (x, y)
        Corners of the polygon where ``ca * x + cb * y + bias <= 0``, in order around it
        (empty when the rectangle lies wholly on the other side).
    line : list of (x, y)
        The two ends of the line's piece inside the rectangle (empty when it misses).

    Examples
    --------
    >>> inside, line = clip_half_plane((0, 2, 0, 2), (1.0, 0.0, -1.0))  # x <= 1
    >>> sorted(inside), sorted(line)
    ([(0, 0), (0, 2), (1.0, 0.0), (1.0, 2.0)], [(1.0, 0.0), (1.0, 2.0)])
    """
    x0, x1, y0, y1 = rectangle
    ca, cb, bias = coefficients
    corners = [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]

    def side(point):
        return ca * point[0] + cb * point[1] + bias

    inside, line = [], []
    for k, here in enumerate(corners):
        there = corners[(k + 1) % 4]
        s_here, s_there = side(here), side(there)
        if s_here <= 0:
            inside.append(here)
        if (s_here < 0 < s_there) or (s_there < 0 < s_here):
            t = s_here / (s_here - s_there)
            cross = (here[0] + t * (there[0] - here[0]), here[1] + t * (there[1] - here[1]))
            inside.append(cross)
            line.append(cross)
        elif s_here == 0:
            line.append(here)
    return inside, line[:2] if len(line) >= 2 else []
