"""Applying values the way the workload needs them, and checking that they took.

The order of one application: the set commands of the parameters that need a restart and whose
value changes, then the restart (stop, start, wait until ready), then every parameter changed
live, and last a read-back of every value through its get command. A restart wipes values set
live, so live values are applied after it, never before; without a changed restart parameter
there is no restart at all.
"""

from __future__ import annotations

import contextlib
import math
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from decimal import Decimal, InvalidOperation
from typing import TYPE_CHECKING, Any

from knobsmith.params.processes import describe_status
from knobsmith.params.workload import Workload

if TYPE_CHECKING:
    from knobsmith.loadplan import Cfg

# The most a get command may print for a value (bytes, as UTF-8): longer output is no value, and
# is never printed or kept (a runaway get filled terminals and state files with megabytes).
VALUE_LIMIT = 4096
# The most of a command's error output a message quotes.
SAID_LIMIT = 300


def same_value(requested: Any, text: Any) -> bool:
    """Whether a value read back (`text`) is the value requested, up to the rounding with which
    the number was printed (a float read back as 0.123457 is 0.1234567). Words compare without
    regard to letter case (a server may answer ROW for row); a number kept as text (a backed-up
    value) compares as a number."""
    if text is None:
        return False
    text = str(text).strip()
    if isinstance(requested, (int, float)) and not isinstance(requested, bool):
        return math.isfinite(requested) and _same_number(Decimal(requested), text)
    wanted = str(requested).strip()
    if wanted.casefold() == text.casefold():
        return True
    number = _decimal(wanted)
    return number is not None and _same_number(number, text)


def _decimal(text: str) -> Decimal | None:
    try:
        number = Decimal(text)
    except InvalidOperation:
        return None
    return number if number.is_finite() else None


def _same_number(requested: Decimal, text: str) -> bool:
    shown = _decimal(text)
    if shown is None:
        return False
    exponent = shown.as_tuple().exponent
    half_unit = Decimal(5).scaleb(int(exponent) - 1) if isinstance(exponent, int) else Decimal(0)
    return abs(shown - requested) <= max(half_unit, abs(requested) * Decimal("1e-12"))


def planned_commands(cfg: Cfg, workload: Workload, values: Mapping[str, Any]) -> list[str]:
    """The commands an application of `values` runs, in their order, for a dry run (the restart
    happens only when one of the values before it changes)."""
    sets = cfg.get_params_set_script()
    restart = [name for name in values if sets[name]["needrestart"] == "true"]
    commands = [sets[name]["set"].replace("$value", str(values[name])) for name in restart]
    if restart:
        commands += workload.commands()
    commands += [sets[name]["set"].replace("$value", str(values[name])) for name in values if name not in restart]
    return commands


def telling_line(text: str) -> str:
    """The line of a command's error output that says most: the first that speaks of an error,
    else the first with a letter or digit (clients frame their errors with rules of dashes)."""
    lines = [line.strip() for line in text.splitlines() if any(char.isalnum() for char in line)]
    return _cut(next((line for line in lines if "error" in line.casefold()), lines[0] if lines else ""))


def _cut(text: str) -> str:
    return text if len(text) <= SAID_LIMIT else text[:SAID_LIMIT] + "..."


@dataclass
class ParamOutcome:
    """What happened to one parameter."""

    name: str
    requested: Any
    command: str = ""
    status: int | None = None  # None: not run (refused, or skipped after an earlier failure)
    error: str = ""
    in_effect: str | None = None  # the value read back
    problem: str = ""


@dataclass
class Outcome:
    """What one application of values did."""

    params: dict[str, ParamOutcome] = field(default_factory=dict)
    restarted: bool = False
    workload_problem: str = ""

    @property
    def problems(self) -> list[str]:
        found = [outcome.problem for outcome in self.params.values() if outcome.problem]
        return ([self.workload_problem] if self.workload_problem else []) + found

    @property
    def ok(self) -> bool:
        return not self.problems

    @property
    def failed_names(self) -> list[str]:
        return [name for name, outcome in self.params.items() if outcome.problem]

    @property
    def unconfirmed_names(self) -> list[str]:
        """Parameters without a failure of their own that were not read back: an earlier step
        (a set command before the restart, the restart) failed, or there was no read-back."""
        return [name for name, outcome in self.params.items() if not outcome.problem and outcome.in_effect is None]

    def failure_lines(self) -> list[str]:
        """What to tell of an application that failed: its problems, then what is not known to be
        in effect, then which parameters failed."""
        lines = self.problems
        if self.unconfirmed_names:
            lines.append(f"not in effect as far as knobsmith knows: {', '.join(self.unconfirmed_names)}")
        if self.failed_names:
            lines.append(f"{len(self.failed_names)} of {len(self.params)} parameters failed: "
                         f"{', '.join(self.failed_names)}")
        return lines

    def in_effect(self) -> dict[str, str]:
        """The values read back that differ from the request."""
        return {name: outcome.in_effect for name, outcome in self.params.items()
                if outcome.in_effect is not None and not same_value(outcome.requested, outcome.in_effect)}


class Applier:
    """Applies values through StageKit, restarting the workload when needed, and reads them back.

    `known` is what is believed to be in effect (values read back, or a backup's values); a
    restart parameter whose requested value equals its known value causes no restart. A
    parameter whose state is uncertain (its set or the restart failed) counts as changed next time.
    """

    def __init__(self, kit: Any, cfg: Cfg, workload: Workload, known: Mapping[str, Any] | None = None) -> None:
        self.kit = kit
        self.cfg = cfg
        self.workload = workload
        self.known: dict[str, Any] = dict(known or {})

    def _needs_restart(self, names: Iterable[str]) -> set[str]:
        scripts = self.cfg.get_params_set_script()
        return {name for name in names if scripts[name]["needrestart"] == "true"}

    def apply(self, values: Mapping[str, Any], *, verify: bool = True) -> Outcome:
        outcome = Outcome({name: ParamOutcome(name, value) for name, value in values.items()})
        restart_names = self._needs_restart(values)
        unknown = [name for name in restart_names if name not in self.known]
        if unknown:
            self._learn(self.kit.read_params(unknown))
        changed = [name for name in values
                   if name in restart_names and not same_value(values[name], self.known.get(name))]
        live = [name for name in values if name not in restart_names]

        if changed:
            if not self._run_sets(values, changed, outcome):
                # Written but not restarted into: none of them is in effect.
                self.known.update(dict.fromkeys(changed))
                return outcome
            problem = self.workload.restart()
            # Values set live before the restart are gone whatever its result.
            kept = self._needs_restart(self.known)
            self.known.update(dict.fromkeys(name for name in self.known if name not in kept))
            if problem:
                outcome.workload_problem = problem
                self.known.update(dict.fromkeys(changed))
                return outcome
            outcome.restarted = True
            self.known.update({name: str(values[name]) for name in changed})
        if live:
            # A failed live set does not stop the read-back: the others are in effect or not all the same.
            self._run_sets(values, live, outcome)
        if verify:
            self._verify(values, outcome)
        else:
            self.known.update({name: str(value) for name, value in values.items()})
        return outcome

    def _run_sets(self, values: Mapping[str, Any], names: list[str], outcome: Outcome) -> bool:
        """Runs the set commands of `names`; False when one of them failed or was refused."""
        ok = True
        for record in self.kit.apply_params({name: values[name] for name in names}):
            entry = outcome.params[record["name"]]
            entry.command, entry.status, entry.error = record["command"], record["status"], record["error"]
            if record["refused"]:
                entry.problem = f"{entry.name}: its set command breaks the shell-metacharacter rule, so it was not run"
            elif record.get("timed_out"):
                entry.problem = f"{entry.name}: the set command {record['error']}"
            elif record["status"] != 0:
                said = telling_line(record["error"]) or "no error output"
                entry.problem = f"{entry.name}: the set command failed ({describe_status(record['status'])}): {said}"
            if entry.problem:
                ok = False
                self.known[entry.name] = None
        return ok

    def _verify(self, values: Mapping[str, Any], outcome: Outcome) -> None:
        readings = self.kit.read_params(list(values))
        self._learn(readings)
        for name, reading in readings.items():
            entry = outcome.params[name]
            if entry.problem:
                continue  # its set command failed: that is what the user needs to hear
            entry.in_effect = reading["value"] if read_ok(reading) else None
            if entry.in_effect is None:
                unread = why_unread(reading)
                entry.problem = f"{name}: requested {entry.requested}, but reading it back failed: {unread}"
            elif not same_value(entry.requested, entry.in_effect):
                entry.problem = f"{name}: requested {entry.requested}, in effect {entry.in_effect}"

    def _learn(self, readings: Mapping[str, Mapping[str, Any]]) -> None:
        for name, reading in readings.items():
            self.known[name] = reading["value"] if read_ok(reading) else None


def read_ok(reading: Mapping[str, Any]) -> bool:
    """Whether a record of StageKit.read_params holds a value read without failure."""
    return (not reading["refused"] and reading["status"] == 0 and reading["value"] is not None
            and not _too_long(reading["value"]))


def _too_long(value: str) -> bool:
    return len(value) > VALUE_LIMIT or len(value.encode("utf-8", "surrogatepass")) > VALUE_LIMIT


def why_unread(reading: Mapping[str, Any]) -> str:
    """Why a record of StageKit.read_params holds no value, in words."""
    if reading["refused"]:
        return "its get command breaks the shell-metacharacter rule"
    if reading.get("timed_out"):
        return f"the get command {reading['error']}"
    said = telling_line(reading["error"])
    if reading["status"] != 0:
        return describe_status(reading["status"]) + (f": {said}" if said else "")
    if reading["value"] is not None and _too_long(reading["value"]):
        return f"the get command printed more than {VALUE_LIMIT} bytes (4 KiB), the most a value may hold"
    return said or "the value is not UTF-8"


def not_kept(item: tuple[str, Mapping[str, Any]]) -> tuple[str, str]:
    """(name, why) for a (name, record of StageKit.read_params) whose value is not to be backed
    up or kept, as the library's backup takes none that came with error output; why is "" when
    it is to be."""
    name, reading = item
    if not read_ok(reading):
        return name, why_unread(reading)
    said = " / ".join(line.strip() for line in reading["error"].splitlines() if line.strip())
    return name, f"its get command printed error output: {_cut(said)}" if said else ""


def back_up(kit: Any, cfg: Cfg) -> tuple[dict[str, str], dict[str, str]]:
    """Reads every parameter and backs up those read well through the library's backup
    (bak_<project>.ini): the values backed up, and why each other parameter was not.

    The library's own reading gives up on the first failure and prints whatever a get said, so
    each parameter is read on its own first, and only those read well (a value of at most
    VALUE_LIMIT bytes, no error output) go into the backup. The backup reads them again: one that
    fails then is left out, and the file written again without it.
    """
    unread = {name: why for name, why in map(not_kept, kit.read_params().items()) if why}
    whole = cfg.yml
    names = [obj["name"] for obj in whole["object"] if obj["name"] not in unread]
    while names:
        with configured(cfg, {**whole, "object": [obj for obj in whole["object"] if obj["name"] in names]}):
            values = dict(kit.backup_params())
        late = [name for name in names if name not in values or _too_long(values[name])]
        if not late:
            return values, unread
        unread.update(dict.fromkeys(late, "its value could not be read again for the backup"))
        names = [name for name in names if name not in late]
    return {}, unread


@contextlib.contextmanager
def configured(cfg: Cfg, yml: dict[str, Any]) -> Iterator[None]:
    """Within the block the process's configuration is `yml`: the compiled reader and applier
    take their parameters from it alone."""
    whole = cfg.yml
    cfg.yml = yml
    try:
        yield
    finally:
        cfg.yml = whole
