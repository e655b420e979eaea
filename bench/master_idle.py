#!/usr/bin/env python3
"""An idle varnmaster wakes only for its timers: the voluntary context switches of a master that
nobody talks to, over a window (each wake from its wait is one; its one timer runs once a second).

    bench/master_idle.py --master build/varnmaster [--seconds 20]
"""
import argparse
import os
import shutil
import socket
import subprocess
import tempfile
import time


def switches(pid):
    with open(f"/proc/{pid}/status") as status:
        return {line.split(":")[0]: int(line.split()[1]) for line in status if "ctxt_switches" in line}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--master", required=True)
    parser.add_argument("--seconds", type=int, default=20)
    arguments = parser.parse_args()
    work = tempfile.mkdtemp(prefix="varnmaster-idle-")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with open(os.path.join(work, "varnmaster.conf"), "w") as conf:
        conf.write(f"ListenAddress 127.0.5.2\nHttpPort {port}\n")
    master = subprocess.Popen([os.path.abspath(arguments.master), "-c", "varnmaster.conf", "-q"], cwd=work)
    try:
        time.sleep(2)
        before = switches(master.pid)
        time.sleep(arguments.seconds)
        after = switches(master.pid)
    finally:
        master.terminate()
        master.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
    wakes = after["voluntary_ctxt_switches"] - before["voluntary_ctxt_switches"]
    print(f"idle varnmaster over {arguments.seconds} s: {wakes} wakes ({wakes / arguments.seconds:.2f} a second; "
          f"its timer runs once a second)")


if __name__ == "__main__":
    main()
