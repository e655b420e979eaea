#!/usr/bin/env python3
"""A flood of forged heartbeats: 100,000 of them from 10,000 loopback addresses in a few seconds, while
three real servers are listed. All three stay listed, the master's sends stay within their budget (and
never exceed what the flood sent), and its memory stays bounded; the figures are printed.

    flood_test.py --master varnmaster --server varnserver
"""

import argparse
import math
import os
import socket
import time

from mastertest import (MasterProcess, ServerProcess, check, free_game_port, free_port, heartbeat, metric,
                        run_test, server_settings, servers, wait_until)

MASTER = "127.0.3.2"
NAMES = ["Flood One", "Flood Two", "Flood Three"]
ADDRESSES = 10_000
PER_ADDRESS = 10
DATAGRAMS_PER_SECOND = 2_000
BYTES_PER_SECOND = 200_000


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def flood():
    """Sends the forged heartbeats; returns (datagrams, bytes, seconds)."""
    sent = 0
    sent_bytes = 0
    started = time.monotonic()
    for index in range(ADDRESSES):
        address = f"127.50.{index // 250}.{1 + index % 250}"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as forged:
            forged.bind((address, 0))
            for port in range(PER_ADDRESS):
                datagram = heartbeat(20_000 + port)
                forged.sendto(datagram, (MASTER, 27900))
                sent += 1
                sent_bytes += len(datagram)
    return sent, sent_bytes, time.monotonic() - started


def main(arguments, scratch):
    http_port = free_port(socket.SOCK_STREAM)
    master = MasterProcess(arguments.master, os.path.join(scratch, "master"),
                           f"ListenAddress {MASTER}\nHttpPort {http_port}\nPollSeconds 2\n"
                           f"SendDatagramsPerSecond {DATAGRAMS_PER_SECOND}\nSendBytesPerSecond {BYTES_PER_SECOND}\n")
    game_servers = []
    try:
        check(wait_until(lambda: metric(http_port, "varnmaster_heartbeats_total") is not None, 10), "no master")
        for index, name in enumerate(NAMES):
            directory = os.path.join(scratch, f"server{index}")
            os.makedirs(directory)
            game_servers.append(ServerProcess(arguments.server, directory,
                                              server_settings(name, free_game_port(), MASTER)))
        check(wait_until(lambda: len(servers(http_port)) == 3, 15), "the three servers were never listed")
        memory_before = resident_kib(master.process.pid)
        polls_before = metric(http_port, "varnmaster_polls_total", 'outcome="answered"')
        started = time.monotonic()

        sent, sent_bytes, seconds = flood()
        listed_after_flood = sorted(entry["name"] for entry in servers(http_port))
        # The polls after the flood still reach the servers.
        check(wait_until(lambda: metric(http_port, "varnmaster_polls_total", 'outcome="answered"') >= polls_before + 6,
                         15), "the servers were not polled after the flood")
        elapsed = time.monotonic() - started
        memory_after = resident_kib(master.process.pid)
        challenges = metric(http_port, "varnmaster_sent_datagrams_total", 'kind="challenge"')
        challenge_bytes = metric(http_port, "varnmaster_sent_bytes_total", 'kind="challenge"')
        polls = metric(http_port, "varnmaster_sent_datagrams_total", 'kind="poll"')
        heartbeats = metric(http_port, "varnmaster_heartbeats_total")
        pending = metric(http_port, "varnmaster_servers_pending")
        drops = {reason: metric(http_port, "varnmaster_dropped_total", f'reason="{reason}"')
                 for reason in ("rate", "pending_full", "budget", "challenge_outstanding")}
        print(f"flood: {sent} heartbeats ({sent_bytes} bytes) from {ADDRESSES} addresses in {seconds:.2f} s")
        print(f"master: {heartbeats:.0f} heartbeats counted, {challenges:.0f} challenges ({challenge_bytes:.0f} bytes), "
              f"{polls:.0f} polls in {elapsed:.1f} s; pending now {pending:.0f}; drops {drops}")
        print(f"memory: {memory_before} KiB before, {memory_after} KiB after")

        check(listed_after_flood == sorted(NAMES), f"a server left the list during the flood: {listed_after_flood}")
        check(sorted(entry["name"] for entry in servers(http_port)) == sorted(NAMES), "a server left the list")
        # Half the budget is the challenges', for each second the window touches, and the three real
        # servers' own challenges before it.
        seconds_touched = math.ceil(elapsed) + 1
        allowed = (DATAGRAMS_PER_SECOND // 2) * seconds_touched + len(NAMES)
        check(challenges <= allowed, f"{challenges} challenges in {elapsed:.1f} s: over the budget ({allowed:.0f})")
        check(challenge_bytes <= (BYTES_PER_SECOND // 2) * seconds_touched + 9 * len(NAMES),
              "challenge bytes over the budget")
        check(challenge_bytes <= sent_bytes, "the master sent more than the flood did")
        check(heartbeats >= sent * 0.5, f"most heartbeats never reached the master ({heartbeats} of {sent})")
        check(memory_after - memory_before < 64 * 1024, f"memory grew by {memory_after - memory_before} KiB")
    finally:
        for server in game_servers:
            server.stop()
        master.stop()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--master", required=True)
    parser.add_argument("--server", required=True)
    arguments = parser.parse_args()
    run_test(lambda scratch: main(arguments, scratch))
