"""Command line: ``python -m tolmirkenvor COMMAND ...``."""
import argparse
import sys

from . import __version__, dump


def build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m tolmirkenvor",
        description="Tools around the Tolmir Kenvor client core.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    dump.add_parser(commands)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    return args.run(parser, args)


if __name__ == "__main__":
    sys.exit(main())
