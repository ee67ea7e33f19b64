"""Command line of nrsmi."""
import argparse
import importlib
import os
import sys
import time

from . import codes, simrun
from .codes import Exit, ToolError

PROG = "nrsmi"
CLEAR = "\x1b[H\x1b[2J"  # home, then clear the screen

DESCRIPTION = """\
Status of the Norvane cards in this machine.

  nrsmi                    one table of all cards and the driver's version
  nrsmi -d N               everything about card N (a number or PCI address)
  nrsmi reset N [--yes]    reset card N after confirmation
"""


def _exit_codes() -> str:
    return "exit codes:\n" + "\n".join(f"  {int(c):>3}  {text}" for c, text in codes.TABLE)


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: '{text}'")
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: '{text}'") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: '{text}'")
    return value


SIM_HELP = ("re-run this command on the simulated driver, with the cards of SPEC "
            "(DEVICEID@BDF,...; default: two cards)")


def status_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=_exit_codes(),
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("-d", "--device", metavar="N",
                   help="show one card: its number or PCI address (0000:03:00.0 or 03:00.0)")
    p.add_argument("--json", action="store_true",
                   help='print a JSON document (schema "nrsmi/1") instead of text')
    p.add_argument("--watch", metavar="SECONDS", type=_positive_float,
                   help="refresh every SECONDS until interrupted (with --json: one document per line)")
    p.add_argument("--count", metavar="K", type=_positive_int,
                   help="with --watch: stop after K refreshes")
    p.add_argument("--sim", metavar="SPEC", nargs="?", help=SIM_HELP)
    p.add_argument("--version", action="store_true", help="print the version (that of the nrhal package)")
    return p


def reset_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=f"{PROG} reset", epilog=_exit_codes(),
                                description="Reset card N and wait for it to come back.\n\n"
                                "The reset is refused while any process has the card open;\n"
                                "nrsmi then names those processes (from /proc/*/fd).",
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("card", metavar="N", help="card number or PCI address")
    p.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
    p.add_argument("--sim", metavar="SPEC", nargs="?", help=SIM_HELP)
    return p


def _parse(parser: argparse.ArgumentParser, argv: "list[str]") -> argparse.Namespace:
    try:
        return parser.parse_args(argv)
    except SystemExit as e:  # -h, or a usage error argparse has printed
        raise _Done(int(e.code or 0)) from None


class _Done(Exception):
    def __init__(self, code: int):
        self.code = code


def _status(args: argparse.Namespace) -> int:
    from . import query

    numbers = None if args.device is None else [query.resolve(args.device)]
    encoding = getattr(sys.stdout, "encoding", None)
    if args.watch is None:
        return _refresh(args, numbers, encoding, 0)
    refreshes = 0
    try:
        while True:
            code = _refresh(args, numbers, encoding, refreshes)
            refreshes += 1
            if args.count is not None and refreshes >= args.count:
                return code
            time.sleep(args.watch)
    except KeyboardInterrupt:
        # The usual way to end a watch.
        if sys.stdout.isatty() and not args.json:
            sys.stdout.write("\n")
        return Exit.OK


def _refresh(args: argparse.Namespace, numbers: "list[int] | None", encoding: "str | None",
             refreshes: int) -> int:
    """One report on stdout; a card-level problem of a -d view ends the command."""
    from . import jsonout, query, render

    report = query.report(numbers)
    card = report.cards[0] if numbers else None
    if args.json:
        text = jsonout.dumps(report, compact=args.watch is not None) + "\n"
    elif card is not None:
        text = render.detail(card, report, encoding) if card.device_id is not None else ""
    else:
        text = render.table(report, encoding)
    if args.watch is not None and not args.json:
        stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(report.timestamp))
        text = f"{stamp}  every {args.watch:g}s\n{text}"
        text = CLEAR + text if sys.stdout.isatty() else ("\n" if refreshes else "") + text
    sys.stdout.write(text)
    sys.stdout.flush()
    if card is not None and card.status != query.OK:
        raise ToolError(query.STATUS_EXIT[card.status], card.message or f"card {card.number}")
    return Exit.OK


def _version() -> int:
    import nrhal
    print(f"{PROG} {nrhal.__version__}")
    return Exit.OK


def main(argv: "list[str] | None" = None) -> int:
    return int(_main(list(sys.argv[1:] if argv is None else argv)))


def _main(argv: "list[str]") -> int:
    asked, spec, rest = simrun.split(argv)
    try:
        if asked and not os.environ.get(simrun.MARKER):
            # Check the command line here, so a typo is not reported by a child.
            _parse(reset_parser() if rest[:1] == ["reset"] else status_parser(),
                   rest[1:] if rest[:1] == ["reset"] else rest)
            return simrun.rerun(spec, rest)
        if rest[:1] == ["reset"]:
            args = _parse(reset_parser(), rest[1:])
            _load()
            from . import reset
            return reset.run(args.card, args.yes)
        args = _parse(status_parser(), rest)
        if args.count is not None and args.watch is None:
            status_parser().print_usage(sys.stderr)
            print(f"{PROG}: error: --count needs --watch", file=sys.stderr)
            return Exit.USAGE
        _load()
        if args.version:
            return _version()
        return _status(args)
    except _Done as done:
        return done.code
    except ToolError as e:
        sys.stdout.flush()
        print(f"{PROG}: {e.message}", file=sys.stderr)
        return e.code
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return Exit.INTERRUPTED
    except BrokenPipeError:
        # The reader went away (nrsmi | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return Exit.ERROR


def _load() -> None:
    try:
        importlib.import_module("nrhal")
    except ImportError as e:
        raise ToolError(Exit.ERROR, f"cannot load the nrhal module: {e}") from None
