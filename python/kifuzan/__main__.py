"""Command line: ``kifuzan FILE [-o OUT]`` converts one tenhou.net/6 record,
``kifuzan convert SRC... -o OUTDIR`` converts many.

A first argument of exactly "convert" selects the subcommand, so a record
file of that name is reached as ./convert.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from typing import Any

from _kifuzan import __version__, tenhou_file_to_mjai
from kifuzan.batch import Failure, UsageError, convert_text, encode_output, run, summary_line

# Exit status after stdout was closed early (as a shell reports SIGPIPE).
EXIT_BROKEN_PIPE = 141


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kifuzan",
        description="Convert a tenhou.net/6 JSON game record into mjai events, one JSON object a line.",
        epilog="To convert many records: kifuzan convert SRC... -o OUTDIR (see kifuzan convert --help). "
        "A record file named 'convert' is given as ./convert.",
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
    return _write_bytes(("\n".join(lines) + "\n").encode())


def _write_bytes(data: bytes) -> int:
    if not data:
        return 0
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


def _convert_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kifuzan convert",
        description="Convert every tenhou.net/6 record in SRC (files, or folders searched recursively "
        "for *.json and *.json.gz) into one mjai line file each under OUTDIR, mirroring the folders. "
        "Records whose output is newer than the input are skipped. Exit status: 0 all converted, "
        "1 some record failed, 2 usage error.",
    )
    parser.add_argument("sources", metavar="SRC", nargs="+", help="record file or folder; '-' alone: standard input to standard output")
    parser.add_argument("-o", "--output", metavar="OUTDIR", help="folder for the mjai files (required unless SRC is '-')")
    parser.add_argument("-j", "--jobs", metavar="N", type=int, help="worker processes (default: number of CPUs)")
    parser.add_argument("--compress", choices=["gzip", "none"], default="none", help="write gzip files (default: none)")
    parser.add_argument("--suffix", help="ending of output names (default: .mjson, or .mjson.gz with --compress gzip)")
    parser.add_argument("--force", action="store_true", help="convert again records whose output is up to date")
    parser.add_argument("--errors", metavar="FILE", help="JSON-lines report of failed records (default: OUTDIR/errors.jsonl)")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--progress", action="store_true", default=None, help="show the progress bar even if standard error is not a terminal")
    shown.add_argument("--quiet", action="store_true", help="print nothing but errors")
    return parser


def _convert_stdin(args: argparse.Namespace, compress: str | None) -> int:
    try:
        data = encode_output(convert_text(sys.stdin.buffer.read()), compress)
    except Exception as e:  # bad gzip data fails as OSError, EOFError or zlib.error
        print(f"kifuzan: -: {type(e).__name__}: {e}", file=sys.stderr)
        if args.errors is not None:
            with open(args.errors, "w", encoding="utf-8") as report:
                report.write(json.dumps({"path": "-", "error": type(e).__name__, "message": str(e)}) + "\n")
        return 1
    return _write_bytes(data)


def _print_failure(f: Failure, bar: Any) -> None:
    bar.write(f"kifuzan: {f.path}: {f.error}: {f.message}")


def convert_main(argv: Sequence[str]) -> int:
    parser = _convert_parser()
    args = parser.parse_args(argv)
    compress = None if args.compress == "none" else args.compress
    if "-" in args.sources:
        if len(args.sources) > 1:
            parser.error("'-' must be the only SRC")
        if args.output is not None:
            parser.error("'-' writes to standard output; -o is not allowed with it")
        return _convert_stdin(args, compress)
    if args.output is None:
        parser.error("the following arguments are required: -o/--output")
    progress = False if args.quiet else args.progress
    try:
        summary = run(
            args.sources,
            args.output,
            workers=args.jobs,
            compress=compress,
            force=args.force,
            progress=progress,
            suffix=args.suffix,
            errors=args.errors,
            on_failure=_print_failure,
        )
    except (UsageError, OSError) as e:
        # A missing SRC, an OUTDIR or report that cannot be made: nothing was converted.
        parser.error(str(e))
    except KeyboardInterrupt:
        print("kifuzan: interrupted; outputs written so far are whole, a rerun converts the rest", file=sys.stderr)
        return 130
    if not args.quiet:
        print(summary_line(summary), file=sys.stderr)
    return 1 if summary.failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["convert"]:
        return convert_main(argv[1:])
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
