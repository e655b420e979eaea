"""Shared pieces of the varnstats script tests: scratch directories, a missing-program rule, the real
server as a process, game clients on loopback, and reading the statistics database independently of
varnstats."""

import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

LOOPBACK = "127.0.0.1"
# CTest's SKIP_RETURN_CODE for these tests: a machine without PostgreSQL or Chromium skips them; CI
# (CI=true) fails instead, since it is meant to have them.
SKIP = 77
STAMP = re.compile(rb"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise Failure(f"{what}: expected {expected!r}, got {actual!r}")


def missing_program(what, hint):
    """Ends the test for a program the machine lacks: a failure in CI, a skip elsewhere."""
    message = f"{what} is missing ({hint})"
    if os.environ.get("CI", "").lower() in ("1", "true", "yes"):
        print(f"FAIL: {message}; CI must install it")
        sys.exit(1)
    print(f"SKIP: {message}")
    sys.exit(SKIP)


def run_test(main):
    """Runs main(scratch) in a scratch directory that is removed afterwards; prints the outcome."""
    scratch = tempfile.mkdtemp(prefix="varnstats-")
    os.chmod(scratch, 0o755)
    try:
        main(scratch)
    except Failure as failure:
        print(f"FAIL: {failure}")
        sys.exit(1)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("PASS")


def run(arguments, timeout=120, **kwargs):
    """Runs a program to its end; its output, or a Failure with its output when it fails."""
    result = subprocess.run(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=timeout, **kwargs)
    output = result.stdout.decode(errors="replace")
    if result.returncode != 0:
        raise Failure(f"{' '.join(map(str, arguments))} exited {result.returncode}:\n{output}")
    return output


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind((LOOPBACK, 0))
        return probe.getsockname()[1]


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class ServerProcess:
    """The real varnserver in a directory, stopped with SIGTERM (killed if it does not end)."""

    def __init__(self, binary, directory, configuration):
        self.directory = directory
        with open(os.path.join(directory, "server.conf"), "w") as conf:
            conf.write(configuration)
        open(os.path.join(directory, "banned.txt"), "w").close()
        self.output = open(os.path.join(directory, "console.txt"), "wb")
        self.process = subprocess.Popen([binary, "-c", "server.conf"], cwd=directory, stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT)

    def log(self):
        try:
            with open(os.path.join(self.directory, "server.log"), "rb") as log:
                return log.read()
        except FileNotFoundError:
            return b""

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.output.close()
        return self.process.returncode


class GameClient:
    """One player on a loopback address of its own."""

    def __init__(self, port, address, name):
        self.port = port
        self.name = name
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 0))
        self.id = None

    def send(self, data):
        self.sock.sendto(bytes(data), (LOOPBACK, self.port))

    def join(self, timeout=5.0):
        self.send(b"\x01\x18" + self.name.encode() + b"|\x00")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data, _ = self.sock.recvfrom(4096)
            except socket.timeout:
                break
            if data[:1] == b"\x01" and len(data) >= 17:
                self.id = data[3]
                return self.id
            if data[:1] == b"\x06":
                raise Failure(f"{self.name} refused: {data!r}")
        raise Failure(f"{self.name} got no welcome")

    def sync(self, vehicle, weapon):
        # State byte, its 32-bit word, then tag 29 followed by the weapon, and tag 5 with a byte.
        self.send(bytes([10, vehicle, 0, 0, 0, 0, 29, weapon, 5, 0]))

    def died(self, killer_id):
        self.send(bytes([11, killer_id]))

    def chat(self, text):
        self.send(b"\x03\x00" + text.encode() + b"\x00")

    def keep_alive(self):
        self.send(b"\x04")

    def quit(self):
        self.send(b"\x02")

    def close(self):
        self.sock.close()


class StatsDatabase:
    """The SQLite statistics database read with Python's own sqlite3, not with varnstats."""

    def __init__(self, path):
        self.connection = sqlite3.connect(f"file:{path}?mode=ro", uri=True)

    def rows(self, sql, *parameters):
        return self.connection.execute(sql, parameters).fetchall()

    def value(self, sql, *parameters):
        return self.connection.execute(sql, parameters).fetchone()[0]

    def sessions(self):
        """name -> list of (ended, joined_at, left_at), in session order."""
        sessions = {}
        for name, ended, joined, left in self.rows(
                "SELECT p.name, s.ended, s.joined_at, s.left_at FROM sessions s JOIN players p ON p.id = s.player_id "
                "ORDER BY s.id"):
            sessions.setdefault(name, []).append((ended, joined, left))
        return sessions

    def player_figures(self):
        """name -> dict of kills, deaths, sessions, computed here from the raw rows."""
        figures = {name: {"kills": 0, "deaths": 0, "sessions": 0, "id": pid}
                   for pid, name in self.rows("SELECT id, name FROM players")}
        names = dict(self.rows("SELECT id, name FROM players"))
        session_player = {sid: names[pid] for sid, pid in self.rows("SELECT id, player_id FROM sessions")}
        for name in session_player.values():
            figures[name]["sessions"] += 1
        for killer, victim in self.rows("SELECT killer_session_id, victim_session_id FROM kills"):
            figures[session_player[victim]]["deaths"] += 1
            if session_player[killer] != session_player[victim]:
                figures[session_player[killer]]["kills"] += 1
        return figures

    def close(self):
        self.connection.close()


def site_files(site):
    files = {}
    for root, _, names in os.walk(site):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as content:
                files[os.path.relpath(path, site)] = content.read()
    return files


def check_no_address(site, addresses):
    for path, content in site_files(site).items():
        for address in addresses:
            check(address.encode() not in content, f"{path} shows the address {address}")
