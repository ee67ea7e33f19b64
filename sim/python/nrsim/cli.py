"""The nrsim command: ``nrsim CONTROL [ARGS...]`` calls the control of the
same name on the simulated host it runs under, from any shell or process
under it (``nrsim sever 0``, ``nrsim fail 0 0xFA11 EIO``, ``nrsim devices``,
``nrsim smc_delay 0 polls=3``).

Arguments are taken as Python would: integers in any base (``0xFA11``),
errno names (``EIO``), ``True``, ``False`` and ``None``, ``NAME=VALUE`` for
keyword arguments, and text otherwise.  What the control returns is printed.
"""
import errno
import os
import sys

import nrsim

USAGE = ("usage: nrsim CONTROL [ARGS...] | nrsim help [CONTROL]\n"
         "       nrsim run [--devices CARDS] [--] CMD [ARGS...]")


def _value(text):
    if text in ("True", "False", "None"):
        return {"True": True, "False": False, "None": None}[text]
    if text.startswith("E") and text.isupper() and hasattr(errno, text):
        return getattr(errno, text)
    try:
        return int(text, 0)
    except ValueError:
        return text


def _controls():
    return {name: getattr(nrsim, name) for name in nrsim.__all__
            if callable(getattr(nrsim, name)) and not isinstance(getattr(nrsim, name), type)}


def _summary(fn):
    doc = (fn.__doc__ or "").strip().split("\n\n")
    return " ".join(doc[1].split()) if len(doc) > 1 else ""


def _help(name=None):
    controls = _controls()
    if name is None:
        print(USAGE)
        print(__doc__.split("\n\n", 1)[1].strip())
        print()
        for n, fn in controls.items():
            print(f"  {(fn.__doc__ or n).splitlines()[0]}")
        return 0
    if name not in controls:
        print(f"nrsim: no control named {name!r}", file=sys.stderr)
        return 2
    print(controls[name].__doc__)
    return 0


def _show(result):
    if isinstance(result, list):
        for item in result:
            print(item)
    elif result is not None:
        print(result)


def main(argv=None):
    try:
        return _main(sys.argv[1:] if argv is None else list(argv))
    except BrokenPipeError:  # a reader that stopped early (| head): end quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


def _main(args):
    if not args or args[0] in ("-h", "--help"):
        return _help()
    if args[0] == "help":
        return _help(args[1] if len(args) > 1 else None)
    if args[0] == "run":
        from nrsim.__main__ import run
        return run(args[1:])
    name, rest = args[0], args[1:]
    fn = _controls().get(name)
    if fn is None:
        print(f"nrsim: no control named {name!r}\nTry 'nrsim --help'.", file=sys.stderr)
        return 2
    positional = [_value(a) for a in rest if "=" not in a]
    keywords = {k: _value(v) for k, _, v in (a.partition("=") for a in rest if "=" in a)}
    try:
        _show(fn(*positional, **keywords))
    except (TypeError, ValueError) as e:
        print(f"nrsim: {name}: {e}\nTry 'nrsim help {name}'.", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"nrsim: {name}: {e.strerror} ({errno.errorcode.get(e.errno, e.errno)})", file=sys.stderr)
        return 1
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
