"""Command line: ``python -m tolmirkenvor COMMAND ...``."""
from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from . import __version__, dump


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tolmirkenvor",
        description="Tools around the Tolmir Kenvor client core.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    dump.add_parser(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    status: int = args.run(parser, args)
    return status


if __name__ == "__main__":
    sys.exit(main())
