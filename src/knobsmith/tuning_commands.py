"""The commands of a tuning run: tune, minimize, the report of a fleet's study and its dashboard."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Callable
from typing import Any

from knobsmith.command_line import CommandError, fail, limit, tell
from knobsmith.outliving import outliving_the_terminal


def _fleet_options(args: argparse.Namespace) -> None:
    """The options of a fleet's worker need --study, and a worker has no confirmation of its own."""
    if args.study is None:
        relative = args.relative and not args.warm_start  # a warm start's sources are gains then
        given = [flag for flag, value in (("--worker", args.worker), ("--relative", relative),
                                          ("--heartbeat", args.heartbeat), ("--reconnect", args.reconnect))
                 if value not in (None, False)]
        if given:
            fail(f"{', '.join(given)} belong{'s' if len(given) == 1 else ''} to a worker of a fleet: "
                  "--study NAME --storage URL names its study")
        if args.confirm is None:
            args.confirm = 3
        if args.minimal and not args.confirm:
            fail("--minimal starts from the best the confirmation measured: leave --confirm 0 out")
        if args.minimal and args.pareto:
            fail("--minimal starts from one confirmed best and --pareto confirms none: give one of them")
        return
    if args.warm_start:
        fail("--warm-start gives earlier runs' trials to one host's study; a fleet's study starts from nothing: "
              "leave --warm-start out with --study")
    if args.pareto:
        fail("--pareto reports the front of one host's run; a fleet's workers share one objective: "
              "leave --pareto out with --study")
    if args.confirm:
        fail("--confirm measures candidates again on one host; a fleet's workers apply the study's best: "
              "leave --confirm out with --study")
    if args.minimal:
        fail("--minimal measures on one host from the confirmed best; a fleet's workers have no confirmation: "
              "run knobsmith minimize on a host afterwards")
    if args.resume:
        fail("a worker of a fleet joins, or rejoins, its study by itself: leave --resume out with --study")
    if args.reconfirm:
        fail("--reconfirm runs the confirmation of a single host's study again; a fleet's workers have none: "
              "leave --reconfirm out with --study")
    args.confirm = 0


def _within_the_command_limit(command: Callable[[argparse.Namespace], int]) -> Callable[[argparse.Namespace], int]:
    """`command` with its get and set commands held to --command-timeout, the backup put back at
    the end of an interrupted run included."""

    def run(args: argparse.Namespace) -> int:
        from knobsmith.params.operations import command_limit

        with command_limit(limit(args)):
            return command(args)

    return run


@outliving_the_terminal
@_within_the_command_limit
def tune(args: argparse.Namespace) -> int:
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
                      warm_start=tuple(args.warm_start),
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
            tell([ended])
            return 0
    except TuneError as error:
        fail(str(error))
    # The run's end is told and written whole: a signal after the run (during the report's
    # plots, say) is only noted, so that the report on disk says what the terminal said.
    with signals.deferred() as noted:
        try:
            result = running.measure(run, benchmark_timeout=args.benchmark_timeout or None, metric_timeout=limit(args))
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
def minimize(args: argparse.Namespace) -> int:
    from knobsmith.params import signals
    from knobsmith.tuner import TuneError, report
    from knobsmith.tuner.minimizing import on_finished_run

    try:
        done = on_finished_run(args.config, args.source, rounds=args.confirm_rounds,
                               say=lambda line: print(line, file=sys.stderr),
                               benchmark_timeout=args.benchmark_timeout or None, metric_timeout=limit(args))
    except TuneError as error:
        fail(str(error))
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

    running.end_early(run, error, lambda line: tell([line]), print)
    if isinstance(error, KeyboardInterrupt):
        return signals.exit_status(error)
    if isinstance(error, TuneError):
        raise CommandError(str(error)) from None
    raise error


def study_report(args: argparse.Namespace) -> int:
    """The report of a fleet's whole study, read from its database."""
    import re

    from knobsmith.tuner import TuneError, report
    from knobsmith.tuner.study import fleet_result, fleet_study

    try:
        result = fleet_result(fleet_study(args.storage, args.study))
    except TuneError as error:
        fail(str(error))
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


def dashboard(args: argparse.Namespace) -> int:
    from knobsmith import dashboard
    from knobsmith.tuner import TuneError

    try:
        dashboard.serve(dashboard.source(args.source, args.storage, args.study), args.host, args.port,
                        lambda line: tell([line]))
    except dashboard.MissingExtra as error:
        print(f"knobsmith: {error}", file=sys.stderr)
        return 2
    except TuneError as error:
        fail(str(error))
    return 0
