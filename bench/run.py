#!/usr/bin/env python3
"""Side-by-side benchmark of varnserver and the two minimal relays on loopback.

Each load is run against a fresh varnserver, then a fresh minrelay (one sendto per copy) and a fresh
minrelay --batched (recvmmsg for what is waiting, one sendmmsg per sync), in turn, so that whatever
else the machine does weighs on all alike, driven by varnload. Prints a table with the ratios and the
targets, and with --output writes it as Markdown together with the machine it ran on.

Every process started here is ended (SIGTERM, then SIGKILL after a grace period), and every run has a
time limit. Traffic stays on 127.0.0.0/8.

With --with-uring a fourth system runs after them: minrelay --uring (multishot receive into provided
buffers, each sync's copies submitted in the io_uring_enter that waits for the next datagram), with its
own column and its CPU per relay as a ratio to the batched relay.
"""

import argparse
import os
import platform
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
PING_REQUEST = bytes([4])
PING_ANSWER = bytes([5])

SERVER_CONFIGURATION = """ServerName "Bench Server"
ServerPort {port}
MaxPlayers 26
Game 2
GameMode 1
BannedFile banned.txt
LogFile server.log
"""


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Scraper:
    """Reads /metrics once a second, as Prometheus would, until stopped; counts the good answers."""

    def __init__(self, port):
        self.url = f"http://127.0.0.1:{port}/metrics"
        self.stopped = threading.Event()
        self.answers = 0
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stopped.wait(1.0):
            try:
                with urllib.request.urlopen(self.url, timeout=2) as answer:
                    answer.read()
                    self.answers += answer.status == 200
            except OSError:
                pass

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exception):
        self.stopped.set()
        self.thread.join(timeout=5)


def wait_until_answering(port, process, timeout=10.0):
    """A ping request [4] from an unknown address is answered [5] by both systems once they listen."""
    deadline = time.monotonic() + timeout
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.2", 0))
        probe.settimeout(0.1)
        while time.monotonic() < deadline:
            if process.poll() is not None:
                return False
            probe.sendto(PING_REQUEST, ("127.0.0.1", port))
            try:
                data, _ = probe.recvfrom(64)
                if data == PING_ANSWER:
                    return True
            except socket.timeout:
                pass
    return False


def stop(process, grace=5.0):
    if process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class System:
    """One of the two programs under test, started fresh for each load."""

    def __init__(self, name, build, nice, extra=(), wait=None, metrics=False):
        self.name = name
        self.build = build
        self.nice = nice
        self.extra = list(extra)
        self.wait = wait
        # varnserver only: a metrics endpoint, scraped every second while the load runs.
        self.metrics = metrics
        self.metrics_port = None

    def set_priority(self):
        if self.nice:
            os.setpriority(os.PRIO_PROCESS, 0, self.nice)

    def start(self, directory):
        port = free_udp_port()
        if self.name == "varnserver":
            configuration = SERVER_CONFIGURATION.format(port=port)
            if self.metrics:
                self.metrics_port = free_tcp_port()
                configuration += f"MetricsPort {self.metrics_port}\n"
            (directory / "bench.conf").write_text(configuration)
            command = [str(self.build / "varnserver"), "-q", "-c", "bench.conf"]
        else:
            command = [str(self.build / "minrelay"), "--port", str(port)] + self.extra
        # Both count their system calls and write them here when they end (VARN_SYSCALL_COUNTS).
        environment = dict(os.environ, VARN_SYSCALL_COUNTS=str(directory / SYSCALL_FILE))
        if self.wait:
            environment["VARN_WAIT"] = self.wait
        process = subprocess.Popen(command, cwd=directory, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=self.set_priority, env=environment)
        return process, port


SYSCALL_FILE = "syscalls.txt"
SYSCALL_KINDS = ("waits", "wait_changes", "receives", "empty_receives", "datagrams_received", "sends",
                 "datagrams_sent", "clock_reads", "other")


def read_syscall_counts(directory):
    """The counts the system wrote when it ended, as sc_<kind>; empty when it wrote none (an older build)."""
    path = directory / SYSCALL_FILE
    if not path.is_file():
        return {}
    lines = path.read_text().split()
    fields = dict(item.split("=", 1) for item in lines if "=" in item)
    return {"sc_" + kind: float(fields[kind]) for kind in SYSCALL_KINDS if kind in fields}


def parse_result(output):
    for line in output.splitlines():
        if line.startswith("RESULT "):
            fields = dict(item.split("=", 1) for item in line.split()[1:])
            return {key: float(value) for key, value in fields.items()}
    return None


def run_load(system, build, arguments, time_limit, log):
    with tempfile.TemporaryDirectory(prefix="varnbench-") as scratch:
        directory = Path(scratch)
        process, port = system.start(directory)
        try:
            if not wait_until_answering(port, process):
                raise RuntimeError(f"{system.name} did not start answering on port {port}")
            command = [str(build / "varnload"), "--port", str(port), "--server-pid", str(process.pid)] + arguments
            log(f"$ {system.name}: {' '.join(command[1:])}")
            scraping = Scraper(system.metrics_port) if system.metrics_port else None
            try:
                if scraping:
                    with scraping:
                        finished = subprocess.run(command, capture_output=True, text=True, timeout=time_limit,
                                                  preexec_fn=system.set_priority)
                    log(f"    metrics scraped {scraping.answers} times")
                else:
                    finished = subprocess.run(command, capture_output=True, text=True, timeout=time_limit,
                                              preexec_fn=system.set_priority)
            except subprocess.TimeoutExpired:
                raise RuntimeError(f"varnload against {system.name} ran over {time_limit:.0f} s")
            if finished.returncode != 0:
                raise RuntimeError(f"varnload against {system.name} failed:\n{finished.stdout}{finished.stderr}")
            for line in finished.stdout.splitlines():
                if not line.startswith(("RESULT", "STEP")):
                    log("    " + line)
                elif line.startswith("STEP"):
                    fields = dict(item.split("=", 1) for item in line.split()[1:])
                    log(f"    step {float(fields['rate']):8.1f}/s per player: relay rate {fields['relay_rate']}/s, "
                        f"loss {fields['loss_pct']}% (dropped at the server's socket {fields['server_drops']}, "
                        f"at varnload's {fields['load_drops']}), server CPU {fields['server_cpu_pct']}%, "
                        f"varnload CPU {fields['load_cpu_s']} s")
            result = parse_result(finished.stdout)
            if result is None:
                raise RuntimeError(f"varnload against {system.name} printed no RESULT line")
        finally:
            stop(process)
        result.update(read_syscall_counts(directory))
        return result


def median_result(found):
    """Each figure's median over the rounds (with one round, that round's figures)."""
    keys = set(found[0]).intersection(*found[1:])
    return {key: statistics.median(result[key] for result in found) for key in keys}


def syscalls_markdown(results):
    """System calls per 1000 datagrams sent, by kind, for each load and system (the systems' own counts)."""
    lines = ["| load | system | waits | receives (empty) | sends | clock reads | other | all calls | "
             "datagrams per receive / per send |",
             "|---|---|---|---|---|---|---|---|---|"]
    for name, by_system in results.items():
        for system in SYSTEMS:
            r = by_system[system]
            sent = r.get("sc_datagrams_sent", 0)
            if not sent:
                continue
            per = lambda key: 1000 * r[key] / sent
            calls = sum(r[key] for key in ("sc_waits", "sc_wait_changes", "sc_receives", "sc_sends", "sc_other"))
            # minrelay --uring sends within the call that waits: it may make no call of its own to send.
            per_send = f"{sent / r['sc_sends']:.1f}" if r["sc_sends"] else "-"
            lines.append(
                f"| {name} | {system} | {per('sc_waits') + per('sc_wait_changes'):.1f} | {per('sc_receives'):.1f} "
                f"({per('sc_empty_receives'):.1f}) | {per('sc_sends'):.1f} | {per('sc_clock_reads'):.1f} | "
                f"{per('sc_other'):.1f} | {1000 * calls / sent:.1f} | "
                f"{r['sc_datagrams_received'] / max(r['sc_receives'] - r['sc_empty_receives'], 1):.2f} / "
                f"{per_send} |")
    return "\n".join(lines) if len(lines) > 2 else ""


def machine_description():
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return {
        "nproc": os.cpu_count(),
        "cpu": model,
        "kernel": platform.release(),
        "load": os.getloadavg(),
    }


def ratio(server, relay):
    return server / relay if relay else float("nan")


SYSTEMS = ("varnserver", "minrelay", "batched")
# With --with-uring: minrelay --uring after the three, as an extra column (its rows are not targets).
URING = "uring"


def cpu_per_relay(result):
    """Server CPU per relay received, in CPU percent per relay (only ratios of it are shown)."""
    relays = result["full"] + result["reduced"]
    return result["server_cpu_pct"] / relays if relays else float("nan")


def build_table(results, args):
    """Rows of: measure, varnserver, minrelay, batched (and uring with --with-uring), ratio, target, met."""
    rows = []
    with_uring = URING in SYSTEMS

    def row(measure, cells, ratio_text, target, met):
        rows.append((measure, *cells, ratio_text, target, "yes" if met else "NO" if met is not None else "-"))

    def experiment_row(measure, cells, ratio_text, target, met):
        """A row about minrelay --uring: shown like the others, but not a target of the server's."""
        rows.append((measure, *cells, ratio_text, target, ("yes" if met else "no") + " (uring)"))

    def each(result_of, form):
        return [form(result_of[name]) for name in SYSTEMS]

    idle = results.get("idle")
    if idle:
        row(f"idle CPU over {args.idle_seconds:.0f} s, no players", each(idle, lambda r: f"{r['server_cpu_pct']:.3f}%"),
            "-", "0.0%", round(idle["varnserver"]["server_cpu_pct"], 1) == 0.0)
    for key, rate, seconds in (("sync", 30, args.sync_seconds), ("sync100", 100, args.busy_seconds),
                               ("sync300", 300, args.busy_seconds)):
        found = results.get(key)
        if not found:
            continue
        s, m, b = (found[name] for name in SYSTEMS[:3])
        label = f"26 x {rate} syncs/s, all in range, {seconds:.0f} s"
        loss_target = "< 0.01%" if rate == 300 else "no loss" if rate == 30 else "-"
        loss_met = s["loss_pct"] < 0.01 if rate == 300 else s["loss_pct"] == 0 if rate == 30 else None
        row(f"{label}: relays received (loss)",
            each(found, lambda r: f"{r['full'] + r['reduced']:.0f} of {r['expected']:.0f} ({r['loss_pct']:.3f}%)"),
            "-", loss_target, loss_met)
        cpu_ratio = ratio(cpu_per_relay(s), cpu_per_relay(b))
        row(f"{label}: server CPU (ratio: per relay, to batched)", each(found, lambda r: f"{r['server_cpu_pct']:.2f}%"),
            f"{cpu_ratio:.2f}x", "<= 1.0x" if rate >= 100 else "-", cpu_ratio <= 1.0 if rate >= 100 else None)
        if with_uring:
            uring_ratio = ratio(cpu_per_relay(found[URING]), cpu_per_relay(b))
            experiment_row(f"{label}: CPU per 1000 relays received (ratio: uring to batched)",
                           each(found, lambda r: f"{1000 * cpu_per_relay(r):.4f}%"), f"{uring_ratio:.2f}x",
                           "<= 0.9x", uring_ratio <= 0.9)
        p99_ratio = ratio(s["p99_us"], b["p99_us"])
        row(f"{label}: relay latency p50 / p99 (ratio: p99 to batched)",
            each(found, lambda r: f"{r['p50_us']:.0f} / {r['p99_us']:.0f} us"), f"{p99_ratio:.2f}x", "<= 1.2x",
            p99_ratio <= 1.2)
        max_ratio = ratio(s["max_us"], m["max_us"])
        row(f"{label}: relay latency max, median of the rounds (ratio: to minrelay)",
            each(found, lambda r: f"{r['max_us']:.0f} us"), f"{max_ratio:.2f}x",
            "<= 3x" if rate <= 100 else "-", max_ratio <= 3.0 if rate <= 100 else None)
        if rate == 30:
            row(f"{label}: peak resident memory", each(found, lambda r: f"{r['hwm_kb'] / 1024:.1f} MiB"),
                f"{ratio(s['hwm_kb'], b['hwm_kb']):.2f}x", "<= 6 MiB", s["hwm_kb"] <= 6 * 1024)
    spread = results.get("spread")
    if spread:
        label = f"26 x 30 syncs/s, half far apart, {args.spread_seconds:.0f} s"
        row(f"{label}: full / reduced relays (loss)",
            each(spread, lambda r: f"{r['full']:.0f} / {r['reduced']:.0f} ({r['loss_pct']:.2f}%)"), "-", "-", None)
        row(f"{label}: server CPU", each(spread, lambda r: f"{r['server_cpu_pct']:.2f}%"),
            f"{ratio(cpu_per_relay(spread['varnserver']), cpu_per_relay(spread['batched'])):.2f}x", "-", None)
    saturation = results.get("saturation")
    if saturation:
        s, b = saturation["varnserver"], saturation["batched"]
        saturation_ratio = ratio(s["relay_rate"], b["relay_rate"])
        row("saturation: highest relay rate with loss < 1% (ratio: to batched)",
            each(saturation, lambda r: f"{r['relay_rate']:.0f}/s"), f"{saturation_ratio:.2f}x", ">= 1.0x",
            saturation_ratio >= 1.0)
        row("saturation: at that rate, syncs/s per player, loss, server CPU",
            each(saturation, lambda r: f"{r['rate']:.0f}, {r['loss_pct']:.2f}%, {r['server_cpu_pct']:.0f}%"),
            "-", "-", None)
        row("saturation: relay latency p50 / p99 at that rate",
            each(saturation, lambda r: f"{r['p50_us']:.0f} / {r['p99_us']:.0f} us"), "-", "-", None)
    return rows


LATENCY_FIGURES = [("server CPU %", "server_cpu_pct", "{:.2f}"), ("p99 us", "p99_us", "{:.0f}"),
                   ("max us", "max_us", "{:.0f}"), ("loss %", "loss_pct", "{:.3f}")]
ROUND_FIGURES = {
    "idle": [("server CPU %", "server_cpu_pct", "{:.3f}")],
    "sync": LATENCY_FIGURES,
    "sync100": LATENCY_FIGURES,
    "sync300": LATENCY_FIGURES,
    "spread": [("server CPU %", "server_cpu_pct", "{:.2f}"), ("p99 us", "p99_us", "{:.0f}"),
               ("loss %", "loss_pct", "{:.3f}")],
    "saturation": [("relay rate /s", "relay_rate", "{:.0f}"), ("syncs/s per player", "rate", "{:.1f}")],
}


def rounds_markdown(runs):
    """Every round's key figures, so the spread behind each median can be seen."""
    lines = ["| load | figure | " + " | ".join(f"{system}, each round" for system in SYSTEMS) + " |",
             "|---|---|" + "---|" * len(SYSTEMS)]
    for name, by_system in runs.items():
        for label, key, form in ROUND_FIGURES[name]:
            cells = [", ".join(form.format(result[key]) for result in by_system[system]) for system in SYSTEMS]
            lines.append(f"| {name} | {label} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def markdown(rows):
    names = ["varnserver", "minrelay", "minrelay --batched"] + (["minrelay --uring"] if URING in SYSTEMS else [])
    lines = ["| measure | " + " | ".join(names) + " | ratio | target | met |",
             "|---|" + "---|" * len(names) + "---|---|---|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def main():
    global SYSTEMS
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=Path, default=REPO / "build-test",
                        help="directory with the three binaries (scripts/test.sh builds them in build-test/)")
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--sync-seconds", type=float, default=30)
    parser.add_argument("--busy-seconds", type=float, default=15, help="window of the 26 x 100 and 26 x 300 loads")
    parser.add_argument("--spread-seconds", type=float, default=10)
    parser.add_argument("--step-seconds", type=float, default=3)
    parser.add_argument("--saturation-start", type=float, default=50, help="first rate per player of the search")
    parser.add_argument("--only", choices=["idle", "sync", "sync100", "sync300", "spread", "saturation"], action="append",
                        help="run only these loads (may be repeated)")
    parser.add_argument("--rounds", type=int, default=1,
                        help="run every load this many times per system, alternating, and report the median run")
    parser.add_argument("--nice", type=int, default=0,
                        help="scheduling priority of the systems and varnload (negative: ahead of other work)")
    parser.add_argument("--metrics", action="store_true",
                        help="give varnserver a MetricsPort and read /metrics every second during each load")
    parser.add_argument("--output", type=Path, help="also write the table and the machine as Markdown here")
    parser.add_argument("--wait", choices=["poll"],
                        help="have varnserver wait with the plain poll mechanism (VARN_WAIT) instead of its default")
    parser.add_argument("--with-uring", action="store_true",
                        help="also run minrelay --uring (io_uring) after the batched relay and compare it with that")
    args = parser.parse_args()

    build = args.build.resolve()
    for binary in ("varnserver", "minrelay", "varnload"):
        if not (build / binary).is_file():
            sys.exit(f"{build / binary} is missing: build it first (cmake --build build)")
    if args.with_uring:
        probe = subprocess.run([str(build / "minrelay"), "--uring"], capture_output=True, text=True, timeout=10)
        if probe.returncode == 3:
            sys.exit(probe.stderr.strip())
        SYSTEMS = SYSTEMS + (URING,)

    loads = {
        "idle": (["--players", "0", "--seconds", str(args.idle_seconds)], args.idle_seconds + 30),
        "sync": (["--players", "26", "--rate", "30", "--seconds", str(args.sync_seconds)], args.sync_seconds + 30),
        "sync100": (["--players", "26", "--rate", "100", "--seconds", str(args.busy_seconds)], args.busy_seconds + 30),
        "sync300": (["--players", "26", "--rate", "300", "--seconds", str(args.busy_seconds)], args.busy_seconds + 30),
        "spread": (["--players", "26", "--rate", "30", "--seconds", str(args.spread_seconds), "--spread"],
                   args.spread_seconds + 30),
        "saturation": (["--players", "26", "--saturate", "--rate", str(args.saturation_start),
                        "--step-seconds", str(args.step_seconds)], 40 * (args.step_seconds + 1) + 30),
    }
    chosen = args.only or list(loads)
    machine_before = machine_description()
    print(f"machine: {machine_before['nproc']} CPUs, {machine_before['cpu']}, kernel {machine_before['kernel']}, "
          f"load average {machine_before['load'][0]:.2f}")

    systems = (System("varnserver", build, args.nice, wait=args.wait, metrics=args.metrics),
               System("minrelay", build, args.nice),
               System("batched", build, args.nice, ["--batched"]))
    if args.with_uring:
        systems += (System(URING, build, args.nice, ["--uring"]),)
    runs = {name: {system.name: [] for system in systems} for name in chosen}
    for round_number in range(args.rounds):
        for name in chosen:
            arguments, time_limit = loads[name]
            for system in systems:
                print(f"round {round_number + 1} of {args.rounds}, {name}, {system.name}")
                runs[name][system.name].append(run_load(system, build, arguments, time_limit, print))
    results = {name: {system: median_result(found) for system, found in by_system.items()}
               for name, by_system in runs.items()}

    rows = build_table(results, args)
    table = markdown(rows)
    machine_after = machine_description()
    print()
    print(table)
    if args.rounds > 1:
        print(f"(medians of {args.rounds} rounds)")
        print()
        print(rounds_markdown(runs))
    syscalls = syscalls_markdown(results)
    if syscalls:
        print("\nSystem calls per 1000 datagrams sent (medians of the rounds):\n")
        print(syscalls)
    print(f"\nload average before {machine_before['load'][0]:.2f}, after {machine_after['load'][0]:.2f}")

    if args.output:
        args.output.write_text(
            f"Machine: {machine_before['nproc']} CPUs ({machine_before['cpu']}), Linux {machine_before['kernel']}; "
            f"1-minute load average {machine_before['load'][0]:.2f} before, {machine_after['load'][0]:.2f} after.\n"
            f"Command: bench/run.py {' '.join(sys.argv[1:])}"
            + (f" (each figure the median of {args.rounds} rounds)" if args.rounds > 1 else "") + "\n\n"
            + table + "\n"
            + ("\nEach round:\n\n" + rounds_markdown(runs) + "\n" if args.rounds > 1 else "")
            + ("\nSystem calls per 1000 datagrams sent:\n\n" + syscalls + "\n" if syscalls else ""))
    return 0 if all(row[-1] != "NO" for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
