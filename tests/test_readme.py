"""The README's dataclass example runs as written."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.usefixtures("fresh_registries")
def test_dataclass_example_runs(capsys):
    if not README.exists():
        pytest.skip("README.md is not beside the tests")
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    example = next(b for b in blocks if "zelkor.migration" in b)
    exec(compile(example, str(README), "exec"), {"__name__": "readme_example"})
    assert "Type 'Point' is not in the allowlist" in capsys.readouterr().out
