"""Command line: ``python -m zelkor demo`` and ``python -m zelkor inspect FILE``."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Optional, Sequence


def _inspect(path: str, as_json: bool) -> int:
    from . import _listing

    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as file:
                data = file.read()
    except OSError as exc:
        print(f"cannot read {path}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    try:
        if as_json:
            text = json.dumps(_listing.describe(data), ensure_ascii=False)
        else:
            text = _listing.listing(data)
    except ValueError as exc:
        # The message loads raises for this blob, and nothing else.
        if as_json:
            print(json.dumps({"error": str(exc)}))
        print(exc, file=sys.stderr)
        return 1
    print(text)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="python -m zelkor",
        description="Show zelkor at work, or list what a stored blob holds.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser(
        "demo", help="round-trip a sample graph, list its blob and compare it with pickle")
    inspect = commands.add_parser(
        "inspect", help="list the header, tables and records of a blob without loading it",
        description="List a blob's header, string table, type table and records without "
                    "building any value. A malformed blob gives the message loads would "
                    "raise and exit status 1.")
    inspect.add_argument("file", metavar="FILE", help="the blob to read; - for standard input")
    inspect.add_argument("--json", action="store_true", help="print the same as JSON")
    args = parser.parse_args(argv)
    try:
        if args.command == "inspect":
            return _inspect(args.file, args.json)
        if args.command == "demo":
            from . import _demo
            _demo.run()
            return 0
    except BrokenPipeError:  # the reader of our output went away
        sys.stderr.close()
        return 1
    parser.print_help()
    return 2


if __name__ == "__main__":
    sys.exit(main())
