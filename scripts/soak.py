#!/usr/bin/env python3
"""Soak test: simulated players with churn against a running build of the server.

Starts the server (by default the sanitizer build) in a scratch directory on loopback, then for the
given time drives 26 players on their own loopback addresses (joins, syncs, chat and chat floods,
deaths, pings, check-sum answers, quits, players that fall silent and time out), an administrator
(say, list, add and remove bans, kicks, player addresses, message-of-the-day reloads) and server
browser status queries. Reports what it sent and received, the server's resident memory over time
and any sanitizer report, and fails when the server died, reported an error or grew after warm-up.

    scripts/soak.py [--binary build-sanitize/varnserver] [--seconds 600] [--players 26]
"""
import argparse
import os
import random
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

CRC_ANSWER = bytes([25, 0x3F, 0x6C, 0x3D, 0x1C])


def free_port():
    for _ in range(200):
        port = random.randint(20000, 40000)
        try:
            for offset in (0, 1, 123):
                probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                probe.bind(("127.0.0.1", port + offset))
                probe.close()
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Player:
    def __init__(self, index, port):
        self.index = index
        self.port = port
        self.address = f"127.0.0.{10 + index}"
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((self.address, 0))
        self.sock.setblocking(False)
        self.joined = False
        self.silent_until = 0.0
        self.next_join = 0.0
        self.x = random.uniform(-600, 600)
        self.y = random.uniform(-600, 600)

    def send(self, data):
        self.sock.sendto(data, ("127.0.0.1", self.port))

    def join(self):
        self.send(bytes([1, 24]) + f"p{self.index}".encode() + b"|\0")

    def sync(self):
        self.x += random.uniform(-5, 5)
        self.y += random.uniform(-5, 5)
        state = random.choice([0, 0, 0, 7, 107, 250])
        data = bytes([10, state])
        if state <= 100:
            data += struct.pack("<I", random.getrandbits(32))
        data += bytes([1]) + struct.pack("<fff", self.x, self.y, 0.0) + bytes([2, 1, 3, 2, 29, random.randrange(8)])
        if state and state <= 200:
            data += bytes([13]) + struct.pack("<fff", self.x, self.y, 1.0)
        self.send(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--binary", default=os.path.join(root, "build-sanitize", "varnserver"))
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--players", type=int, default=26)
    parser.add_argument("--warmup", type=float, default=60)
    args = parser.parse_args()

    random.seed(1)
    port = free_port()
    admin_port = port + 1
    work = tempfile.mkdtemp(prefix="varn-soak-")
    with open(os.path.join(work, "varnserver.conf"), "w") as conf:
        conf.write(f"""ServerName "Soak"\nServerPort {port}\nMaxPlayers 26\nGame 2\nGameMode 1
BannedFile banned.txt\nLogFile server.log\nMOTDEnabled 1\nStatLogging 1\nAdminServer 1
AdminPort {admin_port}\nAdminPassword soakpw\nASE 1\nASEMasterServers 127.0.0.1\nChatFloodMaxCount 3
""")
    with open(os.path.join(work, "motd.txt"), "w") as motd:
        motd.write("Soak test\n")
    open(os.path.join(work, "banned.txt"), "w").close()
    errors = open(os.path.join(work, "stderr.txt"), "w")
    # A small quarantine: freed memory is reused soon, so the resident size shows what the server
    # keeps, not what the sanitizer holds back (use-after-free is still caught for recent frees).
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:quarantine_size_mb=1",
               UBSAN_OPTIONS="print_stacktrace=1")
    server = subprocess.Popen([args.binary, "-q"], cwd=work, stdin=subprocess.DEVNULL, stdout=errors,
                              stderr=errors, env=env)
    time.sleep(1.0)

    players = [Player(i, port) for i in range(args.players)]
    admin = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    admin.bind(("127.0.0.200", 0))
    admin.setblocking(False)
    admin.sendto(bytes([13, 25]) + b"soak|soakpw\0", ("127.0.0.1", admin_port))
    browser = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    browser.bind(("127.0.0.201", 0))
    browser.setblocking(False)

    counts = {"sent": 0, "received": 0, "joins": 0, "timeouts": 0, "floods": 0, "quits": 0, "admin": 0,
              "status": 0}
    samples = []
    start = time.time()
    next_sample = start
    tick = 0
    sockets = {p.sock: p for p in players}
    while time.time() - start < args.seconds:
        if server.poll() is not None:
            break
        now = time.time()
        tick += 1
        for player in players:
            if now < player.silent_until:
                continue
            if not player.joined:
                if now >= player.next_join:
                    player.join()
                    counts["joins"] += 1
                    player.joined = True
                continue
            player.sync()
            counts["sent"] += 1
            roll = random.random()
            if roll < 0.002:
                player.send(bytes([2]))
                counts["quits"] += 1
                player.joined = False
                player.next_join = now + random.uniform(7, 15)
            elif roll < 0.0025:
                player.silent_until = now + 20  # times out, then joins again
                player.joined = False
                player.next_join = player.silent_until + 7
                counts["timeouts"] += 1
            elif roll < 0.003:
                for n in range(6):
                    player.send(bytes([3, 1]) + f"flood {n}".encode() + b"\0")
                counts["floods"] += 1
                player.joined = False
                player.next_join = now + 8
            elif roll < 0.02:
                player.send(bytes([3, 1]) + random.choice([b"hi", b"/me waves", b"/msg p1,p2 yo", b"gg"]) + b"\0")
            elif roll < 0.025:
                player.send(bytes([11, random.randrange(-1, args.players) & 0xFF]))
            elif roll < 0.03:
                player.send(bytes([random.choice([20, 23, 24]), random.randrange(args.players)]))
        if tick % 20 == 0:
            command = random.choice([
                bytes([3, 1]) + b"admin says hi\0", bytes([17]), bytes([28]) + b"10.9.8.7\0", bytes([16]) + b"10.9.8.7\0",
                bytes([29, random.randrange(args.players)]), bytes([26]), bytes([14, random.randrange(args.players)]),
                bytes([5])])
            admin.sendto(command, ("127.0.0.1", admin_port))
            counts["admin"] += 1
        if tick % 5 == 0:
            browser.sendto(b"s", ("127.0.0.1", port + 123))
            counts["status"] += 1
        # Answer the server and drain everything that came in.
        deadline = time.time() + 0.05
        while True:
            remaining = deadline - time.time()
            if remaining <= 0:
                break
            readable, _, _ = select.select(list(sockets) + [admin, browser], [], [], remaining)
            for sock in readable:
                try:
                    data = sock.recv(4096)
                except BlockingIOError:
                    continue
                counts["received"] += 1
                player = sockets.get(sock)
                if sock is admin and data[:1] == b"\x04":
                    admin.sendto(bytes([5]), ("127.0.0.1", admin_port))
                if player is None or now < player.silent_until:
                    continue
                if data[:1] == b"\x04":
                    player.send(bytes([5]))
                elif data[:1] == b"\x19":
                    player.send(CRC_ANSWER)
                elif data[:1] == b"\x06" or (len(data) == 3 and data[0] == 9 and data[2] == player.index):
                    player.joined = False
                    player.next_join = time.time() + 8
        if now >= next_sample:
            samples.append((now - start, rss_kib(server.pid)))
            next_sample = now + 10

    died = server.poll() is not None
    if not died:
        server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            status = "killed after 30 s"
    else:
        status = server.returncode
    errors.close()
    report = open(os.path.join(work, "stderr.txt")).read()
    sanitizer = re.findall(r"(ERROR: AddressSanitizer.*|ERROR: LeakSanitizer.*|runtime error.*)", report)

    after_warmup = [rss for at, rss in samples if at >= args.warmup]
    growth = (after_warmup[-1] - after_warmup[0]) if len(after_warmup) >= 2 else 0
    print(f"duration {time.time() - start:.0f} s, server exit status {status}, died early: {died}")
    print("counts: " + ", ".join(f"{key} {value}" for key, value in counts.items()))
    print("resident memory (KiB) every 10 s: " + " ".join(str(rss) for _, rss in samples))
    print(f"growth after warm-up: {growth} KiB")
    print(f"sanitizer reports: {len(sanitizer)}")
    for line in sanitizer[:10]:
        print("  " + line)
    print(f"scratch directory: {work}")
    ok = not died and status == 0 and not sanitizer and growth <= 1024
    print("soak: " + ("PASSED" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
