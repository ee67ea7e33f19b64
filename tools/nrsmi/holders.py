"""Which processes hold a card open, from their descriptors in /proc.

The reset refusal, the detail view, the JSON document and ``nrsmi
processes`` all ask here.  How a process holds the card is not written
anywhere in /proc (the kernel drops O_EXCL once a file is open); it is
known only from the card's state: while anyone can open the card, every
holder shares it, and while it is held exclusively by one process, that
process is the exclusive holder.
"""
import dataclasses
import os

SHARED = "shared"
EXCLUSIVE = "exclusive"


@dataclasses.dataclass(frozen=True)
class Holder:
    pid: int
    command: str
    #: SHARED, EXCLUSIVE, or None where it cannot be known
    mode: "str | None" = None


@dataclasses.dataclass
class Scan:
    holders: "list[Holder]"
    #: processes whose descriptors could not be read (other users', unless root)
    hidden: int = 0


def _command(proc_dir: str) -> str:
    try:
        with open(os.path.join(proc_dir, "comm")) as f:
            return f.read().strip() or "?"
    except OSError:
        return "?"


def scan_all(paths: "list[str]", proc: str = "/proc") -> "dict[str, Scan]":
    """For each device node in `paths`, the processes with a descriptor
    open on it: one pass over /proc for all of them."""
    wanted = {}
    for path in paths:
        wanted[path] = path
        # A node removed while open reads back with " (deleted)" appended.
        wanted[path + " (deleted)"] = path
    found: "dict[str, Scan]" = {path: Scan([]) for path in paths}
    try:
        entries = os.listdir(proc)
    except OSError:
        return found
    for entry in sorted((e for e in entries if e.isdigit()), key=int):
        proc_dir = os.path.join(proc, entry)
        fd_dir = os.path.join(proc_dir, "fd")
        try:
            fds = os.listdir(fd_dir)
        except PermissionError:
            for result in found.values():
                result.hidden += 1
            continue
        except OSError:
            continue  # the process ended meanwhile
        seen = set()
        for fd in fds:
            try:
                path = wanted.get(os.readlink(os.path.join(fd_dir, fd)))
            except OSError:
                continue
            if path is not None and path not in seen:
                seen.add(path)
                found[path].holders.append(Holder(int(entry), _command(proc_dir)))
    return found


def scan(path: str, proc: str = "/proc") -> Scan:
    """Processes with a descriptor open on the device node `path`."""
    return scan_all([path], proc)[path]


def with_modes(result: Scan, held_exclusively: bool) -> Scan:
    """The scan with each holder's mode, as far as the card's state tells."""
    if not held_exclusively:
        mode = SHARED
    elif len(result.holders) == 1:
        mode = EXCLUSIVE  # an exclusive open leaves room for no other
    else:
        mode = None  # one of them holds it exclusively; which is not known
    return Scan([dataclasses.replace(h, mode=mode) for h in result.holders], result.hidden)


def describe(result: Scan) -> str:
    """'1234 (python3), 99 (trainer)' or a phrase saying nobody was seen."""
    if result.holders:
        text = ", ".join(f"{h.pid} ({h.command})" for h in result.holders)
    else:
        text = "a process that could not be identified"
    if result.hidden:
        n = result.hidden
        text += f"; {n} process{'' if n == 1 else 'es'} could not be inspected (try as root)"
    return text
