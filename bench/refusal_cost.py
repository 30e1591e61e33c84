"""What a refused record costs against the same record converted, through
the package's record kernel (convert_record): a refusal should cost about
what a success does, not several conversions.

Each shared record is refused late, after most of its work: a call that
fits no discard goes after the last discard of an mjlog record, and in
place of the last kyoku's first take of a tenhou.net/6 one. Prints the
median over the records of the two times' ratio (best of --repeat calls).

    .venv/bin/python bench/refusal_cost.py [--repeat 15]
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import time
from collections.abc import Callable, Iterator
from pathlib import Path

from kifuzan._native import convert_record

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def mjlog_pairs() -> Iterator[tuple[bytes, bytes]]:
    for path in sorted((CORPUS / "mjlog").glob("[0-9]*.xml")):
        xml = path.read_text(encoding="utf-8")
        discards = list(re.finditer(r"<[DEFG]\d+/>", xml))
        if discards:
            end = discards[-1].end()
            yield xml.encode(), (xml[:end] + '<N who="1" m="11"/>' + xml[end:]).encode()


def tenhou6_pairs() -> Iterator[tuple[bytes, bytes]]:
    for path in sorted((CORPUS / "four_player").glob("*.json")):
        text = path.read_text(encoding="utf-8")
        doc = json.loads(text)
        doc["log"][-1][5][0] = "c121314"  # a chi of 1m before anyone discarded
        yield text.encode(), json.dumps(doc, ensure_ascii=False).encode()


def best(call: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    return min(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()
    for route, pairs in (("mjlog", mjlog_pairs()), ("tenhou.net/6", tenhou6_pairs())):
        ratios = []
        for good, bad in pairs:
            refused = convert_record(bad)
            if not isinstance(convert_record(good), bytes) or not isinstance(refused, tuple):
                continue
            if refused[0] == "MjlogError":
                continue  # the reader's own refusal, not the converter's
            ratios.append(best(lambda: convert_record(bad), args.repeat) / best(lambda: convert_record(good), args.repeat))
        if ratios:
            print(f"{route}: refused / converted, median over {len(ratios)} records: {statistics.median(ratios):.2f}")
        else:
            print(f"{route}: no shared records")


if __name__ == "__main__":
    main()
