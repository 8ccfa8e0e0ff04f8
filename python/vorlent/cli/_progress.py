"""What the user sees on a terminal while a model trains.

A status line goes through the phases (reading, training, saving) with the elapsed time,
which keeps ticking during the long phase: a thread refreshes it while the core runs
without holding the interpreter lock. While training, a second bar counts the boosting
rounds with the latest validation loss, fed by the estimator's per-round callback. Both
show only when tqdm is installed, stderr is a terminal and ``--quiet`` is not given.
"""

from __future__ import annotations

import sys
import threading


def _terminal_tqdm(enabled: bool):
    """tqdm's bar class when a bar should show, else None."""
    if not (enabled and sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm


class _Bar:
    """A tqdm bar or None, closed when the ``with`` block ends."""

    _bar = None

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class Phases(_Bar):
    """A status line over the named phases; ``step(name)`` starts the next one."""

    def __init__(self, names: list[str], *, enabled: bool):
        self._bar = None
        self._count = len(names)
        self._ticker = None
        self._stop = threading.Event()
        tqdm = _terminal_tqdm(enabled)
        if tqdm is None:
            return
        self._bar = tqdm(
            total=len(names),
            file=sys.stderr,
            leave=False,
            bar_format="vorlent: {desc} {elapsed}",
        )
        self._ticker = threading.Thread(target=self._tick, daemon=True)
        self._ticker.start()

    def _tick(self) -> None:
        while not self._stop.wait(0.2):
            self._bar.refresh()

    @property
    def shown(self) -> bool:
        return self._bar is not None

    def step(self, name: str) -> None:
        if self._bar is not None:
            if self._bar.desc:
                self._bar.update(1)
            self._bar.set_description_str(f"{name} ({self._bar.n + 1}/{self._count}),")

    def close(self) -> None:
        self._stop.set()
        if self._ticker is not None:
            self._ticker.join()
        super().close()


class RoundBar(_Bar):
    """A bar over the boosting rounds below the status line, with the validation loss of the
    latest round as its postfix; pass it to ``fit(..., callbacks=[bar])``. Does nothing when
    no bar shows."""

    def __init__(self, total: int, *, enabled: bool):
        tqdm = _terminal_tqdm(enabled)
        self._bar = None
        if tqdm is not None:
            self._bar = tqdm(total=total, file=sys.stderr, leave=False, position=1, unit="round")
            self._bar.set_description_str("rounds")

    def __call__(self, info) -> None:
        if self._bar is None:
            return
        validation = info.evals.get("validation", {})
        self._bar.update(1)
        if validation:
            # The postfix is drawn with the next refresh; the first one at once.
            text = ", ".join(f"{name}={value:.5g}" for name, value in validation.items())
            self._bar.set_postfix_str(f"validation {text}", refresh=self._bar.n == 1)
