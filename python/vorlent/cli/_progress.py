"""What the user sees on a terminal while a model trains.

The core reports nothing while it trains, so the display is one status line through the
phases (reading, training, saving) with the elapsed time, which keeps ticking during the
long phase: a thread refreshes it while the core runs without holding the interpreter lock.
It shows only when tqdm is installed, stderr is a terminal and ``--quiet`` is not given.
"""

from __future__ import annotations

import sys
import threading


class Phases:
    """A status line over the named phases; ``step(name)`` starts the next one."""

    def __init__(self, names: list[str], *, enabled: bool):
        self._bar = None
        self._count = len(names)
        self._ticker = None
        self._stop = threading.Event()
        if not (enabled and sys.stderr.isatty()):
            return
        try:
            from tqdm import tqdm
        except ImportError:
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

    def step(self, name: str) -> None:
        if self._bar is not None:
            if self._bar.desc:
                self._bar.update(1)
            self._bar.set_description_str(f"{name} ({self._bar.n + 1}/{self._count}),")

    def close(self) -> None:
        self._stop.set()
        if self._ticker is not None:
            self._ticker.join()
        if self._bar is not None:
            self._bar.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()
