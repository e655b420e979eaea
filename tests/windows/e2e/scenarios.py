#!/usr/bin/env python3
"""End-to-end scenarios for the Windows build: varnserver.exe runs under Wine in a scratch directory,
and this harness talks to it over UDP on loopback, presses keys on its console (a pseudo-terminal that
Wine turns into a Windows console) and reads its log and ban file.

    tests/windows/e2e/scenarios.py --server build-windows/varnserver.exe [--wine wine]

Uses the Wine prefix named by WINEPREFIX; without one it makes a temporary prefix and ends its
wineserver when done. Every wait is bounded and every server started is ended.
"""

import argparse
import os
import pty
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

LOOPBACK = "127.0.0.1"
STARTED_LINE = "SERVER: press 'q' or 'Q' to shutdown the server."
CLOSING_MARKER = "- VarnServer log closed -"
PROMPT_TIMEOUT = 30.0  # Wine's first start in a fresh prefix can be slow
EXIT_TIMEOUT = 15.0

# Console keys as a terminal sends them; Wine's console turns them into key events.
KEY_PAGE_DOWN = b"\x1b[6~"  # _getch: 0xE0 'Q'; must never stop the server
KEY_CURSOR_DOWN = b"\x1b[B"  # _getch: 0xE0 'P'
KEY_F1 = b"\x1bOP"  # _getch: 0 ';'


class ScenarioFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise ScenarioFailure(message)


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def free_udp_port(also_free_offset=0):
    """A loopback UDP port that nothing was bound to a moment ago (and port + offset neither)."""
    for _ in range(200):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind((LOOPBACK, 0))
            port = probe.getsockname()[1]
        if also_free_offset == 0:
            return port
        if port + also_free_offset > 65535:
            continue
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
                other.bind((LOOPBACK, port + also_free_offset))
            return port
        except OSError:
            continue
    raise ScenarioFailure("no free UDP port")


def base_configuration(port, extra=""):
    return (
        'ServerName "Windows E2E"\n'
        f"ServerPort {port}\n"
        "MaxPlayers 8\nGame 2\nGameMode 1\nBannedFile banned.txt\nLogFile server.log\n" + extra
    )


def join_datagram(name, password=""):
    return b"\x01\x18" + name.encode() + b"|" + password.encode() + b"\x00"


class UdpClient:
    def __init__(self, address=LOOPBACK):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 0))

    def close(self):
        self.sock.close()

    def send(self, port, data):
        self.sock.sendto(bytes(data), (LOOPBACK, port))

    def receive_matching(self, wanted, timeout=5.0):
        """The next datagram that wanted() accepts (the server's pings are skipped), or None."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                data, _ = self.sock.recvfrom(4096)
            except socket.timeout:
                return None
            if wanted(data):
                return data

    def receive_starting(self, prefix, timeout=5.0):
        return self.receive_matching(lambda data: data.startswith(bytes(prefix)), timeout)


class WineServerProcess:
    """varnserver.exe under Wine in a directory; with a terminal, its console is a pseudo-terminal."""

    def __init__(self, wine, server, directory, environment, arguments=(), with_terminal=False):
        self.directory = directory
        self.output = bytearray()
        self.master = None
        self.reader = None
        command = [wine, server, *arguments]
        if with_terminal:
            self.master, slave = pty.openpty()
            self.process = subprocess.Popen(
                command, cwd=directory, env=environment, stdin=slave, stdout=slave,
                stderr=subprocess.DEVNULL, start_new_session=True)
            os.close(slave)
            self.reader = threading.Thread(target=self._drain, daemon=True)
            self.reader.start()
        else:
            with open(os.path.join(directory, "console.txt"), "wb") as console:
                self.process = subprocess.Popen(
                    command, cwd=directory, env=environment, stdin=subprocess.DEVNULL, stdout=console,
                    stderr=subprocess.STDOUT, start_new_session=True)

    def _drain(self):
        while True:
            try:
                ready, _, _ = select.select([self.master], [], [], 0.2)
                if ready:
                    chunk = os.read(self.master, 4096)
                    if not chunk:
                        return
                    self.output += chunk
                elif self.process.poll() is not None:
                    return
            except OSError:
                return

    def console_text(self):
        """What the console showed, without the terminal control sequences Wine's console adds."""
        return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", bytes(self.output)).decode("latin-1")

    def press(self, keys):
        os.write(self.master, keys)

    def running(self):
        return self.process.poll() is None

    def interrupt(self):
        """Ctrl+C: Wine hands SIGINT to the program as the console's CTRL_C_EVENT."""
        os.kill(self.process.pid, signal.SIGINT)

    def wait_for_exit(self, timeout=EXIT_TIMEOUT):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def cpu_seconds(self):
        """User and system time the Windows process has used so far."""
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def end(self):
        if self.running():
            self.process.kill()
            self.process.wait(timeout=EXIT_TIMEOUT)
        if self.reader is not None:
            self.reader.join(timeout=2)
        if self.master is not None:
            os.close(self.master)
            self.master = None

    # The log, as the file holds it.
    def log_bytes(self):
        try:
            with open(os.path.join(self.directory, "server.log"), "rb") as log:
                return log.read()
        except FileNotFoundError:
            return b""

    def log_lines(self):
        return self.log_bytes().decode("latin-1").split("\r\n")

    def wait_for_log_line(self, line, timeout=PROMPT_TIMEOUT):
        return wait_until(lambda: line in self.log_lines() or not self.running(), timeout) and \
            line in self.log_lines()


def check_crlf_log(server, closed=True):
    log = server.log_bytes()
    check(log.endswith(b"\r\n"), "the log ends with a line end")
    check(log.count(b"\n") == log.count(b"\r\n"), "every line of the log ends with CR LF")
    if closed:
        check(log.endswith((CLOSING_MARKER + "\r\n").encode()), "the log ends with its closing marker")


def check_in_order(lines, expected):
    """Each expected line appears in the log, in this order."""
    position = 0
    for line in expected:
        try:
            position = lines.index(line, position) + 1
        except ValueError:
            raise ScenarioFailure(f"log line missing or out of order: {line!r}") from None


class Harness:
    def __init__(self, wine, server, environment):
        self.wine = wine
        self.server = server
        self.environment = environment
        self.scratch_root = tempfile.mkdtemp(prefix="varn-windows-e2e-")

    def scratch(self, name, files):
        directory = os.path.join(self.scratch_root, name)
        os.makedirs(directory)
        for file_name, content in files.items():
            with open(os.path.join(directory, file_name), "wb") as out:
                out.write(content.encode("latin-1") if isinstance(content, str) else content)
        return directory

    def start(self, directory, arguments=(), with_terminal=False):
        return WineServerProcess(self.wine, self.server, directory, self.environment, arguments,
                                 with_terminal)

    def clean_up(self):
        shutil.rmtree(self.scratch_root, ignore_errors=True)

    # --- scenarios -------------------------------------------------------------------------------

    def startup_lines_keys_and_idle_cpu(self):
        """Start-up lines, keys that must not stop the server, no busy waiting, then 'Q' stops it."""
        port = free_udp_port()
        directory = self.scratch("keys", {"varnserver.conf": base_configuration(port), "banned.txt": ""})
        server = self.start(directory, with_terminal=True)
        try:
            check(server.wait_for_log_line(STARTED_LINE), "the server starts")
            check_in_order(server.log_lines(), [
                "- VarnServer log opened -",
                "Varn Server for Varn:PB 0.3 (Server: 0.3.1)",
                "ServerName = 'Windows E2E'",
                f"ServerPort = {port}",
                "MaxPlayers = 8",
                f"SERVER: successfully started the server (port {port})",
                STARTED_LINE,
            ])

            for keys in (b"x", KEY_PAGE_DOWN, KEY_F1, KEY_CURSOR_DOWN, b"1"):
                server.press(keys)
            time.sleep(1.0)
            check(server.running(), "letters, digits, function and cursor keys do not stop the server")
            player = UdpClient("127.0.0.2")
            try:
                player.send(port, join_datagram("keys"))
                check(player.receive_starting([1, 2, 1, 0]) is not None, "the server still answers a join")
            finally:
                player.close()

            # The loop waits in the kernel between passes: an idle server uses next to no CPU time, also
            # with key-release records and the like left on its console.
            before = server.cpu_seconds()
            time.sleep(2.0)
            used = server.cpu_seconds() - before
            check(used < 0.2, f"an idle server uses next to no CPU time (used {used:.2f} s in 2 s)")

            server.press(b"Q")
            check(server.wait_for_exit() == 0, "'Q' stops the server")
            lines = server.log_lines()
            totals = [line for line in lines if line.startswith("SERVER: A total of ")]
            check(len(totals) == 1 and totals[0].endswith(" bytes were sent."),
                  "the traffic totals are written")
            check_in_order(lines, [totals[0], "SERVER: successfully shutdown the server.", CLOSING_MARKER])
            check_crlf_log(server)
        finally:
            server.end()

    def join_quit_and_ctrl_c(self):
        """Two players join and see each other, one quits; Ctrl+C shuts down in order and saves bans."""
        port = free_udp_port()
        directory = self.scratch("join", {
            "varnserver.conf": base_configuration(port, "MOTDEnabled 1\n"),
            "motd.txt": "Welcome\r\n",
            "banned.txt": "127.0.0.9\n10.0.0.0\n",
        })
        server = self.start(directory)
        alice, bob, banned = UdpClient("127.0.0.2"), UdpClient("127.0.0.3"), UdpClient("127.0.0.9")
        try:
            check(server.wait_for_log_line(STARTED_LINE), "the server starts")
            alice.send(port, join_datagram("alice"))
            check(alice.receive_starting([1, 2, 1, 0]) is not None, "alice is welcomed with id 0")
            check(alice.receive_starting([21]) == b"\x15Welcome\x00",
                  "the message of the day has lost its CR LF line end")
            bob.send(port, join_datagram("bob"))
            check(bob.receive_starting([1, 2, 1, 1]) is not None, "bob is welcomed with id 1")
            check(alice.receive_starting([8]) == b"\x08\x01bob", "alice hears of bob")
            banned.send(port, join_datagram("eve"))
            check(banned.receive_starting([6]) == b"\x06\x01", "a banned address is refused")
            alice.send(port, [2])
            check(bob.receive_starting([9]) == b"\x09\x00\x00", "bob hears that alice left")

            server.interrupt()
            check(server.wait_for_exit() == 0, "Ctrl+C stops the server")
            check_in_order(server.log_lines(), [
                "JOIN: 'alice', PlayerID = 0 (127.0.0.2)",
                "JOIN: 'bob', PlayerID = 1 (127.0.0.3)",
                "QUIT: 'alice', PlayerID = 0",
                "SERVER: successfully shutdown the server.",
                CLOSING_MARKER,
            ])
            check_crlf_log(server)
            with open(os.path.join(directory, "banned.txt"), "rb") as bans:
                check(bans.read() == b"127.0.0.9\r\n10.0.0.0\r\n",
                      "the ban file is saved with CR LF line ends")
        finally:
            for client in (alice, bob, banned):
                client.close()
            server.end()

    def admin_login_status_query_and_remote_shutdown(self):
        """An administrator logs in, the browser gets a status reply, two attempts shut the server down."""
        port = free_udp_port(also_free_offset=123)
        admin_port = free_udp_port()
        directory = self.scratch("admin", {
            "varnserver.conf": base_configuration(
                port,
                f"AdminServer 1\nAdminPort {admin_port}\nAdminPassword secret\nAdminAllowShutdown 1\n"
                # heartbeats go to this machine only
                "ASE 1\nASEMasterServers 127.0.0.1\n"),
            "banned.txt": "",
        })
        server = self.start(directory)
        admin, browser = UdpClient("127.0.0.4"), UdpClient("127.0.0.5")
        try:
            check(server.wait_for_log_line(STARTED_LINE), "the server starts")
            admin_started = f"ADMINSERVER: successfully started the server (port {admin_port})"
            check(server.wait_for_log_line(admin_started), "the admin server starts")

            # The query socket opens just after the admin server's line: ask again, as a browser does,
            # until it answers.
            reply = None
            for _ in range(5):
                browser.send(port + 123, b"s")
                reply = browser.receive_starting(b"EYE1", timeout=2.0)
                if reply is not None:
                    break
            check(reply is not None and b"Windows E2E" in reply, "the query port answers a status query")

            admin.send(admin_port, b"\x0d\x19boss|wrong\x00")
            check(admin.receive_starting([6]) == b"\x06\x04", "a wrong admin password is refused")
            admin.send(admin_port, b"\x0d\x19boss|secret\x00")
            check(admin.receive_starting([1]) is not None, "the administrator is welcomed")
            admin.send(admin_port, [18])
            check(admin.receive_starting([18]) == b"\x12\x01", "the first shut-down attempt is accepted")
            admin.send(admin_port, [18])
            check(admin.receive_starting([18]) == b"\x12\x03", "the second attempt shuts the server down")
            check(server.wait_for_exit() == 0, "the server stops by itself")
            check_in_order(server.log_lines(), [
                "ADMIN-ERROR Unable to add: 'boss' password is incorrect.",
                "ADMIN-JOIN: 'boss', ID = 0 (127.0.0.4)",
                "ADMIN-KILLSERVER: First Attempt was received from 'boss'.",
                "ADMIN-KILLSERVER: Second Attempt was received from 'boss' .... Killing Server.",
                "ADMINSERVER: successfully shutdown the server.",
                "SERVER: successfully shutdown the server.",
                CLOSING_MARKER,
            ])
            check_crlf_log(server)
        finally:
            admin.close()
            browser.close()
            server.end()

    def port_in_use_takes_the_short_shutdown(self):
        """A game port that is taken: the bind error, then the short shut-down without a key."""
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("0.0.0.0", 0))
        port = holder.getsockname()[1]
        directory = self.scratch("busy", {"varnserver.conf": base_configuration(port),
                                          "banned.txt": "1.2.3.4\n"})
        server = self.start(directory)
        try:
            check(server.wait_for_exit(PROMPT_TIMEOUT) is not None, "the server ends by itself")
            check_in_order(server.log_lines(), [
                "ERROR: Unable to bind to the socket.",
                "SERVER: unable to start the server.",
                CLOSING_MARKER,
            ])
            check(not any(line.startswith("ERROR: Unable to complete WSAStartup")
                          for line in server.log_lines()), "Windows Sockets starts")
            check_crlf_log(server)
            with open(os.path.join(directory, "banned.txt"), "rb") as bans:
                check(bans.read() == b"1.2.3.4\r\n", "the short shut-down saves the ban file too")
        finally:
            holder.close()
            server.end()

    def check_config_touches_nothing(self):
        """--check-config validates and exits 0 or 1; no log file, ban file or socket."""
        port = free_udp_port()
        valid = self.scratch("check-valid", {"varnserver.conf": base_configuration(port)})
        server = self.start(valid, arguments=["--check-config"])
        try:
            check(server.wait_for_exit(PROMPT_TIMEOUT) == 0, "a valid configuration exits with 0")
            check(sorted(os.listdir(valid)) == ["console.txt", "varnserver.conf"],
                  "no log or ban file is made")
        finally:
            server.end()
        invalid = self.scratch("check-invalid", {
            "varnserver.conf": base_configuration(port).replace('ServerName "Windows E2E"\n', "")})
        server = self.start(invalid, arguments=["--check-config"])
        try:
            check(server.wait_for_exit(PROMPT_TIMEOUT) == 1, "an invalid configuration exits with 1")
            with open(os.path.join(invalid, "console.txt"), "rb") as console:
                text = console.read().decode("latin-1")
            check("ERROR: The ServerName, ServerPort, Game, GameMode and BannedFile MUST be specified in the "
                  "configuration file.\r\n" in text, "the console tells why, with the console's CR LF")
        finally:
            server.end()

    def help_waits_for_one_key(self):
        """-h shows the usage text and waits for one key; a cursor key counts as one key."""
        directory = self.scratch("help", {})
        server = self.start(directory, arguments=["-h"], with_terminal=True)
        try:
            check(wait_until(lambda: "--quiet" in server.console_text(), PROMPT_TIMEOUT),
                  "the usage text is shown")
            time.sleep(0.5)
            check(server.running(), "the program waits for a key")
            server.press(KEY_PAGE_DOWN)
            check(server.wait_for_exit() is not None, "one key press ends it")
        finally:
            server.end()


SCENARIOS = [
    "startup_lines_keys_and_idle_cpu",
    "join_quit_and_ctrl_c",
    "admin_login_status_query_and_remote_shutdown",
    "port_in_use_takes_the_short_shutdown",
    "check_config_touches_nothing",
    "help_waits_for_one_key",
]


def run_wine(wine, environment, arguments, timeout):
    subprocess.run([wine, *arguments], env=environment, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout, check=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server", required=True, help="path of varnserver.exe")
    parser.add_argument("--wine", default="wine", help="the wine program")
    options = parser.parse_args()
    server = os.path.abspath(options.server)
    wine = shutil.which(options.wine) or options.wine
    search_path = os.path.dirname(wine) + os.pathsep + os.environ.get("PATH", "")
    wineserver = shutil.which("wineserver", path=search_path)

    environment = dict(os.environ)
    environment.setdefault("WINEDEBUG", "-all")
    environment.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    own_prefix = None
    if not environment.get("WINEPREFIX"):
        own_prefix = tempfile.mkdtemp(prefix="varn-wine-")
        environment["WINEPREFIX"] = own_prefix
        # A fresh prefix is set up by the first program run in it; do that before any time-out runs.
        run_wine(wine, environment, ["wineboot", "--init"], timeout=300)

    harness = Harness(wine, server, environment)
    passed = failed = 0
    try:
        for name in SCENARIOS:
            started = time.monotonic()
            try:
                getattr(harness, name)()
                passed += 1
                print(f"PASS {name} ({time.monotonic() - started:.1f} s)", flush=True)
            except Exception as error:  # a scenario's failure must not stop the others
                failed += 1
                print(f"FAIL {name}: {error}", flush=True)
                if not isinstance(error, ScenarioFailure):
                    traceback.print_exc()
    finally:
        harness.clean_up()
        if own_prefix is not None:
            if wineserver:
                subprocess.run([wineserver, "-k"], env=environment, timeout=60, check=False)
            shutil.rmtree(own_prefix, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
