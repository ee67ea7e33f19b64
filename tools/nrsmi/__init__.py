"""nrsmi: status and reset of Norvane cards, built on the public nrhal API.

Run it as ``nrsmi`` (installed) or ``python3 -m nrsmi`` (from a checkout,
with ``tools`` on PYTHONPATH); ``nrsmi --help`` lists the options and the
exit codes, which live in :mod:`nrsmi.codes`.  The JSON document that
``--json`` prints is described in :mod:`nrsmi.jsonout`.
"""

__all__ = ["main"]


def main(argv=None) -> int:
    from .cli import main as _main
    return _main(argv)
