"""What a tuning run leaves behind: a table on the terminal and a report folder."""

from __future__ import annotations

import csv
import os
import yaml

from knobsmith.tuner.results import Result


def _cell(value: object) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def table(result: Result) -> str:
    """The trials as a text table, the best one marked with *."""
    names = list(_param_order(result))
    header = ["trial", "state", result.metric, *names]
    best = result.best()
    lines = [header]
    for row in result.rows:
        mark = "*" if best is not None and row is best else ""
        lines.append([f"{row.number}{mark}", row.state, _cell(row.value), *(_cell(row.params.get(name)) for name in names)])
    widths = [max(len(line[column]) for line in lines) for column in range(len(header))]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in lines)


def _param_order(result: Result) -> dict[str, None]:
    order: dict[str, None] = {}
    for row in result.rows:
        order.update(dict.fromkeys(row.params))
    return order


def write(folder: str, result: Result, *, plot: bool = True) -> None:
    """trials.csv, best.yaml and (with `plot`) metric.png in `folder`."""
    os.makedirs(folder, exist_ok=True)
    names = list(_param_order(result))
    # A value that did not take gets a column of what was in effect instead.
    differed = [name for name in names if any(name in row.in_effect for row in result.rows)]
    with open(os.path.join(folder, "trials.csv"), "w", newline="", encoding="utf-8") as stream:
        writer = csv.writer(stream)
        writer.writerow(["trial", "state", result.metric, *names, *(f"{name} in effect" for name in differed), "note"])
        for row in result.rows:
            writer.writerow([row.number, row.state, "" if row.value is None else row.value,
                             *(row.params.get(name, "") for name in names),
                             *(row.in_effect.get(name, "") for name in differed), row.note])
    best = result.best()
    summary = {
        "metric": result.metric,
        "direction": result.direction,
        "baseline": result.baseline,
        "best": None if best is None else best.value,
        "improvement_percent": None if best is None else _rounded(result.improvement(best.value)),
        "best_trial": None if best is None else best.number,
        "values": {} if best is None else dict(best.params),
        "stopped_because": result.stop_reason,
        "left_applied": "(the run has not ended)" if result.ending is None else result.ending.describe(),
    }
    with open(os.path.join(folder, "best.yaml"), "w", encoding="utf-8") as stream:
        yaml.safe_dump(summary, stream, allow_unicode=True, sort_keys=False)
    if plot:
        _plot(os.path.join(folder, "metric.png"), result)


def _rounded(value: float | None) -> float | None:
    return None if value is None else round(value, 2)


def _plot(path: str, result: Result) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.ticker import MaxNLocator

    done = [row for row in result.rows if row.value is not None]
    figure, axes = pyplot.subplots(figsize=(8, 4.5), dpi=100)
    if done:
        numbers = [row.number for row in done]
        values = [row.value for row in done]
        pick = max if result.direction == "maximize" else min
        best_so_far = [pick(values[: index + 1]) for index in range(len(values))]
        axes.plot(numbers, values, "o", color="tab:blue", label=result.metric)
        axes.step(numbers, best_so_far, where="post", color="tab:green", label="best so far")
    failed = [row.number for row in result.rows if row.state == "FAIL"]
    for number in failed:
        axes.axvline(number, color="tab:red", alpha=0.25, linewidth=1)
    axes.axhline(result.baseline, color="gray", linestyle="--", label="baseline")
    axes.set_xlabel("trial")
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    better = "larger" if result.direction == "maximize" else "smaller"
    axes.set_ylabel(f"{result.metric} ({better} is better)")
    axes.set_title("knobsmith tuning run" + (f" ({len(failed)} failed trials in red)" if failed else ""))
    axes.legend(loc="best")
    axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)
