"""``nrsmi monitor``: one line per card per sample, in fixed-width columns.

The header is repeated every screenful, and each line is flushed as it is
written, so that the output reads well on a terminal and through a pipe.
A card that goes away keeps its line, marked with its state, until it
comes back.
"""
import shutil
import sys
import time

from . import query, tags
from .codes import ToolError

# (header, unit line, width, tag, how the value is written)
COLUMNS = [
    ("temp", "C", 7, "AsicTemperature", lambda raw: f"{tags.fixed16(raw):.2f}"),
    ("power", "W", 5, "InputPower", str),
    ("aiclk", "MHz", 6, "AiClk", str),
    ("axiclk", "MHz", 6, "AxiClk", str),
    ("fan", "%", 4, "FanSpeed", str),
    ("heartbeat", "", 10, "TimerHeartbeat", str),
]
CARD_WIDTH = 6


def header() -> "list[str]":
    names = "# " + "card".rjust(CARD_WIDTH - 2) + "".join(
        f"  {name:>{w}}" for name, _, w, _, _ in COLUMNS)
    units = "# " + "".rjust(CARD_WIDTH - 2) + "".join(f"  {u:>{w}}" for _, u, w, _, _ in COLUMNS)
    return [names, units.rstrip()]


def line(card: query.Card) -> str:
    start = str(card.number).rjust(CARD_WIDTH)
    if card.telemetry is None:
        return f"{start}  {card.status}"
    return start + "".join(f"  {fmt(card.telemetry[tag]):>{w}}" for _, _, w, tag, fmt in COLUMNS)


class Monitor:
    """Samples the cards: every card listed, and every card seen before
    and now gone (as vanished), or only the card `number`."""

    def __init__(self, number: "int | None"):
        self.number = number
        self.seen: "set[int]" = set()

    def sample(self) -> "list[query.Card]":
        if self.number is not None:
            numbers = {self.number}
        else:
            try:
                listed = {d.id for d in query.scan()}
            except ToolError:
                if not self.seen:
                    raise  # nothing to show from the start: say why and end
                listed = set()  # the driver or every card went away
            self.seen |= listed
            numbers = self.seen
        cards = []
        for n in sorted(numbers):
            try:
                cards.append(query.read_card(n))
            except ToolError:
                cards.append(query.Card(n).fail(query.VANISHED, "driver gone"))
        return cards


def run(interval: float, count: "int | None", number: "int | None") -> None:
    out = sys.stdout
    rows = max(shutil.get_terminal_size().lines - 2, 1)  # room for the header
    monitor = Monitor(number)
    written, samples = None, 0
    while True:
        for card in monitor.sample():
            if written is None or written >= rows:
                for text in header():
                    out.write(text + "\n")
                written = 0
            out.write(line(card) + "\n")
            out.flush()
            written += 1
        samples += 1
        if count is not None and samples >= count:
            return
        time.sleep(interval)
