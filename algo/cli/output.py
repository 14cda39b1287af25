"""What the command prints: the report as text or JSON on stdout, progress on stderr."""

from __future__ import annotations

import json
import sys
import time

from algo import machine, reading
from algo.results import plain, printable

EXIT_FLAGGED = 2  # completed, and something is at or past the level asked to fail on


class Progress:
    """Stage-by-stage progress on stderr, for a person watching a terminal."""

    def __init__(self, enabled: bool):
        self.enabled = enabled
        self.started = time.perf_counter()

    def stage(self, text: str) -> None:
        if self.enabled:
            print(printable(f"[{time.perf_counter() - self.started:6.1f}s] {text}"), file=sys.stderr, flush=True)


def emit(args, document: dict, lines: list[str], notes: list[str] = ()) -> None:
    """The report: a JSON document with `--json`, else lines of text with the notes last."""
    if args.json:
        text = json.dumps(plain({**document, "notes": list(notes)}), indent=2, ensure_ascii=False, allow_nan=False)
    else:
        text = "\n".join(printable(line) for line in [*lines, *(f"note: {note}" for note in notes)])
    print(text, file=args.stdout, flush=True)


def reading_summary(data: reading.Reading) -> dict:
    return {"source": data.source, "rows": data.total, "rows_used": len(data.rows), "downtime_rows": data.stopped,
            "running_when": str(data.running_when) if data.running_when else "always"}


def input_line(data: reading.Reading) -> str:
    line = f"{len(data.rows):,} of {data.total:,} rows used"
    if data.stopped:
        line += f"; {data.stopped:,} rows of downtime left out (running when {data.running_when})"
    return line


def flagged(args, worst: str | None) -> bool:
    """Whether the worst light is at or past the `--fail-on` level."""
    order = machine.LIGHT_ORDER
    return bool(args.fail_on and worst in order and order.index(worst) >= order.index(args.fail_on))
