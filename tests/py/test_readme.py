"""The README's Python examples run as they stand, on a fresh simulator."""
import contextlib
import io
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import nrsim

README = Path(__file__).resolve().parents[2] / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


def test_there_are_examples():
    assert len(EXAMPLES) >= 6


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_example_runs(code):
    nrsim.reset_away(1, ms=0)  # the reset example need not wait for the card
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {"__name__": "__main__"})
    assert out.getvalue()  # every example shows something


def test_nrsmi_runs_from_the_checkout(tmp_path):
    # As the README shows it: the package from tools/, the extension from build/.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH", "NRSIM_LIB")}
    env["PYTHONPATH"] = "tools"
    r = subprocess.run([sys.executable, "-m", "nrsmi", "--version"], cwd=README.parent, env=env,
                       capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, "nrsmi 0.1.1\n", "")
