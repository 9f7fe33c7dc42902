"""The knobsmith command line: check, recommend, backup, apply, restore, diff, tune, minimize, report and
dashboard."""

from __future__ import annotations

import argparse
import json
import logging
import os
import signal
import sys
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, NoReturn

from common.log import StandardErrorHandler
from knobsmith.outliving import outliving_the_terminal

if TYPE_CHECKING:
    from knobsmith.loadplan import Cfg


class CommandError(Exception):
    """A failure that the command line reports as one line and exit status 1."""


def _fail(message: str) -> NoReturn:
    raise CommandError(message)


def _load(config: str) -> Any:
    """The configuration reader holding `config`, validated; its own lines tell what is wrong."""
    from knobsmith import messages
    from knobsmith.loadplan import Cfg

    messages.about(config)
    cfg = Cfg()
    if not cfg.init(config):
        from knobsmith.yaml_errors import yaml_position

        # The reader's lines seldom say where a file stops being YAML: the parser's place follows
        # (the English of those lines says it already).
        where = yaml_position(config) if messages.chinese() else None
        if where is not None:
            print(f"knobsmith: {where}", file=sys.stderr)
        _fail(f"{config} cannot be used (see the lines above)")
    from knobsmith.tuner.space_checks import fault, unknown_keys

    refused = fault(cfg.yml)
    if refused:
        _fail(refused)
    _tell(f"warning: {line}" for line in unknown_keys(cfg.yml))
    _adopt_earlier_state(cfg, config)
    return cfg


def _adopt_earlier_state(cfg: Cfg, config: str, worker: str | None = None) -> str:
    """The name of the folder of the values kept for `config` (see state.key), after moving there
    the folder an earlier version kept for it."""
    from knobsmith.params import state

    key, moved = state.own_folder(cfg.get_project(), config, worker)
    if moved:
        print(f"knobsmith: {moved}", file=sys.stderr)
    return key


def _check(args: argparse.Namespace) -> int:
    cfg = _load(args.config)
    try:
        settings = cfg.get_optimizer_info()
    except (NameError, ZeroDivisionError, ValueError, TypeError) as error:
        from knobsmith.messages import render

        _fail(render(str(error)))
    from knobsmith.tuner.space_checks import not_finite

    where = not_finite(settings)
    if where:
        _fail(f"{where}: NaN and infinity are not numbers the optimizer settings can hold; give a finite number")
    from knobsmith.tuner.proposing import random_starts

    # What tune's sampler will do, not the library's own rule.
    settings["random_starts"] = random_starts(settings["max_eval"])
    print(json.dumps(settings, ensure_ascii=False, indent=2, default=str))
    return 0


def _recommend(args: argparse.Namespace) -> int:
    from knobsmith.recommending.pipeline import recommend

    result = recommend(args.scene, probe=not args.no_probe, keep=args.keep, timeout=_limit(args), output=args.output,
                       host=args.host)
    for name in result.unknown_keep:
        print(f"knobsmith: warning: --keep {name}: the scene {args.scene} has no such entry", file=sys.stderr)
    if result.detection is not None:
        if result.detection.server is not None:
            print(f"knobsmith: the database server is {result.detection.server}", file=sys.stderr)
        else:
            print(f"knobsmith: no database server could be asked: {result.detection.error}", file=sys.stderr)
    if not result.written:
        _fail(f"no recommendation written for the scene {args.scene}")
    assert result.notes is not None
    left_out = len(result.notes.left_out)
    if left_out:
        print(f"knobsmith: {len(result.entries)} entries written, {left_out} left out "
              "(the top of config.yaml says why)", file=sys.stderr)
    if result.notes.host_wide:
        print(f"knobsmith: {len(result.notes.host_wide)} host-wide (kernel) entries not written: --host writes them "
              "too", file=sys.stderr)
    print(result.path)
    return 0


def _limit(args: argparse.Namespace) -> float | None:
    """The limit of a get or set command, in seconds; None: no limit."""
    return args.command_timeout if args.command_timeout > 0 else None


def _tell(lines: Iterable[str]) -> None:
    for line in lines:
        print(f"knobsmith: {line}", file=sys.stderr)


def _backup(args: argparse.Namespace) -> int:
    from knobsmith.params import operations

    cfg = _load(args.config)
    done = operations.backup(cfg, args.config, timeout=_limit(args))
    _tell(f"{name} could not be read: {why}" for name, why in done.unread.items())
    if not done.values:
        _fail("no value could be read, so no backup was written")
    for name, value in done.values.items():
        print(f"{name} = {value}")
    print(done.path)
    _tell(done.told)
    if done.unread:
        _fail(f"backed up {len(done.values)} of {len(cfg.yml['object'])} parameters; "
              f"not backed up: {', '.join(done.unread)}")
    return 0


def _assignments(pairs: list[str]) -> list[tuple[str, str]]:
    parsed = []
    for pair in pairs:
        name, equals, text = pair.partition("=")
        if not equals or not name:
            _fail(f"{pair!r} is not NAME=VALUE")
        parsed.append((name, text))
    return parsed


def _report(done: Any, dry_run: bool, said: str) -> int:
    """Says what an application did: `said` when every value was applied (and read back, when it
    was), else every parameter that failed with its error; the exit status."""
    _tell(done.told)
    status = 1 if done.left_out else 0
    outcome = done.outcome
    if outcome is None:  # a dry run, or nothing left to apply
        if dry_run and done.values:
            print("\n".join(done.commands))
        return status
    if outcome.restarted:
        print("the workload was restarted")
    if outcome.ok:
        print(said)
        return status
    _tell(outcome.failure_lines())
    return 1


def _apply(args: argparse.Namespace) -> int:
    from knobsmith.params import operations

    cfg = _load(args.config)
    if args.minimal and not args.source:
        _fail("--minimal applies the smallest change kept in a best.yaml: give it with --from best.yaml")
    if args.trial is not None and not args.source:
        _fail("--trial N picks a trial of a best.yaml's Pareto front: give --from best.yaml too")
    if args.trial is not None and args.minimal:
        _fail("--trial N applies a trial of the Pareto front and --minimal the smallest change: give one of them")
    values = operations.minimal_values(cfg, args.config, args.source) if args.minimal else {}
    pairs = operations.best_values(args.source, args.trial) if args.source and not args.minimal else []
    values.update(operations.values_of(cfg, args.config, pairs + _assignments(args.assignments)))
    if not values:
        _fail("nothing to apply: give NAME=VALUE or --from best.yaml")
    done = operations.apply(cfg, args.config, values, log=args.log, dry_run=args.dry_run, timeout=_limit(args))
    count = len(values)
    return _report(done, args.dry_run, f"applied {count} parameter{'s' if count != 1 else ''} (read back)")


def _restore(args: argparse.Namespace) -> int:
    from knobsmith.params import operations

    backup, config = args.backup, args.config
    if args.originals or not backup.endswith(".ini"):
        return _restore_originals(args, backup if config is None else config)
    cfg = None if config is None else _load(config)
    done = operations.restore_backup(backup, cfg, config, log=args.log, dry_run=args.dry_run, timeout=_limit(args))
    count = len(done.values)
    said = f"restored {count} parameter{'s' if count != 1 else ''} from {backup}"
    if config is None:
        said += "\nnot read back: give the tuning configuration (--config) to check the values and restart the workload"
    else:
        said += " (read back)"
    return _report(done, args.dry_run, said)


def _restore_originals(args: argparse.Namespace, config: str) -> int:
    """Puts back the values kept as the originals of the configuration file, through its commands."""
    from knobsmith.params import operations

    cfg = _load(config)
    project, key = _state_key(cfg, config, args.worker)
    done = operations.restore_originals(cfg, config, key, project, log=args.log, dry_run=args.dry_run,
                                        timeout=_limit(args))
    count = len(done.values)
    return _report(done, args.dry_run,
                   f"restored the {count} original value{'s' if count != 1 else ''} of {project} (read back)")


def _diff(args: argparse.Namespace) -> int:
    """Current, original and last applied values side by side."""
    from knobsmith.params import operations

    cfg = _load(args.config)
    project, key = _state_key(cfg, args.config, args.worker)
    rows = [["parameter", "current", "original", "last applied"]]
    found = operations.diff(cfg, key, timeout=_limit(args))
    rows += found.rows
    widths = [max(len(row[column]) for row in rows) for column in range(4)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)).rstrip())
    if not found.originals_kept:
        print(f"no original values are kept for {project} yet")
    if found.unread:
        return 2
    return 1 if found.differing else 0


def _state_key(cfg: Cfg, config: str, worker: str | None) -> tuple[str, str]:
    """The project's name, or a fleet worker's, and the name of the folder where the originals of
    `config` are kept for it."""
    from knobsmith.params import state
    from knobsmith.tuner import TuneError, fleet

    try:
        worker = None if worker is None else fleet.check_worker_name(worker)
    except TuneError as error:
        _fail(str(error))
    return state.worker_key(cfg.get_project(), worker), _adopt_earlier_state(cfg, config, worker)


def _fleet_options(args: argparse.Namespace) -> None:
    """The options of a fleet's worker need --study, and a worker has no confirmation of its own."""
    if args.study is None:
        given = [flag for flag, value in (("--worker", args.worker), ("--relative", args.relative),
                                          ("--heartbeat", args.heartbeat), ("--reconnect", args.reconnect))
                 if value not in (None, False)]
        if given:
            _fail(f"{', '.join(given)} belong{'s' if len(given) == 1 else ''} to a worker of a fleet: "
                  "--study NAME --storage URL names its study")
        if args.confirm is None:
            args.confirm = 3
        if args.minimal and not args.confirm:
            _fail("--minimal starts from the best the confirmation measured: leave --confirm 0 out")
        if args.minimal and args.pareto:
            _fail("--minimal starts from one confirmed best and --pareto confirms none: give one of them")
        return
    if args.pareto:
        _fail("--pareto reports the front of one host's run; a fleet's workers share one objective: "
              "leave --pareto out with --study")
    if args.confirm:
        _fail("--confirm measures candidates again on one host; a fleet's workers apply the study's best: "
              "leave --confirm out with --study")
    if args.minimal:
        _fail("--minimal measures on one host from the confirmed best; a fleet's workers have no confirmation: "
              "run knobsmith minimize on a host afterwards")
    if args.resume:
        _fail("a worker of a fleet joins, or rejoins, its study by itself: leave --resume out with --study")
    if args.reconfirm:
        _fail("--reconfirm runs the confirmation of a single host's study again; a fleet's workers have none: "
              "leave --reconfirm out with --study")
    args.confirm = 0


def _within_the_command_limit(command: Callable[[argparse.Namespace], int]) -> Callable[[argparse.Namespace], int]:
    """`command` with its get and set commands held to --command-timeout, the backup put back at
    the end of an interrupted run included."""

    def run(args: argparse.Namespace) -> int:
        from knobsmith.params.operations import command_limit

        with command_limit(_limit(args)):
            return command(args)

    return run


@outliving_the_terminal
@_within_the_command_limit
def _tune(args: argparse.Namespace) -> int:
    from knobsmith.params import signals
    from knobsmith.tuner import TuneError, fleet, report, running
    from knobsmith.tuner.plan import Options
    from knobsmith.tuner.runs import tuning_run

    def say(line: str) -> None:
        print(line, file=sys.stderr)

    _fleet_options(args)
    from knobsmith import messages

    messages.about(args.config)
    options = Options(config=args.config, seed=args.seed, restore=args.restore, storage=args.storage,
                      resume=args.resume, reconfirm=args.reconfirm, report=args.report, warmup=args.warmup,
                      repeats=args.repeats, confirm=args.confirm, confirm_rounds=args.confirm_rounds,
                      max_failed=args.max_failed, keep_within_noise=args.keep_within_noise, minimal=args.minimal,
                      pareto=args.pareto, study=args.study, worker=args.worker, relative=args.relative,
                      heartbeat=args.heartbeat or fleet.HEARTBEAT,
                      reconnect=fleet.RECONNECT if args.reconnect is None else args.reconnect)
    try:
        run = tuning_run(options, say)
        run.after_trial = lambda result: report.write(run.folder, result, plot=False)
        if args.dry_run:
            print("\n".join(run.dry_run()))
            return 0
        ended = run.ended_already()
        if ended:
            _tell([ended])
            return 0
    except TuneError as error:
        _fail(str(error))
    # The run's end is told and written whole: a signal after the run (during the report's
    # plots, say) is only noted, so that the report on disk says what the terminal said.
    with signals.deferred() as noted:
        try:
            result = running.measure(run, benchmark_timeout=args.benchmark_timeout or None, metric_timeout=_limit(args))
        except BaseException as error:
            return _ended_early(run, error)
        print(report.table(result))
        print(f"stopped: {result.stop_reason}")
        for line in report.best_lines(result):
            print(line)
        assert result.ending is not None
        print("left applied: " + result.ending.describe())
        report.write(run.folder, result)
        print(f"report: {run.folder}")
    if noted:
        print(f"knobsmith: {signal.Signals(noted[0]).name} came as the run ended; it had ended and its report "
              "is complete", file=sys.stderr)
    if result.failed:
        print(f"knobsmith: the run failed: {result.stop_reason}", file=sys.stderr)
    elif not result.ending.done:
        print(f"knobsmith: {result.ending.wanted} could not be left applied", file=sys.stderr)
    return 1 if result.failed or not result.ending.done else 0


@outliving_the_terminal
@_within_the_command_limit
def _minimize(args: argparse.Namespace) -> int:
    from knobsmith.params import signals
    from knobsmith.tuner import TuneError, report
    from knobsmith.tuner.minimizing import on_finished_run

    try:
        done = on_finished_run(args.config, args.source, rounds=args.confirm_rounds,
                               say=lambda line: print(line, file=sys.stderr),
                               benchmark_timeout=args.benchmark_timeout or None, metric_timeout=_limit(args))
    except TuneError as error:
        _fail(str(error))
    minimal, ending = done.result.minimal, done.ending
    assert minimal is not None
    print(report.minimal_line(done.result.metric, minimal))
    print("left applied: " + ending.describe())
    print(f"report: {args.source}")
    if done.interrupted is not None:
        print(f"knobsmith: interrupted; left applied: {ending.describe()}", file=sys.stderr)
        return signals.exit_status(done.interrupted)
    if not ending.done:
        print(f"knobsmith: {ending.wanted} could not be left applied", file=sys.stderr)
    elif not minimal.complete:
        print(f"knobsmith: no smallest change was found: {minimal.note}", file=sys.stderr)
    return 0 if minimal.complete and ending.done else 1


def _ended_early(run: Any, error: BaseException) -> int:
    """Tells how a run ended early (see running.end_early); the exit status, or the error."""
    from knobsmith.params import signals
    from knobsmith.tuner import TuneError, running

    running.end_early(run, error, lambda line: _tell([line]), print)
    if isinstance(error, KeyboardInterrupt):
        return signals.exit_status(error)
    if isinstance(error, TuneError):
        raise CommandError(str(error)) from None
    raise error


def _study_report(args: argparse.Namespace) -> int:
    """The report of a fleet's whole study, read from its database."""
    import re

    from knobsmith.tuner import TuneError, report
    from knobsmith.tuner.study import fleet_result, fleet_study

    try:
        result = fleet_result(fleet_study(args.storage, args.study))
    except TuneError as error:
        _fail(str(error))
    folder = os.path.abspath(args.report or "knobsmith-report-" + re.sub(r"[^A-Za-z0-9._-]", "_", args.study))
    print(report.table(result))
    for name, worker in result.workers.items():
        best = "-" if worker["best"] is None else f"{worker['best']:g} (trial {worker['best_trial']})"
        print(f"worker {name} on {worker['host']}: {worker['trials']} trials, baseline {worker['baseline']:g}, "
              f"best {best}")
    for line in report.best_lines(result):
        print(line)
    report.write(folder, result)
    print(f"report: {folder}")
    return 0


def _dashboard(args: argparse.Namespace) -> int:
    from knobsmith import dashboard
    from knobsmith.tuner import TuneError

    try:
        dashboard.serve(dashboard.source(args.source, args.storage, args.study), args.host, args.port,
                        lambda line: _tell([line]))
    except dashboard.MissingExtra as error:
        print(f"knobsmith: {error}", file=sys.stderr)
        return 2
    except TuneError as error:
        _fail(str(error))
    return 0


class _CommandLineHandler(StandardErrorHandler):
    """Writes "LEVEL message" to standard error, the message in the user's language."""

    def format(self, record: logging.LogRecord) -> str:
        from knobsmith.messages import render

        return f"{record.levelname} {render(record.getMessage())}"


def _show_log_lines(level: int) -> None:
    logger = logging.getLogger("knobsmith")
    for handler in [h for h in logger.handlers if isinstance(h, _CommandLineHandler)]:
        logger.removeHandler(handler)
    logger.addHandler(_CommandLineHandler())
    logger.setLevel(level)


def main(argv: list[str] | None = None) -> int:
    from knobsmith.arguments import parser
    from knobsmith.params import ParamsError

    args = parser({"check": _check, "recommend": _recommend, "backup": _backup, "apply": _apply, "restore": _restore,
                   "diff": _diff, "tune": _tune, "minimize": _minimize, "report": _study_report,
                   "dashboard": _dashboard}).parse_args(argv)
    _show_log_lines(logging.DEBUG if args.verbose else logging.INFO)
    try:
        return int(args.run(args))
    except ParamsError as error:
        _tell([*error.told, str(error)])
    except CommandError as error:
        print(f"knobsmith: {error}", file=sys.stderr)
    except KeyboardInterrupt:
        print("knobsmith: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # a clear line, never a traceback
        from knobsmith.messages import render

        print(f"knobsmith: {type(error).__name__}: {render(str(error))}", file=sys.stderr)
    return 1
