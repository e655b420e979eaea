#!/usr/bin/env python3
"""The report in a real browser: headless Chromium loads the overview, the leaderboard and player
pages of a report made from a week of generated play. No page may log a console error, an uncaught
exception or a failed load (Chromium's DevTools protocol tells); the figures in the DOM (--dump-dom)
must equal those worked out here from the database's rows; the screenshots (--screenshot) must not be
blank. Sites of little data are laid out as Chromium renders them: a day's play (labels apart, bars of
a day's width, uncovered hours blank and said so, the top ten's chart under a heading) and a site with
no kills (each empty chart a sentence, no empty frame).

    browser_test.py --varnstats varnstats [--chromium chromium] [--days 3] [--keep-screenshot docs/x.png]
"""

import argparse
import html.parser
import json
import os
import re
import select
import shutil
import subprocess
import sys
import time
import zlib

from statstest import (Failure, StatsDatabase, check, check_equal, check_no_address, missing_program, run, run_test)

HERE = os.path.dirname(os.path.abspath(__file__))
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync", "--hide-scrollbars",
         "--force-device-scale-factor=1"]
BROWSER_TIMEOUT = 60


class DevTools:
    """Chromium driven over --remote-debugging-pipe: load a page, collect what its console says."""

    def __init__(self, chromium, profile):
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()

        def attach_pipes():
            os.dup2(to_browser_read, 3)
            os.dup2(from_browser_write, 4)

        self.process = subprocess.Popen([chromium, *FLAGS, f"--user-data-dir={profile}", "--remote-debugging-pipe",
                                         "about:blank"], pass_fds=(3, 4), preexec_fn=attach_pipes,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Runtime.enable", "Log.enable", "Page.enable"):
            self.call(domain, session=self.session)

    def send(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        return self.next_id

    def receive(self, wanted, timeout):
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\0", 1)
                message = json.loads(raw)
                self.events.append(message)
                if wanted(message):
                    return message
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("Chromium did not answer in time")
            ready, _, _ = select.select([self.from_browser], [], [], left)
            if ready:
                chunk = os.read(self.from_browser, 1 << 20)
                if not chunk:
                    raise Failure("Chromium closed its DevTools pipe")
                self.buffer += chunk

    def call(self, method, params=None, session=None):
        number = self.send(method, params, session)
        reply = self.receive(lambda message: message.get("id") == number, BROWSER_TIMEOUT)
        if "error" in reply:
            raise Failure(f"{method}: {reply['error']}")
        return reply.get("result", {})

    def console_errors(self, url):
        """Loads url and returns every console error, uncaught exception and failed load it caused."""
        self.events = []
        self.send("Page.navigate", {"url": url}, self.session)
        self.receive(lambda message: message.get("method") == "Page.loadEventFired", BROWSER_TIMEOUT)
        # Whatever the load set off still reports within a moment.
        self.call("Runtime.evaluate", {"expression": "new Promise(done => setTimeout(done, 200))",
                                       "awaitPromise": True}, self.session)
        errors = []
        for event in self.events:
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.exceptionThrown":
                errors.append("exception: " + json.dumps(params.get("exceptionDetails", {}))[:300])
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                errors.append("console.error: " + json.dumps(params.get("args", []))[:300])
            elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
                entry = params["entry"]
                errors.append(f"log: {entry.get('text')} {entry.get('url', '')}")
        return errors

    def evaluate(self, url, expression):
        """Loads url and returns the value of a JavaScript expression evaluated in it."""
        self.send("Page.navigate", {"url": url}, self.session)
        self.receive(lambda message: message.get("method") == "Page.loadEventFired", BROWSER_TIMEOUT)
        reply = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, self.session)
        if "exceptionDetails" in reply:
            raise Failure(f"{url}: {reply['exceptionDetails']}")
        return reply["result"].get("value")

    def close(self):
        try:
            self.send("Browser.close")
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait(timeout=10)
        os.close(self.to_browser)
        os.close(self.from_browser)


def chromium_run(chromium, profile, *arguments):
    result = subprocess.run([chromium, *FLAGS, f"--user-data-dir={profile}", *arguments], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=BROWSER_TIMEOUT)
    if result.returncode != 0:
        raise Failure(f"chromium {' '.join(arguments)} exited {result.returncode}")
    return result.stdout.decode("utf-8")


class Figures(html.parser.HTMLParser):
    """The text of every element with an id, and the cells of every row with a data-player."""

    def __init__(self, text):
        super().__init__()
        self.by_id = {}
        self.rows = []
        self.open = []  # (tag, id, cell class)
        self.row = None
        self.feed(text)

    def handle_starttag(self, tag, attributes):
        attributes = dict(attributes)
        if tag == "tr" and "data-player" in attributes:
            self.row = {"player": int(attributes["data-player"])}
            self.rows.append(self.row)
        self.open.append((tag, attributes.get("id"), attributes.get("class")))
        if attributes.get("id"):
            self.by_id.setdefault(attributes["id"], "")

    def handle_endtag(self, tag):
        while self.open:
            opened = self.open.pop()
            if opened[0] == tag:
                break
        if tag == "tr":
            self.row = None

    def handle_data(self, data):
        for _, element_id, cell_class in self.open:
            if element_id:
                self.by_id[element_id] += data
        if self.row is not None and self.open:
            for _, _, cell_class in reversed(self.open):
                if cell_class:
                    self.row[cell_class] = self.row.get(cell_class, "") + data
                    break


def png_pixels(path):
    """Width, height and the RGB(A) rows of an 8-bit PNG, unfiltered."""
    with open(path, "rb") as image:
        data = image.read()
    check(data[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is no PNG")
    position, idat, header = 8, b"", None
    while position < len(data):
        length = int.from_bytes(data[position:position + 4], "big")
        kind = data[position + 4:position + 8]
        body = data[position + 8:position + 8 + length]
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            idat += body
        position += 12 + length
    width, height = int.from_bytes(header[0:4], "big"), int.from_bytes(header[4:8], "big")
    depth, colour = header[8], header[9]
    check(depth == 8 and colour in (2, 6), f"{path}: PNG depth {depth}, colour type {colour}")
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 1:
            for i in range(channels, stride):
                line[i] = (line[i] + line[i - channels]) & 255
        elif kind == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, previous))
        elif kind == 3:
            for i in range(stride):
                left = line[i - channels] if i >= channels else 0
                line[i] = (line[i] + ((left + previous[i]) >> 1)) & 255
        elif kind == 4:
            for i in range(stride):
                a = line[i - channels] if i >= channels else 0
                b, c = previous[i], previous[i - channels] if i >= channels else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        previous = line
    return width, height, channels, rows


def check_not_blank(path):
    width, height, channels, rows = png_pixels(path)
    colours, inked = set(), 0
    for line in rows:
        for x in range(0, width * channels, channels * 3):
            pixel = bytes(line[x:x + 3])
            colours.add(pixel)
            inked += pixel != b"\xff\xff\xff"
    sampled = height * len(range(0, width * channels, channels * 3))
    print(f"{os.path.basename(path)}: {width}x{height}, {len(colours)} colours, {100 * inked / sampled:.1f}% not white")
    check(len(colours) >= 8 and inked >= sampled // 20, f"{path} looks blank")


def expected_figures(stats):
    figures = stats.player_figures()
    suicides = stats.value("SELECT count(*) FROM kills WHERE killer_session_id = victim_session_id")
    kills = sum(figure["kills"] for figure in figures.values())
    return figures, {"total-players": len(figures), "total-sessions": stats.value("SELECT count(*) FROM sessions"),
                     "total-kills": kills, "total-suicides": suicides,
                     "total-starts": stats.value("SELECT count(*) FROM server_starts")}


def check_rows(rows, by_id, what):
    check(rows, f"{what} has no player rows")
    for row in rows:
        expected = by_id[row["player"]]
        actual = {"name": row["name"], "kills": int(row["kills"]), "deaths": int(row["deaths"])}
        if "sessions" in row:
            actual["sessions"] = int(row["sessions"])
        wanted = {key: expected[key] for key in actual}
        check_equal(actual, wanted, f"{what} row of player {row['player']}")


# What a page shows of its charts, measured in the rendered page: the time labels under the online
# chart and the bars of kills per day (boxes in CSS pixels), the heat map's cells left blank, the
# heading right before the top ten's chart, and, for each chart section, a frame or a sentence.
LAYOUT = """(() => {
  const box = element => { const r = element.getBoundingClientRect(); return [r.left, r.right, r.width]; };
  const section = id => document.getElementById(id);
  const chart = id => section(id) && section(id).querySelector('svg');
  const online = chart('online');
  const labels = online ? [...online.querySelectorAll('text')].filter(t => t.getAttribute('y') === '230.0') : [];
  const kills = chart('kills-per-day');
  const topChart = section('top-ten').querySelector('svg');
  return {
    labels: labels.map(box),
    bars: kills ? [...kills.querySelectorAll('rect')].map(box) : [],
    killsWidth: kills ? kills.getBoundingClientRect().width : 0,
    uncovered: document.querySelectorAll('#hours rect[data-covered="no"]').length,
    coverage: section('hours-coverage') ? section('hours-coverage').textContent : null,
    topHeading: topChart && topChart.previousElementSibling ? topChart.previousElementSibling.tagName + ':' +
                topChart.previousElementSibling.textContent : null,
    frames: Object.fromEntries(['online', 'hours', 'kills-per-day', 'top-ten'].map(id =>
      [id, section(id) ? !!section(id).querySelector('svg') : null])),
    words: Object.fromEntries(['online', 'hours', 'kills-per-day', 'top-ten'].map(id =>
      [id, section(id) ? [...section(id).querySelectorAll('.no-data')].map(p => p.textContent).join(' ') : null])),
  };
})()"""


def check_reads_well(layout, what, days):
    """A site of any length: labels that do not run into each other, bars no wider than a day's."""
    # make_log.py plays from midnight of a Monday to 06:00 after its last day.
    hours_covered, days_covered = min(24 * days + 6, 168), min(days + 1, 7)
    labels = sorted(layout["labels"])
    check(len(labels) >= 2, f"{what}: the online chart has no time labels")
    for left, right in zip(labels, labels[1:]):
        check(left[1] <= right[0], f"{what}: online chart labels overlap: {left} and {right}")
    check(layout["bars"], f"{what}: no kills per day drawn")
    widest = max(width for _, _, width in layout["bars"])
    check(widest <= layout["killsWidth"] / 12, f"{what}: a day's bar is {widest:.0f} of {layout['killsWidth']:.0f} px")
    check_equal(layout["topHeading"], "H3:Kills of the top ten", f"{what}: the heading of the top ten's chart")
    check_equal(layout["uncovered"], 168 - hours_covered, f"{what}: heat-map hours left blank")
    if days_covered < 7:
        check(layout["coverage"] and f"{days_covered} days of the week" in layout["coverage"],
              f"{what}: the heat map does not say what it covers: {layout['coverage']}")


def little_data(arguments, chromium, scratch):
    """A day's play, and a day without a kill: the sites must read as well as a week's."""
    day_log, quiet_log = os.path.join(scratch, "day.log"), os.path.join(scratch, "quiet.log")
    run([sys.executable, os.path.join(HERE, "make_log.py"), "--out", day_log, "--players", "8", "--days", "1"])
    sep = b"\xa9"
    with open(quiet_log, "wb") as log:
        log.write(b"2026-12-07T10:00:00.000Z ServerInit: Quiet" + sep + b"4000" + sep + b"Skyr:PB" + sep + b"8" + sep +
                  b"\n2026-12-07T10:05:00.000Z Join: 0" + sep + b"Lonely" + sep + b"10.1.1.1" + sep +
                  b"\n2026-12-07T10:45:00.000Z Quit: 0\n")
    sites = {}
    for name, log in (("day", day_log), ("quiet", quiet_log)):
        database, sites[name] = os.path.join(scratch, f"{name}.sqlite"), os.path.join(scratch, f"site-{name}")
        run([arguments.varnstats, "ingest", "--db", database, log])
        run([arguments.varnstats, "report", "--db", database, "--out", sites[name]])
    tools = DevTools(chromium, os.path.join(scratch, "profile-little"))
    try:
        day = tools.evaluate("file://" + os.path.join(sites["day"], "index.html"), LAYOUT)
        quiet = tools.evaluate("file://" + os.path.join(sites["quiet"], "index.html"), LAYOUT)
        for site in sites.values():
            errors = tools.console_errors("file://" + os.path.join(site, "index.html"))
            check(not errors, f"{site}: {errors}")
    finally:
        tools.close()
    check_reads_well(day, "a day's site", 1)
    # No kill: the two kill charts are sentences; the player time still draws its charts.
    check_equal(quiet["frames"], {"online": True, "hours": True, "kills-per-day": False, "top-ten": False},
                "charts drawn for a day without kills")
    check_equal(quiet["words"]["kills-per-day"], "No kills in this time.", "the empty kills-per-day chart")
    check_equal(quiet["words"]["top-ten"], "No kills yet.", "the empty top-ten chart")
    for name, size in (("day", "1000,2400"), ("quiet", "1000,1600")):
        path = os.path.join(scratch, f"little-{name}.png")
        chromium_run(chromium, os.path.join(scratch, "profile-dom"), f"--window-size={size}", f"--screenshot={path}",
                     "file://" + os.path.join(sites[name], "index.html"))
        check_not_blank(path)
    return day


def main(arguments, scratch):
    chromium = arguments.chromium or shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        missing_program("Chromium", "Debian package chromium")
    log = os.path.join(scratch, "server.log")
    run([sys.executable, os.path.join(HERE, "make_log.py"), "--out", log, "--players", "60", "--days",
         str(arguments.days)])
    database = os.path.join(scratch, "stats.sqlite")
    site = os.path.join(scratch, "site")
    run([arguments.varnstats, "ingest", "--db", database, log])
    run([arguments.varnstats, "report", "--db", database, "--out", site, "--title", "Busy Server statistics"])

    stats = StatsDatabase(database)
    figures, totals = expected_figures(stats)
    stats.close()
    by_id = {figure["id"]: dict(figure, name=name) for name, figure in figures.items()}
    # The report's own order: kills, then fewest deaths, then name and number.
    top = min(by_id.values(), key=lambda figure: (-figure["kills"], figure["deaths"], figure["name"], figure["id"]))
    tricky = figures["<b>Ana</b>"]
    pages = ["index.html", "leaderboard.html", "leaderboard-kd.html", f"players/{top['id']}.html",
             f"players/{tricky['id']}.html"]

    # A page with faults of each kind must be caught, or the check below proves nothing.
    broken = os.path.join(scratch, "broken.html")
    with open(broken, "w") as page:
        page.write('<!DOCTYPE html><link rel="stylesheet" href="missing.css"><script>console.error("x");'
                   "undefinedFunction();</script>")
    tools = DevTools(chromium, os.path.join(scratch, "profile-devtools"))
    try:
        caught = tools.console_errors("file://" + broken)
        check(len(caught) >= 3, f"the console check missed faults of the broken page: {caught}")
        for page in pages:
            errors = tools.console_errors("file://" + os.path.join(site, page))
            check(not errors, f"{page}: {errors}")
        layout = tools.evaluate("file://" + os.path.join(site, "index.html"), LAYOUT)
    finally:
        tools.close()
    check_reads_well(layout, f"a site of {arguments.days} days", arguments.days)

    profile = os.path.join(scratch, "profile-dom")
    overview = Figures(chromium_run(chromium, profile, "--dump-dom", "file://" + os.path.join(site, "index.html")))
    for key, value in totals.items():
        check_equal(int(overview.by_id.get(key, "-1")), value, f"overview {key}")
    check_equal(len(overview.rows), 10, "top-ten rows")
    check_rows(overview.rows, by_id, "top ten")
    check_equal(overview.rows[0]["player"], top["id"], "the top player")
    check("online" in overview.by_id and "hours" in overview.by_id, "the overview lacks its charts")

    leaderboard = Figures(chromium_run(chromium, profile, "--dump-dom", "file://" + os.path.join(site, "leaderboard.html")))
    check_equal(len(leaderboard.rows), len(figures), "leaderboard rows")
    check_rows(leaderboard.rows, by_id, "leaderboard")
    kills = [int(row["kills"]) for row in leaderboard.rows]
    check_equal(kills, sorted(kills, reverse=True), "leaderboard order")

    for player in (top, tricky):
        name = next(name for name, figure in figures.items() if figure["id"] == player["id"])
        page = Figures(chromium_run(chromium, profile, "--dump-dom",
                                    "file://" + os.path.join(site, "players", f"{player['id']}.html")))
        check_equal(page.by_id.get("page-title"), name, "player page title")
        for key in ("kills", "deaths", "sessions"):
            check_equal(int(page.by_id[key]), player[key], f"{name}'s {key}")

    screenshots = {"overview.png": ("index.html", "1000,2200"), "phone.png": ("leaderboard.html", "390,844"),
                   "player.png": (f"players/{top['id']}.html", "800,1400")}
    for image, (page, size) in screenshots.items():
        path = os.path.join(scratch, image)
        chromium_run(chromium, profile, f"--window-size={size}", f"--screenshot={path}",
                     "file://" + os.path.join(site, page))
        check_not_blank(path)
    if arguments.keep_screenshot:
        shutil.copyfile(os.path.join(scratch, "overview.png"), arguments.keep_screenshot)
    check_no_address(site, [f"10.{slot}.7.9" for slot in range(26)])
    for path in ("index.html", "leaderboard.html"):
        check(re.search(r"<script", open(os.path.join(site, path)).read()) is None, f"{path} carries a script")
    little_data(arguments, chromium, scratch)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--varnstats", required=True)
    parser.add_argument("--chromium")
    parser.add_argument("--keep-screenshot")
    parser.add_argument("--days", type=int, default=3, help="days of generated play")
    parsed = parser.parse_args()
    parsed.varnstats = os.path.abspath(parsed.varnstats)
    if parsed.keep_screenshot:
        parsed.keep_screenshot = os.path.abspath(parsed.keep_screenshot)
    run_test(lambda scratch: main(parsed, scratch))
