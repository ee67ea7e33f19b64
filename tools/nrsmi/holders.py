"""Which processes hold a card open, from their descriptors in /proc."""
import dataclasses
import os


@dataclasses.dataclass(frozen=True)
class Holder:
    pid: int
    command: str


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


def scan(path: str, proc: str = "/proc") -> Scan:
    """Processes with a descriptor open on the device node `path`."""
    found, hidden = [], 0
    try:
        entries = os.listdir(proc)
    except OSError:
        return Scan([], 0)
    for entry in sorted((e for e in entries if e.isdigit()), key=int):
        pid = int(entry)
        proc_dir = os.path.join(proc, entry)
        fd_dir = os.path.join(proc_dir, "fd")
        try:
            fds = os.listdir(fd_dir)
        except PermissionError:
            hidden += 1
            continue
        except OSError:
            continue  # the process ended meanwhile
        for fd in fds:
            try:
                target = os.readlink(os.path.join(fd_dir, fd))
            except OSError:
                continue
            # A node removed while open reads back with " (deleted)" appended.
            if target == path or target == path + " (deleted)":
                found.append(Holder(pid, _command(proc_dir)))
                break
    return Scan(found, hidden)


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
