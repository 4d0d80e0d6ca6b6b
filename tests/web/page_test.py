#!/usr/bin/env python3
"""The web page in headless Chromium, driven through Selenium.

Against the mock logger (tests/web/mock_logger.py, started here) by default, or against a running
logger given with --url (checks that need the mock's /mock/ controls are then left out). Checks that
the page loads without console errors under the logger's Content-Security-Policy, shows the status,
takes rows into its table and chart within a second (p99 measured in the page from each row's stamp),
shows the banner while the event stream is down and catches up afterwards with no row missing or
doubled, starts over on a new run, links the downloads, and stacks its parts on a narrow screen.

--screenshot PATH saves a picture of the page against the mock instead.
Exits 77 (skipped) when chromium, chromedriver or Selenium is missing.
"""

import argparse
import json
import math
import os
import re
import select
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from datetime import datetime

SKIP = 77
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
MOCK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mock_logger.py")

LOST = "ロガーとの接続が切れました。再接続しています…"
BACK = "再接続しました"
STATES = {"idle": "待機中", "running": "取得中", "paused": "一時停止", "ended": "終了"}
CHANNEL_STATES = {"connected": "接続中", "lost": "切断中"}
LATENCY_ROWS = 100
LATENCY_LIMIT_MS = 1000

# Times the page's table and chart change, kept in the page, so that a row's appearance is
# timed where it happens rather than when the test next looks.
WATCH_SCRIPT = """
const body = document.getElementById('table-body');
const canvas = document.getElementById('chart');
const watch = window.kestruneWatch = {table: [], chart: []};
new MutationObserver(() => {
  const first = body.firstElementChild;
  if (first) watch.table.push([Number(first.dataset.seq), Date.now()]);
}).observe(body, {childList: true});
new MutationObserver(() => {
  watch.chart.push([Number(canvas.dataset.lastSequence), Number(canvas.dataset.points), Date.now()]);
}).observe(canvas, {attributes: true});
"""


class Failure(Exception):
    pass


def wait_until(what, check, timeout):
    """Polls check() until it returns something true; fails with what after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


class Logger:
    """The logger under test over plain HTTP: its API and, for the mock, its controls."""

    def __init__(self, base):
        self.base = base

    def get(self, path, method="GET"):
        request = urllib.request.Request(urllib.parse.urljoin(self.base, path), method=method)
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, dict(response.headers), response.read()

    def json(self, path):
        return json.loads(self.get(path)[2])

    def status(self):
        return self.json("api/status")

    def control(self, path):
        return self.get("mock/" + path)[2].decode()


def start_mock(rate, rows, extra=()):
    command = [sys.executable, MOCK, "--port", "0", "--rate", str(rate), "--rows", str(rows), *extra]
    mock = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    ready, _, _ = select.select([mock.stdout], [], [], 30)
    line = mock.stdout.readline() if ready else ""
    match = re.match(r"listening on (\S+)", line)
    if not match:
        mock.kill()
        raise Failure(f"the mock logger did not start: {line!r}")
    return mock, match.group(1)


def start_browser(width, height):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--window-size={width},{height}", "--lang=ja"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class PageTest:
    def __init__(self, driver, logger, with_mock):
        self.driver = driver
        self.logger = logger
        self.with_mock = with_mock

    # ---- helpers on the page ----

    def text(self, element_id):
        return self.driver.execute_script("return document.getElementById(arguments[0]).textContent", element_id)

    def chart(self):
        return self.driver.execute_script(
            "const d = document.getElementById('chart').dataset;"
            "return [Number(d.firstSequence || 0), Number(d.lastSequence || 0), Number(d.points || 0)];"
        )

    def table_sequences(self):
        return self.driver.execute_script(
            "return Array.from(document.querySelectorAll('#table-body tr'), tr => Number(tr.dataset.seq));"
        )

    def banner(self):
        return self.driver.execute_script(
            "const b = document.getElementById('banner'); return b.hidden ? null : b.textContent;"
        )

    def console_errors(self, allowed=()):
        entries = self.driver.get_log("browser")
        return [e["message"] for e in entries
                if e["level"] == "SEVERE" and not any(a in e["message"] for a in allowed)]

    def expect_no_console_errors(self, when, allowed=()):
        errors = self.console_errors(allowed)
        if errors:
            raise Failure(f"console errors {when}: {errors}")

    def caught_up_to(self, sequence):
        first, last, points = self.chart()
        return last >= sequence and (first, last, points)

    def expect_whole(self, when):
        """The chart holds each row from its first to its last once, and the table the last 50."""
        # One script reads both, so that no redraw comes between them.
        (first, last, points), table = self.driver.execute_script(
            "const d = document.getElementById('chart').dataset;"
            "return [[Number(d.firstSequence), Number(d.lastSequence), Number(d.points)],"
            " Array.from(document.querySelectorAll('#table-body tr'), tr => Number(tr.dataset.seq))];"
        )
        if points != last - first + 1:
            raise Failure(f"{when}: the chart holds {points} rows for sequences {first} to {last}")
        expected = list(range(last, max(first, last - 49) - 1, -1))
        if table != expected:
            raise Failure(f"{when}: the table shows {table[:8]}… instead of {expected[:8]}…")

    # ---- checks ----

    def load(self):
        self.driver.get(self.logger.base)
        status = self.logger.status()
        wait_until("rows in the table and the chart",
                   lambda: self.table_sequences() and self.chart()[2] > 0, 15)
        title = f"Kestrune — {status['workbook']}"
        wait_until(f"the title {title!r}", lambda: self.driver.title == title, 5)
        self.expect_no_console_errors("after loading")
        self.expect_whole("after loading")
        print("ok: the page loads without console errors and shows the rows")

    def status_fields(self):
        before = self.logger.status()
        expected = {
            "workbook": before["workbook"],
            "sheet": before["sheet"],
            "state": STATES[before["state"]],
            "channels": " / ".join(f"CH{c['channel']} {CHANNEL_STATES[c['state']]}" for c in before["channels"]),
        }
        wait_until(f"status fields {expected}",
                   lambda: all(self.text(k) == v for k, v in expected.items()), 5)
        # A running logger sends its status at most every quarter second: the
        # field may be a moment behind, never ahead.
        shown = lambda: re.fullmatch(r"(\d+)(?: / (\d+))? 行", self.text("rows"))
        wait_until("the rows field to catch up with the logger",
                   lambda: shown() and int(shown().group(1)) >= before["rows"] - 10, 5)
        match = shown()
        after = self.logger.status()
        limit = before.get("rowLimit") or None
        if not match or (int(match.group(2)) if match.group(2) else None) != limit:
            raise Failure(f"rows field {self.text('rows')!r}, limit {before['rowLimit']}")
        done = int(match.group(1))
        if not before["rows"] - 10 <= done <= after["rows"]:
            raise Failure(f"rows field says {done}, the logger {before['rows']} to {after['rows']}")
        if not re.fullmatch(r"\d+:\d\d:\d\d", self.text("elapsed")):
            raise Failure(f"elapsed time {self.text('elapsed')!r}")
        if self.with_mock:
            self.logger.control("alarm?active=2")
            wait_until("the alarm line in red", lambda: self.driver.execute_script(
                "const a = document.getElementById('alarms');"
                "return a.classList.contains('alarm-active') && a.textContent.startsWith('2 件');"), 5)
            self.logger.control("alarm?active=0")
            wait_until("the alarm line back to normal", lambda: self.driver.execute_script(
                "const a = document.getElementById('alarms');"
                "return !a.classList.contains('alarm-active') && a.textContent.startsWith('なし');"), 5)
        print("ok: the status fields show the logger's values")

    def stamp_precision(self):
        """The table shows the stamps to the second, or to the millisecond when the status says ms."""
        newest = "return document.querySelector('#table-body tr td:nth-child(2)').textContent"
        seconds = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
        for precision, pattern in (("s", seconds), ("ms", seconds + r"\.\d{3}"), ("s", seconds)):
            self.logger.control(f"precision?stamps={precision}")
            wait_until(f"stamps shown as {pattern}",
                       lambda: re.fullmatch(pattern, self.driver.execute_script(newest) or ""), 5)
        print("ok: the stamps are shown to the second, or to the millisecond when the logger says so")

    def latency(self):
        self.driver.execute_script(WATCH_SCRIPT)
        start = self.chart()[1]
        end = start + LATENCY_ROWS
        rate = max(self.logger.status()["rate"], 0.1)
        wait_until(f"row {end}", lambda: self.caught_up_to(end), min(120, LATENCY_ROWS / rate * 3 + 20))
        watch = self.driver.execute_script("return window.kestruneWatch")
        rows = self.logger.json(f"api/rows?after={start}&limit={LATENCY_ROWS}")["rows"]
        delays = []
        for row in rows:
            if not row.get("stamp") or "T" not in row["stamp"]:
                print("note: rows without a full stamp; the delay is not measured")
                return
            made = datetime.fromisoformat(row["stamp"]).timestamp() * 1000
            seen_table = next((t for s, t in watch["table"] if s >= row["sequence"]), None)
            seen_chart = next((t for s, n, t in watch["chart"] if s >= row["sequence"]), None)
            if seen_table is None or seen_chart is None:
                raise Failure(f"row {row['sequence']} never appeared in the table or the chart")
            delays.append(max(seen_table, seen_chart) - made)
        delays.sort()
        p99 = delays[math.ceil(0.99 * len(delays)) - 1]
        print(f"ok: {len(delays)} rows reached the table and the chart; delay p50 {delays[len(delays) // 2]:.0f} ms,"
              f" p99 {p99:.0f} ms, max {delays[-1]:.0f} ms")
        if p99 > LATENCY_LIMIT_MS:
            raise Failure(f"p99 delay {p99:.0f} ms over {LATENCY_LIMIT_MS} ms")
        self.expect_whole("after following the stream")

    def reconnect(self, mode):
        before = self.chart()[1]
        refused = int(self.logger.control("refused"))
        self.logger.control(f"drop?mode={mode}")
        wait_until("the banner saying the connection is lost", lambda: self.banner() == LOST, 10)
        # The browser's own retry is refused; after an HTTP error the page's new stream as well.
        attempts = 1 if mode == "close" else 2
        wait_until(f"{attempts} refused attempts to reconnect",
                   lambda: int(self.logger.control("refused")) >= refused + attempts, 15)
        # Rows the stream does not carry while it is down.
        wait_until("rows made while the stream is down",
                   lambda: self.logger.status()["lastSequence"] >= before + 20, 10)
        if self.chart()[1] >= before + 20:
            raise Failure("rows reached the page while the stream was down")
        self.logger.control("restore")
        target = self.logger.status()["lastSequence"]
        wait_until("the banner saying it is back", lambda: self.banner() == BACK, 15)
        wait_until(f"catching up to row {target}", lambda: self.caught_up_to(target), 10)
        wait_until("the banner to go", lambda: self.banner() is None, 10)
        self.expect_whole(f"after the stream came back ({mode})")
        # Chromium reports the refused stream requests on the console; nothing else may appear.
        self.expect_no_console_errors("around the reconnection", allowed=("/api/events",))
        print(f"ok: banner while the stream is down ({mode}) and back, rows {before + 1} to {target} caught up once each")

    def new_run(self):
        self.logger.control("run")
        wait_until("the chart and the table of the new run", lambda: self.chart()[0] == 1 and self.chart()[2] > 0, 10)
        target = self.logger.status()["lastSequence"]
        wait_until(f"row {target} of the new run", lambda: self.caught_up_to(target), 10)
        self.expect_whole("after a new run")
        print("ok: a new run clears the table and the chart and loads its rows")

    def downloads(self):
        links = self.driver.execute_script(
            "return Array.from(document.querySelectorAll('a[href*=\"download\"]'), a => [a.textContent, a.href]);"
        )
        expected = {"ワークブックをダウンロード": "/download/workbook.xls", "CSV でダウンロード": "/download/rows.csv"}
        found = {text: urllib.parse.urlsplit(href).path for text, href in links}
        if found != expected:
            raise Failure(f"download links {found}, expected {expected}")
        for path in expected.values():
            code, headers, _ = self.logger.get(path.lstrip("/"), method="HEAD")
            if code != 200 or not headers.get("Content-Disposition", "").startswith("attachment"):
                raise Failure(f"{path}: {code} {headers.get('Content-Disposition')}")
        print("ok: the download links point at /download/workbook.xls and /download/rows.csv")

    def layout(self):
        boxes = "return ['.status', '.chart', '.rows'].map(s => document.querySelector(s).getBoundingClientRect().toJSON());"
        self.driver.set_window_size(390, 844)
        status, chart, rows = wait_until("the narrow layout", lambda: (
            (b := self.driver.execute_script(boxes)) and b[1]["top"] >= b[0]["bottom"] and b), 5)
        if rows["top"] < chart["bottom"] or chart["right"] > 390:
            raise Failure(f"on a narrow screen the parts overlap or overflow: {status} {chart} {rows}")
        self.driver.set_window_size(1280, 900)
        wait_until("the wide layout", lambda: (
            (b := self.driver.execute_script(boxes)) and b[1]["left"] >= b[0]["right"]), 5)
        print("ok: the parts stack on a narrow screen and stand side by side on a wide one")

    def content_security_policy(self):
        # An inline script must be refused and the refusal reach the console: this proves both that
        # the logger sends the policy and that the console checks above would have seen a violation.
        self.driver.execute_script(
            "const s = document.createElement('script');"
            "s.textContent = 'document.documentElement.dataset.inline = \"ran\"';"
            "document.head.append(s);"
        )
        errors = wait_until("the refused inline script on the console",
                            lambda: [e for e in self.console_errors() if "Content Security Policy" in e], 5)
        if self.driver.execute_script("return document.documentElement.dataset.inline"):
            raise Failure("an inline script ran: the Content-Security-Policy is missing")
        print(f"ok: the Content-Security-Policy refuses inline scripts ({len(errors)} violation on the console)")


def missing_tools():
    missing = [path for path in (CHROMIUM, CHROMEDRIVER) if not os.access(path, os.X_OK)]
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("python3-selenium")
    return missing


def screenshot(path):
    mock, base = start_mock(1, 900, ("--limit", "3600", "--minutes", "60", "--program", "Kestrune",
                                     "--hostname", "lab1"))
    driver = start_browser(1280, 900)
    try:
        Logger(base).control("alarm?active=1")
        page = PageTest(driver, Logger(base), True)
        driver.get(base)
        wait_until("the chart", lambda: page.chart()[2] >= 900, 20)
        wait_until("the alarm line", lambda: "件発生中" in page.text("alarms"), 5)
        driver.save_screenshot(path)
        print(f"saved {path}")
    finally:
        driver.quit()
        mock.terminate()
        mock.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--url", help="a running logger's base URL (default: start the mock logger)")
    parser.add_argument("--rate", type=float, default=25, help="the mock's rows per second")
    parser.add_argument("--screenshot", metavar="PATH", help="save a picture of the page and stop")
    args = parser.parse_args()

    missing = missing_tools()
    if missing:
        print(f"skipped: missing {', '.join(missing)} (Debian packages chromium, chromium-driver, python3-selenium)")
        return SKIP
    if args.screenshot:
        screenshot(args.screenshot)
        return 0

    mock = None
    base = args.url
    if not base:
        mock, base = start_mock(args.rate, 300)
    base = base if base.endswith("/") else base + "/"
    driver = start_browser(1280, 900)
    try:
        test = PageTest(driver, Logger(base), with_mock=mock is not None)
        test.load()
        test.status_fields()
        test.latency()
        test.downloads()
        if mock:
            test.stamp_precision()
            test.reconnect("close")
            test.reconnect("404")
            test.new_run()
        else:
            print("note: against a running logger: the stream is not dropped and no new run is started")
        test.layout()
        test.expect_no_console_errors("at the end", allowed=("/api/events",))
        test.content_security_policy()
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    finally:
        driver.quit()
        if mock:
            mock.terminate()
            mock.wait()
    print("all web page checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
