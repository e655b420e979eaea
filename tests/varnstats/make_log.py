#!/usr/bin/env python3
"""Writes a server log as a busy server with StatLogging 1 (and, unless --no-stamps, LogTimestamps 1)
would: daily restarts, players joining in the evening more than at night, driving, changing weapons,
killing each other and leaving in every way the server logs. The same seed gives the same bytes.

    make_log.py --out server.log [--players 60] [--days 7] [--statistics-lines N] [--split-at N]
                [--seed 1] [--start 2026-11-30] [--no-stamps]

--statistics-lines stops after that many statistics lines; --split-at N also writes OUT.rest with
everything after the Nth statistics line (and OUT ends there), for timing an incremental ingest.
"""

import argparse
import datetime
import heapq
import os
import random
import re

# The log's words, read from the server's own headers so that the two cannot drift apart.
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src")


def read_vocabulary():
    words = {}
    for header in ("protocol/LogVocabulary.h", "log/LogTimestamp.h"):
        with open(os.path.join(SOURCE, header), encoding="utf-8") as text:
            for line in text:
                found = re.match(r'\s*inline constexpr [\w:* ]+ (k\w+) = (?:"(.*)"|static_cast<char>\((0x[0-9A-Fa-f]+)\));', line)
                if not found:
                    continue
                name, string, byte = found.groups()
                words[name] = bytes([int(byte, 16)]) if byte else string.encode("latin-1")
    return words


W = read_vocabulary()
SEP = W["kSeparator"]
SLOTS = 26
STATISTICS = (W["kServerInit"], W["kJoin"], W["kQuit"], W["kKill"], W["kDeath"], W["kVehicle"], W["kWeapon"])


def removal(prefix, ending):
    return W[prefix].replace(b"%", b"%%") + b"%s" + W["kPlayerIdField"] + b"%d" + ending


# How sessions end, with their weights: the line the server writes (None: a voluntary quit).
ENDINGS = [
    (None, 80),
    (removal("kQuitPrefix", W["kTimeoutEnding"]), 8),
    (removal("kKickedPrefix", W["kByAdministrator"] + b"moderator"), 3),
    (removal("kBannedPrefix", W["kByAdministrator"] + b"moderator"), 1),
    (removal("kQuitPrefix", W["kChatFloodEnding"]), 3),
    (removal("kQuitPrefix", W["kCrcTimeoutEnding"]), 2),
    (removal("kQuitPrefix", W["kTrainerEnding"]), 1),
]
# Players online by hour of day (UTC): quiet mornings, busy evenings.
HOURLY_JOINS = [3, 2, 1, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 8, 9, 10, 12, 14, 16, 18, 18, 16, 10, 5]


def player_names(count):
    syllables = ["ka", "ri", "to", "mo", "ne", "la", "su", "vi", "do", "ze", "xa", "pu"]
    names = []
    for index in range(count):
        a, b, c = index % 12, index // 12 % 12, index // 144 % 12
        name = (syllables[a] + syllables[b] + syllables[c]).capitalize() + ("" if index < 1728 else str(index // 1728))
        names.append(name[:12])
    # A few names that need escaping on a web page.
    for index, special in enumerate(["<b>Ana</b>", "O'Neil", "Tom&Jerry", '"Quote"']):
        if index < count:
            names[index * 7 % count] = special
    return names


class Log:
    def __init__(self, out, stamps, limit, split_at):
        self.out = open(out, "wb")
        self.rest = open(out + ".rest", "wb") if split_at else None
        self.stamps = stamps
        self.limit = limit
        self.split_at = split_at
        self.statistics = 0

    def full(self):
        return self.limit is not None and self.statistics >= self.limit

    def write(self, milliseconds, line):
        stamp = b""
        if self.stamps:
            moment = datetime.datetime.fromtimestamp(milliseconds // 1000, datetime.timezone.utc)
            fields = (moment.year, moment.month, moment.day, moment.hour, moment.minute, moment.second,
                      milliseconds % 1000)
            stamp = W["kTimestampFormat"].replace(b"ll", b"") % fields + b" "
        target = self.rest if self.split_at and self.statistics >= self.split_at else self.out
        target.write(stamp + line + b"\n")
        if line.startswith(STATISTICS):
            self.statistics += 1

    def close(self):
        self.out.close()
        if self.rest:
            self.rest.close()


def simulate(arguments):
    rng = random.Random(arguments.seed)
    names = player_names(arguments.players)
    start = int(datetime.datetime.fromisoformat(arguments.start).replace(tzinfo=datetime.timezone.utc).timestamp()
                * 1000)
    log = Log(arguments.out, not arguments.no_stamps, arguments.statistics_lines, arguments.split_at)
    next_player = 0
    day_length = 86_400_000
    for day in range(arguments.days):
        if log.full():
            break
        now = start + day * day_length + 6 * 3_600_000 * (day > 0)
        end_of_run = start + (day + 1) * day_length + 6 * 3_600_000 - 60_000
        for line in (b"- VarnServer log opened -", b"VarnServer 0.3.1", b"",
                     W["kServerInit"] + b"Busy Server" + SEP + b"4000" + SEP + W["kServerInitLabel"] + SEP + b"26" + SEP,
                     b"SERVER: press 'q' or 'Q' to shutdown the server."):
            log.write(now, line)
        online = {}  # slot -> (name, leave time, ending)
        vehicle = {}
        events = []  # (time, order, kind, slot)
        order = 0
        moment = now
        while moment < end_of_run and not log.full():
            hour = moment // 3_600_000 % 24
            moment += rng.randint(20_000, 400_000) * 18 // HOURLY_JOINS[hour] // 3
            if moment >= end_of_run:
                break
            # Everything due before this join happens first.
            while events and events[0][0] <= moment and not log.full():
                at, _, kind, slot = heapq.heappop(events)
                order = act(log, rng, at, kind, slot, online, vehicle, events, order)
            free = [slot for slot in range(SLOTS) if slot not in online]
            if not free:
                continue
            name = names[next_player % len(names)]
            # Every name comes round in turn, so each of them plays.
            next_player += 1
            if any(entry[0] == name for entry in online.values()):
                continue
            slot = free[0]
            stay = rng.randint(60_000, 90 * 60_000)
            ending = rng.choices([e for e, _ in ENDINGS], [w for _, w in ENDINGS])[0]
            online[slot] = (name, moment + stay, ending)
            vehicle[slot] = (0, 0)
            log.write(moment, b"JOIN: '%s', PlayerID = %d (10.%d.%d.%d)" % (name.encode(), slot, slot, 7, 9))
            log.write(moment, W["kJoin"] + b"%d" % slot + SEP + name.encode() + SEP + b"10.%d.%d.%d" % (slot, 7, 9) + SEP)
            for kind in ("drive", "fight"):
                heapq.heappush(events, (moment + rng.randint(5_000, 120_000), order, kind, slot))
                order += 1
            heapq.heappush(events, (moment + stay, order, "leave", slot))
            order += 1
        while events and events[0][0] <= end_of_run and not log.full():
            at, _, kind, slot = heapq.heappop(events)
            order = act(log, rng, at, kind, slot, online, vehicle, events, order)
        if log.full() and not arguments.shutdown_at_end:
            break
        log.write(end_of_run, W["kShutdownTotals"] + b"%d bytes were received and %d bytes were sent."
                  % (rng.randint(10**6, 10**8), rng.randint(10**6, 10**8)))
        log.write(end_of_run, b"SERVER: successfully shutdown the server.")
        log.write(end_of_run, b"- VarnServer log closed -")
    log.close()
    return log.statistics


def act(log, rng, at, kind, slot, online, vehicle, events, order):
    if slot not in online:
        return order
    name, leave, ending = online[slot]
    if kind == "leave":
        if ending is None:
            log.write(at, removal("kQuitPrefix", b"") % (name.encode(), slot))
            log.write(at, W["kQuit"] + b"%d" % slot)
        else:
            log.write(at, ending % (name.encode(), slot))
        del online[slot]
        return order
    if kind == "drive":
        car, gun = vehicle[slot]
        if rng.random() < 0.5:
            car = 0 if car else rng.choice([7, 7, 12, 23, 41, 56])
            log.write(at, W["kVehicle"] + b"%d %d" % (slot, car))
        else:
            gun = rng.choice([3, 5, 5, 9, 22, 31])
            log.write(at, W["kWeapon"] + b"%d %d" % (slot, gun))
        vehicle[slot] = (car, gun)
        heapq.heappush(events, (at + rng.randint(10_000, 180_000), order, "drive", slot))
    elif kind == "fight":
        others = [other for other in online if other != slot]
        killer = slot if not others or rng.random() < 0.05 else rng.choice(others)
        log.write(at, W["kKill"] + b"%d %d" % (killer, slot))
        log.write(at, W["kDeath"] + b"%d" % slot)
        heapq.heappush(events, (at + rng.randint(20_000, 300_000), order, "fight", slot))
    return order + 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True)
    parser.add_argument("--players", type=int, default=60)
    parser.add_argument("--days", type=int, default=7)
    parser.add_argument("--statistics-lines", type=int)
    parser.add_argument("--split-at", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--start", default="2026-11-30")
    parser.add_argument("--no-stamps", action="store_true")
    parser.add_argument("--shutdown-at-end", action="store_true")
    arguments = parser.parse_args()
    print(simulate(arguments))


if __name__ == "__main__":
    main()
