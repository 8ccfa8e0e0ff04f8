"""The one error the commands raise on purpose, with the exit code it ends the program with."""

from __future__ import annotations

# Exit codes: 0 success, 1 a runtime or data problem, 2 a usage problem (argparse's code).
RUNTIME = 1
USAGE = 2


class CommandError(Exception):
    """A problem to report as one line ``vorlent: error: ...`` and exit with ``code``."""

    def __init__(self, message: str, code: int = RUNTIME):
        super().__init__(message)
        self.code = code


def one_line(error: BaseException) -> str:
    """An exception's message on one line (multi-line messages are joined)."""
    text = " ".join(part.strip() for part in str(error).splitlines() if part.strip())
    return text or type(error).__name__
