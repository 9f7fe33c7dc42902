"""The knobsmith command line: its entry point and the commands on a host's parameters (check,
recommend, backup, apply, restore, diff); the tuning commands are in tuning_commands."""

from __future__ import annotations

import argparse
import logging
import sys
from typing import TYPE_CHECKING, Any

from common.log import StandardErrorHandler
from knobsmith.command_line import CommandError, fail, limit, tell

if TYPE_CHECKING:
    from knobsmith.loadplan import Cfg


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
        fail(f"{config} cannot be used (see the lines above)")
    from knobsmith.tuner.space_checks import fault, unknown_keys

    refused = fault(cfg.yml)
    if refused:
        fail(refused)
    tell(f"warning: {line}" for line in unknown_keys(cfg.yml))
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

        fail(render(str(error)))
    from knobsmith.tuner.space_checks import not_finite

    where = not_finite(settings)
    if where:
        fail(f"{where}: NaN and infinity are not numbers the optimizer settings can hold; give a finite number")
    from knobsmith.tuner.proposing import random_starts

    # What tune's sampler will do, not the library's own rule.
    settings["random_starts"] = random_starts(settings["max_eval"])
    import json

    print(json.dumps(settings, ensure_ascii=False, indent=2, default=str))
    return 0


def _recommend(args: argparse.Namespace) -> int:
    from knobsmith.recommending.pipeline import recommend

    result = recommend(args.scene, probe=not args.no_probe, keep=args.keep, timeout=limit(args), output=args.output,
                       host=args.host)
    for name in result.unknown_keep:
        print(f"knobsmith: warning: --keep {name}: the scene {args.scene} has no such entry", file=sys.stderr)
    if result.detection is not None:
        if result.detection.server is not None:
            print(f"knobsmith: the database server is {result.detection.server}", file=sys.stderr)
        else:
            print(f"knobsmith: no database server could be asked: {result.detection.error}", file=sys.stderr)
    if not result.written:
        fail(f"no recommendation written for the scene {args.scene}")
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


def _backup(args: argparse.Namespace) -> int:
    from knobsmith.params import operations

    cfg = _load(args.config)
    done = operations.backup(cfg, args.config, timeout=limit(args))
    tell(f"{name} could not be read: {why}" for name, why in done.unread.items())
    if not done.values:
        fail("no value could be read, so no backup was written")
    for name, value in done.values.items():
        print(f"{name} = {value}")
    print(done.path)
    tell(done.told)
    if done.unread:
        fail(f"backed up {len(done.values)} of {len(cfg.yml['object'])} parameters; "
              f"not backed up: {', '.join(done.unread)}")
    return 0


def _assignments(pairs: list[str]) -> list[tuple[str, str]]:
    parsed = []
    for pair in pairs:
        name, equals, text = pair.partition("=")
        if not equals or not name:
            fail(f"{pair!r} is not NAME=VALUE")
        parsed.append((name, text))
    return parsed


def _report(done: Any, dry_run: bool, said: str) -> int:
    """Says what an application did: `said` when every value was applied (and read back, when it
    was), else every parameter that failed with its error; the exit status."""
    tell(done.told)
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
    tell(outcome.failure_lines())
    return 1


def _apply(args: argparse.Namespace) -> int:
    from knobsmith.params import operations

    cfg = _load(args.config)
    if args.minimal and not args.source:
        fail("--minimal applies the smallest change kept in a best.yaml: give it with --from best.yaml")
    if args.trial is not None and not args.source:
        fail("--trial N picks a trial of a best.yaml's Pareto front: give --from best.yaml too")
    if args.trial is not None and args.minimal:
        fail("--trial N applies a trial of the Pareto front and --minimal the smallest change: give one of them")
    values = operations.minimal_values(cfg, args.config, args.source) if args.minimal else {}
    pairs = operations.best_values(args.source, args.trial) if args.source and not args.minimal else []
    values.update(operations.values_of(cfg, args.config, pairs + _assignments(args.assignments)))
    if not values:
        fail("nothing to apply: give NAME=VALUE or --from best.yaml")
    done = operations.apply(cfg, args.config, values, log=args.log, dry_run=args.dry_run, timeout=limit(args))
    count = len(values)
    return _report(done, args.dry_run, f"applied {count} parameter{'s' if count != 1 else ''} (read back)")


def _restore(args: argparse.Namespace) -> int:
    from knobsmith.params import operations

    backup, config = args.backup, args.config
    if args.originals or not backup.endswith(".ini"):
        return _restore_originals(args, backup if config is None else config)
    cfg = None if config is None else _load(config)
    done = operations.restore_backup(backup, cfg, config, log=args.log, dry_run=args.dry_run, timeout=limit(args))
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
                                        timeout=limit(args))
    count = len(done.values)
    return _report(done, args.dry_run,
                   f"restored the {count} original value{'s' if count != 1 else ''} of {project} (read back)")


def _diff(args: argparse.Namespace) -> int:
    """Current, original and last applied values side by side."""
    from knobsmith.params import operations

    cfg = _load(args.config)
    project, key = _state_key(cfg, args.config, args.worker)
    rows = [["parameter", "current", "original", "last applied"]]
    found = operations.diff(cfg, key, timeout=limit(args))
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
        fail(str(error))
    return state.worker_key(cfg.get_project(), worker), _adopt_earlier_state(cfg, config, worker)


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
    from knobsmith import tuning_commands
    from knobsmith.arguments import parser
    from knobsmith.params import ParamsError

    args = parser({"check": _check, "recommend": _recommend, "backup": _backup, "apply": _apply, "restore": _restore,
                   "diff": _diff, "tune": tuning_commands.tune, "minimize": tuning_commands.minimize,
                   "report": tuning_commands.study_report, "dashboard": tuning_commands.dashboard}).parse_args(argv)
    _show_log_lines(logging.DEBUG if args.verbose else logging.INFO)
    try:
        return int(args.run(args))
    except ParamsError as error:
        tell([*error.told, str(error)])
    except CommandError as error:
        print(f"knobsmith: {error}", file=sys.stderr)
    except KeyboardInterrupt:
        print("knobsmith: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # a clear line, never a traceback
        from knobsmith.messages import render

        print(f"knobsmith: {type(error).__name__}: {render(str(error))}", file=sys.stderr)
    return 1
