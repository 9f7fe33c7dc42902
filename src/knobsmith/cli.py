"""The knobsmith command line: check, recommend, backup, apply, restore, diff, tune and report."""

from __future__ import annotations

import argparse
import errno
import json
import logging
import os
import signal
import sys
from collections.abc import Iterable
from typing import Any, Callable, NoReturn

from common.log import StandardErrorHandler
from knobsmith import __version__

SCENES = ("cpu", "io", "net", "mysql")


class CommandError(Exception):
    """A failure that the command line reports as one line and exit status 1."""


def _fail(message: str) -> NoReturn:
    raise CommandError(message)


def _load(config: str) -> Any:
    """The configuration reader holding `config`, validated; its own lines tell what is wrong."""
    from knobsmith.loadplan import Cfg

    cfg = Cfg()
    if not cfg.init(config):
        from knobsmith.yaml_errors import yaml_position

        # The reader's lines seldom say where a file stops being YAML: the parser's place follows.
        where = yaml_position(config)
        if where is not None:
            print(f"knobsmith: {where}", file=sys.stderr)
        _fail(f"{config} cannot be used (see the lines above)")
    from knobsmith.tuner.space_checks import fault

    refused = fault(cfg.yml)
    if refused:
        _fail(refused)
    _adopt_earlier_state(cfg, config)
    return cfg


def _adopt_earlier_state(cfg: Any, config: str, worker: str | None = None) -> str:
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
        _fail(str(error))
    where = _not_finite(settings, "")
    if where:
        _fail(f"{where}: NaN and infinity are not numbers the optimizer settings can hold; give a finite number")
    print(json.dumps(settings, ensure_ascii=False, indent=2, default=str))
    return 0


def _not_finite(value: Any, path: str) -> str:
    """Where in `value` a NaN or an infinity lies (JSON has neither); "" when nowhere."""
    import math

    if isinstance(value, float) and not math.isfinite(value):
        return path or "the settings"
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    for key, item in items:
        found = _not_finite(item, f"{path}[{key}]" if isinstance(key, int) else f"{path}.{key}".lstrip("."))
        if found:
            return found
    return ""


def _recommend(args: argparse.Namespace) -> int:
    from knobsmith.recommending.pipeline import recommend

    result = recommend(args.scene, probe=not args.no_probe, keep=args.keep, timeout=_limit(args), output=args.output)
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
    _tell(outcome.problems)
    if outcome.unconfirmed_names:
        _tell([f"not in effect as far as knobsmith knows: {', '.join(outcome.unconfirmed_names)}"])
    failed = outcome.failed_names
    if failed:
        _tell([f"{len(failed)} of {len(outcome.params)} parameters failed: {', '.join(failed)}"])
    return 1


def _apply(args: argparse.Namespace) -> int:
    from knobsmith.params import operations

    cfg = _load(args.config)
    pairs = operations.best_values(args.source) if args.source else []
    pairs += _assignments(args.assignments)
    if not pairs:
        _fail("nothing to apply: give NAME=VALUE or --from best.yaml")
    values = operations.values_of(cfg, args.config, pairs)
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
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    if not found.originals_kept:
        print(f"no original values are kept for {project} yet")
    return 0


def _state_key(cfg: Any, config: str, worker: str | None) -> tuple[str, str]:
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
        return
    if args.confirm:
        _fail("--confirm measures candidates again on one host; a fleet's workers apply the study's best: "
              "leave --confirm out with --study")
    if args.resume:
        _fail("a worker of a fleet joins, or rejoins, its study by itself: leave --resume out with --study")
    args.confirm = 0


class _Outliving:
    """A standard stream whose reader may go away (the terminal hung up, the reader of a pipe
    left): writing to it then stops, and nothing else does, so that a run still puts its values
    back and writes its report."""

    def __init__(self, stream: Any) -> None:
        self.stream = stream

    def write(self, text: str) -> int:
        try:
            return int(self.stream.write(text))
        except OSError as error:
            self._gone(error)
            return len(text)

    def flush(self) -> None:
        try:
            self.stream.flush()
        except OSError as error:
            self._gone(error)

    def _gone(self, error: OSError) -> None:
        if error.errno not in (errno.EPIPE, errno.EIO):
            raise error
        # What is left in the stream's buffer goes nowhere too, or the interpreter's last flush
        # would fail and change the exit status.
        try:
            null = os.open(os.devnull, os.O_WRONLY)
        except OSError:
            return
        try:
            os.dup2(null, self.stream.fileno())
        except (OSError, ValueError):
            pass
        os.close(null)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.stream, name)


def _outliving_the_terminal(command: Callable[[argparse.Namespace], int]) -> Callable[[argparse.Namespace], int]:
    """`command` with standard streams that outlive their reader: a run that loses its terminal
    still ends as it should. Once a stream is found gone, its descriptor leads nowhere, so later
    lines are lost without an error."""

    def run(args: argparse.Namespace) -> int:
        streams = sys.stdout, sys.stderr
        sys.stdout, sys.stderr = _Outliving(sys.stdout), _Outliving(sys.stderr)
        try:
            return command(args)
        finally:
            sys.stdout, sys.stderr = streams

    return run


def _within_the_command_limit(command: Callable[[argparse.Namespace], int]) -> Callable[[argparse.Namespace], int]:
    """`command` with its get and set commands held to --command-timeout, the backup put back at
    the end of an interrupted run included."""

    def run(args: argparse.Namespace) -> int:
        from knobsmith.params.operations import command_limit

        with command_limit(_limit(args)):
            return command(args)

    return run


@_outliving_the_terminal
@_within_the_command_limit
def _tune(args: argparse.Namespace) -> int:
    from knobsmith.params import signals
    from knobsmith.tuner import TuneError, fleet, report
    from knobsmith.tuner.loop import Options, TuningRun
    from knobsmith.tuner.measuring import Measurer, open_log

    def say(line: str) -> None:
        print(line, file=sys.stderr)

    _fleet_options(args)
    options = Options(config=args.config, seed=args.seed, restore=args.restore, storage=args.storage,
                      resume=args.resume, report=args.report, warmup=args.warmup, repeats=args.repeats,
                      confirm=args.confirm, confirm_rounds=args.confirm_rounds, max_failed=args.max_failed,
                      keep_within_noise=args.keep_within_noise, study=args.study, worker=args.worker,
                      relative=args.relative, heartbeat=args.heartbeat or fleet.HEARTBEAT,
                      reconnect=fleet.RECONNECT if args.reconnect is None else args.reconnect)
    try:
        run = TuningRun(options, say)
        run.after_trial = lambda result: report.write(run.folder, result, plot=False)
        if args.dry_run:
            print("\n".join(run.dry_run()))
            return 0
    except TuneError as error:
        _fail(str(error))
    # The run's end is told and written whole: a signal after the run (during the report's
    # plots, say) is only noted, so that the report on disk says what the terminal said.
    with signals.deferred() as noted:
        try:
            with signals.as_interrupts():
                os.makedirs(run.folder, exist_ok=True)
                with open_log(run.folder, "benchmark.log") as log:
                    result = run.run(Measurer(
                        run.cfg.get_benchmark_script(), run.metric_command, log,
                        benchmark_timeout=args.benchmark_timeout or None,
                        metric_timeout=_limit(args)))
        except BaseException as error:
            return _ended_early(run, error)
        print(report.table(result))
        print(f"stopped: {result.stop_reason}")
        _print_best(result)
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


def _print_best(result: Any) -> None:
    """The best configuration and its gain: from the confirmation when one was made."""
    best, chosen = result.best(), result.confirmed_best()
    if result.confirmation:
        baseline = result.confirmation[0]
        print("confirmation: " + "; ".join(
            f"{entry.label} {'-' if entry.value is None else format(entry.value, 'g')}"
            + (f" (spread {entry.spread:g})" if len(entry.measurements) > 1 else "")
            + (f" [{entry.note}]" if entry.note else "") for entry in result.confirmation))
        if chosen is not None and baseline.value is not None:
            gain = result.improvement(chosen.value, baseline.value)
            change = "" if gain is None else f", {gain:+.1f}% against the baseline {baseline.value:g} measured with it"
            said = "confirmed" if result.beyond_noise else "measured again"  # as the verdict says
            print(f"best: {chosen.label}, {result.metric} = {chosen.value:g} ({said}){change}")
            best_values = chosen.params
        else:
            best_values = best.params if best is not None else None
    elif best is not None and result.relative:
        print(f"best: trial {best.number}, {result.metric} = {best.value:g}, a gain over the baseline of worker "
              f"{best.worker}, its {result.raw_metric} {best.raw:g}")
        best_values = best.params
    elif best is not None:
        gain = result.improvement(best.value)
        change = "" if gain is None else f", {gain:+.1f}% against the baseline {result.baseline:g}"
        print(f"best: trial {best.number}, {result.metric} = {best.value:g}{change}")
        best_values = best.params
    else:
        best_values = None
    if best_values is not None:
        print("best values: " + ", ".join(f"{name}={value}" for name, value in best_values.items()))
    if result.verdict:
        print(f"verdict: {result.verdict}")


def _ended_early(run: Any, error: BaseException) -> int:
    """After Ctrl-C, SIGTERM, SIGHUP or an error mid-run: the backed-up values are put back (no
    signal cuts that short), the report of the trials so far is written, and the run says so."""
    from knobsmith.params import signals
    from knobsmith.tuner import TuneError, report

    with signals.deferred():
        print(f"knobsmith: {run.abort(error)}", file=sys.stderr)
        if run.result is not None:
            try:
                report.write(run.folder, run.result)
                print(f"knobsmith: the report of the trials so far: {run.folder}", file=sys.stderr)
            except Exception as failure:
                print(f"knobsmith: the report could not be written: {failure}", file=sys.stderr)
    if isinstance(error, KeyboardInterrupt):
        return signals.exit_status(error)
    if isinstance(error, TuneError):
        raise CommandError(str(error)) from None
    raise error


def _count(text: str) -> int:
    number = int(text)
    if number < 0:
        raise argparse.ArgumentTypeError(f"{text} is not a count (0 or more)")
    return number


def _positive(text: str) -> int:
    number = int(text)
    if number < 1:
        raise argparse.ArgumentTypeError(f"{text} is not 1 or more")
    return number


def _share(text: str) -> float:
    number = float(text)
    if not 0 <= number <= 1:
        raise argparse.ArgumentTypeError(f"{text} is not a share between 0 and 1")
    return number


def _seconds(text: str) -> float:
    number = float(text)
    if not number >= 0 or number == float("inf"):
        raise argparse.ArgumentTypeError(f"{text} is not a number of seconds (0 or more)")
    return number


def _study_report(args: argparse.Namespace) -> int:
    """The report of a fleet's whole study, read from its database."""
    import re

    from knobsmith.tuner import TuneError, fleet, importance, report
    from knobsmith.tuner.proposing import optuna_module, was_measured
    from knobsmith.tuner.trials import fleet_result

    try:
        optuna = optuna_module()
        storage = fleet.rdb_storage(optuna, args.storage)
        try:
            study = optuna.load_study(study_name=args.study, storage=storage)
        except KeyError:
            _fail(f"there is no study {args.study} in {fleet.redacted(args.storage)}")
        result = fleet_result(study)
    except (TuneError, ValueError) as error:
        _fail(str(error))
    result.importance = importance.rank(study)
    running = sum(map(fleet.in_flight, study.get_trials(deepcopy=False)))
    result.stop_reason = f"{sum(map(was_measured, study.get_trials(deepcopy=False)))} trials measured" + (
        f", {running} being measured now" if running else "")
    folder = os.path.abspath(args.report or "knobsmith-report-" + re.sub(r"[^A-Za-z0-9._-]", "_", args.study))
    print(report.table(result))
    for name, worker in result.workers.items():
        best = "-" if worker["best"] is None else f"{worker['best']:g} (trial {worker['best_trial']})"
        print(f"worker {name} on {worker['host']}: {worker['trials']} trials, baseline {worker['baseline']:g}, "
              f"best {best}")
    _print_best(result)
    report.write(folder, result)
    print(f"report: {folder}")
    return 0


def _parser() -> argparse.ArgumentParser:
    from knobsmith.tuner.failures import MAX_FAILED
    from knobsmith.tuner.fleet import HEARTBEAT, RECONNECT, STALE_AFTER

    parser = argparse.ArgumentParser(prog="knobsmith", description="Automatic parameter tuning of Linux hosts.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("--verbose", action="store_true", help="show debug lines")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    check = commands.add_parser("check", help="validate a tuning configuration and print its optimizer settings")
    check.add_argument("config", help="the tuning configuration (YAML)")
    check.set_defaults(run=_check)

    recommend = commands.add_parser("recommend", help="write a recommended configuration for a scene")
    recommend.add_argument("scene", choices=SCENES)
    recommend.add_argument("--output", metavar="DIR", help="folder for config.yaml (default: $KNOBSMITH_OUTPUT_DIR or here)")
    recommend.add_argument("--no-probe", action="store_true",
                           help="read no value and ask no server: write every entry that suits this machine's "
                           "memory and disks, with the database's ranges")
    recommend.add_argument("--keep", nargs="+", action="extend", default=[], metavar="NAME",
                           help="write these entries even when reading their value fails or the machine offers "
                           "none of their options")
    recommend.set_defaults(run=_recommend)

    backup = commands.add_parser("backup", help="read the current values and write bak_<project>.ini here")
    backup.add_argument("config", help="the tuning configuration (YAML)")
    backup.set_defaults(run=_backup)

    apply = commands.add_parser("apply", help="apply values through the parameters' set commands")
    apply.add_argument("config", help="the tuning configuration (YAML)")
    apply.add_argument("assignments", nargs="*", metavar="NAME=VALUE")
    apply.add_argument("--from", dest="source", metavar="best.yaml",
                       help="apply the values of a run's best.yaml (NAME=VALUE given too take precedence)")
    apply.add_argument("--dry-run", action="store_true", help="print the commands instead of running them")
    apply.add_argument("--log", metavar="FILE", help="the workload's output when it is restarted "
                       "(default knobsmith-workload-<project>.log)")
    apply.set_defaults(run=_apply)

    restore = commands.add_parser("restore", help="apply the values of a backup file through its own set commands")
    restore.add_argument("backup", metavar="BACKUP.ini|CONFIG",
                         help="a backup file, or a tuning configuration whose original values to put back")
    restore.add_argument("--config", help="the tuning configuration: read the values back, restart when needed")
    restore.add_argument("--originals", action="store_true",
                         help="put back the project's original values (the default for a configuration)")
    restore.add_argument("--log", metavar="FILE", help="the workload's output when it is restarted")
    restore.add_argument("--worker", metavar="NAME", help="the originals of this fleet worker (tune --worker)")
    restore.add_argument("--dry-run", action="store_true", help="print the commands instead of running them")
    restore.set_defaults(run=_restore)

    diff = commands.add_parser("diff", help="show current, original and last applied values side by side")
    diff.add_argument("config", help="the tuning configuration (YAML)")
    diff.add_argument("--worker", metavar="NAME", help="the originals of this fleet worker (tune --worker)")
    diff.set_defaults(run=_diff)

    tune = commands.add_parser("tune", help="run the tuning loop and apply the best values found")
    tune.add_argument("config", help="the tuning configuration (YAML)")
    tune.add_argument("--seed", type=int, default=1, help="seed of the sampler (default 1)")
    tune.add_argument("--restore", action="store_true", help="restore the backed-up values at the end")
    tune.add_argument("--dry-run", action="store_true", help="print the commands a first trial would run")
    tune.add_argument("--storage", metavar="URL", help="keep the study there, e.g. sqlite:///study.db, and resume "
                      "it when it exists (default: a journal file in the report folder)")
    tune.add_argument("--resume", action="store_true", help="go on with the study kept in the report folder")
    tune.add_argument("--report", metavar="DIR", help="report folder (default knobsmith-report-<project>)")
    tune.add_argument("--warmup", type=_count, default=0, metavar="N",
                      help="benchmark runs before the baseline, not recorded (default 0)")
    tune.add_argument("--repeats", type=_positive, default=1, metavar="N",
                      help="benchmark runs per trial; the metric is their median (default 1)")
    tune.add_argument("--confirm", type=_count, default=None, metavar="K",
                      help="measure the K best candidates again at the end, interleaved with the baseline, "
                      "and take the best from that (default 3; 0: no confirmation)")
    tune.add_argument("--confirm-rounds", type=_positive, default=3, metavar="N",
                      help="measurements of each candidate in the confirmation (default 3)")
    tune.add_argument("--max-failed", type=_share, default=MAX_FAILED, metavar="SHARE",
                      help="stop the run (exit 1) when more than this share of the iterations has failed "
                      f"(default {MAX_FAILED:g}); a failed trial only steers the search away, and after each one "
                      "the backed-up values are put back and checked: when they fail too, the run stops")
    tune.add_argument("--keep-within-noise", action="store_true",
                      help="leave the best values applied even when their gain is within the noise")
    tune.add_argument("--study", metavar="NAME", help="be a worker of the fleet tuning this study in --storage "
                      "(PostgreSQL or MySQL, e.g. postgresql://user@host/db): the budget, the trials and the best "
                      "are the whole fleet's")
    tune.add_argument("--worker", metavar="NAME", help="this worker's name in the study (default: the host's name); "
                      "its originals are kept apart under it, so that workers can share a machine")
    tune.add_argument("--relative", action="store_true", help="record each trial's gain in percent over its own "
                      "host's baseline, so that hosts that differ a little compare fairly")
    tune.add_argument("--heartbeat", type=_positive, default=None, metavar="SECONDS",
                      help=f"seconds between a worker's signs of life; a trial without one for {STALE_AFTER} times as "
                      f"long counts as abandoned (default {HEARTBEAT})")
    tune.add_argument("--benchmark-timeout", type=_seconds, default=None, metavar="SECONDS",
                      help="end the benchmark still running after SECONDS with everything it started, and count its "
                      "trial as failed (default: no limit of its own, since benchmarks often run for longer than a "
                      "get command's limit; it is always ended when the configuration's timeout is spent)")
    tune.add_argument("--reconnect", type=_seconds, default=None, metavar="SECONDS",
                      help="how long a worker tries to reach the study's database again when it cannot (a restart, "
                      "an outage), keeping what it measured meanwhile, before it puts its backed-up values back "
                      f"and stops (default {RECONNECT})")
    tune.set_defaults(run=_tune)

    report = commands.add_parser("report", help="write the report of a fleet's study, from any machine")
    report.add_argument("--storage", metavar="URL", required=True, help="where the study is kept")
    report.add_argument("--study", metavar="NAME", required=True, help="the study's name")
    report.add_argument("--report", metavar="DIR", help="report folder (default knobsmith-report-<study>)")
    report.set_defaults(run=_study_report)
    for runs_commands in (recommend, backup, apply, restore, diff, tune):
        runs_commands.add_argument("--command-timeout", type=float, default=60.0, metavar="SECONDS",
                                   help="end a get or set command (and in tune the metric's command) still running "
                                   "after SECONDS and count it as failed (default 60; 0: no limit)")
    return parser


class _CommandLineHandler(StandardErrorHandler):
    """Writes "LEVEL message" to standard error."""

    def __init__(self) -> None:
        super().__init__()
        self.setFormatter(logging.Formatter("%(levelname)s %(message)s"))


def _show_log_lines(level: int) -> None:
    logger = logging.getLogger("knobsmith")
    for handler in [h for h in logger.handlers if isinstance(h, _CommandLineHandler)]:
        logger.removeHandler(handler)
    logger.addHandler(_CommandLineHandler())
    logger.setLevel(level)


def main(argv: list[str] | None = None) -> int:
    from knobsmith.params import ParamsError

    args = _parser().parse_args(argv)
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
        print(f"knobsmith: {type(error).__name__}: {error}", file=sys.stderr)
    return 1
