"""An installed copy, as `pip install --no-build-isolation .` makes it, works
on its own: the module, the status tool (console script and -m), the
simulator (library, launcher, control module), the stubs, and the native
library with its headers.  Built once per run into a temporary prefix."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    root = tmp_path_factory.mktemp("install")
    env = clean_env()
    r = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
                        "--no-index", "--prefix", str(root), str(REPO)],
                       cwd=root, env=env, capture_output=True, text=True, timeout=900)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    return root


def clean_env(**extra):
    """The environment without this test run's simulator and paths."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONPATH", "NRSIM_LIB", "NRSIM_DEVICES", "MYPYPATH")}
    env.update(extra)
    return env


def site_packages(root):
    found = sorted(root.glob("**/python3*/*-packages"))
    assert found, list(root.rglob("*"))[:20]
    return found[0]


def bindir(root):
    return site_packages(root).parents[2] / "bin"


def run(cmd, root, cwd=None):
    env = clean_env(PYTHONPATH=str(site_packages(root)))
    return subprocess.run(cmd, cwd=cwd or root, env=env, capture_output=True, text=True, timeout=300)


def test_installs_every_piece(prefix):
    site = site_packages(prefix)
    assert list(site.glob("nrhal.cpython-*.so"))
    assert (site / "nrsim" / "libnrsim.so").is_file()
    assert (site / "nrsim" / "__init__.py").is_file()
    assert (site / "nrsmi" / "__main__.py").is_file()
    assert (site / "nrhal-stubs" / "py.typed").is_file()
    assert list(prefix.rglob("libnrhal.so*"))
    assert list(prefix.rglob("nrhal.h"))
    assert os.access(bindir(prefix) / "nrsmi", os.X_OK)
    assert os.access(bindir(prefix) / "nrsim-run", os.X_OK)


def test_status_tool_runs_on_the_simulator(prefix):
    # Outside the checkout, with the prefix's bin/ not on PATH.
    for cmd in ([str(bindir(prefix) / "nrsmi"), "--sim"], [sys.executable, "-m", "nrsmi", "--sim"]):
        r = run(cmd, prefix)
        assert r.returncode == 0, r.stderr
        assert "0000:03:00.0" in r.stdout and "0000:04:00.0" in r.stdout


def test_launcher_finds_the_installed_simulator(prefix):
    r = run([str(bindir(prefix) / "nrsim-run"), "--", sys.executable, "-c",
             "import nrhal, nrsim; print(nrhal.scan(), nrsim.devices())"], prefix)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[Device(id=0), Device(id=1)] [0, 1]"


def test_module_imports_without_the_simulator(prefix):
    r = run([sys.executable, "-c", "import nrhal; print(nrhal.__version__, nrhal.scan())"], prefix)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "0.1.1 []"


def test_installed_stubs_match_the_installed_module(prefix):
    # From a directory with no Python files of its own for mypy to find.
    r = run([sys.executable, "-m", "mypy.stubtest", "nrhal"], prefix, cwd=prefix / "include")
    assert r.returncode == 0, r.stdout + r.stderr
