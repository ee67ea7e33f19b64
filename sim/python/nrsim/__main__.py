"""``python3 -m nrsim run [--devices CARDS] [--] CMD [ARGS...]``: runs CMD on
simulated cards, as ``nrsim-run`` does, wherever this package is installed
(a ``--target`` directory has no ``bin/`` on PATH).

``python3 -m nrsim CONTROL [ARGS...]`` calls a control on the simulated host
it runs under, as the ``nrsim`` command does (nrsim/cli.py)."""
import os
import sys

USAGE = ("usage: python3 -m nrsim run [--devices CARDS] [--] CMD [ARGS...]\n"
         "       python3 -m nrsim CONTROL [ARGS...] | help [CONTROL]")

_HERE = os.path.dirname(os.path.abspath(__file__))


def launcher() -> "str | None":
    """The launcher installed inside this package, else a checkout's
    (sim/python/nrsim -> sim/nrsim-run)."""
    for candidate in (os.path.join(_HERE, "nrsim-run"),
                      os.path.join(_HERE, os.pardir, os.pardir, "nrsim-run")):
        if os.path.isfile(candidate):
            return os.path.normpath(candidate)
    return None


def run(args: "list[str]") -> int:
    exe = launcher()
    if exe is None:
        print(f"nrsim: the launcher nrsim-run is missing from {_HERE}", file=sys.stderr)
        return 2
    # An installed library sits beside this file; the launcher looks for it
    # beside its own bin/ or build tree, which a --target install lacks.
    lib = os.path.join(_HERE, "libnrsim.so")
    if "NRSIM_LIB" not in os.environ and os.path.isfile(lib):
        os.environ["NRSIM_LIB"] = lib
    os.environ["NRSIM_RUN_AS"] = "python3 -m nrsim run"  # for its messages
    # Through bash: a package's files may lose their mode bits on the way.
    os.execv("/bin/bash", ["bash", exe, *args])
    return 2  # not reached


def main(argv: "list[str]") -> int:
    if argv[:1] == ["run"]:
        return run(argv[1:])
    if argv[:1] in (["-h"], ["--help"]):
        print(USAGE)
        return 0
    if not argv:
        print(USAGE, file=sys.stderr)
        return 2
    from nrsim import cli
    return cli.main(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
