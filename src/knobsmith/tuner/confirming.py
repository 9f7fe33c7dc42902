"""The confirmation at the end of a run: the best few candidates and the baseline are measured
again, interleaved, so that slow drift of the machine touches them all alike; the best and its
gain are taken from these measurements, and a gain counts only when it stands out of the noise."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from knobsmith.params.applying import Applier
from knobsmith.tuner.failures import TrialFailed
from knobsmith.tuner.guardrails import broken
from knobsmith.tuner.measuring import Measurer
from knobsmith.tuner.proposing import configuration
from knobsmith.tuner.results import Confirmed, Result, measured


def candidates(result: Result, count: int) -> list[Confirmed]:
    """The `count` best completed trials with distinct configurations, best first."""
    rows = sorted(result.completed(), key=lambda row: measured(row.value), reverse=result.direction == "maximize")
    picked: dict[Any, Confirmed] = {}
    for row in rows:
        if len(picked) == count:
            break
        picked.setdefault(configuration(row.params), Confirmed(f"trial {row.number}", row.number, dict(row.params)))
    return list(picked.values())


def beyond_noise(result: Result, best: Confirmed, baseline: Confirmed) -> bool:
    """Every measurement of `best` is better than every measurement of the baseline."""
    if result.direction == "maximize":
        return min(best.measurements) > max(baseline.measurements)
    return max(best.measurements) < min(baseline.measurements)


def confirm(result: Result, applier: Applier, measurer: Measurer, backup: dict[str, Any], *, count: int,
            rounds: int, say: Callable[[str], None], recover: Callable[[str], bool]) -> None:
    """Measures the baseline and the `count` best candidates `rounds` times each, interleaved,
    and fills `result.confirmation`, `result.verdict` and `result.beyond_noise`. A candidate
    that fails is ruled out; then `recover` (given what failed) puts the backed-up values back,
    and False from it ends the confirmation."""
    best = result.best()
    if best is None:
        return
    if not result.better(measured(best.value), result.baseline):
        result.beyond_noise = False
        result.verdict = "no trial measured better than the baseline"
        return
    entries = [Confirmed("baseline", None, dict(backup)), *candidates(result, count)]
    result.confirmation = entries
    say(f"confirming the {len(entries) - 1} best candidates against the baseline, {rounds} rounds interleaved")
    broke = interleave(entries, rounds, applier, measurer, "confirming", say=say, recover=recover)
    if broke:
        # Nothing is taken from a confirmation the system broke down in.
        result.confirmation_cut_short = True
        result.verdict = f"none: the backed-up values failed after {broke} failed"
        return
    for entry in entries[1:]:
        if not entry.note:
            entry.broken = broken(result.bounds, entry.others)
    _judge(result)


def interleave(entries: list[Confirmed], rounds: int, applier: Applier, measurer: Measurer, doing: str, *,
               say: Callable[[str], None], recover: Callable[[str], bool]) -> str:
    """Measures each of `entries` `rounds` times, interleaved, each round starting one entry further
    along, the other evaluations of each run kept in the entry's `others`. An entry that fails is
    measured no more (its note says why); after any but the first (the reference) `recover` puts the
    backed-up values back. Returns the label of the entry after which they failed too, which ends
    the measuring; "" when they never did."""
    for round_number in range(rounds):
        shift = round_number % len(entries)
        for entry in entries[shift:] + entries[:shift]:
            if entry.note:
                continue
            outcome = applier.apply(entry.params)
            try:
                if not outcome.ok:
                    raise TrialFailed("; ".join(outcome.problems))
                value, _ = measurer.measure(f"{doing} {entry.label}")
            except TrialFailed as failure:
                entry.note = str(failure)
                if entry is entries[0]:
                    continue
                say(f"{entry.label} was ruled out: {entry.note}")
                if not recover(entry.label):
                    return entry.label
                continue
            entry.measurements.append(value)
            for name, other in measurer.others.items():
                entry.others.setdefault(name, []).append(other)
    return ""


def _judge(result: Result) -> None:
    baseline = result.confirmation[0]
    chosen = result.confirmed_best()
    result.beyond_noise = False
    if not baseline.measurements:
        result.verdict = f"the baseline could not be measured again ({baseline.note}), so no gain is shown"
        return
    ruled_out = "".join(f"; {entry.label} was ruled out: {entry.note or entry.broken}"
                        for entry in result.confirmation[1:] if entry.note or entry.broken)
    if chosen is None or chosen.value is None or baseline.value is None:
        within = any(entry.broken for entry in result.confirmation[1:])
        result.verdict = ("no candidate kept the guardrails when measured again" if within
                          else "no candidate could be measured again") + ruled_out
        return
    gain = result.improvement(chosen.value, baseline.value)
    change = "" if gain is None else f", {gain:+.1f}%"
    result.beyond_noise = beyond_noise(result, chosen, baseline)
    said = ("beyond the noise" if result.beyond_noise else "not beyond the noise" if result.measured_better()
            else "not better than the baseline")
    result.verdict = (f"{chosen.label}: {result.metric} {chosen.value:g} (spread {chosen.spread:g}) against the "
                      f"baseline {baseline.value:g} (spread {baseline.spread:g}){change}, {said}{ruled_out}")
