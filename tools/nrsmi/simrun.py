"""``--sim [SPEC]``: run the same command again on the simulated driver.

This module imports nothing of nrhal, so ``--sim`` works where the parent
process could not load the extension itself.
"""
import os
import shutil
import subprocess
import sys
import sysconfig

from .codes import Exit, ToolError

#: Set in the re-run command's environment, so it does not re-run again.
MARKER = "NRSMI_SIMULATED"

_PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def split(argv: "list[str]") -> "tuple[bool, str | None, list[str]]":
    """(asked, SPEC or None, the other arguments).

    SPEC is optional, so only a word that looks like one is taken for it
    (DEVICEID@BDF,..., or the empty list): `--sim reset 0` keeps `reset`.
    """
    asked, cards, rest = False, None, []
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--":
            rest += argv[i:]
            break
        if arg == "--sim":
            asked = True
            if i + 1 < len(argv) and (argv[i + 1] == "" or "@" in argv[i + 1]):
                cards = argv[i + 1]
                i += 1
        elif arg.startswith("--sim="):
            asked, cards = True, arg[len("--sim="):]
        else:
            rest.append(arg)
        i += 1
    return asked, cards, rest


def launcher() -> "list[str] | None":
    """The command that starts the simulator: nrsim-run of this checkout,
    else `python3 -m nrsim run` of the installed nrsim package (found
    without importing it), else nrsim-run on PATH, else the one installed
    beside this package (<prefix>/lib/pythonX.Y/site-packages/nrsmi ->
    <prefix>/bin)."""
    here = os.path.join(_PACKAGE_PARENT, os.pardir, "sim", "nrsim-run")
    if os.access(here, os.X_OK):
        return [os.path.normpath(here)]
    if any(os.path.isfile(os.path.join(entry or os.curdir, "nrsim", "__main__.py")) for entry in sys.path):
        return [sys.executable, "-m", "nrsim", "run"]
    found = shutil.which("nrsim-run")
    if found:
        return [found]
    for bindir in (sysconfig.get_path("scripts"), os.path.join(_PACKAGE_PARENT, os.pardir, os.pardir, os.pardir, "bin")):
        candidate = os.path.join(bindir, "nrsim-run")
        if os.access(candidate, os.X_OK):
            return [os.path.normpath(candidate)]
    return None


def command(cards: "str | None", args: "list[str]", run: "list[str]") -> "list[str]":
    devices = [] if cards is None else ["--devices", cards]
    return [*run, *devices, "--", sys.executable, "-m", "nrsmi", *args]


def environment() -> "dict[str, str]":
    env = dict(os.environ)
    env[MARKER] = "1"
    # The launcher puts its own directories in front; nrsmi must stay importable.
    paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    if _PACKAGE_PARENT not in paths:
        paths.append(_PACKAGE_PARENT)
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def rerun(cards: "str | None", args: "list[str]") -> int:
    run = launcher()
    if run is None:
        raise ToolError(Exit.ERROR, "--sim needs the simulator launcher nrsim-run, which was not found")
    child = subprocess.Popen(command(cards, args, run), env=environment())
    while True:
        try:
            return child.wait()
        except KeyboardInterrupt:
            continue  # ^C reaches the child too; it decides how to end
