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
    shown = []
    for name, reason in lines:
        names = names_by_reason[reason]
        if len(names) < GROUPED:
            shown.append(f"  {one_line(name, 120)}: {one_line(reason, 400)}")
        elif names[0] == one_line(name, 120):  # the group's line, where its first entry stands
            shown.append(f"  {', '.join(names)}: {one_line(reason, 400)}")
    return [f"{title} ({len(lines)}):", *shown]


def block(notes: Notes) -> str:
    """The comment lines, each starting with "# ", ending with a line break."""
    how = ("the values in effect were read through the entries' get commands, each run at most once" if notes.probed
           else "no value was read (--no-probe): the database's entries and ranges, fitted to this machine's "
           "memory and disks only")
    lines = [f"Recommended by knobsmith for the scene {notes.scene}; {how}."]
    if notes.server:
        lines.append(f"Server: {one_line(notes.server, 400)}")
    lines += _section("Left out", notes.left_out)
    lines += _section("Fitted to this machine", notes.fitted)
    lines += _section("Left as they are", notes.unfitted)
    return "".join(f"# {line}\n" for line in lines)


def prepend(path: str, text: str) -> None:
    """Puts `text` before the content of the file at `path`, the comments of its template in the
    user's language, replacing the file whole (mode 0600)."""
    with open(path, encoding="utf-8") as stream:
        content = stream.read()
    write_atomically(path, text + template_comments(content))
