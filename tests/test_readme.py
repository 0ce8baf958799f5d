"""The README's examples run as written."""

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


@pytest.mark.usefixtures("fresh_registries")
def test_checked_examples_run():
    if not README.exists():
        pytest.skip("README.md is not beside the tests")
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    checked = [b for b in blocks if "assert " in b and "zelkor.migration" not in b]
    assert len(checked) >= 2  # the quick start and the HMAC example
    for block in checked:
        exec(compile(block, str(README), "exec"), {"__name__": "readme_example"})
