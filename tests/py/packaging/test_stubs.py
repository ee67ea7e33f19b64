"""The type stubs (package nrhal-stubs) must describe the module as it runs:
mypy's stubtest compares them with the built extension."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import nrhal

STUBS = Path(__file__).resolve().parents[3] / "bind" / "py" / "stubs" / "nrhal-stubs"


def test_stubs_match_the_module(tmp_path):
    # stubtest looks the stubs up as a package named like the module.
    shutil.copytree(STUBS, tmp_path / "stubs" / "nrhal")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "MYPYPATH")}
    env["MYPYPATH"] = str(tmp_path / "stubs")
    env["PYTHONPATH"] = str(Path(nrhal.__file__).parent)
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "nrhal"],
                       cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Success" in r.stdout


def test_every_submodule_has_a_stub():
    for name in nrhal.__all__:
        value = getattr(nrhal, name)
        if type(value) is type(nrhal):
            assert (STUBS / f"{name}.pyi").is_file(), name
    assert (STUBS / "py.typed").is_file()
