"""Entry point of ``python3 -m nrsmi`` and of the ``nrsmi`` console script."""
import glob
import importlib.util
import os
import sys


def _use_checkout_build() -> None:
    """Run from a checkout (PYTHONPATH=tools) with no nrhal on the path, the
    tool uses the extension built beside it in build/, as the simulator's
    launcher does.  An nrhal already on the path (another build's) wins."""
    if importlib.util.find_spec("nrhal") is not None:
        return
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    built = os.path.join(root, "build", "bind", "py")
    if os.path.isfile(os.path.join(root, "sim", "nrsim-run")) and glob.glob(os.path.join(built, "nrhal.*.so")):
        if built not in sys.path:
            sys.path.insert(0, built)


_use_checkout_build()

from nrsmi.cli import main  # noqa: E402

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
