"""Command line: ``kifuzan FILE...`` converts records to standard output,
``kifuzan convert SRC... -o OUTDIR`` converts archives.

A first argument of exactly "convert" selects the subcommand, so a record
file of that name is reached as ./convert.
"""

from __future__ import annotations

import sys

# Exit status after Ctrl-C and SIGTERM, as a shell reports a process stopped by them.
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143
INTERRUPTED = "kifuzan: interrupted"

try:
    import argparse
    import contextlib
    import os
    from collections.abc import Sequence
    from typing import IO

    import signal
    import threading

    from _kifuzan import __version__
    from kifuzan.batch import ERRORS_NAME, convert_many, print_line
    from kifuzan.jobs import UsageError, record_endings, record_stem
    from kifuzan.outputs import write_atomic
    from kifuzan.records import MJAI, TARGETS, TENHOU6, THREE_PLAYER_FORMS, Target, convert_bytes, encode_output
    from kifuzan.results import Failure, failure_line, failure_of, report_row, summary_line
except KeyboardInterrupt:
    # Ctrl-C while the command loads ends it as it would a moment later.
    print(INTERRUPTED, file=sys.stderr)
    sys.exit(EXIT_INTERRUPTED)

# Exit status after stdout was closed early (as a shell reports SIGPIPE).
EXIT_BROKEN_PIPE = 141
INTERRUPTED_CONVERT = "kifuzan: interrupted; outputs written so far are whole, a rerun converts the rest"
TERMINATED = "kifuzan: terminated"
TERMINATED_CONVERT = "kifuzan: terminated; outputs written so far are whole, a rerun converts the rest"


class Terminated(BaseException):
    """SIGTERM, raised in the main thread so that a run stops as on Ctrl-C."""


def _on_sigterm(signum: int, frame: object) -> None:
    # Once: a second SIGTERM while stopping ends the process at once.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    raise Terminated


# The header options: None when not given, so that one given with mjai output
# is refused rather than silently ignored.
_HEADER_OPTIONS = {
    "level": "--level",
    "lobby": "--lobby",
    "fast": "--fast",
    "kuitan": "--no-kuitan",
    "score": "--no-score",
    "trust_deltas": "--trust-deltas",
    "partial": "--partial",
}


def _add_target_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--to", choices=TARGETS, default=MJAI, help="what records become: mjai lines (default) or tenhou.net/6 documents"
    )
    parser.add_argument(
        "--three-player",
        choices=THREE_PLAYER_FORMS,
        default=THREE_PLAYER_FORMS[0],
        metavar="FORM",
        help="the mjai form of three-player tenhou.net/6 records: nukidora (default), kita or nukidora-4",
    )
    header = parser.add_argument_group("documents made from mjai records (--to tenhou6 only)")
    header.add_argument("--level", choices=["般", "上", "特", "鳳"], help="the lobby level in the rule text (default 般)")
    header.add_argument("--lobby", type=int, help="the lobby number")
    header.add_argument("--fast", action="store_const", const=True, help="a fast game (速 in the rule text)")
    header.add_argument("--no-kuitan", dest="kuitan", action="store_const", const=False, help="open tanyao not allowed")
    header.add_argument(
        "--no-score", dest="score", action="store_const", const=False, help="write wins without yaku and points texts, unscored"
    )
    header.add_argument(
        "--trust-deltas",
        action="store_const",
        const=True,
        help="write a win whose stated result the scoring does not give with the log's deltas, "
        "and a points text made from them, instead of refusing the record",
    )
    header.add_argument(
        "--partial", action="store_const", const=True, help="write a game cut off by an error event up to the last finished kyoku"
    )


def _check_target_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    given = [flag for dest, flag in _HEADER_OPTIONS.items() if getattr(args, dest) is not None]
    if getattr(args, "ref", None) is not None:
        given.append("--ref")
    if given and args.to != TENHOU6:
        parser.error(f"{', '.join(given)}: only with --to tenhou6, for the header of tenhou.net/6 documents")


def _target(args: argparse.Namespace, compress: str | None = None) -> Target:
    if args.to != TENHOU6:
        return Target(args.to, compress, three_player=args.three_player)
    from kifuzan.reverse import Tenhou6Options

    given = {dest: getattr(args, dest) for dest in _HEADER_OPTIONS if getattr(args, dest) is not None}
    return Target(args.to, compress, Tenhou6Options(**given), args.three_player)


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
    parser.add_argument("--ref", help="the document's ref with --to tenhou6 (default: the FILE's stem; '' for none)")
    parser.add_argument("--version", action="version", version=f"kifuzan {__version__}")
    return parser


def _detach_stdout() -> None:
    """Points stdout at /dev/null, so that the interpreter's final flush of
    what could not be written cannot fail again at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _write_stdout(data: bytes) -> int:
    if not data:
        return 0
    try:
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`kifuzan f | head`).
        _detach_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as e:  # a full disk, a file over the size limit, /dev/full
        _detach_stdout()
        print(f"kifuzan: cannot write to standard output: {e.strerror or e}", file=sys.stderr)
        return 1
    return 0


def _write_output(path: str, data: bytes) -> None:
    """Writes OUT whole or not at all, as tenhou_file_to_mjai does: a regular
    file (or a new name) through a temporary file beside it, renamed into
    place (through a link, the file it names, keeping its permissions); a
    FIFO, a device or a name under /dev or /proc as it is."""
    write_atomic(path, data, folders=False)


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _convert_one(name: str, target: Target, ref: str | None, stdin: bytes | None) -> bytes:
    if stdin is not None:
        return convert_bytes(stdin, target, ref or "")
    with open(name, "rb") as f:
        raw = f.read()
    # An explicit ref, even an empty one, instead of the FILE's stem.
    return convert_bytes(raw, target, record_stem(os.path.basename(name)) if ref is None else ref)


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
    _check_target_options(parser, args)
    to_file = args.output not in (None, "-")
    if to_file and args.files[0] != "-" and _same_file(args.files[0], args.output):
        parser.error(f"the output {args.output} is the input FILE: it would be overwritten")
    status = 0
    for name in args.files:
        stdin = None
        try:
            if name == "-":
                stdin = sys.stdin.buffer.read()
            data = _convert_one(name, _target(args), args.ref, stdin)
        except Exception as e:  # the module's errors, OSError, and gzip's EOFError and zlib.error
            print_line(failure_line(failure_of(name, e)))
            status = 1
            continue
        if to_file:
            # Written only once the record has converted: a failure leaves OUT as it was.
            try:
                _write_output(args.output, data)
            except OSError as e:
                print_line(f"kifuzan: {args.output}: cannot write: {e.strerror or e}")
                return 1
        elif written := _write_stdout(data):
            return written
    return status


def _convert_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kifuzan convert",
        description="Convert every record in SRC (files; zip files; the SQLite databases of the Houou "
        "downloaders phoenix-logs and houou-logs, a record a row; or folders searched recursively for "
        "tenhou.net/6 *.json, mjlog *.mjlog and *.xml, with --to tenhou6 also mjai *.mjson, each also "
        ".gz or .bz2, and for *.zip, *.db, *.sqlite and *.sqlite3) into one mjai line file (or "
        "tenhou.net/6 document) each under OUTDIR, mirroring the folders; a database row goes to "
        "OUTDIR/YYYY/MM/<log id>.mjson. Records whose output is newer than the input are skipped "
        "(a database row's: once made). Exit status: 0 nothing failed, 1 some record failed, "
        "2 usage error, 130 interrupted, 143 terminated.",
    )
    parser.add_argument("sources", metavar="SRC", nargs="+", help="record file or folder; '-' alone: standard input to standard output")
    parser.add_argument("-o", "--output", metavar="OUTDIR", help="folder for the mjai files (required unless SRC is '-')")
    parser.add_argument("-j", "--jobs", metavar="N", type=int, help="threads converting at once (default: number of CPUs)")
    parser.add_argument("--compress", choices=["gzip", "none"], default="none", help="write gzip files (default: none)")
    parser.add_argument(
        "--suffix",
        help="ending of output names, starting with '.' (default: .mjson, or .json with --to tenhou6; "
        ".gz added with --compress gzip)",
    )
    parser.add_argument("--force", action="store_true", help="convert again records whose output is up to date")
    parser.add_argument("--errors", metavar="FILE", help="JSON-lines report of failed records (default: OUTDIR/errors.jsonl)")
    rows = parser.add_argument_group("database rows (phoenix-logs and houou-logs databases)")
    rows.add_argument("--players", type=int, choices=[3, 4], help="only three- or four-player games (default: both)")
    length = rows.add_mutually_exclusive_group()
    length.add_argument("--east-only", dest="east_only", action="store_true", default=None, help="only east-only games (東風戦)")
    length.add_argument("--east-south", dest="east_only", action="store_false", help="only east-south games (東南戦)")
    parser.add_argument("--version", action="version", version=f"kifuzan {__version__}")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--progress", action="store_true", default=None, help="show the progress bar even if standard error is not a terminal")
    shown.add_argument("--quiet", action="store_true", help="print nothing but errors")
    _add_target_options(parser)
    return parser


class _Report:
    """The --errors file, written row by row as records fail. A report that
    cannot be written is said once, in one line, and the run goes on."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.file: IO[str] | None = None
        self.failed = False

    def _write(self, text: str) -> None:
        if self.failed:
            return
        try:
            if self.file is None:
                if folder := os.path.dirname(self.path):
                    os.makedirs(folder, exist_ok=True)
                self.file = open(self.path, "w", encoding="utf-8")
            self.file.write(text)
            self.file.flush()  # an interrupted run still reports what failed so far
        except OSError as e:
            self.failed = True
            print_line(f"kifuzan: cannot write the report {self.path}: {e.strerror or e}")

    def add(self, failure: Failure) -> None:
        self._write(report_row(failure))

    def close(self) -> None:
        self._write("")  # rewritten by each run, also when nothing failed
        if self.file is not None:
            with contextlib.suppress(OSError):  # each row was flushed; a failure is already said
                self.file.close()


def _convert_stdin(args: argparse.Namespace, compress: str | None) -> int:
    raw = sys.stdin.buffer.read()
    try:
        data = encode_output(convert_bytes(raw, _target(args)), compress)
    except Exception as e:  # bad gzip data fails as OSError, EOFError or zlib.error
        failure = failure_of("-", e)
        print_line(failure_line(failure))
        if args.errors is not None:
            report = _Report(args.errors)
            report.add(failure)
            report.close()
        return 1
    return _write_stdout(data)


def convert_main(argv: Sequence[str]) -> int:
    parser = _convert_parser()
    args = parser.parse_args(argv)
    _check_target_options(parser, args)
    compress = None if args.compress == "none" else args.compress
    if "-" in args.sources:
        if len(args.sources) > 1:
            parser.error("'-' must be the only SRC")
        if args.output is not None:
            parser.error("'-' writes to standard output; -o is not allowed with it")
        return _convert_stdin(args, compress)
    if args.output is None:
        parser.error("the following arguments are required: -o/--output")
    report = _Report(args.errors if args.errors is not None else os.path.join(args.output, ERRORS_NAME))

    def on_failure(failure: Failure) -> None:
        print_line(failure_line(failure))
        report.add(failure)

    try:
        summary = convert_many(
            args.sources,
            args.output,
            workers=args.jobs,
            compress=compress,
            force=args.force,
            progress=False if args.quiet else args.progress,
            suffix=args.suffix,
            # The report is written here, so that a report that cannot be
            # written does not end the run.
            errors=os.devnull,
            on_failure=on_failure,
            to=args.to,
            options=_target(args).options,
            players=args.players,
            east_only=args.east_only,
            three_player=args.three_player,
        )
    except (UsageError, OSError) as e:
        # A missing SRC, an OUTDIR that cannot be made: nothing was converted.
        parser.error(str(e))
    except KeyboardInterrupt:
        report.close()
        print(INTERRUPTED_CONVERT, file=sys.stderr)
        return EXIT_INTERRUPTED
    except Terminated:
        report.close()
        print(TERMINATED_CONVERT, file=sys.stderr)
        return EXIT_TERMINATED
    report.close()
    if summary.converted + summary.skipped + summary.failed + summary.without_record == 0:
        endings = ", ".join("*" + e for e in record_endings(args.to) if not e.endswith((".gz", ".bz2")))
        print(
            f"kifuzan: no records ({endings}, each also .gz or .bz2, zip files, databases) found in {' '.join(args.sources)}",
            file=sys.stderr,
        )
    elif not args.quiet:
        print(summary_line(summary), file=sys.stderr)
    return 1 if summary.failed or report.failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the ``kifuzan`` command line with argv (default: ``sys.argv[1:]``).

    Returns the exit status: 0 when every record converted, 1 when one
    failed, 130 after Ctrl-C, 141 when standard output was closed early;
    usage errors exit with 2 through SystemExit.
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    # Only the main thread may set handlers; a caller on another thread keeps its own.
    old = signal.signal(signal.SIGTERM, _on_sigterm) if threading.current_thread() is threading.main_thread() else None
    try:
        if argv[:1] == ["convert"]:
            return convert_main(argv[1:])
        return file_main(argv)
    except KeyboardInterrupt:
        print(INTERRUPTED, file=sys.stderr)
        return EXIT_INTERRUPTED
    except Terminated:
        print(TERMINATED, file=sys.stderr)
        return EXIT_TERMINATED
    finally:
        if old is not None:
            signal.signal(signal.SIGTERM, old)


if __name__ == "__main__":
    sys.exit(main())
