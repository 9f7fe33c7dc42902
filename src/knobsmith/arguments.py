"""The arguments of the knobsmith command line, each command's and the checks of their values."""

from __future__ import annotations

import argparse
from collections.abc import Callable, Mapping

from knobsmith import __version__

SCENES = ("cpu", "io", "net", "mysql")


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


def parser(runs: Mapping[str, Callable[[argparse.Namespace], int]]) -> argparse.ArgumentParser:
    """The parser of the command line; `runs` run each command, by its name."""
    from knobsmith.tuner.failures import HEARTBEAT, MAX_FAILED, RECONNECT, STALE_AFTER

    parser = argparse.ArgumentParser(prog="knobsmith", description="Automatic parameter tuning of Linux hosts.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("--verbose", action="store_true", help="show debug lines")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    check = commands.add_parser("check", help="validate a tuning configuration and print its optimizer settings")
    check.add_argument("config", help="the tuning configuration (YAML)")
    check.set_defaults(run=runs["check"])

    recommend = commands.add_parser("recommend", help="write a recommended configuration for a scene")
    recommend.add_argument("scene", choices=SCENES)
    recommend.add_argument("--output", metavar="DIR",
                           help="folder for config.yaml (default: $KNOBSMITH_OUTPUT_DIR or here)")
    recommend.add_argument("--no-probe", action="store_true",
                           help="read no value and ask no server: write every entry that suits this machine's "
                           "memory and disks, with the database's ranges")
    recommend.add_argument("--host", action="store_true",
                           help="scene mysql: write the host-wide (kernel) entries too, beside the server's")
    recommend.add_argument("--keep", nargs="+", action="extend", default=[], metavar="NAME",
                           help="write these entries even when reading their value fails or the machine offers "
                           "none of their options")
    recommend.set_defaults(run=runs["recommend"])

    backup = commands.add_parser("backup", help="read the current values and write bak_<project>.ini here")
    backup.add_argument("config", help="the tuning configuration (YAML)")
    backup.set_defaults(run=runs["backup"])

    apply = commands.add_parser("apply", help="apply values through the parameters' set commands")
    apply.add_argument("config", help="the tuning configuration (YAML)")
    apply.add_argument("assignments", nargs="*", metavar="NAME=VALUE")
    apply.add_argument("--from", dest="source", metavar="best.yaml",
                       help="apply the values of a run's best.yaml (NAME=VALUE given too take precedence)")
    apply.add_argument("--trial", type=int, metavar="N",
                       help="with --from: apply trial N of the Pareto front of a tune --pareto run's best.yaml")
    apply.add_argument("--minimal", action="store_true",
                       help="with --from: apply the smallest change that keeps the gain (tune --minimal, minimize)")
    apply.add_argument("--dry-run", action="store_true", help="print the commands instead of running them")
    apply.add_argument("--log", metavar="FILE", help="the workload's output when it is restarted "
                       "(default knobsmith-workload-<project>.log)")
    apply.set_defaults(run=runs["apply"])

    restore = commands.add_parser("restore", help="apply the values of a backup file through its own set commands")
    restore.add_argument("backup", metavar="BACKUP.ini|CONFIG",
                         help="a backup file, or a tuning configuration whose original values to put back")
    restore.add_argument("--config", help="the tuning configuration: read the values back, restart when needed")
    restore.add_argument("--originals", action="store_true",
                         help="put back the project's original values (the default for a configuration)")
    restore.add_argument("--log", metavar="FILE", help="the workload's output when it is restarted")
    restore.add_argument("--worker", metavar="NAME", help="the originals of this fleet worker (tune --worker)")
    restore.add_argument("--dry-run", action="store_true", help="print the commands instead of running them")
    restore.set_defaults(run=runs["restore"])

    diff = commands.add_parser("diff", help="show current, original and last applied values side by side")
    diff.add_argument("config", help="the tuning configuration (YAML)")
    diff.add_argument("--worker", metavar="NAME", help="the originals of this fleet worker (tune --worker)")
    diff.set_defaults(run=runs["diff"])

    tune = commands.add_parser("tune", help="run the tuning loop and apply the best values found")
    tune.add_argument("config", help="the tuning configuration (YAML)")
    tune.add_argument("--seed", type=int, default=1, help="seed of the sampler (default 1)")
    tune.add_argument("--restore", action="store_true", help="restore the backed-up values at the end")
    tune.add_argument("--dry-run", action="store_true", help="print the commands a first trial would run")
    tune.add_argument("--storage", metavar="URL", help="keep the study there, e.g. sqlite:///study.db, and resume "
                      "it when it exists (default: a journal file in the report folder)")
    tune.add_argument("--resume", action="store_true", help="go on with the study kept in the report folder")
    tune.add_argument("--warm-start", nargs="+", action="extend", default=[], metavar="SOURCE",
                      help="start from the trials of earlier runs: a report folder, a study.journal or a storage "
                      "URL, each with #STUDY when it holds several studies; they inform the sampler, are not "
                      "counted in the iterations and are never applied unmeasured; the best of each is measured first")
    tune.add_argument("--reconfirm", action="store_true", help="with a finished study: run its end again (the "
                      "confirmation of its best candidates, then the best left applied); without it a finished "
                      "study only says so")
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
    tune.add_argument("--pareto", action="store_true",
                      help="optimise every evaluation without a bound as an objective of its own: the report gives "
                      "the Pareto front, the backed-up values are left applied, and apply --from best.yaml --trial N "
                      "applies one of the front's trials")
    tune.add_argument("--minimal", action="store_true",
                      help="after the confirmation, put the changed knobs back one at a time, the least important "
                      "first, and leave applied the smallest change whose gain is within the noise of the best's")
    tune.add_argument("--study", metavar="NAME", help="be a worker of the fleet tuning this study in --storage "
                      "(PostgreSQL or MySQL, e.g. postgresql://user@host/db): the budget, the trials and the best "
                      "are the whole fleet's")
    tune.add_argument("--worker", metavar="NAME", help="this worker's name in the study (default: the host's name); "
                      "its originals are kept apart under it, so that workers can share a machine")
    tune.add_argument("--relative", action="store_true", help="record each trial's gain in percent over its own "
                      "host's baseline, so that hosts that differ a little compare fairly; with --warm-start, take "
                      "the sources' trials as gains over their own baselines")
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
    tune.set_defaults(run=runs["tune"])

    minimize = commands.add_parser("minimize", help="find and apply the smallest change that keeps the gain of a "
                                   "finished run")
    minimize.add_argument("config", help="the tuning configuration (YAML)")
    minimize.add_argument("--from", dest="source", metavar="best.yaml", required=True,
                          help="the run's best.yaml, which gets the result under minimal:")
    minimize.add_argument("--confirm-rounds", type=_positive, default=3, metavar="N",
                          help="measurements of each step and of the best measured with it (default 3)")
    minimize.add_argument("--benchmark-timeout", type=_seconds, default=None, metavar="SECONDS",
                          help="end the benchmark still running after SECONDS (default: no limit of its own)")
    minimize.set_defaults(run=runs["minimize"])

    report = commands.add_parser("report", help="write the report of a fleet's study, from any machine")
    report.add_argument("--storage", metavar="URL", required=True, help="where the study is kept")
    report.add_argument("--study", metavar="NAME", required=True, help="the study's name")
    report.add_argument("--report", metavar="DIR", help="report folder (default knobsmith-report-<study>)")
    report.set_defaults(run=runs["report"])

    dashboard = commands.add_parser("dashboard", help="show a study in the browser, live while it runs")
    dashboard.add_argument("source", nargs="?", metavar="REPORT_DIR|JOURNAL",
                           help="a report folder of tune, or its study.journal (or give --storage)")
    dashboard.add_argument("--storage", metavar="URL", help="where the study is kept, e.g. a fleet's database")
    dashboard.add_argument("--study", metavar="NAME", help="the study's name (needed when the storage holds several)")
    dashboard.add_argument("--host", default="127.0.0.1",
                           help="the address to listen on (default 127.0.0.1: this machine only)")
    dashboard.add_argument("--port", type=_count, default=8080,
                           help="the port to listen on (default 8080; 0: any free one)")
    dashboard.set_defaults(run=runs["dashboard"])
    for runs_commands in (recommend, backup, apply, restore, diff, tune, minimize):
        runs_commands.add_argument("--command-timeout", type=float, default=60.0, metavar="SECONDS",
                                   help="end a get or set command (and in tune and minimize the metric's command) "
                                   "still running after SECONDS and count it as failed (default 60; 0: no limit)")
    return parser
