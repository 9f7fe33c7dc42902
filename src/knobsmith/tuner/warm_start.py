"""Warm starts: the trials of earlier runs (a report folder, a journal file, a study at a URL)
given to a new study as what is known before it measures anything.

Each becomes a prior: a finished trial marked `prior` with the source it came from. The sampler
learns from it as from a trial measured here (one that failed there is infeasible), but it was
not measured here: it never counts in the budget, is never applied, and is never the best. The
best configuration of each source is queued to be measured first."""

from __future__ import annotations

import csv
import os
import statistics
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any

import yaml

from knobsmith.tuner import fleet as fleets
from knobsmith.tuner.database import first_line, redacted
from knobsmith.tuner.failures import TuneError
from knobsmith.tuner.labels import BROKEN, FAILURE, PRIOR, was_measured
from knobsmith.tuner.proposing import infeasibility, optuna_module, placeholder
from knobsmith.tuner.results import GAIN
from knobsmith.tuner.space import Suggest, outside, typed

GIVEN = "warm_starts"  # the study's attribute: the sources whose priors it holds, so a resumed run adds none twice
# The notes of trials.csv of a trial cut short: nothing was learned of its configuration.
CUT_SHORT_NOTES = ("cut short", "interrupted", "stopped by an error")


@dataclass
class Earlier:
    """A trial of a source, as it was measured there."""

    number: int
    params: dict[str, Any]
    value: float | None  # the metric, or a gain when the source's values are; None when it failed
    raw: float | None = None  # beside a gain, the metric itself
    failure: str = ""  # why it failed there
    broken: str = ""  # the guardrail it broke there


@dataclass
class Source:
    where: str  # as the report names it (a URL without its password)
    metric: str
    direction: str
    baseline: float | None  # None when it is not known
    gains: bool = False  # its values are gains in percent over the baseline of the host that measured them
    trials: list[Earlier] = field(default_factory=list)


# -- reading the sources


def read(given: Sequence[str], metric: str, direction: str, *, relative: bool) -> list[Source]:
    """The sources named on the command line, each checked against this run's metric: refused
    before anything runs when one cannot be read or measured something else."""
    sources = []
    for where in given:
        try:
            source = _read(where)
        except (OSError, ValueError, KeyError, TypeError, csv.Error, yaml.YAMLError) as error:
            raise TuneError(f"the warm-start source {_shown(where)} cannot be read: {first_line(error)}") from None
        # A gain is larger when better whatever the metric's direction: only the names must agree.
        if source.metric != metric or (not source.gains and source.direction != direction):
            raise TuneError(f"the warm-start source {source.where} measured {_said(source.metric, source.direction)}, "
                            f"this configuration measures {_said(metric, direction)}: give sources of the same "
                            "metric; nothing was run or changed")
        if relative and not source.gains and not source.baseline:
            raise TuneError(f"the warm-start source {source.where} has no baseline to state its trials as gains "
                            "over: leave --relative out; nothing was run or changed")
        sources.append(source)
    return sources


def _said(metric: str, direction: str) -> str:
    return f"{metric} ({'larger' if direction == 'maximize' else 'smaller'} is better)"


def _shown(where: str) -> str:
    """A source as messages and files name it: a URL without its password."""
    if "://" not in where:
        return where
    place, hashed, name = where.rpartition("#")
    return redacted(place) + f"#{name}" if hashed else redacted(where)


def _read(where: str) -> Source:
    """A report folder, a journal file, or a URL, each with `#STUDY` when it holds several studies."""
    if os.path.isdir(where):
        return _of_folder(where)
    if "://" not in where and os.path.isfile(where):
        return _of_journal(where, None)
    place, _, name = where.rpartition("#")
    if "://" in where:
        return _of_storage(place or where, name if place else None, _shown(where), None)
    if place and os.path.isfile(place):
        return _of_journal(place, name)
    raise TuneError(f"the warm-start source {where} is neither a report folder nor a journal file nor a "
                    "URL#STUDY; nothing was run or changed")


def _of_folder(folder: str) -> Source:
    with open(os.path.join(folder, "best.yaml"), encoding="utf-8") as stream:
        summary = yaml.safe_load(stream)
    column = str(summary["metric"])
    gains = "values_are" in summary  # a fleet's study of gains
    baseline = summary.get("run_baseline", summary.get("baseline"))
    source = Source(os.path.abspath(folder), column.removesuffix(GAIN) if gains else column,
                    str(summary["direction"]), None if baseline is None else float(baseline), gains)
    with open(os.path.join(folder, "trials.csv"), newline="", encoding="utf-8") as stream:
        for row in csv.DictReader(stream):
            note = row.get("note") or ""
            if row["state"] == "FAIL" and not note.startswith(CUT_SHORT_NOTES):
                source.trials.append(Earlier(int(row["trial"]), row, None, failure=note or "failed"))
            elif row["state"] == "COMPLETE" and row.get(column):  # not a repeat, nor a prior of its own run
                raw = row.get(source.metric) if gains else None
                broken = note.partition("out of bound: ")[2].partition(";")[0]
                source.trials.append(Earlier(int(row["trial"]), row, float(row[column]),
                                             float(raw) if raw else None, broken=broken))
    return source


def _of_journal(path: str, name: str | None) -> Source:
    from knobsmith.tuner.study import journal_file

    beside = os.path.join(os.path.dirname(os.path.abspath(path)), "best.yaml")
    return _of_storage(journal_file(path), name, os.path.abspath(path) + (f"#{name}" if name else ""), beside)


def _of_storage(storage: Any, name: str | None, where: str, beside: str | None) -> Source:
    """The study `name` of `storage` (its only one when None); `beside` is the best.yaml that may
    name the metric of a study that does not keep it."""
    optuna = optuna_module()
    if isinstance(storage, str):
        from knobsmith.tuner.study import database

        storage = database(storage)
    names = list(optuna.get_all_study_names(storage))
    if name is None and len(names) != 1:
        raise TuneError(f"the warm-start source {where} holds {len(names)} studies ({', '.join(names) or 'none'}): "
                        "name one as SOURCE#STUDY; nothing was run or changed")
    try:
        study = optuna.load_study(study_name=name or names[0], storage=storage)
    except KeyError:
        raise TuneError(f"there is no study {name} in the warm-start source {where} (it holds "
                        f"{', '.join(names) or 'none'}); nothing was run or changed") from None
    settings = fleets.stored_settings(study)
    if settings is not None:
        baselines = [member.baseline for member in fleets.members(study).values()]
        source = Source(where, settings.metric, settings.direction,
                        statistics.median(baselines) if baselines else None, settings.relative)
    else:
        metric = study.user_attrs.get("metric")
        if metric is None and beside is not None and os.path.isfile(beside):
            with open(beside, encoding="utf-8") as stream:
                metric = yaml.safe_load(stream)["metric"]
        if metric is None:
            raise TuneError(f"the warm-start source {where} does not say which metric it measured (a study of "
                            "an earlier version): give its report folder instead; nothing was run or changed")
        baseline = study.user_attrs.get("baseline")
        source = Source(where, str(metric), study.directions[0].name.lower(),
                        None if baseline is None else float(baseline))
    source.trials = of_trials(study.get_trials(deepcopy=False))
    return source


def of_trials(trials: Sequence[Any]) -> list[Earlier]:
    """The trials measured in a study: neither its own priors, nor repeats, nor those cut short."""
    found = []
    for trial in trials:
        if PRIOR in trial.user_attrs or not was_measured(trial):
            continue
        failure = str(trial.user_attrs.get(FAILURE, ""))
        raw = trial.user_attrs.get("raw")
        found.append(Earlier(trial.number, dict(trial.params), None if failure else trial.values[0],
                             None if raw is None else float(raw), failure, str(trial.user_attrs.get(BROKEN, ""))))
    return found


# -- giving them to the study


@dataclass
class Here:
    """What a source's trials are taken into: this run's space, backup and baseline."""

    space: Mapping[str, Suggest]
    described: dict[str, dict[str, Any]]
    backup: dict[str, Any]
    baseline: float
    direction: str
    relative: bool = False  # values are carried over as gains over each source's baseline

    def value(self, source: Source, trial: Earlier) -> float | None:
        """The value `trial` is told with here."""
        if not self.relative:
            return trial.raw if source.gains else trial.value
        if trial.value is None or source.baseline is None:
            return None
        gain = trial.value if source.gains else fleets.gain(trial.value, source.baseline, source.direction)
        sign = 1.0 if self.direction == "maximize" else -1.0
        return self.baseline + sign * gain / 100 * abs(self.baseline)

    def params(self, found: Mapping[str, Any]) -> tuple[dict[str, Any], str]:
        """`found`'s values of this configuration's parameters, a missing one the backed-up value;
        or why they cannot be taken."""
        shared = [name for name in self.space if found.get(name) not in (None, "")]
        if not shared:
            return {}, "it has none of this configuration's parameters"
        values = typed(self.described, {name: found[name] if name in shared else self.backup[name]
                                        for name in self.space})
        why = outside(self.described, values)
        backed_up = [name for name in self.space if name not in shared and why.startswith(f"{name}=")]
        return values, why + (" (the backed-up value of a parameter it lacks)" if backed_up else "")


def give(study: Any, sources: Sequence[Source], here: Here, say: Callable[[str], None]) -> None:
    """Adds the trials of `sources` to `study` as priors, and queues the best of each to be measured
    first. A trial with a value outside this configuration's space is dropped whole: its measurement
    belongs to that value, and moving it into the space would tell the sampler of a configuration
    nobody measured. A source given to the study before (a resumed run) is not added again."""
    optuna = optuna_module()
    given = list(study.user_attrs.get(GIVEN, []))
    distributions = _distributions(optuna, here.space)
    completed: list[tuple[Any, float, dict[str, Any]]] = []
    failed: list[tuple[dict[str, Any], dict[str, Any]]] = []
    firsts: list[tuple[float, dict[str, Any]]] = []
    sign = 1.0 if here.direction == "maximize" else -1.0
    for source in sources:
        if source.where in given:
            say(f"the warm-start source {source.where} was given to this study before: its trials are not added again")
            continue
        taken, dropped = 0, []
        best: tuple[float, dict[str, Any]] | None = None
        for trial in source.trials:
            values, why = here.params(trial.params)
            why = why or _unfit(distributions, values)
            value = here.value(source, trial)
            if not why and not trial.failure and value is None:
                why = "its value is not known as this run states values"
            if why:
                dropped.append(f"trial {trial.number}: {why}")
                continue
            attrs: dict[str, Any] = {PRIOR: f"{source.where} trial {trial.number}"}
            if trial.failure:
                failed.append((values, {**attrs, FAILURE: trial.failure}))
            else:
                if trial.broken:
                    attrs[BROKEN] = trial.broken
                elif value is not None and (best is None or sign * value > sign * best[0]):
                    best = (value, values)
                completed.append((attrs, float(value or 0.0), values))
            taken += 1
        say(f"warm start from {source.where}: {taken} of its {len(source.trials)} trials given to the sampler "
            "as priors, not measured here and not counted in the budget"
            + (f"; {len(dropped)} dropped ({dropped[0]})" if dropped else ""))
        given.append(source.where)
        if best is not None:
            firsts.append(best)
    for attrs, value, values in completed:
        _add(optuna, study, values, distributions, value, attrs)
    for values, attrs in failed:
        # As a failed trial of this run is told: the worst value known, and infeasible.
        _add(optuna, study, values, distributions, placeholder(study, here.direction, here.baseline), attrs)
    study.set_user_attr(GIVEN, given)
    queued: list[dict[str, Any]] = []
    for _, values in sorted(firsts, key=lambda first: -sign * first[0]):
        if values not in queued:
            study.enqueue_trial(values, user_attrs={"queued": "the best of a warm-start source"})
            queued.append(values)


def _distributions(optuna: Any, space: Mapping[str, Suggest]) -> dict[str, Any]:
    """Each parameter's distribution, as a trial of this configuration proposes it."""
    trial = optuna.create_study(sampler=optuna.samplers.RandomSampler()).ask()
    for suggest in space.values():
        suggest(trial)
    return dict(trial.distributions)


def _unfit(distributions: dict[str, Any], values: dict[str, Any]) -> str:
    """Why `values` are not values the study's distributions hold ("" when they are)."""
    for name, value in values.items():
        try:
            if distributions[name]._contains(distributions[name].to_internal_repr(value)):
                continue
        except ValueError:
            pass
        return f"{name}={value} is not a value this configuration proposes"
    return ""


def _add(optuna: Any, study: Any, values: dict[str, Any], distributions: dict[str, Any], value: float,
         attrs: dict[str, Any]) -> None:
    # The constraint a sampler's after_trial would have stored: TPE reads it from there.
    constraint = infeasibility(SimpleNamespace(user_attrs=attrs))
    study.add_trial(optuna.trial.create_trial(
        params=values, distributions=distributions, value=value,
        user_attrs=attrs, system_attrs={optuna.samplers._base._CONSTRAINTS_KEY: constraint}))
