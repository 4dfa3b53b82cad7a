import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(), re.S | re.M)


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 5


@pytest.mark.parametrize("block", BLOCKS, ids=[f"example-{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(python, block):
    # Each in a fresh interpreter: the examples install trace functions.
    python(block)
