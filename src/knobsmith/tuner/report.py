"""What a tuning run leaves behind: a table on the terminal and a report folder."""

from __future__ import annotations

import csv
import io
import os
import shutil
import textwrap
from typing import TYPE_CHECKING, Any

import yaml

from knobsmith.atomic_write import write_atomically
from knobsmith.tuner.guardrails import medians
from knobsmith.tuner.results import Confirmed, Result, Row, measured, spread
from knobsmith.tuner.space import typed

if TYPE_CHECKING:
    from knobsmith.tuner.minimizing import Minimal


def _cell(value: object) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def _repeated(result: Result) -> bool:
    return any(len(row.measurements) > 1 for row in result.rows)


def _tidy(value: float) -> float:
    """A difference of measurements without its floating-point dust (0.30000000000000004)."""
    return float(f"{value:.12g}")


def _fleet(result: Result) -> bool:
    return any(row.worker for row in result.rows)


OUT_OF_BOUND = "OUT OF BOUND"  # the table's state of a trial that broke a guardrail
PRIOR = "PRIOR"  # the state of a trial an earlier run measured, given to the sampler by a warm start


def table(result: Result, width: int | None = None) -> str:
    """The trials as a text table, the best one marked with * (the confirmed best, when the end of
    the run measured the candidates again). A fleet's table says which worker measured each, and
    beside gains, the metric itself. The other evaluations have columns of their own when the
    table still fits `width` (default the terminal's) with them."""
    with_others = _table(result, result.others)
    if not result.others:
        return with_others
    width = width or shutil.get_terminal_size().columns
    return with_others if max(map(len, with_others.splitlines())) <= width else _table(result, [])


def _table(result: Result, others: list[str]) -> str:
    names = list(_param_order(result))
    repeated = _repeated(result)
    fleet = _fleet(result)
    header = ["trial", *(["worker"] if fleet else []), "state", result.metric,
              *([result.raw_metric] if result.relative else []), *(["spread"] if repeated else []), *others, *names]
    chosen = None if result.objectives else _chosen(result)  # a front has no one best
    lines = [header]
    for row in result.rows:
        mark = "*" if chosen is not None and row.number == chosen[1] else ""
        spread = [_cell(_tidy(row.spread)) if len(row.measurements) > 1 else "-"] if repeated else []
        lines.append([f"{row.number}{mark}", *([row.worker or "-"] if fleet else []),
                      OUT_OF_BOUND if row.broken else row.state,
                      _cell(row.value) if row.repeats is None else f"as trial {row.repeats}",
                      *([_cell(row.raw)] if result.relative else []), *spread,
                      *(_cell(medians(row.others).get(name)) for name in others),
                      *(_cell(row.params.get(name)) for name in names)])
    widths = [max(len(line[column]) for line in lines) for column in range(len(header))]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(line, widths, strict=True)).rstrip()
                     for line in lines)


def best_lines(result: Any) -> list[str]:
    """The best configuration and its gain, as lines: from the confirmation when one was made."""
    if result.objectives:
        return _front_lines(result)
    lines: list[str] = []
    best, chosen = result.best(), result.confirmed_best()
    if result.confirmation:
        baseline = result.confirmation[0]
        lines.append("confirmation: " + "; ".join(
            f"{entry.label} {'-' if entry.value is None else format(entry.value, 'g')}"
            + (f" (spread {entry.spread:g})" if len(entry.measurements) > 1 else "")
            + (f" [{entry.note}]" if entry.note else "") for entry in result.confirmation))
        if chosen is not None and baseline.value is not None:
            gain = result.improvement(chosen.value, baseline.value)
            change = "" if gain is None else f", {gain:+.1f}% against the baseline {baseline.value:g} measured with it"
            said = "confirmed" if result.beyond_noise else "measured again"  # as the verdict says
            lines.append(_best_line(result.better(chosen.value, baseline.value), "no candidate",
                                    f"{chosen.label}, {result.metric} = {chosen.value:g} ({said}){change}"))
            best_values = chosen.params
        else:
            best_values = best.params if best is not None else None
    elif best is not None and result.relative:
        lines.append(_best_line(result.better(best.value, result.baseline), "no trial",
                                f"trial {best.number}, {result.metric} = {best.value:g}, a gain over the baseline "
                                f"of worker {best.worker}, its {result.raw_metric} {best.raw:g}"))
        best_values = best.params
    elif best is not None:
        gain = result.improvement(best.value)
        change = "" if gain is None else f", {gain:+.1f}% against the baseline {result.baseline:g}"
        lines.append(_best_line(result.better(best.value, result.baseline), "no trial",
                                f"trial {best.number}, {result.metric} = {best.value:g}{change}"))
        best_values = best.params
    else:
        best_values = None
    if best_values is not None:
        lines.append("best values: " + ", ".join(f"{name}={value}" for name, value in best_values.items()))
        if result.others:
            lines.append("best's other evaluations: " + _evaluations_line(result))
    if result.verdict:
        lines.append(f"verdict: {result.verdict}")
    if result.minimal is not None:
        lines.append(minimal_line(result.metric, result.minimal))
    return lines


def _best_line(beat: bool, none: str, said: str) -> str:
    """The best's line; where it did not beat the baseline, saying so first."""
    if beat:
        return f"best: {said}"
    return f"best: {none} beat the baseline; the closest: {said}"


def _objectives(result: Result, row: Row) -> dict[str, float]:
    """A trial's value in each objective of --pareto."""
    found = medians(row.others)
    return {name: float(measured(row.value)) if index == 0 else found[name]
            for index, name in enumerate(result.objectives)}


def _front_lines(result: Result) -> list[str]:
    front = result.front()
    directions = ", ".join(f"{name} ({'larger' if direction == 'maximize' else 'smaller'} is better)"
                           for name, direction in result.objectives.items())
    lines = [f"Pareto front of {directions}: {len(front)} trial{'s' if len(front) != 1 else ''}"]
    for row in front:
        values = ", ".join(f"{name} {value:g}" for name, value in _objectives(result, row).items())
        lines.append(f"  trial {row.number}: {values}; " + ", ".join(f"{name}={value}"
                                                                    for name, value in row.params.items()))
    return lines


def _evaluations_line(result: Result) -> str:
    found = _evaluations(result)
    evaluations, baseline = found["best_evaluations"], found["baseline_evaluations"]
    bounds = result.bounds
    return ", ".join(f"{name} {_cell(evaluations.get(name))}"
                     + (f" ({bounds[name].describe()})" if name in bounds else "")
                     + (f", baseline {baseline[name]:g}" if name in baseline else "") for name in result.others)


def _pairs(values: dict[str, Any]) -> str:
    return ", ".join(f"{name}={value}" for name, value in values.items()) or "none"


def minimal_line(metric: str, minimal: Minimal) -> str:
    """The smallest change that keeps the gain, in one line, with the benchmark runs it took."""
    spent = f"{minimal.runs} more benchmark run{'s' if minimal.runs != 1 else ''}"
    if not minimal.complete:
        why = minimal.note or "the search was cut short"
        return f"smallest change: not found ({why}); {spent}"
    measured = minimal.measured
    kept = (f"; {metric} {measured.without.value:g} against the best's {measured.best.value:g} measured with it"
            if measured is not None and measured.without.value is not None and measured.best.value is not None
            else "")
    return (f"smallest change: {_pairs(minimal.changed)} ({len(minimal.changed)} of "
            f"{len(minimal.changed) + len(minimal.reverted)} changed knobs); put back: {_pairs(minimal.reverted)}"
            f"{kept}; {spent}")


def _param_order(result: Result) -> dict[str, None]:
    order: dict[str, None] = {}
    for row in result.rows:
        order.update(dict.fromkeys(row.params))
    return order


def _of_confirmation(result: Result) -> bool:
    """Whether the best and its baseline are the confirmation's (it measured both)."""
    confirmed = result.confirmed_best()
    return confirmed is not None and confirmed.value is not None and result.confirmation[0].value is not None


def _chosen(result: Result) -> tuple[float, int | None, dict[str, Any], float] | None:
    """The best configuration as (value, trial, values, baseline to compare it with): the
    confirmation's, when it measured both a candidate and the baseline, else the search's."""
    confirmed = result.confirmed_best()
    if _of_confirmation(result):
        assert confirmed is not None and confirmed.value is not None and result.confirmation[0].value is not None
        return confirmed.value, confirmed.number, confirmed.params, result.confirmation[0].value
    best = result.best()
    if best is None or best.value is None:
        return None
    return best.value, best.number, best.params, result.baseline


def _write(path: str, data: str | bytes) -> None:
    write_atomically(path, data, private=False)


def write(folder: str, result: Result, *, plot: bool = True) -> None:
    """trials.csv, best.yaml and (with `plot`) metric.png, evaluations.png when there are
    evaluations after the objective, and importance.png when the importances are known, in `folder`."""
    os.makedirs(folder, exist_ok=True)
    _write(os.path.join(folder, "trials.csv"), _trials_csv(result))
    _write(os.path.join(folder, "best.yaml"), yaml_text(_summary(result)))
    if plot:
        _write(os.path.join(folder, "metric.png"), _metric_plot(result))
        if result.others:
            _write(os.path.join(folder, "evaluations.png"), _evaluations_plot(result))
        if result.objectives:
            _write(os.path.join(folder, "pareto.png"), _pareto_plot(result))
        if result.importance:
            _write(os.path.join(folder, "importance.png"), _importance_plot(result))


def yaml_text(summary: dict[str, Any]) -> str:
    return yaml.safe_dump(summary, allow_unicode=True, sort_keys=False)


def _trials_csv(result: Result) -> str:
    names = list(_param_order(result))
    # A value that did not take gets a column of what was in effect instead.
    differed = [name for name in names if any(name in row.in_effect for row in result.rows)]
    text = io.StringIO()
    writer = csv.writer(text)
    fleet = _fleet(result)
    writer.writerow(["trial", *(["worker"] if fleet else []), "state", result.metric,
                     *([result.raw_metric] if result.relative else []), "spread", "measurements", *result.others,
                     *names,
                     *(f"{name} in effect" for name in differed), "note"])
    for row in result.rows:
        writer.writerow([row.number, *([row.worker] if fleet else []), row.state,
                         "" if row.value is None else row.value,
                         *(["" if row.raw is None else row.raw] if result.relative else []),
                         _tidy(row.spread) if len(row.measurements) > 1 else "",
                         " ".join(str(value) for value in row.measurements),
                         *(medians(row.others).get(name, "") for name in result.others),
                         *(row.params.get(name, "") for name in names),
                         *(row.in_effect.get(name, "") for name in differed), _note(result, row)])
    return text.getvalue()


def _note(result: Result, row: Row) -> str:
    """The row's note, why it is not a configuration of the space in force, and why the
    confirmation ruled it out."""
    why, ruled_out = result.outside(row), result.ruled_out(row)
    return "; ".join(filter(None, [row.note, row.broken and f"out of bound: {row.broken}",
                                   why and f"outside the configuration's space: {why}",
                                   ruled_out and f"ruled out in the confirmation: {ruled_out}"]))


def _summary(result: Result) -> dict[str, Any]:
    chosen = _chosen(result)
    summary: dict[str, Any] = {"metric": result.metric, "direction": result.direction}
    summary.update(_baseline(result, chosen))
    if chosen is None:
        summary.update(best=None, improvement_percent=None, best_trial=None, values={})
    else:
        value, number, params, baseline = chosen
        summary.update(best=value, improvement_percent=_rounded(result.improvement(value, baseline)),
                       best_trial=number, values=dict(params))
    if result.others:
        summary.update(_evaluations(result))
    if result.objectives:
        summary["objectives"] = dict(result.objectives)
        summary["pareto_front"] = [{"trial": row.number, "objectives": _objectives(result, row),
                                    "values": dict(row.params)} for row in result.front()]
    if result.confirmation:
        summary["confirmation"] = [_confirmed(entry, result.space) for entry in result.confirmation]
    if result.confirmation or result.verdict:
        summary["verdict"] = result.verdict
        summary["beyond_noise"] = result.beyond_noise
    if result.importance:
        summary["importance"] = {name: float(value) for name, value in result.importance.items()}
    if result.minimal is not None:
        summary["minimal"] = minimal_summary(result.minimal)
    if result.relative:
        summary["values_are"] = "gains in percent over the baseline of the worker that measured them"
    if result.workers:
        summary["workers"] = {name: dict(worker) for name, worker in result.workers.items()}
    if result.sampler:
        summary["sampler"] = result.sampler
    summary["stopped_because"] = result.stop_reason
    if result.ending is not None or not result.workers:  # a fleet's study has no one host's ending
        summary["left_applied"] = "(the run has not ended)" if result.ending is None else result.ending.describe()
    return summary


def _baseline(result: Result, chosen: tuple[float, int | None, dict[str, Any], float] | None) -> dict[str, Any]:
    """The baseline the gain is stated against, which one it is, and the run's own when they differ."""
    of_confirmation = chosen is not None and _of_confirmation(result)
    measurements = result.confirmation[0].measurements if of_confirmation else result.baseline_measurements
    found: dict[str, Any] = {
        "baseline": chosen[3] if chosen is not None else result.baseline,
        "baseline_of": "the confirmation, measured with the best" if of_confirmation else "the run, before its trials",
    }
    if len(measurements) > 1:
        found["baseline_spread"] = _tidy(spread(measurements))
    if of_confirmation:
        found["run_baseline"] = result.baseline
    return found


def _confirmed(entry: Confirmed, space: dict[str, dict[str, Any]]) -> dict[str, Any]:
    item: dict[str, Any] = {
        "label": entry.label,
        "trial": entry.number,
        "values": typed(space, entry.params),
        "median": entry.value,
        "spread": _tidy(entry.spread) if len(entry.measurements) > 1 else None,
        "measurements": [float(value) for value in entry.measurements],
    }
    if entry.others:
        item["evaluations"] = {name: {"median": median, "measurements": [float(value) for value in entry.others[name]]}
                               for name, median in medians(entry.others).items()}
    if entry.note:
        item["note"] = entry.note
    if entry.broken:
        item["out_of_bound"] = entry.broken
    return item


def _evaluations(result: Result) -> dict[str, Any]:
    """The guardrails, and the other evaluations of the baseline and of the best (its confirmation's
    medians, when it was confirmed; the baseline's then too, as the gain's)."""
    chosen = _chosen(result)
    best: dict[str, float] = {}
    if chosen is not None:
        confirmed = result.confirmed_best()
        measured = (confirmed.others if confirmed is not None and confirmed.number == chosen[1] else
                    next((row.others for row in result.rows if row.number == chosen[1]), {}))
        best = medians(measured)
    return {"guardrails": {name: bound.stored() for name, bound in result.bounds.items()},
            "baseline_evaluations": medians(result.confirmation[0].others if _of_confirmation(result)
                                            else result.baseline_others), "best_evaluations": best}


def _measured(entry: Confirmed, prefix: str = "") -> dict[str, Any]:
    return {f"{prefix}median": entry.value, f"{prefix}measurements": [float(value) for value in entry.measurements]}


def minimal_summary(minimal: Minimal) -> dict[str, Any]:
    """best.yaml's `minimal:`: the knobs left changed and those put back, the values that `apply
    --minimal` applies, the measurements of the smallest change, and every step."""
    item: dict[str, Any] = {"complete": minimal.complete}
    if minimal.note:
        item["note"] = minimal.note
    item.update(changed=dict(minimal.changed), put_back=dict(minimal.reverted), values=dict(minimal.values))
    if minimal.measured is not None:
        item.update(_measured(minimal.measured.without), **_measured(minimal.measured.best, "best_"))
    item["benchmark_runs"] = minimal.runs
    item["steps"] = [{"put_back": step.knob, "kept_changed": step.kept, "verdict": step.verdict,
                      **_measured(step.without), **_measured(step.best, "best_")} for step in minimal.steps]
    return item


def _rounded(value: float | None) -> float | None:
    return None if value is None else round(value, 2)


# -- plots


def _pyplot() -> Any:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot

    return pyplot


def _png(figure: Any) -> bytes:
    data = io.BytesIO()
    figure.savefig(data, format="png")
    _pyplot().close(figure)
    return data.getvalue()


def _metric_plot(result: Result) -> bytes:
    """The metric of every trial (median, and the range of its repeats), the best so far and the
    baseline; beside them, when the end of the run confirmed the candidates, every measurement of
    the confirmation against the baseline measured with them."""
    pyplot = _pyplot()
    confirming = bool(result.confirmation)
    figure = pyplot.figure(figsize=(10 if confirming else 8, 4.8), dpi=100, layout="constrained")
    if confirming:
        axes, side = figure.subplots(1, 2, sharey=True, width_ratios=[3, max(1.2, 0.45 * len(result.confirmation))])
    else:
        axes, side = figure.subplots(), None
    _trials_panel(axes, result)
    if side is not None:
        _confirmation_panel(side, result)
        figure.suptitle(textwrap.fill(f"confirmation: {result.verdict or '(no verdict)'}", 110), fontsize=9)
    return _png(figure)


def _trials_panel(axes: Any, result: Result) -> None:
    from matplotlib.ticker import MaxNLocator

    done = [row for row in result.rows if row.value is not None and row.state != PRIOR]
    priors = [(row.number, row.value) for row in result.rows if row.value is not None and row.state == PRIOR]
    if priors:  # apart: measured elsewhere, in no best so far
        axes.plot(*zip(*priors, strict=True), "x", color="gray", alpha=0.6,
                  label="prior (an earlier run's, not measured here)")
    if done:
        numbers = [row.number for row in done]
        values = [float(row.value) for row in done if row.value is not None]  # all of them
        # From the lowest to the highest repeat, the median being the point.
        below = [max(0.0, value - min(row.measurements or [value])) for row, value in zip(done, values, strict=True)]
        above = [max(0.0, max(row.measurements or [value]) - value) for row, value in zip(done, values, strict=True)]
        if result.relative:  # the repeats are of the metric, the points gains
            below = above = [0.0] * len(values)
        workers = sorted({row.worker for row in done if row.worker})
        if len(workers) > 1:
            # A fleet's trials in a color per worker.
            for index, worker in enumerate(workers):
                own = [(number, value) for number, value, row in zip(numbers, values, done, strict=True)
                       if row.worker == worker]
                axes.plot([number for number, _ in own], [value for _, value in own], "o",
                          color=f"C{index % 10}", label=f"{result.metric}, worker {worker}")
        elif any(below) or any(above):
            axes.errorbar(numbers, values, yerr=[below, above], fmt="o", color="tab:blue", ecolor="tab:blue",
                          elinewidth=1, capsize=3, alpha=0.9, label=f"{result.metric} (median, range of repeats)")
        else:
            axes.plot(numbers, values, "o", color="tab:blue", label=result.metric)
        pick = max if result.direction == "maximize" else min
        best_so_far = [pick(values[: index + 1]) for index in range(len(values))]
        axes.step(numbers, best_so_far, where="post", color="tab:green", label="best so far")
    _repeats(axes, result)
    failed = [row.number for row in result.rows if row.state == "FAIL"]
    for number in failed:
        axes.axvline(number, color="tab:red", alpha=0.25, linewidth=1)
    axes.axhline(result.baseline, color="gray", linestyle="--", label="baseline, before the trials")
    if len(result.baseline_measurements) > 1:
        axes.axhspan(min(result.baseline_measurements), max(result.baseline_measurements), color="gray", alpha=0.15,
                     linewidth=0, label="baseline's range")
    axes.set_xlabel("trial")
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    better = "larger" if result.direction == "maximize" else "smaller"
    axes.set_ylabel(f"{result.metric} ({better} is better)")
    plural = "s" if len(failed) > 1 else ""
    axes.set_title("knobsmith tuning run" + (f" ({len(failed)} failed trial{plural} in red)" if failed else ""))
    axes.legend(loc="best", fontsize=8)
    axes.grid(alpha=0.3)


def _repeats(axes: Any, result: Result) -> None:
    """Trials that repeated a measured configuration, at the value of the trial they repeat."""
    values = {row.number: row.value for row in result.rows if row.value is not None}
    shown = [(row.number, values[row.repeats]) for row in result.rows
             if row.repeats is not None and row.repeats in values]
    if shown:
        axes.plot([number for number, _ in shown], [value for _, value in shown], "o", markerfacecolor="none",
                  color="gray", label="repeats an earlier trial (not run again)")


def _confirmation_panel(axes: Any, result: Result) -> None:
    entries = result.confirmation
    baseline = entries[0]
    if baseline.measurements:
        low, high = min(baseline.measurements), max(baseline.measurements)
        if high > low:
            axes.axhspan(low, high, color="gray", alpha=0.15, linewidth=0)
        axes.axhline(baseline.value, color="gray", linestyle="--", linewidth=1)
    chosen = result.confirmed_best()
    labels = []
    for position, entry in enumerate(entries):
        labels.append(entry.label if entry.measurements else f"{entry.label}\n(not measured)")
        if not entry.measurements:
            continue
        count = len(entry.measurements)
        # Side by side rather than on top of each other when several measurements are equal.
        offsets = [(index - (count - 1) / 2) * min(0.08, 0.5 / count) for index in range(count)]
        color = "gray" if position == 0 else "tab:green" if entry is chosen else "tab:blue"
        axes.plot([position + offset for offset in offsets], entry.measurements, "o", color=color, alpha=0.6,
                  markersize=4)
        axes.plot([position], [entry.value], "_", color=color, markersize=24, markeredgewidth=2.5)
    axes.set_xticks(range(len(entries)), labels, rotation=30 if len(entries) > 4 else 0, fontsize=8)
    axes.set_xlim(-0.6, len(entries) - 0.4)
    axes.set_title("confirmation (each run; bar: median)", fontsize=9)
    axes.grid(alpha=0.3, axis="y")


def _evaluations_plot(result: Result) -> bytes:
    """Each evaluation after the objective, one panel each: every trial's median (those that broke
    a guardrail in red), the baseline's and the bound."""
    pyplot = _pyplot()
    figure = pyplot.figure(figsize=(8, 1.2 + 2.6 * len(result.others)), dpi=100, layout="constrained")
    panels = figure.subplots(len(result.others), 1, sharex=True, squeeze=False)[:, 0]
    for axes, name in zip(panels, result.others, strict=True):
        done = [(row.number, medians(row.others)[name], bool(row.broken)) for row in result.rows
                if row.others.get(name)]
        for broke, color, label in ((False, "tab:blue", name), (True, "tab:red", "out of bound")):
            points = [(number, value) for number, value, out in done if out == broke]
            if points:
                axes.plot(*zip(*points, strict=True), "o", color=color, label=label)
        baseline = medians(result.baseline_others).get(name)
        if baseline is not None:
            axes.axhline(baseline, color="gray", linestyle="--", label="baseline")
        bound = result.bounds.get(name)
        if bound is not None:
            axes.axhline(bound.limit, color="tab:red", linestyle=":", label=f"bound ({bound.describe()})")
        axes.set_ylabel(name)
        axes.legend(loc="best", fontsize=8)
        axes.grid(alpha=0.3)
    panels[-1].set_xlabel("trial")
    panels[0].set_title("the other evaluations of every trial")
    return _png(figure)


def _pareto_plot(result: Result) -> bytes:
    """The first two objectives of every completed trial, the front's joined."""
    pyplot = _pyplot()
    figure, axes = pyplot.subplots(figsize=(7, 5), dpi=100, layout="constrained")
    names = list(result.objectives)[:2]
    rows = result.completed()
    front = result.front()
    for chosen, style, label in ((rows, "o", "trial"), (front, "o-", "Pareto front")):
        points = [(_objectives(result, row)[names[0]], _objectives(result, row)[names[-1]]) for row in chosen]
        if points:
            axes.plot(*zip(*sorted(points), strict=True), style, color="tab:green" if chosen is front else "tab:blue",
                      alpha=1 if chosen is front else 0.5, label=label)
    for row in front:
        values = _objectives(result, row)
        axes.annotate(str(row.number), (values[names[0]], values[names[-1]]), fontsize=8,
                      textcoords="offset points", xytext=(4, 4))
    for axis, name in ((axes.set_xlabel, names[0]), (axes.set_ylabel, names[-1])):
        better = "larger" if result.objectives[name] == "maximize" else "smaller"
        axis(f"{name} ({better} is better)")
    axes.set_title("the Pareto front (trial numbers); apply one with --trial N")
    axes.legend(loc="best", fontsize=8)
    axes.grid(alpha=0.3)
    return _png(figure)


def _importance_plot(result: Result) -> bytes:
    pyplot = _pyplot()
    ranked = list(result.importance.items())
    figure, axes = pyplot.subplots(figsize=(7, 1.2 + 0.4 * len(ranked)), dpi=100, layout="constrained")
    names = [name for name, _ in reversed(ranked)]  # barh draws upwards: the most important on top
    values = [value for _, value in reversed(ranked)]
    bars = axes.barh(names, values, color="tab:blue")
    axes.bar_label(bars, labels=[f"{value:.2f}" for value in values], padding=3, fontsize=8)
    axes.set_xlim(0, max(max(values), 1e-9) * 1.15)
    axes.set_xlabel("importance (share of the total)")
    axes.set_title("which parameters mattered for the best trials")
    axes.grid(alpha=0.3, axis="x")
    return _png(figure)

