"""Importing vorlent never imports dask, and vorlent.dask without dask names the extra."""

import subprocess
import sys
import textwrap


def run(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        check=False,
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_vorlent_dask_without_dask_asks_for_the_extra():
    result = run(
        """
        import sys
        sys.modules["dask"] = None  # as if dask were not installed
        import vorlent
        model = vorlent.VorlentRegressor(n_estimators=2)
        try:
            import vorlent.dask
        except ImportError as error:
            print(error)
        else:
            print("imported")
        """
    )
    assert result.returncode == 0, result.stderr
    assert "pip install 'vorlent[dask]'" in result.stdout


def test_importing_vorlent_leaves_dask_alone():
    result = run(
        """
        import sys
        import vorlent
        vorlent.VorlentClassifier
        print(sorted(m for m in sys.modules if m.split(".")[0] in ("dask", "distributed")))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"
