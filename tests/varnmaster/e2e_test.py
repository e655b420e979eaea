#!/usr/bin/env python3
"""End to end: a real varnmaster on 127.0.0.2:27900 and three real varnservers that name it in
ASEMasterServers. All three are verified and listed with their names; a player who joins one shows in
its player list; a master restarted from its state file lists the three again before any new
heartbeat; a heartbeat from an address that never answers its challenge, and one whose answer is
wrong, are never listed; a stopped server is dropped after its missed polls.

    e2e_test.py --master varnmaster --server varnserver --varnload varnload
"""

import argparse
import json
import os
import socket
import subprocess
import time

from mastertest import (Failure, MasterProcess, ServerProcess, check, check_equal, free_game_port, free_port,
                        heartbeat, http_get, metric, run_test, server_settings, servers, wait_until)

MASTER = "127.0.0.2"
NAMES = ["Alpha Bay", "Bravo Docks", "Charlie Heights"]


def names_listed(port):
    return sorted(entry["name"] for entry in servers(port))


def main(arguments, scratch):
    http_port = free_port(socket.SOCK_STREAM)
    state_file = os.path.join(scratch, "master", "state.json")
    list_folder = os.path.join(scratch, "master", "list")
    os.makedirs(list_folder)
    master = MasterProcess(arguments.master, os.path.join(scratch, "master"),
                           f"ListenAddress {MASTER}\nHttpAddress 127.0.0.1\nHttpPort {http_port}\n"
                           f"PollSeconds 2\nChallengeSeconds 3\nStateFile {state_file}\n"
                           f"ListFolder {list_folder}\nListSeconds 1\n")
    game_servers = []
    try:
        check(wait_until(lambda: http_get(http_port, "/healthz")[0] == 200, 10), "the master never answered /healthz")
        ports = []
        for index, name in enumerate(NAMES):
            port = free_game_port()
            ports.append(port)
            directory = os.path.join(scratch, f"server{index}")
            os.makedirs(directory)
            game_servers.append(ServerProcess(arguments.server, directory, server_settings(name, port, MASTER)))

        # 1. Within seconds all three are listed, with their names and ports.
        check(wait_until(lambda: names_listed(http_port) == NAMES, 15),
              f"not all three listed: {names_listed(http_port)}\n{master.output()}")
        by_name = {entry["name"]: entry for entry in servers(http_port)}
        for name, port in zip(NAMES, ports):
            entry = by_name[name]
            check_equal((entry["gamePort"], entry["queryPort"], entry["map"], entry["version"], entry["password"],
                         entry["maxPlayers"]), (port, port + 123, "Palm Bay", "0.3", False, 8), name)
        one = by_name[NAMES[0]]
        status, headers, body = http_get(http_port, f"/servers/{one['address']}:{one['queryPort']}.json")
        check_equal(status, 200, "one server's JSON")
        check_equal(json.loads(body)["name"], NAMES[0], "one server's name")
        check("ETag" in headers and "max-age" in headers.get("Cache-Control", ""), f"no cache headers: {headers}")
        # A cache holding the list's tag is told it is still good; unknown paths are not found.
        _, list_headers, _ = http_get(http_port, "/servers.json")
        check_equal(http_get(http_port, "/servers.json", {"If-None-Match": list_headers["ETag"]})[0], 304,
                    "the list asked again with its tag")
        check_equal(http_get(http_port, "/servers/127.0.0.1:1.json")[0], 404, "a server not listed")

        # 2. A player who joins shows in the player list at the next poll.
        load = subprocess.Popen([arguments.varnload, "--port", str(ports[1]), "--players", "1", "--rate", "2",
                                 "--seconds", "8", "--name-prefix", "seen"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.STDOUT)
        try:
            def player_seen():
                entry = {e["name"]: e for e in servers(http_port)}.get(NAMES[1], {})
                return [p["name"] for p in entry.get("playerList", [])] == ["seen00"] and entry["players"] == 1
            check(wait_until(player_seen, 10), f"the player never showed: {servers(http_port)}")
        finally:
            load.wait(timeout=30)

        # 3. A heartbeat from an address that never answers, and one whose answer is wrong: never listed.
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        silent.bind(("127.0.0.9", 0))
        silent.sendto(heartbeat(silent.getsockname()[1]), (MASTER, 27900))
        liar = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        liar.bind(("127.0.0.10", 0))
        liar.settimeout(5)
        liar.sendto(heartbeat(liar.getsockname()[1]), (MASTER, 27900))
        challenge, source = liar.recvfrom(64)
        check_equal((len(challenge), challenge[:1], source), (9, b"v", (MASTER, 27900)), "the challenge")
        liar.sendto(b"V\x01\x02\x03\x04", source)
        check(wait_until(lambda: metric(http_port, "varnmaster_challenges_total", 'outcome="failed"') == 1, 5),
              "the wrong answer was not counted as failed")
        check(wait_until(lambda: metric(http_port, "varnmaster_challenges_total", 'outcome="timed_out"') == 1, 8),
              "the silent address's challenge never timed out")
        addresses = {entry["address"] for entry in servers(http_port)}
        check("127.0.0.9" not in addresses and "127.0.0.10" not in addresses, f"an unverified server is listed: {addresses}")
        check_equal(len(servers(http_port)), 3, "servers listed")
        with open(os.path.join(list_folder, "servers.json")) as written:
            check_equal(sorted(e["name"] for e in json.load(written)["servers"]), NAMES, "the list file")

        # 4. Restart: once the servers' second heartbeat has gone (the next is 30 s later), the master is
        # stopped and started again; it lists the three from its state file before any heartbeat.
        check(wait_until(lambda: (metric(http_port, "varnmaster_heartbeats_total") or 0) >= 2 * len(NAMES) + 2, 25),
              "the servers' second heartbeats never came")
        master.stop()
        with open(state_file) as state:
            check_equal(len(json.load(state)["servers"]), 3, "servers in the state file")
        master.start()
        check(wait_until(lambda: names_listed(http_port) == NAMES, 10),
              f"the restarted master did not list the three: {names_listed(http_port)}\n{master.output()}")
        check_equal(metric(http_port, "varnmaster_heartbeats_total"), 0.0, "heartbeats since the restart")

        # 5. A stopped server misses its polls and is dropped; the others stay.
        game_servers[2].stop()
        check(wait_until(lambda: names_listed(http_port) == NAMES[:2], 20),
              f"the stopped server was not dropped: {names_listed(http_port)}")
        check_equal(metric(http_port, "varnmaster_dropped_total", 'reason="missed_polls"'), 1.0, "missed-poll drops")
    finally:
        for server in game_servers:
            server.stop()
        master.stop()
    print(f"three servers listed, a player seen, a restart from the state file, a stopped server dropped")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--master", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--varnload", required=True)
    arguments = parser.parse_args()
    run_test(lambda scratch: main(arguments, scratch))
