"""``python -m vorlent``: the command line (see :mod:`vorlent.cli`)."""

from .cli import main

raise SystemExit(main())
