#!/usr/bin/env python3
"""Times varnstats on a generated log: ingest of 1,000,000 statistics lines into SQLite (goal: under
10 s), an incremental ingest of the next 1,000 (goal: under 100 ms) and a report for 10,000 players
(goal: under 5 s). Not a test: run it on an otherwise idle machine.

    bench/varnstats_bench.py --varnstats build/varnstats [--lines 1000000] [--players 10000] [--keep DIR]
"""

import argparse
import os
import resource
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "..", "tests", "varnstats", "make_log.py")


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command):
    """Wall-clock and CPU seconds (user + system) of a run, and its output."""
    start, cpu = time.perf_counter(), cpu_seconds()
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    elapsed = time.perf_counter() - start, cpu_seconds() - cpu
    if result.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{result.stdout.decode(errors='replace')}")
    return elapsed, result.stdout.decode(errors="replace").strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--varnstats", required=True)
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--increment", type=int, default=1_000)
    parser.add_argument("--players", type=int, default=10_000)
    parser.add_argument("--keep", help="keep the log, database and site in this directory")
    arguments = parser.parse_args()
    varnstats = os.path.abspath(arguments.varnstats)
    directory = arguments.keep or tempfile.mkdtemp(prefix="varnstats-bench-")
    os.makedirs(directory, exist_ok=True)
    log = os.path.join(directory, "varnserver.log")
    database = os.path.join(directory, "stats.sqlite")
    site = os.path.join(directory, "site")
    for stale in (database, log + ".rest"):
        if os.path.exists(stale):
            os.remove(stale)
    try:
        print(f"generating {arguments.lines + arguments.increment} statistics lines for {arguments.players} players ...")
        subprocess.run([sys.executable, GENERATOR, "--out", log, "--players", str(arguments.players), "--days", "400",
                        "--statistics-lines", str(arguments.lines + arguments.increment), "--split-at",
                        str(arguments.lines)], check=True, stdout=subprocess.DEVNULL)
        size = os.path.getsize(log)
        load = os.getloadavg()
        full, output = timed([varnstats, "ingest", "--db", database, log])
        print(output)
        with open(log, "ab") as target, open(log + ".rest", "rb") as rest:
            target.write(rest.read())
        incremental, output = timed([varnstats, "ingest", "--db", database, log])
        print(output)
        with sqlite3.connect(database) as connection:
            players = connection.execute("SELECT count(*) FROM players").fetchone()[0]
            sessions = connection.execute("SELECT count(*) FROM sessions").fetchone()[0]
        report, output = timed([varnstats, "report", "--db", database, "--out", site])
        print(output)
        print()
        print(f"load average before: {load[0]:.1f} (on {os.cpu_count()} cores)")
        print("| step | wall clock | CPU (user + system) | goal |")
        print("|---|---|---|---|")
        print(f"| ingest {arguments.lines:,} statistics lines ({size / 1e6:.0f} MB log) | {full[0]:.2f} s | "
              f"{full[1]:.2f} s | < 10 s |")
        print(f"| ingest {arguments.increment:,} new lines | {incremental[0] * 1000:.0f} ms | "
              f"{incremental[1] * 1000:.0f} ms | < 100 ms |")
        print(f"| report for {players:,} players, {sessions:,} sessions | {report[0]:.2f} s | {report[1]:.2f} s | "
              "< 5 s |")
    finally:
        if not arguments.keep:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
