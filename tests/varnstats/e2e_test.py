#!/usr/bin/env python3
"""End to end: the real server with StatLogging on, simulated players (varnload, and scripted players
that drive, fight, die, quit, flood the chat, fall silent and get kicked), then varnstats ingest and
report; the figures in the database and on the pages must be what was played.

    e2e_test.py --server varnserver --varnload varnload --varnadmin varnadmin --varnstats varnstats

The server is also told LogTimestamps 1: while it writes no stamps the test checks that the figures
over time are left out; once it does, that they hold the times of the play.
"""

import argparse
import os
import re
import time

from statstest import (STAMP, GameClient, ServerProcess, StatsDatabase, check, check_equal, check_no_address,
                       free_udp_port, run, run_test, wait_until)

ADMIN_PASSWORD = "stats-e2e-secret"


def configuration(port, admin_port):
    return (f'ServerName "Stats E2E"\nServerPort {port}\nMaxPlayers 26\nGame 2\nGameMode 1\n'
            "BannedFile banned.txt\nLogFile server.log\nStatLogging 1\nLogTimestamps 1\n"
            f"AdminServer 1\nAdminPort {admin_port}\nAdminPassword {ADMIN_PASSWORD}\n"
            "ChatFloodMaxCount 2\nBanOnChatFlood 0\nMOTDEnabled 0\n")


def log_has(server, text):
    return text.encode() in server.log()


def play(arguments, scratch, server, port, admin_port):
    """The scripted play; returns the scripted players by name."""
    # Each player has an address of its own: the join-flood rule counts joins per address.
    names = ["Silent", "Rico", "Ana", "Flooder", "Kicked"]
    players = {name: GameClient(port, f"127.0.0.{20 + index}", name) for index, name in enumerate(names)}
    silent_joined = time.monotonic()
    for name in names:
        players[name].join()
    rico, ana = players["Rico"], players["Ana"]

    # Rico drives vehicle 7 with weapon 5, then walks with weapon 9; the others receive the syncs.
    rico.sync(7, 5)
    time.sleep(0.2)
    rico.sync(7, 5)
    time.sleep(0.2)
    rico.sync(0, 9)
    # Rico kills Ana, Ana kills Rico, and Rico kills himself: the victim reports each death.
    ana.died(rico.id)
    time.sleep(1.2)  # at most two death reports per player and second
    rico.died(ana.id)
    time.sleep(1.2)
    rico.died(rico.id)
    check(wait_until(lambda: server.log().count(b"Death: ") >= 3, 5), "the server logged no three deaths")
    ana.quit()

    # Five chat lines at once: at least three fall into one second.
    for line in range(5):
        players["Flooder"].chat(f"flood {line}")
    check(wait_until(lambda: log_has(server, "quit due to chat flood."), 5), "no chat-flood removal")

    password_file = os.path.join(scratch, "admin-password")
    with open(password_file, "w") as secret:
        secret.write(ADMIN_PASSWORD + "\n")
    run([arguments.varnadmin, f"--port={admin_port}", f"--password-file={password_file}", "kick",
         str(players["Kicked"].id)], timeout=30)

    load = run([arguments.varnload, "--port", str(port), "--players", "4", "--rate", "20", "--seconds", "2",
                "--first-octet", "100"], timeout=60)
    check("RESULT " in load, f"varnload gave no result:\n{load}")

    # Silent sends nothing after his join; the others keep talking until he is timed out.
    def silent_gone():
        players["Rico"].keep_alive()
        return log_has(server, "QUIT: 'Silent', PlayerID = ") and log_has(server, " ... quit due to timeout.")

    check(wait_until(silent_gone, 30, step=1.0), "Silent was not timed out")
    silent_seconds = time.monotonic() - silent_joined
    for player in players.values():
        player.close()
    return players, silent_seconds


def main(arguments, scratch):
    port, admin_port = free_udp_port(), free_udp_port()
    server = ServerProcess(arguments.server, scratch, configuration(port, admin_port))
    try:
        check(wait_until(lambda: log_has(server, "SERVER: press"), 10), "the server did not start:\n" +
              open(os.path.join(scratch, "console.txt"), errors="replace").read())
        players, silent_seconds = play(arguments, scratch, server, port, admin_port)
    finally:
        server.stop()
    log = server.log()
    # The statistics lines tell whether this server writes time stamps.
    statistics_lines = [line for line in log.splitlines()
                        if re.match(rb"^(?:\S+ )?(?:ServerInit|Join|Quit|Kill|Death|Veh|Wea): ", line)]
    stamped = all(STAMP.match(line) for line in statistics_lines)
    print(f"log: {len(log.splitlines())} lines, {'with' if stamped else 'without'} time stamps")

    database = os.path.join(scratch, "stats.sqlite")
    log_path = os.path.join(scratch, "server.log")
    ingested = run([arguments.varnstats, "ingest", "--db", database, log_path])
    print(ingested.strip())
    check("malformed" not in ingested, "malformed lines in the server's log")
    check("not seen joining" not in ingested, "lines about unknown players in the server's log")
    check_equal(oct(os.stat(database).st_mode & 0o777), "0o600", "database mode")

    stats = StatsDatabase(database)
    check_equal(stats.rows("SELECT name, port, game_label, slots FROM servers"),
                [("Stats E2E", str(port), "Skyr:PB", 26)], "servers")
    check_equal(stats.value("SELECT count(*) FROM server_starts"), 1, "server starts")
    sessions = stats.sessions()
    ended = {name: [end for end, _, _ in runs] for name, runs in sessions.items()}
    expected_ends = {"Rico": ["shutdown"], "Ana": ["quit"], "Flooder": ["flood"], "Silent": ["timeout"],
                     "Kicked": ["kick"]}
    expected_ends.update({f"load{index:02d}": ["quit"] for index in range(4)})
    check_equal(ended, expected_ends, "how the sessions ended")
    check_equal(stats.rows("SELECT slot FROM sessions s JOIN players p ON p.id = s.player_id WHERE p.name = 'Rico'"),
                [(players["Rico"].id,)], "Rico's slot")
    figures = stats.player_figures()
    check_equal({name: (figures[name]["kills"], figures[name]["deaths"]) for name in ("Rico", "Ana")},
                {"Rico": (1, 2), "Ana": (1, 1)}, "kills and deaths")
    check_equal(stats.value("SELECT count(*) FROM kills k JOIN sessions s ON s.id = k.killer_session_id "
                            "WHERE k.killer_session_id = k.victim_session_id"), 1, "suicides")
    rico_changes = stats.rows(
        "SELECT 'veh', vehicle FROM vehicle_changes c JOIN sessions s ON s.id = c.session_id JOIN players p "
        "ON p.id = s.player_id WHERE p.name = 'Rico' UNION ALL SELECT 'wea', weapon FROM weapon_changes c JOIN "
        "sessions s ON s.id = c.session_id JOIN players p ON p.id = s.player_id WHERE p.name = 'Rico'")
    check_equal(sorted(rico_changes), [("veh", 0), ("veh", 7), ("wea", 5), ("wea", 9)], "Rico's vehicles and weapons")
    # Every "Veh: " and "Wea: " line of the log is one stored change, varnload's included.
    check_equal(stats.value("SELECT count(*) FROM vehicle_changes") + stats.value("SELECT count(*) FROM weapon_changes"),
                len(re.findall(rb"(?m)^(?:\S+ )?(?:Veh|Wea): ", log)), "vehicle and weapon changes")

    times = stats.rows("SELECT joined_at, left_at FROM sessions UNION ALL SELECT at, at FROM kills")
    if stamped:
        # Live once the server writes time stamps.
        check(all(joined is not None and left is not None for joined, left in times), "a session or kill without time")
        (silent,) = sessions["Silent"]
        seconds = (silent[2] - silent[1]) / 1000
        check(15 <= seconds <= silent_seconds + 1, f"Silent played {seconds} s, timed out after {silent_seconds:.1f} s")
        for at, victim_joined, victim_left in stats.rows(
                "SELECT k.at, s.joined_at, s.left_at FROM kills k JOIN sessions s ON s.id = k.victim_session_id"):
            check(victim_joined <= at <= victim_left, "a kill outside its victim's session")
    else:
        check(all(joined is None and left is None for joined, left in times), "times without time stamps")

    site = os.path.join(scratch, "site")
    print(run([arguments.varnstats, "report", "--db", database, "--out", site]).strip())
    index = open(os.path.join(site, "index.html"), encoding="utf-8").read()
    check(f'<b id="total-players">{len(expected_ends)}</b>' in index, "the overview's player count")
    check('<b id="total-kills">2</b>' in index and '<b id="total-suicides">1</b>' in index, "the overview's kills")
    if stamped:
        check('id="online"' in index and 'id="hours"' in index and 'no-time-stamps' not in index,
              "the figures over time with time stamps")
    else:
        check('id="no-time-stamps"' in index and 'id="online"' not in index, "the notice without time stamps")
    rico_page = open(os.path.join(site, "players", f"{figures['Rico']['id']}.html"), encoding="utf-8").read()
    for figure in ('<dd id="kills">1</dd>', '<dd id="deaths">2</dd>', '<dd id="suicides">1</dd>',
                   '<dd id="vehicle">#7</dd>', '<dd id="weapon">', '<li data-end="shutdown">'):
        check(figure in rico_page, f"Rico's page lacks {figure}")
    check_no_address(site, ["127.0.0."])

    before = stats.rows("SELECT count(*) FROM sessions UNION ALL SELECT count(*) FROM kills UNION ALL "
                        "SELECT count(*) FROM vehicle_changes")
    stats.close()
    again = run([arguments.varnstats, "ingest", "--db", database, log_path])
    check("0 new lines, 0 statistics lines stored" in again, f"a second ingest read again: {again}")
    stats = StatsDatabase(database)
    check_equal(stats.rows("SELECT count(*) FROM sessions UNION ALL SELECT count(*) FROM kills UNION ALL "
                           "SELECT count(*) FROM vehicle_changes"), before, "rows after a second ingest")
    stats.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--server", "--varnload", "--varnadmin", "--varnstats"):
        parser.add_argument(option, required=True)
    parsed = parser.parse_args()
    for option in ("server", "varnload", "varnadmin", "varnstats"):
        setattr(parsed, option, os.path.abspath(getattr(parsed, option)))
    run_test(lambda scratch: main(parsed, scratch))
