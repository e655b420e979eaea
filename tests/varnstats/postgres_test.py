#!/usr/bin/env python3
"""PostgreSQL: a throw-away cluster in a temporary directory (initdb and pg_ctl, run as an unprivileged
user: as root, as nobody), password authentication with the password in a password file only. The same
logs go into SQLite and into PostgreSQL, and the two reports must be byte for byte the same; a URL that
holds a password is refused. The cluster is stopped at the end, whatever happened.

    postgres_test.py --varnstats varnstats
"""

import argparse
import glob
import gzip
import os
import pwd
import shutil
import subprocess
import sys

from statstest import Failure, check, check_equal, free_udp_port, missing_program, run, run_test, site_files

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures")
PASSWORD = "throw-away-7d1c"
TIMEOUT = 60


def postgres_programs():
    """initdb and pg_ctl: from PATH, else Debian's newest /usr/lib/postgresql/N/bin."""
    initdb, pg_ctl = shutil.which("initdb"), shutil.which("pg_ctl")
    if initdb and pg_ctl:
        return initdb, pg_ctl
    for directory in sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda path: int(path.split("/")[-2]),
                            reverse=True):
        initdb, pg_ctl = os.path.join(directory, "initdb"), os.path.join(directory, "pg_ctl")
        if os.access(initdb, os.X_OK) and os.access(pg_ctl, os.X_OK):
            return initdb, pg_ctl
    missing_program("PostgreSQL (initdb, pg_ctl)", "Debian package postgresql")


class Cluster:
    """A PostgreSQL cluster of its own, owned by an unprivileged user."""

    def __init__(self, scratch):
        self.initdb, self.pg_ctl = postgres_programs()
        self.directory = os.path.join(scratch, "postgres")
        self.data = os.path.join(self.directory, "data")
        self.sockets = os.path.join(self.directory, "sockets")
        self.port = free_udp_port()  # a number; the cluster listens on its Unix socket only
        self.running = False
        os.makedirs(self.sockets)
        os.chmod(self.directory, 0o755)
        # initdb refuses to run as root: the cluster belongs to nobody then.
        self.user = pwd.getpwnam("nobody") if os.geteuid() == 0 else None
        password_file = os.path.join(self.directory, "initial-password")
        with open(password_file, "w") as secret:
            secret.write(PASSWORD + "\n")
        if self.user:
            for path in (self.directory, self.sockets, password_file):
                os.chown(path, self.user.pw_uid, self.user.pw_gid)
        self.as_owner([self.initdb, "-D", self.data, "-U", "varnstats", "--auth=scram-sha-256",
                       f"--pwfile={password_file}", "-E", "UTF8", "--locale=C", "--no-sync"])
        os.remove(password_file)

    def as_owner(self, command):
        if self.user:
            command = ["runuser", "-u", self.user.pw_name, "--", *command]
        return run(command, timeout=TIMEOUT, cwd=self.directory)

    def start(self):
        options = f"-k {self.sockets} -p {self.port} -c listen_addresses='' -c fsync=off"
        self.running = True
        self.as_owner([self.pg_ctl, "-D", self.data, "-l", os.path.join(self.directory, "server.log"), "-o", options,
                       "-w", "-t", "30", "start"])

    def stop(self):
        if not self.running:
            return
        try:
            self.as_owner([self.pg_ctl, "-D", self.data, "-m", "fast", "-w", "-t", "30", "stop"])
        except (Failure, subprocess.TimeoutExpired):
            self.as_owner([self.pg_ctl, "-D", self.data, "-m", "immediate", "-w", "-t", "30", "stop"])
        self.running = False

    def url(self, database="postgres"):
        return f"postgresql://varnstats@/{database}?host={self.sockets}&port={self.port}"


def ingest_and_report(varnstats, database, logs, site, environment):
    for batch in logs:
        run([varnstats, "ingest", "--db", database, *batch], env=environment)
    run([varnstats, "report", "--db", database, "--out", site, "--title", "Same & same"], env=environment)


def main(arguments, scratch):
    cluster = Cluster(scratch)
    # libpq reads the password from here; it must be private to its reader.
    password_file = os.path.join(scratch, "pgpass")
    with open(password_file, "w") as secret:
        secret.write(f"*:*:*:varnstats:{PASSWORD}\n")
    os.chmod(password_file, 0o600)
    environment = dict(os.environ, PGPASSFILE=password_file, PGCONNECT_TIMEOUT="10")
    try:
        cluster.start()
        run([os.path.join(os.path.dirname(os.path.realpath(cluster.pg_ctl)), "createdb"), "-h", cluster.sockets, "-p",
             str(cluster.port), "-U", "varnstats", "stats"], env=environment, timeout=TIMEOUT)

        # The same logs, in the same runs: fixtures, a generated busy week, and a rotated, compressed copy.
        logs_directory = os.path.join(scratch, "logs")
        os.makedirs(logs_directory)
        busy = os.path.join(logs_directory, "busy.log")
        run([sys.executable, os.path.join(HERE, "make_log.py"), "--out", busy, "--players", "40", "--days", "2",
             "--split-at", "30000"])
        stamped = os.path.join(logs_directory, "stamped.log")
        plain = os.path.join(logs_directory, "plain.log")
        shutil.copyfile(os.path.join(FIXTURES, "stamped.log"), stamped)
        shutil.copyfile(os.path.join(FIXTURES, "plain-crlf.log"), plain)
        compressed = os.path.join(logs_directory, "busy.log.1.gz")
        with open(busy, "rb") as source, gzip.open(compressed, "wb") as target:
            target.write(source.read())
        with open(busy, "ab") as log, open(busy + ".rest", "rb") as rest:
            log.write(rest.read())
        runs = [[busy, stamped], [compressed, busy, plain]]

        sqlite_site = os.path.join(scratch, "site-sqlite")
        postgres_site = os.path.join(scratch, "site-postgres")
        ingest_and_report(arguments.varnstats, os.path.join(scratch, "stats.sqlite"), runs, sqlite_site, environment)
        ingest_and_report(arguments.varnstats, cluster.url("stats"), runs, postgres_site, environment)
        from_sqlite, from_postgres = site_files(sqlite_site), site_files(postgres_site)
        check(len(from_sqlite) > 40, f"only {len(from_sqlite)} files in the report")
        check_equal(sorted(from_postgres), sorted(from_sqlite), "the report's files")
        for name, content in from_sqlite.items():
            check(from_postgres[name] == content, f"{name} differs between SQLite and PostgreSQL")
        print(f"{len(from_sqlite)} files alike from SQLite and PostgreSQL")

        # Idempotent there too: another run adds nothing and the report stays the same.
        again = run([arguments.varnstats, "ingest", "--db", cluster.url("stats"), busy, compressed, stamped, plain],
                    env=environment)
        check(again.count("0 new lines, 0 statistics lines stored") == 4, f"a second run read again:\n{again}")
        run([arguments.varnstats, "report", "--db", cluster.url("stats"), "--out", postgres_site, "--title",
             "Same & same"], env=environment)
        check(site_files(postgres_site) == from_sqlite, "the report changed after a second ingest")

        # A service file names the database instead of the URL.
        service_file = os.path.join(scratch, "pg_service.conf")
        with open(service_file, "w") as services:
            services.write(f"[stats]\nhost={cluster.sockets}\nport={cluster.port}\ndbname=stats\nuser=varnstats\n")
        service_site = os.path.join(scratch, "site-service")
        run([arguments.varnstats, "report", "--db", "postgresql:///?service=stats", "--out", service_site, "--title",
             "Same & same"], env=dict(environment, PGSERVICEFILE=service_file))
        check(site_files(service_site) == from_sqlite, "the report through a service file differs")

        # A password in the URL is refused before anything connects, and not repeated.
        with_password = f"postgresql://varnstats:{PASSWORD}@/stats?host={cluster.sockets}&port={cluster.port}"
        refused = subprocess.run([arguments.varnstats, "report", "--db", with_password, "--out",
                                  os.path.join(scratch, "never")], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 timeout=TIMEOUT, env=dict(os.environ, PGPASSFILE="/nonexistent"))
        output = refused.stdout.decode(errors="replace")
        check(refused.returncode == 1 and "password" in output and PASSWORD not in output,
              f"a URL with a password: exit {refused.returncode}, {output}")
        # Without the password file, the connection fails with libpq's reason.
        refused = subprocess.run([arguments.varnstats, "report", "--db", cluster.url("stats"), "--out",
                                  os.path.join(scratch, "never")], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 timeout=TIMEOUT, env=dict(os.environ, PGPASSFILE="/nonexistent"))
        check(refused.returncode == 1 and b"password" in refused.stdout, "a connection without the password file")
        check(not os.path.exists(os.path.join(scratch, "never")), "a refused report wrote files")
    finally:
        cluster.stop()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--varnstats", required=True)
    parsed = parser.parse_args()
    parsed.varnstats = os.path.abspath(parsed.varnstats)
    run_test(lambda scratch: main(parsed, scratch))
