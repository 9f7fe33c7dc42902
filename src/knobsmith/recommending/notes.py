"""The comment block at the top of config.yaml: what was left out and why, what was fitted."""

from __future__ import annotations

from dataclasses import dataclass, field

from knobsmith.atomic_write import write_atomically
from knobsmith.messages import template_comments
from knobsmith.recommending.commands import one_line


@dataclass
class Notes:
    scene: str
    probed: bool
    server: str | None = None  # which server answered, or why none did
    option_files: str | None = None  # the folder option-file entries write to and why, or why none
    host_wide: list[str] = field(default_factory=list)  # left out of a server's scene without --host
    left_out: list[tuple[str, str]] = field(default_factory=list)
    fitted: list[tuple[str, str]] = field(default_factory=list)
    unfitted: list[tuple[str, str]] = field(default_factory=list)  # left as they are, and why

    def leave_out(self, name: object, reason: str) -> None:
        self.left_out.append((str(name), reason))


# From this many entries on, those with the same reason share one line (an unreachable server
# would otherwise repeat its error for every entry).
GROUPED = 3


def _section(title: str, lines: list[tuple[str, str]]) -> list[str]:
    if not lines:
        return []
    names_by_reason: dict[str, list[str]] = {}
    for name, reason in lines:
        names_by_reason.setdefault(reason, []).append(one_line(name, 120))
    # Several entries of one name (one per server) may share a reason: each line is said once.
    shown: dict[str, None] = {}
    for name, reason in lines:
        names = names_by_reason[reason]
        if len(names) < GROUPED:
            shown[f"  {one_line(name, 120)}: {one_line(reason, 400)}"] = None
        else:  # the group's line, where its first entry stands
            shown[f"  {', '.join(dict.fromkeys(names))}: {one_line(reason, 400)}"] = None
    return [f"{title} ({len(lines)}):", *shown]


def block(notes: Notes) -> str:
    """The comment lines, each starting with "# ", ending with a line break."""
    how = ("the values in effect were read through the entries' get commands, each run at most once" if notes.probed
           else "no value was read (--no-probe): the database's entries and ranges, fitted to this machine's "
           "memory and disks only")
    lines = [f"Recommended by knobsmith for the scene {notes.scene}; {how}."]
    if notes.server:
        lines.append(f"Server: {one_line(notes.server, 400)}")
    if notes.option_files:
        lines.append(f"Option files: {one_line(notes.option_files, 400)}")
    if notes.host_wide:
        lines.append(f"Host-wide entries, not written ({len(notes.host_wide)}; --host writes them): "
                     + ", ".join(dict.fromkeys(notes.host_wide)))
    lines += _section("Left out", notes.left_out)
    lines += _section("Fitted to this machine", notes.fitted)
    lines += _section("Left as they are", notes.unfitted)
    return "".join(f"# {line}\n" for line in lines)


READINESS = ('readyworkload: "" # a command that exits 0 once the server answers, so that a restart is waited for '
             '(e.g. mariadb-admin ping)')


def add_readiness(path: str) -> None:
    """Adds the readiness command to the header, after the workload's stop command: a server
    restarted for an option file takes a while to answer, and its live values are set then."""
    with open(path, encoding="utf-8") as stream:
        lines = stream.read().splitlines(keepends=True)
    at = next((index + 1 for index, line in enumerate(lines) if line.startswith("stopworkload:")), None)
    if at is not None:
        write_atomically(path, "".join([*lines[:at], READINESS + "\n", *lines[at:]]))


def prepend(path: str, text: str) -> None:
    """Puts `text` before the content of the file at `path`, the comments of its template in the
    user's language, replacing the file whole (mode 0600)."""
    with open(path, encoding="utf-8") as stream:
        content = stream.read()
    write_atomically(path, text + template_comments(content))
