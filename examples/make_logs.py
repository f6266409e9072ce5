#!/usr/bin/env python3
"""Writes the example logs in examples/logs/: one logger, session 12, two
split files that run across midnight (UTC), with J1939 engine traffic that
examples/engine.dbc describes. Deterministic, so the files only change when
this script does."""
import math
import os

HERE = os.path.dirname(os.path.abspath(__file__))

HEADER = """# Logger type: Telvorn2000
# HW rev: 2.1
# FW rev: 5.03
# Logger ID: 3B9-127/22
# Session No.: 12
# Split No.: {split}
# Time: 20240517T{start}
# Value separator: ";"
# Time format: 3
# Time separator: ":"
# Time separator ms: "."
# Date separator: "/"
# Time and date separator: " "
# Bit-rate: 250000
# Silent mode: false
# Cyclic mode: false
Timestamp;Type;ID;Length;Data
"""


def le16(v):
    return [v & 0xFF, (v >> 8) & 0xFF]


def be16(v):
    return [(v >> 8) & 0xFF, v & 0xFF]


def frames(t0_ms, seconds):
    """Yields (ms since midnight of the header day, id, payload)."""
    for tick in range(seconds * 10):
        ms = t0_ms + tick * 100
        t = tick / 10.0
        rpm = int((1200 + 400 * math.sin(t / 5)) / 0.125)
        torque = 125 + int(40 + 20 * math.sin(t / 3))
        yield ms, 0x0CF00400, [0xF3, torque - 5, torque] + le16(rpm) + [0xFF, 0x0F, 0xFF]
        if tick % 5 == 0:
            boost = int((150 + 30 * math.sin(t)) / 0.1)
            delta = int(-25.5 / 0.05) & 0xFFFF if tick % 20 == 0 else int(12.25 / 0.05)
            yield ms + 3, 0x18FF1003, be16(boost) + be16(delta) + [int(40 / 0.4), 0xFF, 0xFF, 0xFF]
        if tick % 10 == 0:
            coolant = 40 + 88 + (tick // 100)
            yield ms + 5, 0x18FEEE00, [coolant, 40 + 35] + le16(int((95 + 273) / 0.03125)) + [0xFF] * 4
            page = 1 if tick % 20 == 0 else 2
            if page == 1:
                body = [1] + le16(int(27.6 / 0.05)) + [0xF6] + [0xFF] * 4
            else:
                body = [2] + le16(int((18.5 + 273) / 0.03125)) + [43] + [0xFF] * 4
            yield ms + 7, 0x18FF1121, body
            # A torque request to the engine (0x00) from the gearbox (0x03);
            # once in a while with a speed limit beyond the signal's range.
            limit = 0xFFFE if tick % 70 == 0 else int(2200 / 0.125)
            yield ms + 9, 0x0C000003, [0x01] + le16(limit) + [125 + 80] + [0xFF] * 4


def stamp(ms):
    ms %= 86400000
    h, rest = divmod(ms, 3600000)
    m, rest = divmod(rest, 60000)
    s, milli = divmod(rest, 1000)
    return "%02d:%02d:%02d.%03d" % (h, m, s, milli)


def write(split, start_ms, seconds):
    start = stamp(start_ms)[:8].replace(":", "")
    lines = [HEADER.format(split=split, start=start)]
    for ms, ident, data in frames(start_ms, seconds):
        lines.append("%s;1;%08X;%d;%s\n" % (stamp(ms), ident, len(data),
                                             "".join("%02X" % b for b in data)))
    with open(os.path.join(HERE, "logs", "%08d.TXT" % split), "w", newline="\n") as f:
        f.write("".join(lines))


if __name__ == "__main__":
    os.makedirs(os.path.join(HERE, "logs"), exist_ok=True)
    write(1, (23 * 3600 + 59 * 60 + 10) * 1000, 30)
    write(2, (23 * 3600 + 59 * 60 + 40) * 1000, 30)
