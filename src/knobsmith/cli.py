"""The knobsmith command line."""

from __future__ import annotations

import argparse
import json
import logging
import sys

from knobsmith import __version__


def _check(args: argparse.Namespace) -> int:
    from knobsmith.loadplan import Cfg

    cfg = Cfg()
    if not cfg.init(args.config):
        return 1
    try:
        settings = cfg.get_optimizer_info()
    except (NameError, ZeroDivisionError, ValueError) as error:
        print(f"knobsmith: {error}", file=sys.stderr)
        return 1
    print(json.dumps(settings, ensure_ascii=False, indent=2, default=str))
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="knobsmith", description="Automatic parameter tuning of Linux hosts.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("--verbose", action="store_true", help="show debug lines")
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser("check", help="validate a tuning configuration and print its optimizer settings")
    check.add_argument("config", help="the tuning configuration (YAML)")
    check.set_defaults(run=_check)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    logging.basicConfig(
        level=logging.DEBUG if args.verbose else logging.INFO,
        format="%(asctime)s %(levelname)s %(message)s",
        stream=sys.stderr,
    )
    return args.run(args)
