#!/usr/bin/env python3
"""The public list as players and sites see it: real servers whose server and player names hold
<script>, quotes and bytes outside ASCII, listed by a real varnmaster. The JSON validates against the
written schema (python3-jsonschema); headless Chromium shows the HTML page with every such name as
text and no script in the page (--dump-dom), sorts and filters it without JavaScript, and its
screenshot is not blank.

    browser_test.py --master varnmaster --server varnserver [--chromium chromium] [--keep-screenshot x.png]
"""

import argparse
import html.parser
import json
import os
import shutil
import socket
import time

from mastertest import (Failure, GameClient, MasterProcess, ServerProcess, check, check_equal, free_game_port,
                        free_port, http_get, missing_program, run_test, servers, wait_until)

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = os.path.join(HERE, "..", "..", "tools", "varnmaster", "servers.schema.json")
MASTER = "127.0.4.2"
# The server names as written in each server's settings (bytes), and as the page must show them.
SERVERS = [
    (b"<script>alert('x')</script> Caf\xc3\xa9", "<script>alert('x')</script> Café"),
    (b"Latin Caf\xe9 & 'quotes'", "Latin Café & 'quotes'"),
    (b"Plain Server", "Plain Server"),
]
# The server keeps a player name's ASCII only; the name still holds markup and a quote.
PLAYER = (b'<b>"Z\xe9"', '<b>"Z"')


class Cells(html.parser.HTMLParser):
    """The text of each table row's cells, and whether a script element exists."""

    def __init__(self, text):
        super().__init__()
        self.rows, self.row, self.cell, self.scripts = [], None, None, 0
        self.title, self.in_title = "", False
        self.feed(text)

    def handle_starttag(self, tag, attributes):
        if tag == "script":
            self.scripts += 1
        self.in_title = tag == "title"
        if tag == "tr":
            self.row = []
        if tag == "td" and self.row is not None:
            self.cell = ""

    def handle_endtag(self, tag):
        self.in_title = False
        if tag == "td" and self.row is not None:
            self.row.append(self.cell)
            self.cell = None
        if tag == "tr" and self.row:
            self.rows.append(self.row)
            self.row = None

    def handle_data(self, data):
        if self.in_title:
            self.title += data
        if self.cell is not None:
            self.cell += data


def chromium_dom(chromium, profile, url):
    from browser_test import chromium_run  # the statistics site's own Chromium driver
    return chromium_run(chromium, profile, "--dump-dom", url)


def join(port, address, name_bytes):
    client = GameClient(port, address, "x")
    client.send(b"\x01\x18" + name_bytes + b"|\x00")
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        client.sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data, _ = client.sock.recvfrom(4096)
        except socket.timeout:
            break
        if data[:1] == b"\x01" and len(data) >= 17:
            return client
    raise Failure(f"{name_bytes!r} could not join")


def main(arguments, scratch):
    try:
        import jsonschema
    except ImportError:
        missing_program("python3-jsonschema", "Debian package python3-jsonschema, for /usr/bin/python3")
    chromium = arguments.chromium or shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        missing_program("Chromium", "Debian package chromium")
    from browser_test import check_not_blank, chromium_run

    http_port = free_port(socket.SOCK_STREAM)
    master = MasterProcess(arguments.master, os.path.join(scratch, "master"),
                           f"ListenAddress {MASTER}\nHttpPort {http_port}\nPollSeconds 1\nTitle \"Varn <servers>\"\n")
    game_servers, players = [], []
    try:
        # The servers' first heartbeat goes at once and the next 15 s later: the master listens first.
        check(wait_until(lambda: http_get(http_port, "/healthz")[0] == 200, 10), "the master never answered /healthz")
        ports = []
        for index, (name, _) in enumerate(SERVERS):
            directory = os.path.join(scratch, f"server{index}")
            os.makedirs(directory)
            port = free_game_port()
            ports.append(port)
            settings = b'ServerName "' + name + b'"\n' + (
                f"ServerPort {port}\nMaxPlayers {1 if index == 0 else 8}\nGame 2\nGameMode 1\n"
                f"BannedFile banned.txt\nLogFile server.log\nASE 1\nASEMasterServers {MASTER}\nMOTDEnabled 0\n"
                f"ServerPasswordEnabled {1 if index == 1 else 0}\nServerPassword secret\n").encode()
            game_servers.append(ServerProcess(arguments.server, directory, settings))
        check(wait_until(lambda: len(servers(http_port)) == 3, 15), f"not listed: {servers(http_port)}")
        players.append(join(ports[0], "127.0.4.20", PLAYER[0]))
        check(wait_until(lambda: any(e["players"] == 1 for e in servers(http_port)), 10), "the player never showed")

        # The JSON against its schema: the list and one entry.
        with open(SCHEMA) as schema_file:
            schema = json.load(schema_file)
        status, headers, body = http_get(http_port, "/servers.json")
        check_equal((status, headers.get("Content-Type")), (200, "application/json"), "the list's reply")
        listing = json.loads(body)
        jsonschema.validate(listing, schema)
        entry = listing["servers"][0]
        _, _, one = http_get(http_port, f"/servers/{entry['address']}:{entry['queryPort']}.json")
        jsonschema.validate(json.loads(one), {"$ref": "#/$defs/server", "$defs": schema["$defs"]})
        broken = dict(entry, players="3")
        try:
            jsonschema.validate({"servers": [broken]}, schema)
            raise Failure("the schema takes a player count written as text")
        except jsonschema.ValidationError:
            pass
        check_equal(sorted(e["name"] for e in listing["servers"]), sorted(shown for _, shown in SERVERS), "names in JSON")
        player_names = [p["name"] for e in listing["servers"] for p in e["playerList"]]
        check_equal(player_names, [PLAYER[1]], "player names in JSON")

        # The page in Chromium: names as text, no script element, sorted and filtered by its form.
        profile = os.path.join(scratch, "profile")
        url = f"http://127.0.0.1:{http_port}/"
        page = Cells(chromium_dom(chromium, profile, url))
        check_equal(page.scripts, 0, "script elements in the page")
        check_equal(page.title, "Varn <servers>", "the page's title")
        shown = [row[0] for row in page.rows]
        check_equal(shown[0].split(" (score ")[0], SERVERS[0][1] + PLAYER[1], "the first row (most players)")
        check_equal(sorted(shown[1:]), sorted(name for _, name in SERVERS[1:]), "the other rows")
        by_name = Cells(chromium_dom(chromium, profile, url + "?sort=name&q=caf&password=hide&full=show"))
        check_equal([row[0][:len(SERVERS[0][1])] for row in by_name.rows], [SERVERS[0][1]], "filtered and unpassworded")
        hidden = Cells(chromium_dom(chromium, profile, url + "?sort=name&full=hide"))
        check_equal([row[0] for row in hidden.rows], [SERVERS[1][1], SERVERS[2][1]], "full hidden, sorted by name")
        screenshot = os.path.join(scratch, "list.png")
        chromium_run(chromium, profile, "--window-size=1000,700", f"--screenshot={screenshot}", url)
        check_not_blank(screenshot)
        if arguments.keep_screenshot:
            shutil.copyfile(screenshot, arguments.keep_screenshot)
    finally:
        for player in players:
            player.close()
        for server in game_servers:
            server.stop()
        master.stop()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--master", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--chromium")
    parser.add_argument("--keep-screenshot")
    parsed = parser.parse_args()
    if parsed.keep_screenshot:
        parsed.keep_screenshot = os.path.abspath(parsed.keep_screenshot)
    run_test(lambda scratch: main(parsed, scratch))
