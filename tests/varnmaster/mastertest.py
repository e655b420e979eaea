"""Shared pieces of the varnmaster script tests: the real master and real servers as processes, HTTP
reads of the list, and heartbeats and answers sent by hand."""

import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "varnstats"))

from statstest import (Failure, GameClient, check, check_equal, missing_program,  # noqa: E402,F401
                       run, run_test, wait_until)


class ServerProcess:
    """The real varnserver in a directory with its settings (text or bytes); stopped with SIGTERM."""

    def __init__(self, binary, directory, settings):
        self.directory = directory
        with open(os.path.join(directory, "server.conf"), "wb") as conf:
            conf.write(settings if isinstance(settings, bytes) else settings.encode())
        open(os.path.join(directory, "banned.txt"), "w").close()
        self.output = open(os.path.join(directory, "console.txt"), "wb")
        self.process = subprocess.Popen([binary, "-c", "server.conf"], cwd=directory, stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT)

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


def free_port(kind=socket.SOCK_DGRAM, address="127.0.0.1"):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


def free_game_port():
    """A game port whose query port (game port + 123) is free too."""
    for _ in range(50):
        port = free_port()
        if port + 123 > 65535:
            continue
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                probe.bind(("0.0.0.0", port + 123))
            return port
        except OSError:
            continue
    raise Failure("no free game port")


class MasterProcess:
    """The real varnmaster in a directory, with its settings file; stopped with SIGTERM."""

    def __init__(self, binary, directory, settings):
        self.binary = binary
        self.directory = directory
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, "varnmaster.conf"), "w") as conf:
            conf.write(settings)
        self.process = None
        self.start()

    def start(self):
        self.console = open(os.path.join(self.directory, "console.txt"), "ab")
        self.process = subprocess.Popen([self.binary, "-c", "varnmaster.conf"], cwd=self.directory,
                                        stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT)

    def output(self):
        with open(os.path.join(self.directory, "console.txt"), "rb") as console:
            return console.read().decode(errors="replace")

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.console.close()
        return self.process.returncode


def http_get(port, path, headers=None, timeout=5):
    """(status, headers, body) of a GET on 127.0.0.1."""
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as reply:
            return reply.status, dict(reply.headers), reply.read()
    except urllib.error.HTTPError as error:
        return error.code, dict(error.headers), error.read()
    except (urllib.error.URLError, ConnectionError, socket.timeout):
        return None, {}, b""


def servers(port):
    status, _, body = http_get(port, "/servers.json")
    if status != 200:
        return []
    return json.loads(body)["servers"]


def metric(port, name, labels=""):
    """A sample of the master's /metrics, or None."""
    status, _, body = http_get(port, "/metrics")
    if status != 200:
        return None
    wanted = name + (("{" + labels + "}") if labels else "")
    for line in body.decode().splitlines():
        if line.startswith(wanted + " "):
            return float(line.split()[-1])
    return None


def server_settings(name, port, master, extra=""):
    return (f'ServerName "{name}"\nServerPort {port}\nMaxPlayers 8\nGame 2\nGameMode 1\n'
            f"BannedFile banned.txt\nLogFile server.log\nASE 1\nASEMasterServers {master}\nMOTDEnabled 0\n{extra}")


def heartbeat(query_port):
    return b"\\hb\\" + str(query_port).encode() + b"\\varn"
