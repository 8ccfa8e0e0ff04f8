"""Every Python example in the README runs: the blocks are executed in order in one namespace
(a later block may use names from an earlier one, as a reader running them would), in a
scratch folder so that files they write land there."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def python_blocks() -> list[str]:
    return re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.DOTALL | re.MULTILINE)


def test_readme_examples_run(tmp_path, monkeypatch, capsys):
    pytest.importorskip("pandas")
    pytest.importorskip("sklearn")
    pytest.importorskip("matplotlib")
    blocks = python_blocks()
    assert len(blocks) >= 4
    monkeypatch.chdir(tmp_path)
    namespace: dict = {}
    for k, block in enumerate(blocks):
        exec(compile(block, f"README.md python block {k + 1}", "exec"), namespace)  # noqa: S102
    assert (tmp_path / "flights.vrl").exists()
    assert "'late' 'on time'" in capsys.readouterr().out
