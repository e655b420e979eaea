#!/usr/bin/env python3
"""A refused-join flood against varnserver, with a legitimate player in.

Loads a ban file of many single addresses and one range (127.1.*.*), lets a player join from
127.0.0.2, then sends refused joins from the banned range at a fixed rate. Prints the gaps between
the ping requests the player got during the flood, and how long the server took to end after a
SIGTERM sent while the flood went on. Loopback only; the server is ended in every case.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def join_datagram(name):
    return bytes([1, 24]) + name.encode() + b"|" + b"\0"


def flood(port, per_second, stop):
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.bind(("127.1.0.1", 0))
    datagram = join_datagram("flooder")
    start = time.monotonic()
    sent = 0
    while not stop.is_set():
        due = int((time.monotonic() - start) * per_second)
        while sent < due:
            sender.sendto(datagram, ("127.0.0.1", port))
            sent += 1
        time.sleep(0.005)
    sender.close()
    return sent


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=Path, default=REPO / "build-test")
    parser.add_argument("--bans", type=int, default=100_000)
    parser.add_argument("--rate", type=int, default=3000, help="refused joins a second")
    parser.add_argument("--seconds", type=float, default=10, help="flood before the SIGTERM")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="varnflood-") as scratch:
        directory = Path(scratch)
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        (directory / "flood.conf").write_text(
            f'ServerName "Flood"\nServerPort {port}\nMaxPlayers 26\nGame 2\nGameMode 1\n'
            "BannedFile banned.txt\nLogFile server.log\n")
        with open(directory / "banned.txt", "w") as bans:
            for index in range(args.bans):
                bans.write(f"10.{index >> 16 & 255}.{index >> 8 & 255}.{index & 255}\n")
            bans.write("127.1.0.0\n")
        server = subprocess.Popen([str(args.build / "varnserver"), "-q", "-c", "flood.conf"], cwd=directory,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stop = threading.Event()
        flooder = None
        try:
            player = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            player.bind(("127.0.0.2", 0))
            player.settimeout(0.1)
            deadline = time.monotonic() + 10
            welcomed = False
            while not welcomed and time.monotonic() < deadline:
                player.sendto(join_datagram("player"), ("127.0.0.1", port))
                try:
                    welcomed = player.recv(4096)[0] == 1
                except socket.timeout:
                    pass
            if not welcomed:
                sys.exit("the server did not welcome the player")

            result = {}
            flooder = threading.Thread(target=lambda: result.update(sent=flood(port, args.rate, stop)))
            flooder.start()
            pings = []
            started = time.monotonic()
            while time.monotonic() - started < args.seconds:
                try:
                    data = player.recv(4096)
                except socket.timeout:
                    continue
                if data[:1] == b"\x04":
                    pings.append(time.monotonic())
                    player.sendto(b"\x05", ("127.0.0.1", port))
            asked = time.monotonic()
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(timeout=30)
                ended = time.monotonic() - asked
            except subprocess.TimeoutExpired:
                ended = None
            stop.set()
            flooder.join()
            marks = [started] + pings
            gaps = [later - earlier for earlier, later in zip(marks, marks[1:])]
            print(f"bans {args.bans} and one range; refused joins {result.get('sent', 0)} in "
                  f"{args.seconds:.0f} s ({result.get('sent', 0) / args.seconds:.0f}/s)")
            print(f"pings during the flood {len(pings)}; longest gap {max(gaps) if gaps else float('nan'):.3f} s "
                  "(from the flood's start)")
            print("SIGTERM to exit " + (f"{ended:.3f} s" if ended is not None else "over 30 s"))
        finally:
            stop.set()
            if flooder is not None and flooder.is_alive():
                flooder.join()
            if server.poll() is None:
                server.kill()
                server.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
