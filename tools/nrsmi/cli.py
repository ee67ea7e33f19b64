"""Command line of nrsmi."""
import argparse
import importlib
import os
import re
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
  nrsmi --query F,... [--format csv[,noheader][,nounits]]
                           chosen fields of each card (nrsmi --help-query lists them)
  nrsmi processes          the processes that hold each card
  nrsmi monitor            one line per card per second
  nrsmi exporter           serve the cards' metrics to Prometheus
  nrsmi reset N [--yes]    reset card N after confirmation

Run 'nrsmi COMMAND --help' for a command's options.
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


SIM_HELP = ("re-run this command on the simulated driver, with the cards listed in CARDS "
            "(DEVICEID@BDF,...; default: two cards)")
DEVICE_HELP = "one card: its number or PCI address (0000:03:00.0 or 03:00.0)"


def _parser(prog: str, description: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=prog, description=description, epilog=_exit_codes(),
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sim", metavar="CARDS", nargs="?", help=SIM_HELP)
    return p


def status_parser() -> argparse.ArgumentParser:
    p = _parser(PROG, DESCRIPTION)
    p.add_argument("-d", "--device", metavar="N", help=f"show {DEVICE_HELP}")
    p.add_argument("--json", action="store_true",
                   help='print a JSON document (schema "nrsmi/1"; with --query "nrsmi-query/1")')
    p.add_argument("--query", metavar="FIELD,...",
                   help="print only these fields of each card, one line per card (CSV)")
    p.add_argument("--format", metavar="csv[,noheader][,nounits]",
                   help="with --query: leave out the header line, the units, or both")
    p.add_argument("--help-query", action="store_true", help="list the fields of --query and exit")
    p.add_argument("--watch", metavar="SECONDS", type=_positive_float,
                   help="refresh every SECONDS until interrupted (with --json or --query: "
                   "append, a document or rows per refresh)")
    p.add_argument("--count", metavar="K", type=_positive_int,
                   help="with --watch: stop after K refreshes")
    p.add_argument("--version", action="store_true", help="print the version (that of the nrhal package)")
    return p


def reset_parser() -> argparse.ArgumentParser:
    p = _parser(f"{PROG} reset", "Reset card N and wait for it to come back.\n\n"
                "The reset is refused while any process has the card open;\n"
                "nrsmi then names those processes (from /proc/*/fd).")
    p.add_argument("card", metavar="N", help="card number or PCI address")
    p.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
    return p


def processes_parser() -> argparse.ArgumentParser:
    p = _parser(f"{PROG} processes", "The processes that hold each card open: pid, how they\n"
                "hold it (shared or exclusive, where this can be known), command.")
    p.add_argument("-d", "--device", metavar="N", help=f"only {DEVICE_HELP}")
    p.add_argument("--json", action="store_true", help='print a JSON document (schema "nrsmi-processes/1")')
    return p


def monitor_parser() -> argparse.ArgumentParser:
    p = _parser(f"{PROG} monitor", "One line per card per sample: temperature, power, clocks,\n"
                "fan and heartbeat, in fixed-width columns; the header is repeated every\n"
                "screenful.  A card that goes away is shown so until it comes back.")
    p.add_argument("-i", "--interval", metavar="SECONDS", type=_positive_float, default=1.0,
                   help="seconds between samples (default 1)")
    p.add_argument("-c", "--count", metavar="COUNT", type=_positive_int,
                   help="stop after COUNT samples (default: until interrupted)")
    p.add_argument("-d", "--device", metavar="N", help=f"only {DEVICE_HELP}")
    return p


def exporter_parser() -> argparse.ArgumentParser:
    p = _parser(f"{PROG} exporter", "Serve the cards' state in the Prometheus text format at\n"
                "http://HOST:PORT/metrics until interrupted (^C or SIGTERM, exit 0).\n"
                "The metrics are described in 'python3 -m pydoc nrsmi.exporter'.")
    p.add_argument("--listen", metavar="HOST:PORT", default="127.0.0.1:9400",
                   help="address to serve on (default 127.0.0.1:9400; :PORT for every "
                   "interface; port 0 picks a free one, which is printed)")
    return p


SUBCOMMANDS = {"reset": reset_parser, "processes": processes_parser, "monitor": monitor_parser,
               "exporter": exporter_parser}


def _parse(parser: argparse.ArgumentParser, argv: "list[str]") -> argparse.Namespace:
    try:
        return parser.parse_args(argv)
    except SystemExit as e:  # -h, or a usage error argparse has printed
        raise _Done(int(e.code or 0)) from None


class _Done(Exception):
    def __init__(self, code: int):
        self.code = code


def _status(args: argparse.Namespace) -> int:
    from . import fields, query

    chosen = None
    options: "set[str]" = set()
    if args.query is not None:
        chosen = fields.select(args.query)
        options = fields.parse_format(args.format)
    numbers = None if args.device is None else [query.resolve(args.device)]
    encoding = getattr(sys.stdout, "encoding", None)
    view = _View(args, numbers, encoding, chosen, options)
    if args.watch is None:
        return view.refresh(0)
    refreshes = 0
    try:
        while True:
            code = view.refresh(refreshes)
            refreshes += 1
            if args.count is not None and refreshes >= args.count:
                return code
            time.sleep(args.watch)
    except KeyboardInterrupt:
        # The usual way to end a watch.
        if sys.stdout.isatty() and not args.json and chosen is None:
            sys.stdout.write("\n")
        return Exit.OK


class _View:
    def __init__(self, args, numbers, encoding, chosen, options):
        self.args, self.numbers, self.encoding = args, numbers, encoding
        self.chosen, self.options = chosen, options

    def refresh(self, refreshes: int) -> int:
        """One report on stdout; a card-level problem of a -d view ends the command."""
        from . import fields, jsonout, query, render

        args, numbers = self.args, self.numbers
        compact = args.watch is not None
        # Processes are part of the detail view and the JSON document.
        report = query.report(numbers, processes=self.chosen is None and (args.json or bool(numbers)))
        card = report.cards[0] if numbers else None
        if self.chosen is not None:
            if args.json:
                text = fields.json_text(report, self.chosen, compact)
            else:
                text = fields.csv_text(report, self.chosen, self.options, header=refreshes == 0,
                                       deg=render.degree_sign(self.encoding))
        elif args.json:
            text = jsonout.dumps(report, compact=compact) + "\n"
        elif card is not None:
            text = render.detail(card, report, self.encoding) if card.device_id is not None else ""
        else:
            text = render.table(report, self.encoding)
        if args.watch is not None and not args.json and self.chosen is None:
            stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(report.timestamp))
            text = f"{stamp}  every {args.watch:g}s\n{text}"
            text = CLEAR + text if sys.stdout.isatty() else ("\n" if refreshes else "") + text
        sys.stdout.write(text)
        sys.stdout.flush()
        if card is not None and card.status != query.OK:
            raise ToolError(query.STATUS_EXIT[card.status], card.message or f"card {card.number}")
        return Exit.OK


def _processes(args: argparse.Namespace) -> int:
    import json

    from . import query, render

    numbers = None if args.device is None else [query.resolve(args.device)]
    report = query.report(numbers, processes=True)
    if args.json:
        doc = {"schema": "nrsmi-processes/1", "timestamp": report.timestamp, "cards": [
            {"number": c.number, "pci_address": c.pci_address, "status": c.status,
             "processes": [{"pid": h.pid, "command": h.command, "mode": h.mode} for h in c.processes.holders],
             "processes_hidden": c.processes.hidden} for c in report.cards]}
        sys.stdout.write(json.dumps(doc, indent=2) + "\n")
    else:
        sys.stdout.write(render.processes(report))
    return Exit.OK


def _monitor(args: argparse.Namespace) -> int:
    from . import monitor, query

    number = None if args.device is None else query.resolve(args.device)
    try:
        monitor.run(args.interval, args.count, number)
    except KeyboardInterrupt:
        pass  # the usual way to end it
    return Exit.OK


def _version() -> int:
    import nrhal
    print(f"{PROG} {nrhal.__version__}")
    return Exit.OK


# One card of --sim: DEVICEID@[DOMAIN:]BUS:DEV.FN, hexadecimal.
_SIM_CARD = re.compile(r"(?:0[xX])?([0-9a-fA-F]{1,8})@(?:([0-9a-fA-F]{1,8}):)?"
                       r"([0-9a-fA-F]{1,8}):([0-9a-fA-F]{1,8})\.([0-9a-fA-F]{1,8})")


def _check_sim_cards(cards: "str | None") -> None:
    """The card list of --sim, checked here so that a mistake is reported as
    nrsmi's, not as the simulator launcher's."""
    if not cards:
        return
    for item in cards.split(","):
        m = _SIM_CARD.fullmatch(item)
        limits = (0xFFFF, 0xFFFF, 0xFF, 0x1F, 7)
        if not m or any(int(g or "0", 16) > top for g, top in zip(m.groups(), limits)):
            raise ToolError(Exit.USAGE, f"bad --sim card list '{cards}' (at '{item}'): want "
                            f"DEVICEID@BDF,... such as 0x401e@0000:03:00.0\n"
                            f"Try '{PROG} --help'.")


def main(argv: "list[str] | None" = None) -> int:
    return int(_main(list(sys.argv[1:] if argv is None else argv)))


def _main(argv: "list[str]") -> int:
    asked, cards, rest = simrun.split(argv)
    command = rest[0] if rest[:1] and rest[0] in SUBCOMMANDS else None
    parser = SUBCOMMANDS[command]() if command else status_parser()
    words = rest[1:] if command else rest
    try:
        if asked and not os.environ.get(simrun.MARKER):
            # Check the command line here, so a typo is not reported by a child.
            _parse(parser, words)
            _check_sim_cards(cards)
            return simrun.rerun(cards, rest)
        args = _parse(parser, words)
        if command is None:
            if args.help_query:
                from . import fields, render
                sys.stdout.write(fields.help_text(render.degree_sign(getattr(sys.stdout, "encoding", None))))
                return Exit.OK
            for given, needed in ((args.count, "watch"), (args.format, "query")):
                if given is not None and getattr(args, needed) is None:
                    parser.print_usage(sys.stderr)
                    raise ToolError(Exit.USAGE, f"--{'count' if given is args.count else 'format'} "
                                    f"needs --{needed}")
        _load()
        if command == "reset":
            from . import reset
            return reset.run(args.card, args.yes)
        if command == "processes":
            return _processes(args)
        if command == "monitor":
            return _monitor(args)
        if command == "exporter":
            _load("prometheus_client", " (Debian package python3-prometheus-client)")
            from . import exporter
            return exporter.run(args.listen)
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
        # The reader went away (nrsmi | head): stop quietly, as a filter does.
        # Later writes, and the flush at exit, go nowhere instead of failing.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return Exit.OK


def _load(module: str = "nrhal", hint: str = "") -> None:
    try:
        importlib.import_module(module)
    except ImportError as e:
        raise ToolError(Exit.ERROR, f"cannot load the {module} module{hint}: {e}") from None
