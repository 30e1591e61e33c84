"""Command line: ``kifuzan FILE [-o OUT]`` converts one tenhou.net/6 record."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from _kifuzan import __version__, tenhou_file_to_mjai

# Exit status after stdout was closed early (as a shell reports SIGPIPE).
EXIT_BROKEN_PIPE = 141


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kifuzan",
        description="Convert a tenhou.net/6 JSON game record into mjai events, one JSON object a line.",
    )
    parser.add_argument("file", metavar="FILE", help="tenhou.net/6 JSON log to convert")
    parser.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write the events to OUT instead of standard output ('-' is standard output)",
    )
    parser.add_argument("--version", action="version", version=f"kifuzan {__version__}")
    return parser


def _write_stdout(lines: list[str]) -> int:
    if not lines:
        return 0
    data = ("\n".join(lines) + "\n").encode()
    try:
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`kifuzan f | head`). Point stdout at /dev/null
        # so the interpreter's final flush cannot fail again at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_BROKEN_PIPE
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.output is None:
            lines = tenhou_file_to_mjai(args.file)
        else:
            tenhou_file_to_mjai(args.file, args.output)
            return 0
    except (ValueError, OSError) as e:
        print(f"kifuzan: {args.file}: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    return _write_stdout(lines)


if __name__ == "__main__":
    sys.exit(main())
