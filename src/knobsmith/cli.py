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
    from knobsmith.tuner import state

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
    from common.config import Config
    from knobsmith.recommending.pipeline import recommend

    if args.output is not None:
        os.makedirs(args.output, mode=0o700, exist_ok=True)
        os.environ["KNOBSMITH_OUTPUT_DIR"] = os.path.abspath(args.output)
    timeout = args.command_timeout if args.command_timeout > 0 else None
    result = recommend(args.scene, probe=not args.no_probe, keep=args.keep, timeout=timeout)
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
    print(Config().get_output_path() + "config.yaml")
    return 0


def _backup(args: argparse.Namespace) -> int:
    from knobsmith.stagekit import StageKit
    from knobsmith.tuner.applying import back_up

    cfg = _load(args.config)
    names = [obj["name"] for obj in cfg.yml["object"]]
    values, unread = back_up(StageKit(), cfg)
    for name, why in unread.items():
        print(f"knobsmith: {name} could not be read: {why}", file=sys.stderr)
    if not values:
        _fail("no value could be read, so no backup was written")
    for name, value in values.items():
        print(f"{name} = {value}")
    print(os.path.abspath(f"bak_{cfg.get_project()}.ini"))
    _keep_originals(cfg, values, args.config, unread)
    if unread:
        _fail(f"backed up {len(values)} of {len(names)} parameters; not backed up: {', '.join(unread)}")
    return 0


def _refuse_unsafe(what: str, values: dict[str, Any], infos: dict[str, Any]) -> None:
    """Stops an application of values read from the system or a file before any of them runs
    when one could be read as shell syntax: a partial application would leave a mix."""
    from knobsmith.tuner import shellsafe

    refused = shellsafe.refusals(values, infos)
    for refusal in refused[:-1]:
        print(f"knobsmith: {what} refused: {refusal}", file=sys.stderr)
    if refused:
        _fail(f"{what} refused: {refused[-1]}; nothing was applied")


def _keep_originals(cfg: Any, values: dict[str, Any], config: str, unread: Iterable[str] = ()) -> None:
    """The first value knobsmith reads of each parameter becomes its original, kept for good."""
    from knobsmith.tuner import shellsafe, state

    for line in state.keep_originals(state.key(cfg.get_project(), config), values, config,
                                     shellsafe.declarations(cfg), unread):
        print(f"knobsmith: {line}", file=sys.stderr)


def _keep_originals_before_change(cfg: Any, config: str) -> None:
    """Before a change, reads every parameter that has no original yet, to keep it."""
    from knobsmith.stagekit import StageKit
    from knobsmith.tuner import state
    from knobsmith.tuner.applying import not_kept

    kept = state.originals(state.key(cfg.get_project(), config)) or {}
    missing = [obj["name"] for obj in cfg.yml["object"] if obj["name"] not in kept]
    if not missing:
        return
    readings = StageKit().read_params(missing)
    unread = [name for name, why in map(not_kept, readings.items()) if why]
    _keep_originals(cfg, {name: reading["value"] for name, reading in readings.items() if name not in unread},
                    config, unread)


def _number(text: str, dtype: str) -> int | float:
    convert: Callable[[str], int | float] = int if dtype == "int" else float
    try:
        return convert(text)
    except ValueError:
        _fail(f"{text!r} is not {'an integer' if dtype == 'int' else 'a number'}")


def _converted(info: dict[str, Any], name: str, text: str) -> Any:
    """`text` as a value of the parameter, or a CommandError saying why it cannot be one."""
    dtype = info.get("dtype")
    value: Any = text if dtype == "string" else _number(text, dtype)
    options = info.get("options")
    if isinstance(options, list) and options and dtype == "string" and value not in options:
        _fail(f"{name}: {text!r} is not one of {', '.join(map(str, options))}")
    scope = info.get("scope")
    if dtype != "string" and isinstance(scope, list) and len(scope) == 2:
        low, high = scope
        if not low <= value <= high:
            _fail(f"{name}: {text} is outside [{low}, {high}]")
    return value


def _from_report(path: str) -> list[tuple[str, str]]:
    """The values of a run's best.yaml, as NAME=VALUE pairs to check like any other."""
    import yaml

    try:
        with open(path, encoding="utf-8") as stream:
            summary = yaml.safe_load(stream)
    except (OSError, UnicodeDecodeError, yaml.YAMLError) as error:
        _fail(f"{path} cannot be read: {str(error).splitlines()[0]}")
    values = summary.get("values") if isinstance(summary, dict) else None
    if not isinstance(values, dict) or not values:
        _fail(f"{path} holds no values (a best.yaml of a run that completed a trial has them)")
    return [(str(name), str(value)) for name, value in values.items()]


def _assignments(pairs: list[str]) -> list[tuple[str, str]]:
    parsed = []
    for pair in pairs:
        name, equals, text = pair.partition("=")
        if not equals or not name:
            _fail(f"{pair!r} is not NAME=VALUE")
        parsed.append((name, text))
    return parsed


def _workload(cfg: Any, log_path: str) -> Any:
    from knobsmith.tuner import TuneError
    from knobsmith.tuner.workload import Workload

    try:
        return Workload.from_config(cfg, log_path)
    except TuneError as error:
        _fail(str(error))


def _apply_values(cfg: Any, values: dict[str, Any], log_path: str, dry_run: bool, verify: bool = True) -> Any:
    """Applies `values` in the order the workload needs (or prints the commands): the outcome."""
    from knobsmith.stagekit import StageKit
    from knobsmith.tuner.applying import Applier, planned_commands

    workload = _workload(cfg, log_path)
    if dry_run:
        print("\n".join(planned_commands(cfg, workload, values)))
        return None
    return Applier(StageKit(), cfg, workload).apply(values, verify=verify)


def _report(outcome: Any, done: str, key: str | None = None, by: str = "") -> int:
    """Says what an application did: `done` when every value was applied (and read back, when it
    was), else every parameter that failed with its error; the exit status. Values read back are
    noted as the last applied ones of the state folder `key` when it is given."""
    from knobsmith.tuner import state

    if outcome.restarted:
        print("the workload was restarted")
    if outcome.ok:
        if key is not None:
            state.record_applied(key, {name: entry.requested for name, entry in outcome.params.items()}, by)
        print(done)
        return 0
    for problem in outcome.problems:
        print(f"knobsmith: {problem}", file=sys.stderr)
    if outcome.unconfirmed_names:
        print(f"knobsmith: not in effect as far as knobsmith knows: {', '.join(outcome.unconfirmed_names)}",
              file=sys.stderr)
    failed = outcome.failed_names
    if failed:
        print(f"knobsmith: {len(failed)} of {len(outcome.params)} parameters failed: {', '.join(failed)}",
              file=sys.stderr)
    return 1


def _apply(args: argparse.Namespace) -> int:
    from knobsmith.tuner import state

    cfg = _load(args.config)
    infos = {obj["name"]: obj["info"] for obj in cfg.yml["object"]}
    values = {}
    pairs = _from_report(args.source) if args.source else []
    pairs += _assignments(args.assignments)
    if not pairs:
        _fail("nothing to apply: give NAME=VALUE or --from best.yaml")
    for name, text in pairs:
        if name not in infos:
            _fail(f"{name} is not a parameter of {args.config}")
        values[name] = _converted(infos[name], name, text)
    if not args.dry_run:
        _keep_originals_before_change(cfg, args.config)
    outcome = _apply_values(cfg, values, args.log or f"knobsmith-workload-{cfg.get_project()}.log", args.dry_run)
    if outcome is None:
        return 0
    count = len(values)
    key = state.key(cfg.get_project(), args.config)
    return _report(outcome, f"applied {count} parameter{'s' if count != 1 else ''} (read back)", key, "apply")


def _read_backup(path: str) -> list[tuple[str, str, str]]:
    """(name, value, set command) of every parameter of a backup file, in file order."""
    from knobsmith.tuner import backup_file

    try:
        return backup_file.read(path)
    except backup_file.BackupFileError as error:
        _fail(str(error))


def _restore(args: argparse.Namespace) -> int:
    from knobsmith.loadplan import Cfg
    from knobsmith.stagekit import StageKit

    backup, config = args.backup, args.config
    if args.originals or not backup.endswith(".ini"):
        return _restore_originals(args, backup if config is None else config)
    objects: dict[str, Any] = {}
    base: dict[str, Any] = {"startworkload": "", "stopworkload": ""}
    if config is not None:
        loaded = _load(config)
        objects = {obj["name"].lower(): obj for obj in loaded.yml["object"]}
        base = dict(loaded.yml)
    entries = _read_backup(backup)
    # The values first: one the shell could read as syntax stops the whole restore.
    _refuse_unsafe("restore", {name: value for name, value, _ in entries if config is None or name in objects},
                   {name: obj.get("info", {}) for name, obj in objects.items()})
    refused, accepted = [], []
    for name, value, template in entries:
        command = template.replace("$value", value)
        if StageKit._UNSAFE_CHARS.search(command) or "\0" in command:
            refused.append(name)
            print(f"knobsmith: refused {name}: its command breaks the shell-metacharacter rule", file=sys.stderr)
        elif config is not None and name not in objects:
            refused.append(name)
            print(f"knobsmith: refused {name}: it is not a parameter of {config}", file=sys.stderr)
        else:
            accepted.append((name, value, template))
    # The backup's own set commands, with the configuration's get commands and restart flags.
    base["object"] = [
        {"name": name, "info": {**objects.get(name, {}).get("info", {"needrestart": "false", "get": ""}), "set": template}}
        for name, _, template in accepted
    ]
    cfg = Cfg()
    cfg.yml = base
    values = {name: value for name, value, _ in accepted}
    status = 1 if refused else 0
    if not values:
        return status
    # Without the configuration there is no restart flag, so no restart and its log.
    log = args.log or (f"knobsmith-workload-{cfg.get_project()}.log" if config is not None else os.devnull)
    outcome = _apply_values(cfg, values, log, args.dry_run, verify=config is not None)
    if outcome is None:
        return status
    count = len(values)
    done = f"restored {count} parameter{'s' if count != 1 else ''} from {backup}"
    if config is None:
        done += "\nnot read back: give the tuning configuration (--config) to check the values and restart the workload"
        return _report(outcome, done) or status
    return _report(outcome, done + " (read back)") or status


def _restore_originals(args: argparse.Namespace, config: str) -> int:
    """Puts back the values kept as the originals of the configuration file, through its commands."""
    from knobsmith.tuner import shellsafe, state

    cfg = _load(config)
    project, key = _state_key(cfg, config, args.worker)
    kept = state.originals(key)
    if kept is None:
        _fail(f"no original values are kept for {project} (in {state.folder(key)})")
    known = set(cfg.get_params_set_script())
    unknown = [name for name in kept if name not in known]
    for name in unknown:
        print(f"knobsmith: refused {name}: it is not a parameter of {config}", file=sys.stderr)
    missing = [name for name in known if name not in kept]
    for name in missing:
        print(f"knobsmith: {name} was not restored: no original value of it is kept", file=sys.stderr)
    values = {name: value for name, value in kept.items() if name in known}
    _refuse_unsafe("restore", values, shellsafe.declarations(cfg))
    status = 1 if unknown or missing else 0
    outcome = _apply_values(cfg, values, args.log or f"knobsmith-workload-{project}.log", args.dry_run)
    if outcome is None:
        return status
    count = len(values)
    done = f"restored the {count} original value{'s' if count != 1 else ''} of {project} (read back)"
    return _report(outcome, done, key, "restore") or status


def _diff(args: argparse.Namespace) -> int:
    """Current, original and last applied values side by side."""
    from knobsmith.stagekit import StageKit
    from knobsmith.tuner import state
    from knobsmith.tuner.applying import read_ok

    cfg = _load(args.config)
    project, key = _state_key(cfg, args.config, args.worker)
    kept = state.originals(key) or {}
    applied = state.last_applied(key)
    rows = [["parameter", "current", "original", "last applied"]]
    for name, reading in StageKit().read_params().items():
        current = reading["value"] if read_ok(reading) else "(unreadable)"
        rows.append([name, current, kept.get(name, "-"), applied.get(name, "-")])
    widths = [max(len(row[column]) for row in rows) for column in range(4)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    if not kept:
        print(f"no original values are kept for {project} yet")
    return 0


def _state_key(cfg: Any, config: str, worker: str | None) -> tuple[str, str]:
    """The project's name, or a fleet worker's, and the name of the folder where the originals of
    `config` are kept for it."""
    from knobsmith.tuner import TuneError, fleet

    try:
        worker = None if worker is None else fleet.check_worker_name(worker)
    except TuneError as error:
        _fail(str(error))
    return fleet.state_key(cfg.get_project(), worker), _adopt_earlier_state(cfg, config, worker)


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


@_outliving_the_terminal
def _tune(args: argparse.Namespace) -> int:
    from knobsmith.tuner import TuneError, fleet, report, signals
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
                        metric_timeout=args.command_timeout if args.command_timeout > 0 else None))
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
    from knobsmith.tuner import TuneError, report, signals

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
    args = _parser().parse_args(argv)
    if hasattr(args, "command_timeout") and args.command != "recommend":  # which hands its limit on itself
        from knobsmith.stagekit import StageKit

        StageKit.COMMAND_TIMEOUT = args.command_timeout if args.command_timeout > 0 else None
    _show_log_lines(logging.DEBUG if args.verbose else logging.INFO)
    try:
        return int(args.run(args))
    except CommandError as error:
        print(f"knobsmith: {error}", file=sys.stderr)
    except KeyboardInterrupt:
        print("knobsmith: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # a clear line, never a traceback
        print(f"knobsmith: {type(error).__name__}: {error}", file=sys.stderr)
    return 1
