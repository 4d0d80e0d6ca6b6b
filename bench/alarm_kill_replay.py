#!/usr/bin/python3
"""Alarms under kills: planted rows go through real runs (alarm_kill_run) that
are killed at random moments and started again, each recovering the rows the
killed one wrote. At the end every row in the workbooks is checked against a
model of the rules written here from their description, not from the
program: each crossing, return and text value must have given its alarm
exactly once.

  bench/alarm_kill_replay.py BUILD_DIR [ROWS] [KILLS] [SEED]

ROWS (default 100000) are split over workbooks of at most 50,000 rows, the
kills (default 20) over the workbooks. Counted:
  marks   the cells the model's raised alarms mark, against the filled cells
          xlrd reads from the saved .xls: missed and extra;
  events  the alarm lines the runs printed, against the model's: missed,
          extra and duplicated (a line may only be missing when a kill came
          between the journal taking the alarm and the line being printed).
"""
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time

import xlrd

RULES = {  # column: rules, as alarm_kill_run writes them
    2: {"high": 30, "low": 10, "margin": 2},
    3: {"high": 90, "margin": 5},
    4: {"step": 10, "margin": 3},
}
BLOCK = 50000


def model(rows):
    """The events of `rows` (sheet row, {column: number or None}) in order."""
    state = {c: {"n": False, "h": False, "l": False, "s": False, "prev": None} for c in RULES}
    events = []
    for row, cells in rows:
        for column, rule in sorted(RULES.items()):
            s = state[column]
            v = cells.get(column)

            def change(kind, raise_, clear):
                if not s[kind] and raise_:
                    s[kind] = True
                    events.append((row, column, kind, "raised"))
                elif s[kind] and clear:
                    s[kind] = False
                    events.append((row, column, kind, "cleared"))

            if v is None:
                change("n", True, False)
                continue
            change("n", False, True)
            m = rule.get("margin", 0)
            if "high" in rule:
                change("h", v > rule["high"], v <= rule["high"] - m)
            if "low" in rule:
                change("l", v < rule["low"], v >= rule["low"] + m)
            if "step" in rule:
                if s["prev"] is not None:
                    moved = abs(v - s["prev"])
                    change("s", moved > rule["step"], moved <= rule["step"] - m)
                s["prev"] = v
    return events


def read_book(path):
    """The rows (sheet row, numbers) and the filled cells of the first sheet."""
    book = xlrd.open_workbook(path, formatting_info=True)
    sheet = book.sheet_by_index(0)
    rows, filled = [], set()
    for r in range(sheet.nrows):
        if sheet.cell_type(r, 0) == xlrd.XL_CELL_EMPTY:
            continue
        cells = {}
        for column in RULES:
            c = column - 1
            if c < sheet.ncols and sheet.cell_type(r, c) == xlrd.XL_CELL_NUMBER:
                cells[column] = sheet.cell_value(r, c)
            else:
                cells[column] = None
        rows.append((r + 1, cells))
        for c in range(sheet.ncols):
            xf = book.xf_list[sheet.cell_xf_index(r, c)]
            if xf.background.fill_pattern != 0:
                filled.add((r + 1, c + 1))
    return rows, filled


def run_block(binary, folder, book, rows, kills, rng):
    """Runs until the workbook's rows are numbered up to `rows`, killing the
    run `kills` times; returns the printed events."""
    printed = []
    kill_at = sorted(rng.randrange(1, rows) for _ in range(kills))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    while True:
        errors = open(book + ".stderr", "ab")
        p = subprocess.Popen([binary, folder, book, str(rows)], stdout=subprocess.PIPE, stderr=errors, env=env)
        errors.close()
        target = kill_at.pop(0) if kill_at else None
        # One kill in four lands in the first moments: the recovery, the start.
        early = target is not None and rng.random() < 0.25
        deadline = time.monotonic() + rng.uniform(0.0, 0.4) if early else None
        buffer, killed, done = b"", False, False
        while True:
            timeout = max(0.0, deadline - time.monotonic()) if deadline else 1.0
            ready, _, _ = select.select([p.stdout], [], [], timeout)
            if deadline and time.monotonic() >= deadline and not killed:
                p.send_signal(signal.SIGKILL)
                killed = True
            if not ready:
                if p.poll() is not None:
                    break
                continue
            chunk = os.read(p.stdout.fileno(), 65536)
            if not chunk:
                break
            buffer += chunk
            *lines, buffer = buffer.split(b"\n")
            for line in lines:
                f = line.decode().split()
                if f[0] == "A":
                    printed.append((int(f[1]), int(f[2]), f[3], f[4]))
                elif f[0] == "R" and target and not early and not killed and int(f[1]) >= target:
                    time.sleep(rng.uniform(0.0, 0.05))  # anywhere in the rows that follow
                    p.send_signal(signal.SIGKILL)
                    killed = True
                elif f[0] == "DONE":
                    done = True
        p.wait()
        if done:
            if target is not None:
                kill_at.insert(0, target)  # the run ended before the kill: none was spent
            return printed
        if not killed:
            with open(book + ".stderr", "rb") as errors:
                said = errors.read().decode(errors="replace")[-2000:]
            sys.exit(f"alarm_kill_run ended with {p.returncode}:\n{said}")


def main():
    build = sys.argv[1]
    total = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    kills = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 20261208)
    binary = os.path.join(build, "bench", "alarm_kill_run")
    blocks = [min(BLOCK, total - start) for start in range(0, total, BLOCK)]
    totals = dict(rows=0, events=0, missed=0, extra=0, duplicated=0, marks=0, marks_missed=0,
                  marks_extra=0, unprinted=0)
    with tempfile.TemporaryDirectory() as folder:
        started = time.monotonic()
        for i, rows in enumerate(blocks):
            book = os.path.join(folder, f"book{i + 1}.xls")
            share = kills // len(blocks) + (1 if i < kills % len(blocks) else 0)
            printed = run_block(binary, folder, book, rows, share, rng)
            sheet_rows, filled = read_book(book)
            expected = model(sheet_rows)
            marks = {(r, c) for r, c, _, state in expected if state == "raised"}
            counts = {}
            for e in printed:
                counts[e] = counts.get(e, 0) + 1
            want = set(expected)
            totals["rows"] += len(sheet_rows)
            totals["events"] += len(expected)
            totals["unprinted"] += len(want - set(counts))
            for e in sorted(want - set(counts)):
                print(f"book{i + 1}: not printed {e}", file=sys.stderr)
            totals["extra"] += len(set(counts) - want)
            totals["duplicated"] += sum(n - 1 for n in counts.values())
            totals["marks"] += len(marks)
            totals["marks_missed"] += len(marks - filled)
            totals["marks_extra"] += len(filled - marks)
            numbers = [r for r, _ in sheet_rows]
            if numbers != list(range(1, len(numbers) + 1)):
                print(f"book{i + 1}: rows not one after another from row 1", file=sys.stderr)
        elapsed = time.monotonic() - started
    print(f"rows {totals['rows']} in {len(blocks)} workbooks, {kills} kills, {elapsed:.0f} s")
    print(f"events expected {totals['events']}: not printed {totals['unprinted']}, "
          f"extra {totals['extra']}, duplicated {totals['duplicated']}")
    print(f"marks expected {totals['marks']}: missed {totals['marks_missed']}, extra {totals['marks_extra']}")
    bad = totals["extra"] + totals["duplicated"] + totals["marks_missed"] + totals["marks_extra"]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
