#!/usr/bin/env python3
"""A stand-in for a running Kestrune logger's web server, for working on the web page and testing it.

Serves the page from src/web/page and the logger's API (/api/status, /api/rows, /api/events and the
two downloads) with rows made up at a steady rate. Paths under /mock/ steer it; the logger has none:

  /mock/drop[?mode=M]    close the event streams and refuse new ones until /mock/restore: by closing
                         the connection unanswered, or with the HTTP status M (e.g. 404)
  /mock/restore          accept event streams again
  /mock/refused          how many event streams were refused so far
  /mock/add?n=N          add N rows at once
  /mock/run              start a new run (the streams get the event "run")
  /mock/alarm?active=N   set the number of active alarms (0 clears them)
  /mock/precision?stamps=P  the stamps' precision the status gives, s or ms

Prints "listening on http://HOST:PORT/" once it listens. Python's standard library only.
"""

import argparse
import csv
import io
import json
import math
import os
import socket
import sys
import threading
import time
import urllib.parse
from datetime import datetime, timedelta
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "web", "page")
PAGE_FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/style.css": ("style.css", "text/css; charset=utf-8"),
}
COMMON_HEADERS = {
    "Cache-Control": "no-store",
    "X-Content-Type-Options": "nosniff",
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; style-src 'self'; "
    "script-src 'self'; connect-src 'self'",
    "Referrer-Policy": "no-referrer",
}
COLUMNS = [{"column": "C", "header": "温度"}, {"column": "D", "header": "湿度"}, {"column": "E", "header": ""}]
WORKBOOK = "炉1.xls"
KEEP_ALIVE_S = 15.0
STATUS_INTERVAL_S = 0.25
REPLAY_LIMIT = 10000


def stamp(moment):
    return moment.astimezone().isoformat(timespec="milliseconds")


# The stamps a row may carry, by the run's setting: date and time, time only, date only, none.
ROW_STAMPS = {
    "full": stamp,
    "time": lambda moment: moment.strftime("%H:%M:%S.") + f"{moment.microsecond // 1000:03d}",
    "date": lambda moment: moment.strftime("%Y-%m-%d"),
    "none": lambda moment: None,
}


class Logger:
    """The made-up run: its rows, its status, and what the event streams are told."""

    def __init__(self, rate, limit, minutes, earlier_rows, stamps="full"):
        self.program = "Kestrune (mock)"
        self.hostname = socket.gethostname()
        self.row_stamp = ROW_STAMPS[stamps]
        self.rate = rate
        self.limit = limit
        self.minutes = minutes
        self.changed = threading.Condition()
        self.run = 0
        self.alarms_active = 0
        self.stamp_precision = "s"
        self.alarm_latest = None
        self.dropped = False
        self.drop_mode = "close"
        self.drops = 0  # counts drops, so that each stream knows when to end
        self.refused = 0  # event streams refused while dropped
        self.status_version = 0
        self.new_run(earlier_rows)

    def new_run(self, earlier_rows):
        with self.changed:
            self.run += 1
            self.rows = []
            self.started = datetime.now().astimezone()
            self.saved_at = None
            self.times = []  # monotonic times of the rows, for the rate
            span = timedelta(seconds=earlier_rows / self.rate if self.rate > 0 else earlier_rows)
            self.started -= span
            now = time.monotonic()
            for i in range(earlier_rows):
                back = span * (earlier_rows - i - 1) / earlier_rows
                self._add(self.started + span - back, now - back.total_seconds())
            self._touch()

    def _add(self, moment, monotonic):
        seq = len(self.rows) + 1
        temperature = 25 + 5 * math.sin(seq / 40) + 0.3 * math.sin(seq * 1.7)
        humidity = 45 + 6 * math.cos(seq / 90)
        flow = None if seq % 97 == 0 else 12 + 3 * math.sin(seq / 13) + 0.5 * math.sin(seq * 2.3)
        self.rows.append(
            {
                "sequence": seq,
                "number": seq,
                "stamp": self.row_stamp(moment),
                "sheet": "Sheet1",
                "row": seq + 1,
                "values": [f"{temperature:.1f}", f"{humidity:.1f}", "ERR" if flow is None else f"{flow:.2f}"],
                "numbers": [round(temperature, 1), round(humidity, 1), None if flow is None else round(flow, 2)],
            }
        )
        self.times.append(monotonic)
        if seq % 100 == 0:
            self.saved_at = moment.replace(microsecond=0)

    def _touch(self):
        self.status_version += 1
        self.changed.notify_all()

    def add_rows(self, n):
        with self.changed:
            for _ in range(n):
                self._add(datetime.now(), time.monotonic())
            self._touch()

    def set_alarms(self, active):
        with self.changed:
            self.alarms_active = active
            if active:
                now = datetime.now()
                self.alarm_latest = f"アラーム {now:%H:%M:%S} C列 30.2：上限 30 を超えています"
            self._touch()

    def set_precision(self, precision):
        with self.changed:
            self.stamp_precision = precision
            self._touch()

    def set_dropped(self, dropped, mode="close"):
        with self.changed:
            self.dropped = dropped
            self.drop_mode = mode
            if dropped:
                self.drops += 1
            self.changed.notify_all()

    def status(self):
        with self.changed:
            now = datetime.now().astimezone()
            recent = [t for t in self.times[-6000:] if t >= time.monotonic() - 60]
            elapsed = int((now - self.started).total_seconds() * 1000)
            return {
                "program": self.program,
                "host": self.hostname,
                "state": "running",
                "workbook": WORKBOOK,
                "sheet": "Sheet1",
                "rows": len(self.rows),
                "rowLimit": self.limit or None,
                "startedAt": stamp(self.started),
                "elapsedMs": elapsed,
                "remainingMs": max(0, self.minutes * 60000 - elapsed) if self.minutes else None,
                "rate": len(recent) / 60.0,
                "lastSequence": len(self.rows),
                "stampPrecision": self.stamp_precision,
                "leading": {"number": True, "stamp": self.row_stamp(self.started) is not None},
                "columns": COLUMNS,
                "channels": [{"channel": 1, "state": "connected"}, {"channel": 2, "state": "lost"}],
                "mqtt": {"state": "connected", "queued": 0},
                "alarms": {"active": self.alarms_active, "latest": self.alarm_latest},
                "savedAt": self.saved_at.astimezone().isoformat() if self.saved_at else None,
            }

    def rows_after(self, after, limit):
        with self.changed:
            chosen = self.rows[after : after + limit] if after >= 0 else []
            return {"rows": chosen, "lastSequence": len(self.rows), "more": after + limit < len(self.rows)}

    def csv_bytes(self):
        with self.changed:
            rows = list(self.rows)
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\r\n")
        writer.writerow(["sequence", "number", "stamp"] + [c["header"] or c["column"] for c in COLUMNS])
        for row in rows:
            writer.writerow([row["sequence"], row["number"], row["stamp"]] + row["values"])
        return ("\ufeff" + out.getvalue()).encode("utf-8")

    def generate(self):
        """Adds a row every 1/rate seconds, on a schedule that does not drift."""
        period = 1.0 / self.rate
        due = time.monotonic() + period
        while True:
            time.sleep(max(0.0, due - time.monotonic()))
            due += period
            with self.changed:
                self._add(datetime.now(), time.monotonic())
                self._touch()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    logger = None  # set by main()
    verbose = False

    def log_message(self, fmt, *args):
        if self.verbose:
            super().log_message(fmt, *args)

    def answer(self, code, content_type, body=b"", headers=None):
        self.send_response(code)
        for name, value in COMMON_HEADERS.items():
            self.send_header(name, value)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def answer_json(self, value):
        self.answer(200, "application/json; charset=utf-8", json.dumps(value, ensure_ascii=False).encode("utf-8"))

    def answer_text(self, code, text):
        self.answer(code, "text/plain; charset=utf-8", text.encode("utf-8"))

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        path = url.path
        logger = self.logger
        try:
            if path in PAGE_FILES:
                name, content_type = PAGE_FILES[path]
                with open(os.path.join(PAGE_DIR, name), "rb") as f:
                    self.answer(200, content_type, f.read())
            elif path == "/api/status":
                self.answer_json(logger.status())
            elif path == "/api/rows":
                after = int(query.get("after", 0))
                limit = max(1, min(10000, int(query.get("limit", 1000))))
                self.answer_json(logger.rows_after(after, limit))
            elif path == "/api/events":
                self.stream()
            elif path == "/download/workbook.xls":
                name = urllib.parse.quote(WORKBOOK)
                self.answer(
                    200,
                    "application/vnd.ms-excel",
                    b"mock workbook\n",
                    {"Content-Disposition": f"attachment; filename*=UTF-8''{name}"},
                )
            elif path == "/download/rows.csv":
                name = urllib.parse.quote(os.path.splitext(WORKBOOK)[0] + ".csv")
                self.answer(
                    200,
                    "text/csv; charset=utf-8",
                    logger.csv_bytes(),
                    {"Content-Disposition": f"attachment; filename*=UTF-8''{name}"},
                )
            elif path.startswith("/mock/"):
                self.control(path, query)
            else:
                self.answer_text(404, "見つかりません")
        except ValueError:
            self.answer_text(400, "要求が正しくありません")
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    do_HEAD = do_GET

    def refuse_method(self):
        self.answer_text(405, "この操作はできません")

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = refuse_method

    def control(self, path, query):
        logger = self.logger
        if path == "/mock/drop":
            logger.set_dropped(True, query.get("mode", "close"))
        elif path == "/mock/restore":
            logger.set_dropped(False)
        elif path == "/mock/add":
            logger.add_rows(int(query.get("n", 1)))
        elif path == "/mock/refused":
            self.answer_text(200, str(logger.refused))
            return
        elif path == "/mock/run":
            logger.new_run(0)
        elif path == "/mock/alarm":
            logger.set_alarms(int(query.get("active", 1)))
        elif path == "/mock/precision":
            logger.set_precision(query.get("stamps", "s"))
        else:
            self.answer_text(404, "見つかりません")
            return
        self.answer_text(200, "ok")

    def send_event(self, name, data, event_id=None):
        text = ""
        if event_id is not None:
            text += f"id: {event_id}\n"
        text += f"event: {name}\ndata: {json.dumps(data, ensure_ascii=False)}\n\n"
        self.wfile.write(text.encode("utf-8"))

    def stream(self):
        logger = self.logger
        # Where this stream starts is fixed before the browser learns that it is open: the page
        # asks for the rows before that point only once it is.
        with logger.changed:
            dropped, mode, drops, run = logger.dropped, logger.drop_mode, logger.drops, logger.run
            status_version = logger.status_version
            sent = len(logger.rows)
        if dropped:
            with logger.changed:
                logger.refused += 1
            if mode.isdigit():
                self.answer_text(int(mode), "停止中")
            else:
                self.close_connection = True  # no answer at all: the browser sees a network error
            return
        last_id = self.headers.get("Last-Event-ID")
        self.log_message("event stream from Last-Event-ID %s", last_id)
        if last_id is not None and last_id.strip().isdigit():
            sent = min(sent, max(int(last_id), sent - REPLAY_LIMIT))
        self.close_connection = True
        self.send_response(200)
        for name, value in COMMON_HEADERS.items():
            self.send_header(name, value)
        self.send_header("Content-Type", "text/event-stream; charset=utf-8")
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        self.wfile.write(b"retry: 2000\n\n")
        self.send_event("status", logger.status())
        status_sent = time.monotonic()
        last_traffic = time.monotonic()
        self.wfile.flush()
        while True:
            with logger.changed:
                while True:
                    if logger.drops != drops:
                        return
                    now = time.monotonic()
                    new_run = logger.run != run
                    rows = [] if new_run else logger.rows[sent:]
                    status_due = logger.status_version != status_version and now - status_sent >= STATUS_INTERVAL_S
                    keep_alive = now - last_traffic >= KEEP_ALIVE_S
                    if new_run or rows or status_due or keep_alive:
                        break
                    wait = KEEP_ALIVE_S - (now - last_traffic)
                    if logger.status_version != status_version:
                        wait = min(wait, STATUS_INTERVAL_S - (now - status_sent))
                    logger.changed.wait(max(0.01, wait))
                run = logger.run
                if status_due or new_run:
                    status_version = logger.status_version
            if new_run:
                sent = 0
                self.send_event("run", {})
            for row in rows:
                self.send_event("row", row, row["sequence"])
            sent += len(rows)
            if status_due or new_run:
                self.send_event("status", logger.status())
                status_sent = now
            if keep_alive and not (rows or status_due or new_run):
                self.wfile.write(b": keep-alive\n\n")
            self.wfile.flush()
            last_traffic = time.monotonic()


def main():
    parser = argparse.ArgumentParser(description="A made-up running logger for the web page.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 chooses a free port")
    parser.add_argument("--rate", type=float, default=2.0, help="rows per second (0: only /mock/add)")
    parser.add_argument("--rows", type=int, default=0, help="rows the run has already when the mock starts")
    parser.add_argument("--limit", type=int, default=100000, help="the run's row limit (0: none)")
    parser.add_argument("--minutes", type=int, default=0, help="the run's time limit (0: none)")
    parser.add_argument("--stamps", choices=sorted(ROW_STAMPS), default="full", help="what the rows' stamps hold")
    parser.add_argument("--program", help="the program's name in the status")
    parser.add_argument("--hostname", help="the computer's name in the status")
    parser.add_argument("--verbose", action="store_true", help="log each request")
    args = parser.parse_args()

    logger = Logger(args.rate, args.limit, args.minutes, args.rows, args.stamps)
    logger.program = args.program or logger.program
    logger.hostname = args.hostname or logger.hostname
    Handler.logger = logger
    Handler.verbose = args.verbose
    server = ThreadingHTTPServer((args.host, args.port), Handler)
    server.daemon_threads = True
    host, port = server.server_address[:2]
    print(f"listening on http://{host}:{port}/", flush=True)
    if args.rate > 0:
        threading.Thread(target=logger.generate, daemon=True).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
