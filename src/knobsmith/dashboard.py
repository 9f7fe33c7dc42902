"""knobsmith dashboard: Optuna's dashboard over a run's study, read-only, and beside it a page of
what knobsmith knows that Optuna's view does not show (the baseline and its band, the confirmation
and its verdict, failures with their reasons, a fleet's workers). Both read the study's storage on
every request, so they follow a run while it goes on."""

from __future__ import annotations

import html
import json
import math
import os
import sys
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from socketserver import ThreadingMixIn
from typing import TYPE_CHECKING, Any
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

import yaml

from knobsmith.tuner import study as studies
from knobsmith.tuner.database import redacted
from knobsmith.tuner.failures import TuneError
from knobsmith.tuner.proposing import optuna_module

if TYPE_CHECKING:
    from knobsmith.tuner.results import Result

INSTALL = "pip install 'knobsmith[dashboard]'"
OWN_PAGE = "/knobsmith"
REFRESH_SECONDS = 5
# The dashboard can delete studies, tell trials and change their attributes: none of that is a
# viewer's to do to a run's record.
READ_ONLY = "knobsmith dashboard only shows the study; it changes nothing in it"
STAND_IN = ("Optuna's view shows a failed trial as infeasible (gray), with a stand-in value that was never "
            "measured: the worst measured before it, else the baseline.")
LOOPBACK = ("127.0.0.1", "::1", "localhost")


class MissingExtra(Exception):
    """The dashboard's package is not installed."""


@dataclass
class Source:
    storage: Any
    study: str
    folder: str | None  # the report folder beside the journal, whose best.yaml holds the run's ending


def source(path: str | None, url: str | None, name: str | None) -> Source:
    """The study named by a report folder or a journal file (`path`), or by a storage URL and a
    study name; a journal or storage holding one study needs no name."""
    try:
        import optuna_dashboard  # noqa: F401
    except ImportError:
        raise MissingExtra(f"the dashboard needs optuna-dashboard, which is not installed: {INSTALL}") from None
    if (path is None) == (url is None):
        raise TuneError("give a report folder or a journal file, or --storage URL (not both)")
    if url is not None:
        storage, folder, where = studies.database(url), None, redacted(url)
    else:
        assert path is not None
        journal = os.path.join(path, studies.JOURNAL) if os.path.isdir(path) else path
        if not os.path.isfile(journal):  # opening it would create it
            raise TuneError(f"{path} is neither a report folder of knobsmith tune (it has no {studies.JOURNAL}) "
                            "nor a journal file: give one, or --storage URL --study NAME")
        storage, folder, where = studies.journal_file(journal), os.path.dirname(os.path.abspath(journal)), journal
    found = studies.names(storage)
    held = ", ".join(found) or "none"
    if name is None:
        if len(found) != 1:
            raise TuneError(f"{where} holds {'no study' if not found else f'several studies ({held})'}: "
                            "--study NAME names the one to show")
        name = found[0]
    elif name not in found:
        raise TuneError(f"there is no study {name} in {where} (its studies: {held})")
    return Source(storage, name, folder)


# -- knobsmith's own page


def _summary(folder: str | None) -> tuple[dict[str, Any], str]:
    """The report folder's best.yaml as last written ({} when there is none yet), and why it
    could not be read."""
    path = None if folder is None else os.path.join(folder, "best.yaml")
    if path is None or not os.path.exists(path):
        return {}, ""
    try:
        with open(path, encoding="utf-8") as file:
            loaded = yaml.safe_load(file)
    except (OSError, yaml.YAMLError) as error:
        return {}, f"{path} could not be read: {error}"
    return (loaded, "") if isinstance(loaded, dict) else ({}, f"{path} is not a run's summary")


def result_of(study: Any, summary: dict[str, Any]) -> Result:
    """The study as knobsmith's report sees it: a fleet's from its stored settings, one host's
    from its stored baseline; the confirmation and verdict come from the run's summary."""
    from knobsmith.tuner import fleet
    from knobsmith.tuner.results import Confirmed, Result
    from knobsmith.tuner.trials import rows_of

    if fleet.stored_settings(study) is not None:
        return studies.fleet_result(study)
    stored = study.user_attrs
    baseline = stored.get("baseline")
    # The first direction: a --pareto study has one per objective.
    result = Result(str(summary.get("metric", "value")), study.directions[0].name.lower(),
                    float("nan") if baseline is None else float(baseline),
                    baseline_measurements=[float(value) for value in stored.get("baseline_measurements", [])])
    result.rows = rows_of(study)
    result.others = list(dict.fromkeys(name for row in result.rows for name in row.others))
    result.objectives = {str(name): str(direction) for name, direction in (summary.get("objectives") or {}).items()}
    result.confirmation = [Confirmed(str(entry["label"]), entry.get("trial"), dict(entry.get("values") or {}),
                                     [float(value) for value in entry.get("measurements") or []],
                                     str(entry.get("note", "")), broken=str(entry.get("out_of_bound", "")))
                           for entry in summary.get("confirmation") or [] if isinstance(entry, dict)]
    result.verdict = str(summary.get("verdict") or "")
    result.beyond_noise = summary.get("beyond_noise")
    # A confirmation that was judged has a verdict on the noise; one cut short has none, and no best comes of it.
    result.confirmation_cut_short = bool(result.confirmation) and result.beyond_noise is None
    result.stop_reason = str(summary.get("stopped_because", ""))
    return result


def _table(header: list[str], rows: Iterable[list[Any]]) -> str:
    cells = "".join("<tr>" + "".join(f"<td>{html.escape(str(cell))}</td>" for cell in row) + "</tr>" for row in rows)
    return "<table><tr>" + "".join(f"<th>{html.escape(name)}</th>" for name in header) + f"</tr>{cells}</table>"


def _plot(result: Result) -> str:
    """The metric over trials with the best so far and the baseline's band, as SVG."""
    done = [(row.number, float(row.value)) for row in result.rows if row.value is not None]
    band = result.baseline_measurements or ([] if math.isnan(result.baseline) else [result.baseline])
    if not done:
        return "<p>No trial has been measured yet.</p>"
    width, height, margin = 640.0, 260.0, 40.0
    values = [value for _, value in done] + band
    low, high = min(values), max(values)
    span = (high - low) or 1.0
    first, last = done[0][0], max(done[-1][0], done[0][0] + 1)

    def x(number: float) -> float:
        return margin + (number - first) / (last - first) * (width - 2 * margin)

    def y(value: float) -> float:
        return height - margin - (value - low) / span * (height - 2 * margin)

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width:g}" height="{height:g}" role="img">',
             f'<text x="{margin}" y="15" font-size="12">{html.escape(result.metric)} over trials: points, best so far '
             "(green), baseline and its band (gray), failed trials (red)</text>"]
    if band:
        top, bottom = y(max(band)), y(min(band))
        parts.append(f'<rect x="{margin}" y="{top:.1f}" width="{width - 2 * margin:g}" '
                     f'height="{max(bottom - top, 1):.1f}" fill="gray" opacity="0.3"/>')
    if not math.isnan(result.baseline):
        parts.append(f'<line x1="{margin}" x2="{width - margin:g}" y1="{y(result.baseline):.1f}" '
                     f'y2="{y(result.baseline):.1f}" stroke="gray" stroke-dasharray="4"/>')
    for row in result.rows:
        if row.state == "FAIL":
            parts.append(f'<line x1="{x(row.number):.1f}" x2="{x(row.number):.1f}" y1="{margin}" '
                         f'y2="{height - margin}" stroke="red" opacity="0.4"/>')
    pick = max if result.direction == "maximize" else min
    best, steps = None, []
    for number, value in done:
        best = value if best is None else pick(best, value)
        steps.append(f"{x(number):.1f},{y(best):.1f}")
    parts.append(f'<polyline points="{" ".join(steps)}" fill="none" stroke="green" stroke-width="2"/>')
    parts += [f'<circle cx="{x(number):.1f}" cy="{y(value):.1f}" r="3" fill="steelblue"/>' for number, value in done]
    parts += [f'<text x="{margin}" y="{height - 10}" font-size="11">trial {first} to {last}; '
              f"{result.metric} {low:g} to {high:g}</text>", "</svg>"]
    return "".join(parts)


def page(src: Source) -> str:
    """knobsmith's page of the study, as it stands."""
    from knobsmith.tuner import report

    optuna = optuna_module()
    study = optuna.load_study(study_name=src.study, storage=src.storage)
    summary, unread = _summary(src.folder)
    result = result_of(study, summary)
    study_id = src.storage.get_study_id_from_name(src.study)
    sections = [f"<h1>knobsmith: study {html.escape(src.study)}</h1>",
                f'<p>{html.escape(result.metric)} ({result.direction}); trials, plots and importance in '
                f'<a href="/dashboard/studies/{study_id}">Optuna\'s dashboard</a>. This page renews itself every '
                f"{REFRESH_SECONDS} seconds.</p>"]
    if unread:
        sections.append(f"<p>{html.escape(unread)}</p>")
    sections.append("<h2>Baseline</h2>")
    if result.workers:
        sections.append(_table(["worker", "host", "baseline", "trials", "completed", "best", "best trial"],
                               ([name, worker["host"], f"{worker['baseline']:g}", worker["trials"],
                                 worker["completed"], "-" if worker["best"] is None else f"{worker['best']:g}",
                                 "-" if worker["best_trial"] is None else worker["best_trial"]]
                                for name, worker in result.workers.items())))
    elif not math.isnan(result.baseline):
        band = result.baseline_measurements
        spread = f", its band {min(band):g} to {max(band):g} over {len(band)} runs" if len(band) > 1 else ""
        sections.append(f"<p>baseline {result.metric} = {result.baseline:g}{spread}</p>")
    else:
        sections.append("<p>not measured yet</p>")
    sections += ["<h2>Best</h2>", "<pre>" + html.escape("\n".join(report.best_lines(result)) or "none yet") + "</pre>",
                 _plot(result)]
    failures = [row for row in result.rows if row.state == "FAIL"]
    if failures:
        sections += ["<h2>Failures</h2>", _table(["trial", "why"], ([row.number, row.note] for row in failures)),
                     f"<p>{STAND_IN}</p>"]
    now = [trial.number for trial in study.get_trials(deepcopy=False, states=(optuna.trial.TrialState.RUNNING,))]
    sections += ["<h2>Trials</h2>", "<pre>" + html.escape(report.table(result)) + "</pre>"]
    if now:
        sections.append(f"<p>being measured now: trial {', '.join(map(str, now))}</p>")
    if result.stop_reason:
        sections.append(f"<p>stopped: {html.escape(result.stop_reason)}</p>")
    if summary:
        # Whatever else the run wrote of its ending (what was left applied, guardrails) as it wrote it.
        kept = yaml.safe_dump(summary, allow_unicode=True, sort_keys=False)
        sections.append("<details><summary>The report folder's best.yaml</summary>"
                        f"<pre>{html.escape(kept)}</pre></details>")
    return (f'<!DOCTYPE html><html><head><meta charset="utf-8"><meta http-equiv="refresh" content="{REFRESH_SECONDS}">'
            f"<title>knobsmith: {html.escape(src.study)}</title><style>body{{font-family:sans-serif;margin:2em}}"
            "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 8px}</style></head><body>"
            + "".join(sections) + "</body></html>")


# -- the server


StartResponse = Callable[..., Any]


def application(src: Source) -> Callable[[dict[str, Any], StartResponse], Iterable[bytes]]:
    """Optuna's dashboard, read-only, with knobsmith's page at OWN_PAGE."""
    from optuna_dashboard import wsgi

    dashboard = wsgi(src.storage)

    def app(environ: dict[str, Any], start_response: StartResponse) -> Iterable[bytes]:
        if environ.get("REQUEST_METHOD") not in ("GET", "HEAD"):
            return _respond(start_response, "405 Method Not Allowed", "application/json",
                            json.dumps({"reason": READ_ONLY}), [("Allow", "GET, HEAD")])
        if environ.get("PATH_INFO", "").rstrip("/") == OWN_PAGE:
            try:
                return _respond(start_response, "200 OK", "text/html; charset=utf-8", page(src))
            except Exception as error:  # the study mid-write, a database gone: said, and the next refresh retries
                return _respond(start_response, "503 Service Unavailable", "text/plain; charset=utf-8",
                                f"knobsmith: the study cannot be read now: {error}")
        return dashboard(environ, start_response)  # type: ignore[no-any-return]

    return app


def _respond(start_response: StartResponse, status: str, kind: str, body: str,
             headers: list[tuple[str, str]] | None = None) -> list[bytes]:
    data = body.encode("utf-8")
    start_response(status, [("Content-Type", kind), ("Content-Length", str(len(data))), *(headers or [])])
    return [data]


class _Server(ThreadingMixIn, WSGIServer):
    daemon_threads = True


class _Quiet(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:  # one line per request would bury the start line
        pass


def serve(src: Source, host: str, port: int, say: Callable[[str], None]) -> None:
    """Serves the dashboard until interrupted; `say` tells where to open it."""
    try:
        server = make_server(host, port, application(src), server_class=_Server, handler_class=_Quiet)
    except OSError as error:
        raise TuneError(f"the dashboard cannot listen on {host} port {port} ({error.strerror or error}): "
                        "--port N takes another") from None
    with server:
        bound = server.server_address[1]
        address = f"[{host}]" if ":" in host else host
        base = f"http://{address}:{bound}"
        study_id = src.storage.get_study_id_from_name(src.study)
        say(f"the dashboard of the study {src.study} is at {base}/dashboard/studies/{study_id} and knobsmith's "
            f"page of it at {base}{OWN_PAGE}; Ctrl-C stops it")
        if host not in LOOPBACK:
            say(f"warning: anyone who reaches {host} port {bound} sees the study, with no password; "
                "on an untrusted network bind 127.0.0.1 and use an SSH tunnel")
        sys.stderr.flush()
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            say("the dashboard stopped")
