"""Every documented install works on its own, from any directory: a venv with
the system's packages, `pip install --target DIR` and `--prefix DIR` with
PYTHONPATH (all three from one wheel, built once per run), and
`make install-lib` for C programs, with pkg-config and the README's C example.
A test skips only when a tool it needs is missing, and names it."""
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
ADDRESSES = ["0000:03:00.0", "0000:04:00.0"]


def clean_env(**extra):
    """The environment without this test run's simulator and paths."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONPATH", "NRSIM_LIB", "NRSIM_DEVICES", "MYPYPATH")}
    env.update(extra)
    return env


def need(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        pytest.skip(f"needs {', '.join(missing)} (scripts/bootstrap installs it)")


def check(cmd, **kwargs):
    kwargs.setdefault("env", clean_env())
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=900, **kwargs)
    assert r.returncode == 0, f"{cmd}\n{r.stdout[-3000:]}{r.stderr[-3000:]}"
    return r


class Install:
    """An installed copy: the interpreter to use, PYTHONPATH if it needs one,
    its bin/ and the directory holding its packages.  bin/nrsim-run finds
    the simulator from a prefix's layout (bin/ beside lib/pythonX.Y), which
    --target does not make."""

    def __init__(self, python, bindir, site, pythonpath=None, prefix_layout=True):
        self.python, self.bindir, self.site, self.pythonpath = python, bindir, site, pythonpath
        self.prefix_layout = prefix_layout

    def run(self, *cmd, cwd):
        env = clean_env(**({"PYTHONPATH": str(self.pythonpath)} if self.pythonpath else {}))
        return subprocess.run([str(c) for c in cmd], cwd=cwd, env=env, capture_output=True, text=True,
                              timeout=300)


@pytest.fixture(scope="session")
def wheel(tmp_path_factory):
    need("patchelf")  # meson-python sets the extension's library path with it
    out = tmp_path_factory.mktemp("wheel")
    check([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
           "-w", out, REPO], cwd=out)
    (found,) = out.glob("nrhal-*.whl")
    return found


def pip_install(python, wheel, *where):
    check([python, "-m", "pip", "install", "--no-deps", "--no-index", *where, wheel], cwd=wheel.parent)


def site_packages(root):
    found = sorted(root.glob("**/python3*/*-packages"))
    assert found, list(root.rglob("*"))[:20]
    return found[0]


@pytest.fixture(scope="session")
def venv(wheel, tmp_path_factory):
    if not os.path.isfile(os.path.join(sysconfig.get_path("stdlib"), "ensurepip", "__main__.py")):
        pytest.skip("needs python3-venv (scripts/bootstrap installs it)")
    root = tmp_path_factory.mktemp("venv") / "v"
    check([sys.executable, "-m", "venv", "--system-site-packages", root])
    pip_install(root / "bin" / "python", wheel)
    return Install(root / "bin" / "python", root / "bin", site_packages(root))


@pytest.fixture(scope="session")
def target(wheel, tmp_path_factory):
    root = tmp_path_factory.mktemp("target")
    pip_install(sys.executable, wheel, "--target", root)
    return Install(sys.executable, root / "bin", root, pythonpath=root, prefix_layout=False)


@pytest.fixture(scope="session")
def prefix(wheel, tmp_path_factory):
    root = tmp_path_factory.mktemp("prefix")
    pip_install(sys.executable, wheel, "--prefix", root)
    site = site_packages(root)
    return Install(sys.executable, site.parents[2] / "bin", site, pythonpath=site)


@pytest.fixture(params=["venv", "target", "prefix"])
def installed(request):
    return request.getfixturevalue(request.param)


def test_status_tool_runs_on_the_simulator(installed, tmp_path):
    # Elsewhere than the checkout, the install's bin/ not on PATH.
    for cmd in ([installed.bindir / "nrsmi", "--sim"], [installed.python, "-m", "nrsmi", "--sim"]):
        r = installed.run(*cmd, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert all(a in r.stdout for a in ADDRESSES), r.stdout
    r = installed.run(installed.python, "-m", "nrsmi", "--sim", "--json", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert [c["pci_address"] for c in json.loads(r.stdout)["cards"]] == ADDRESSES


def test_launcher_finds_the_installed_simulator(installed, tmp_path):
    probe = [installed.python, "-c", "import nrhal, nrsim; print(nrhal.scan(), nrsim.devices())"]
    launchers = [[installed.python, "-m", "nrsim", "run", "--devices", "0x401e@0000:03:00.0"]]
    if installed.prefix_layout:
        launchers.append([installed.bindir / "nrsim-run", "--devices", "0x401e@0000:03:00.0"])
    for launcher in launchers:
        r = installed.run(*launcher, "--", *probe, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert r.stdout.strip() == "[Device(id=0)] [0]"


def test_installs_every_piece(prefix):
    site = prefix.site
    assert list(site.glob("nrhal.cpython-*.so"))
    for piece in ("nrsim/libnrsim.so", "nrsim/__init__.py", "nrsim/__main__.py", "nrsmi/__main__.py",
                  "nrhal-stubs/py.typed"):
        assert (site / piece).is_file(), piece
    assert os.access(site / "nrsim" / "nrsim-run", os.X_OK)
    assert os.access(prefix.bindir / "nrsmi", os.X_OK)
    assert os.access(prefix.bindir / "nrsim-run", os.X_OK)


def test_module_imports_without_the_simulator(prefix, tmp_path):
    r = prefix.run(sys.executable, "-c", "import nrhal; print(nrhal.__version__, nrhal.scan())", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "0.1.1 []"


def test_installed_stubs_match_the_installed_module(prefix, tmp_path):
    # From a directory with no Python files of its own for mypy to find.
    r = prefix.run(sys.executable, "-m", "mypy.stubtest", "nrhal", cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_c_example_builds_against_an_installed_library(tmp_path):
    need("cc", "pkg-config", "nm")
    root = tmp_path / "usr"
    check(["make", "-s", "-C", REPO, "install-lib", f"PREFIX={root}"])
    libdir = root / "lib"
    assert (libdir / "libnrhal.so").resolve() == (libdir / "libnrhal.so.0").resolve()
    assert (root / "include" / "nrhal.h").is_file() and (root / "include" / "nrsim.h").is_file()

    # The shared library exports the header's functions and nothing else.
    declared = set(re.findall(r"^NR_API [^(]*?\b(nr_\w+)\(", (REPO / "lib/include/nrhal.h").read_text(), re.M))
    exported = check(["nm", "-D", "--defined-only", libdir / "libnrhal.so"]).stdout
    names = {line.split()[-1].split("@")[0] for line in exported.splitlines() if " T " in line or " W " in line}
    assert declared and names == declared
    assert all(" A " in line or " T " in line for line in exported.splitlines())

    (code,) = re.findall(r"```c\n(.*?)```", (REPO / "README.md").read_text(), re.S)
    (tmp_path / "example.c").write_text(code)
    env = clean_env(PKG_CONFIG_PATH=str(libdir / "pkgconfig"))
    flags = check(["pkg-config", "--cflags", "--libs", "nrhal"], env=env).stdout.split()
    check(["cc", "-Wall", "-Werror", "example.c", *flags], cwd=tmp_path, env=env)
    r = check([REPO / "sim" / "nrsim-run", "--", "./a.out"], cwd=tmp_path,
              env=clean_env(LD_LIBRARY_PATH=str(libdir)))
    assert r.stdout == "device 401e\n"
