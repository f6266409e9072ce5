#!/usr/bin/env python3
"""Writes the example logs in examples/logs/: one logger, session 12, two
split files that run across midnight (UTC), with J1939 engine traffic that
examples/engine.dbc describes, and the three kinds of multi-frame transfer
quillon reassembles before decoding:
- every 5 s a J1939 broadcast (BAM) of the 20-byte EngineConfig from the
  engine (TP.CM on 1CECFF00, three TP.DT on 1CEBFF00, 50 ms apart);
- every 2 s the 26-byte NMEA 2000 EngineDynamic from a gateway at 0x17 as
  four fast-packet frames on 09F20117 (a NMEATP message in engine.dbc);
- every 10 s a diagnostic request of a tester on 7E0 and the engine's
  16-byte ISO-TP answer on 7E8 (first frame, the tester's flow control,
  two consecutive frames), which examples/diag.dbc decodes.
Run it with python3 from anywhere (an argument writes the logs into that
folder instead). Deterministic, so the files only change when this script
does; tests/example_demo.sh checks that the committed logs are its output."""
import math
import os
import sys

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


def le32(v):
    return le16(v & 0xFFFF) + le16(v >> 16)


def bam(ms, source, pgn, data):
    """A J1939 broadcast announce and its data packets (7 bytes each, the last
    one padded with 0xFF)."""
    packets = (len(data) + 6) // 7
    yield ms, 0x1CECFF00 | source, [0x20] + le16(len(data)) + [packets, 0xFF] + le32(pgn)[:3]
    for n in range(packets):
        chunk = data[n * 7:n * 7 + 7]
        yield ms + 50 * (n + 1), 0x1CEBFF00 | source, [n + 1] + chunk + [0xFF] * (7 - len(chunk))


def fast_packet(ms, ident, sequence, data):
    """An NMEA 2000 fast-packet message: 6 bytes in the first frame, 7 in each
    further one, all under one identifier."""
    counter = (sequence & 7) << 5
    yield ms, ident, [counter, len(data)] + data[:6]
    rest = data[6:]
    for n in range(0, len(rest), 7):
        chunk = rest[n:n + 7]
        yield ms + 2 * (n // 7 + 1), ident, [counter | (n // 7 + 1)] + chunk + [0xFF] * (7 - len(chunk))


def isotp_exchange(ms, request, response, data):
    """A tester's single-frame request and a multi-frame ISO-TP answer, with the
    tester's flow control after the first frame."""
    yield ms, request, [0x03, 0x22, 0xF1, 0xA0, 0x55, 0x55, 0x55, 0x55]
    yield ms + 1, response, [0x10 | (len(data) >> 8), len(data) & 0xFF] + data[:6]
    yield ms + 2, request, [0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55]
    rest = data[6:]
    for n in range(0, len(rest), 7):
        chunk = rest[n:n + 7]
        yield ms + 3 + n // 7, response, [0x20 | ((n // 7 + 1) & 15)] + chunk + [0xAA] * (7 - len(chunk))


def transfers(t0_ms, tick):
    """The multi-frame traffic that starts at this tick."""
    ms = t0_ms + tick * 100
    t = tick / 10.0
    if tick % 50 == 20:
        # Idle 650 rpm at 10 %, second point 1800 rpm at 90 %, high idle
        # 2300 rpm, reference torque 2400 Nm.
        config = le16(int(650 / 0.125)) + [135] + le16(int(1800 / 0.125)) + [215]
        config += le16(int(2300 / 0.125)) + [0xFF] * 10 + le16(2400)
        yield from bam(ms + 20, 0x00, 0x00FEE3, config)
    if tick % 20 == 10:
        oil_kpa = int((380 + 60 * math.sin(t / 4)) / 0.1)
        oil_k = int((273.15 + 92 + tick / 50) / 0.1)
        coolant_k = int((273.15 + 85 + tick / 60) / 0.01)
        volts = int((27.8 + 0.2 * math.sin(t)) / 0.01)
        fuel = int((18.5 + 3 * math.sin(t / 3)) / 0.1)
        hours = 1234567 + (t0_ms // 1000) % 100000 + tick // 10
        load = int(45 + 20 * math.sin(t / 5))
        dynamic = [0] + le16(oil_kpa) + le16(oil_k) + le16(coolant_k) + le16(volts)
        dynamic += le16(fuel) + le32(hours) + [0] * 4 + [0xFF] * 5 + [load, load + 5]
        yield from fast_packet(ms + 12, 0x09F20117, tick // 20, dynamic)
    if tick % 100 == 50:
        odometer = int((48211.3 + (t0_ms // 1000) % 100000 / 100 + t / 100) / 0.1)
        answer = [0x62, 0xF1, 0xA0] + le32(odometer) + [int(63.2 / 0.4)]
        # Battery 27.65 V, engine run time in s, module at 55 degC, no trouble codes.
        answer += le16(round(27.65 / 0.001)) + le32(int(3600 + (t0_ms // 1000) % 1000 + t)) + [40 + 55, 0]
        yield from isotp_exchange(ms + 30, 0x7E0, 0x7E8, answer)


def frames(t0_ms, seconds):
    """Yields (ms since midnight of the header day, id, payload) in time order."""
    out = []
    for tick in range(seconds * 10):
        out.extend(transfers(t0_ms, tick))
    # Stable: the single frames keep their order among themselves.
    return sorted(list(single_frames(t0_ms, seconds)) + out, key=lambda frame: frame[0])


def single_frames(t0_ms, seconds):
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


def write(folder, split, start_ms, seconds):
    start = stamp(start_ms)[:8].replace(":", "")
    lines = [HEADER.format(split=split, start=start)]
    for ms, ident, data in frames(start_ms, seconds):
        kind = 1 if ident > 0x7FF else 0  # extended or standard identifier
        lines.append("%s;%d;%08X;%d;%s\n" % (stamp(ms), kind, ident, len(data),
                                              "".join("%02X" % b for b in data)))
    with open(os.path.join(folder, "%08d.TXT" % split), "w", newline="\n") as f:
        f.write("".join(lines))


if __name__ == "__main__":
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "logs")
    os.makedirs(folder, exist_ok=True)
    write(folder, 1, (23 * 3600 + 59 * 60 + 10) * 1000, 30)
    write(folder, 2, (23 * 3600 + 59 * 60 + 40) * 1000, 30)
