"""Command line: ``kifuzan FILE...`` converts records to standard output,
``kifuzan convert SRC... -o OUTDIR`` converts archives.

A first argument of exactly "convert" selects the subcommand, so a record
file of that name is reached as ./convert.
"""

from __future__ import annotations

import sys

# Exit status after Ctrl-C, as a shell reports a process stopped by SIGINT.
EXIT_INTERRUPTED = 130
INTERRUPTED = "kifuzan: interrupted"

try:
    import argparse
    import os
    from collections.abc import Sequence

    from _kifuzan import __version__, tenhou_file_to_mjai
    from kifuzan.batch import convert_many, print_line
    from kifuzan.jobs import UsageError
    from kifuzan.records import MJAI, TARGETS, TENHOU6, Target, convert_bytes, convert_path, encode_output, record_endings
    from kifuzan.results import failure_line, failure_of, report_row, summary_line
except KeyboardInterrupt:
    # Ctrl-C while the command loads ends it as it would a moment later.
    print(INTERRUPTED, file=sys.stderr)
    sys.exit(EXIT_INTERRUPTED)

# Exit status after stdout was closed early (as a shell reports SIGPIPE).
EXIT_BROKEN_PIPE = 141
INTERRUPTED_CONVERT = "kifuzan: interrupted; outputs written so far are whole, a rerun converts the rest"


def _add_target_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--to", choices=TARGETS, default=MJAI, help="what records become: mjai lines (default) or tenhou.net/6 documents"
    )
    header = parser.add_argument_group("documents made from mjai records (--to tenhou6)")
    header.add_argument("--level", choices=["般", "上", "特", "鳳"], default="般", help="the lobby level in the rule text")
    header.add_argument("--lobby", type=int, help="the lobby number")
    header.add_argument("--fast", action="store_true", help="a fast game (速 in the rule text)")
    header.add_argument("--no-kuitan", dest="kuitan", action="store_false", help="open tanyao not allowed")
    header.add_argument(
        "--no-score", dest="score", action="store_false", help="write wins without yaku and points texts, unscored"
    )
    header.add_argument(
        "--trust-deltas",
        action="store_true",
        help="write a win whose stated result the scoring does not give with the log's deltas, "
        "and a points text made from them, instead of refusing the record",
    )
    header.add_argument(
        "--partial", action="store_true", help="write a game cut off by an error event up to the last finished kyoku"
    )


def _target(args: argparse.Namespace, compress: str | None = None, ref: str = "") -> Target:
    if args.to != TENHOU6:
        return Target(args.to, compress)
    from kifuzan.reverse import Tenhou6Options

    options = Tenhou6Options(
        ref=ref, level=args.level, kuitan=args.kuitan, fast=args.fast, lobby=args.lobby, score=args.score,
        trust_deltas=args.trust_deltas, partial=args.partial,
    )
    return Target(args.to, compress, options)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kifuzan",
        description="Convert game records (tenhou.net/6 JSON, tenhou's mjlog XML, or with --to tenhou6 "
        "also mjai) into mjai events, one JSON object a line, or into tenhou.net/6 documents. "
        "Several FILEs are converted in turn, their output in order; a FILE that fails is reported "
        "and the rest still converted (exit status 1).",
        epilog="To convert folders: kifuzan convert SRC... -o OUTDIR (see kifuzan convert --help). "
        "A record file named 'convert' is given as ./convert.",
    )
    parser.add_argument(
        "files", metavar="FILE", nargs="+", help="record, gzipped or not (told by its content); '-' is standard input"
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write the output of one FILE to OUT instead of standard output ('-' is standard output)",
    )
    _add_target_options(parser)
    parser.add_argument("--ref", default=None, help="the document's ref with --to tenhou6 (default: the FILE's stem)")
    parser.add_argument("--version", action="version", version=f"kifuzan {__version__}")
    return parser


def _write_stdout(data: bytes) -> int:
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


def _convert_one(name: str, output: str | None, target: Target, stdin: bytes | None) -> bytes | None:
    """The bytes for standard output, or None when the module wrote OUT itself."""
    if stdin is not None:
        return convert_bytes(stdin, target)
    if output is not None and target == Target() and name.endswith(".json"):
        tenhou_file_to_mjai(name, output)
        return None
    return convert_path(name, target)


def file_main(argv: Sequence[str]) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.output is not None and len(args.files) > 1:
        parser.error("-o takes one FILE; to convert many: kifuzan convert FILE... -o OUTDIR")
    for name in args.files:
        if name != "-" and os.path.isdir(name):
            parser.error(f"{name} is a folder; to convert a folder: kifuzan convert {name} -o OUTDIR")
    if args.ref is not None and len(args.files) > 1:
        parser.error("--ref names the document of one FILE")
    status = 0
    for name in args.files:
        stdin = None
        try:
            if name == "-":
                stdin = sys.stdin.buffer.read()
            data = _convert_one(name, args.output, _target(args, ref=args.ref or ""), stdin)
            if data is not None and args.output not in (None, "-"):
                # Opened only once the record has converted, as the module does.
                with open(args.output, "wb") as out:
                    out.write(data)
                data = None
        except Exception as e:  # the module's errors, OSError, and gzip's EOFError and zlib.error
            print_line(failure_line(failure_of(name, e, stdin)))
            status = 1
            continue
        if data is not None and _write_stdout(data):
            return EXIT_BROKEN_PIPE
    return status


def _convert_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kifuzan convert",
        description="Convert every record in SRC (files, or folders searched recursively for tenhou.net/6 "
        "*.json, mjlog *.mjlog and *.xml, with --to tenhou6 also mjai *.mjson; each also .gz) into one "
        "mjai line file (or tenhou.net/6 document) each under OUTDIR, mirroring the folders. "
        "Records whose output is newer than the input are skipped. Exit status: 0 nothing failed, "
        "1 some record failed, 2 usage error, 130 interrupted.",
    )
    parser.add_argument("sources", metavar="SRC", nargs="+", help="record file or folder; '-' alone: standard input to standard output")
    parser.add_argument("-o", "--output", metavar="OUTDIR", help="folder for the mjai files (required unless SRC is '-')")
    parser.add_argument("-j", "--jobs", metavar="N", type=int, help="worker processes (default: number of CPUs)")
    parser.add_argument("--compress", choices=["gzip", "none"], default="none", help="write gzip files (default: none)")
    parser.add_argument(
        "--suffix",
        help="ending of output names, starting with '.' (default: .mjson, or .json with --to tenhou6; "
        ".gz added with --compress gzip)",
    )
    parser.add_argument("--force", action="store_true", help="convert again records whose output is up to date")
    parser.add_argument("--errors", metavar="FILE", help="JSON-lines report of failed records (default: OUTDIR/errors.jsonl)")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--progress", action="store_true", default=None, help="show the progress bar even if standard error is not a terminal")
    shown.add_argument("--quiet", action="store_true", help="print nothing but errors")
    _add_target_options(parser)
    return parser


def _convert_stdin(args: argparse.Namespace, compress: str | None) -> int:
    raw = sys.stdin.buffer.read()
    try:
        data = encode_output(convert_bytes(raw, _target(args)), compress)
    except Exception as e:  # bad gzip data fails as OSError, EOFError or zlib.error
        failure = failure_of("-", e, raw)
        print_line(failure_line(failure))
        if args.errors is not None:
            with open(args.errors, "w", encoding="utf-8") as report:
                report.write(report_row(failure))
        return 1
    return _write_stdout(data)


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
    try:
        summary = convert_many(
            args.sources,
            args.output,
            workers=args.jobs,
            compress=compress,
            force=args.force,
            progress=False if args.quiet else args.progress,
            suffix=args.suffix,
            errors=args.errors,
            on_failure=lambda f: print_line(failure_line(f)),
            to=args.to,
            options=_target(args).options,
        )
    except (UsageError, OSError) as e:
        # A missing SRC, an OUTDIR or report that cannot be made: nothing was converted.
        parser.error(str(e))
    except KeyboardInterrupt:
        print(INTERRUPTED_CONVERT, file=sys.stderr)
        return EXIT_INTERRUPTED
    if summary.converted + summary.skipped + summary.failed == 0:
        endings = ", ".join("*" + e for e in record_endings(args.to) if not e.endswith(".gz"))
        print(f"kifuzan: no records ({endings}, each also .gz) found in {' '.join(args.sources)}", file=sys.stderr)
    elif not args.quiet:
        print(summary_line(summary), file=sys.stderr)
    return 1 if summary.failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the ``kifuzan`` command line with argv (default: ``sys.argv[1:]``).

    Returns the exit status: 0 when every record converted, 1 when one
    failed, 130 after Ctrl-C, 141 when standard output was closed early;
    usage errors exit with 2 through SystemExit.
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        if argv[:1] == ["convert"]:
            return convert_main(argv[1:])
        return file_main(argv)
    except KeyboardInterrupt:
        print(INTERRUPTED, file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
