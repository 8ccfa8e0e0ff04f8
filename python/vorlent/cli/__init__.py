"""The ``vorlent`` command (also ``python -m vorlent``): train a model on a CSV or Parquet
file, predict with it, explain its predictions and describe it.

Exit codes: 0 on success, 1 for a problem with the data, a file or a model, 2 for a usage
problem (a bad option, an unknown or invalid ``--param``). Every error is one line on
stderr starting ``vorlent: error:``.
"""

from __future__ import annotations

import argparse
import sys

from ._errors import RUNTIME, CommandError, one_line
from ._task import MAX_INTEGER_CLASSES, TASKS

__all__ = ["build_parser", "main"]


def build_parser() -> argparse.ArgumentParser:
    from .. import __version__

    parser = argparse.ArgumentParser(
        prog="vorlent",
        description="Gradient-boosted trees with oblique pair splits, from the command line. "
        "Data files are CSV or Parquet (by extension).",
    )
    parser.add_argument("--version", action="version", version=f"vorlent {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    train = commands.add_parser("train", help="train a model on a data file and save it")
    train.add_argument("data", metavar="DATA", help="training data (.csv or .parquet)")
    train.add_argument("--target", required=True, metavar="COL", help="the target column")
    train.add_argument(
        "--task",
        choices=TASKS,
        help="default: inferred from the target; strings, booleans and integers with at most "
        f"{MAX_INTEGER_CLASSES} distinct values are classes (binary for 2), other numbers "
        "are regression",
    )
    train.add_argument(
        "--categorical",
        metavar="COLS",
        help="comma-separated categorical columns (default: string and category columns)",
    )
    train.add_argument(
        "--ignore",
        metavar="COLS",
        help="comma-separated columns to leave out of the features (ids, names, leaks); "
        "text columns with a distinct value in most rows must be left out this way (or "
        "named in --categorical)",
    )
    train.add_argument(
        "--seed",
        type=int,
        metavar="N",
        help="the random seed (the estimator's random_state): the same seed and data give "
        "the same model (default: a new seed every run)",
    )
    train.add_argument(
        "--param",
        action="append",
        default=[],
        metavar="KEY=VALUE",
        help="an estimator parameter (repeatable), e.g. --param n_estimators=200; values "
        "are read as JSON (numbers, true/false, null, lists) or else taken as strings",
    )
    train.add_argument(
        "--eval-fraction",
        type=_fraction,
        metavar="F",
        help="hold back this share of the rows for early stopping (0 turns it off; "
        "default: the estimator's own choice)",
    )
    train.add_argument("-o", "--output", required=True, metavar="MODEL", help="model file")
    train.add_argument("-q", "--quiet", action="store_true", help="no progress, no summary")

    for name, what in (("predict", "predictions"), ("explain", "per-row feature contributions")):
        command = commands.add_parser(name, help=f"write the {what} for a data file")
        command.add_argument("model", metavar="MODEL", help="a model file")
        command.add_argument("data", metavar="DATA", help="data (.csv or .parquet)")
        command.add_argument(
            "-o", "--output", required=True, metavar="OUT", help="output (.csv or .parquet)"
        )
        command.add_argument(
            "--keep",
            metavar="COLS",
            help="comma-separated input columns to copy into the "
            "output after the row number (an id column, say)",
        )

    info = commands.add_parser("info", help="describe a model file")
    info.add_argument("model", metavar="MODEL", help="a model file")
    info.add_argument("--json", action="store_true", help="print the description as JSON")
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); returns the exit code."""
    args = build_parser().parse_args(argv)
    try:
        import pandas  # noqa: F401
    except ImportError:
        return _fail("the command line needs pandas: pip install 'vorlent[pandas]'", RUNTIME)
    from . import _commands

    try:
        return getattr(_commands, args.command)(args)
    except CommandError as error:
        return _fail(str(error), error.code)
    except (ValueError, TypeError, OSError) as error:
        return _fail(one_line(error), RUNTIME)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)


def _fail(message: str, code: int) -> int:
    print(f"vorlent: error: {message}", file=sys.stderr)
    return code


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"expected a number in [0, 1), got {text!r}")
    return value
