#!/usr/bin/env python3
# Writes input/logs/00000001.TXT: one MUX container (CAN 0x600 on channel 1,
# targets 2:3:4:1) sent as ISO-TP, carrying frames for channels 2 and 3
# (among them an ISO-TP message of its own), a frame of index 5, a frame for
# the container's own channel, an event record and a frame cut short.
import os

def code_of(length):
    return [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64].index(length)

def std(index, ident, data, code=None):
    code = code_of(len(data)) if code is None else code
    return bytes([(index << 5) | (code >> 1), ((code & 1) << 7) | (ident >> 8), ident & 0xFF]) + data

def ext_fd(index, ident, data):
    code = code_of(len(data))
    b0 = (index << 5) | 0x10 | 0x08 | (code >> 1)
    b1 = ((code & 1) << 7) | 0x20 | (ident >> 24)  # bit-rate switch set
    return bytes([b0, b1, (ident >> 16) & 0xFF, (ident >> 8) & 0xFF, ident & 0xFF]) + data

diag = bytes.fromhex("621234AABBCCDDEEFF0011223344550A0B0C0D99")
c = std(0, 0x123, bytes([40, 0, 0, 0, 0, 0, 0, 7]))  # channel 2 Lamp
c += std(1, 0x7E8, bytes([0x10, 0x14]) + diag[:6])  # channel 3: ISO-TP first frame
c += std(1, 0x7E8, bytes([0x21]) + diag[6:13])
c += std(5, 0x123, bytes([99] * 8))  # index 5: skipped
c += std(3, 0x123, bytes([98] * 8))  # target 1 is the container's channel: skipped
c += bytes([0x07, 0x02])  # event record, index 0
c += std(1, 0x7E8, bytes([0x22]) + diag[13:20])  # completes the channel 3 message
c += ext_fd(0, 0x18FF0102, bytes(range(1, 13)))  # channel 2 FdStatus, 12 bytes
c += std(0, 0x123, bytes([41, 0, 0]), code=8)  # announces 8 bytes, carries 3

n = len(c)
frames = [bytes([0x10 | (n >> 8), n & 0xFF]) + c[:6]]
for seq, pos in enumerate(range(6, n, 7), start=1):
    frames.append(bytes([0x20 | (seq & 0xF)]) + c[pos:pos + 7])

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "input/logs/00000001.TXT"), "w") as f:
    f.write("# Logger type: Telvorn2000\n# Logger ID: VAN-02\n# Session No.: 4\n# Split No.: 1\n"
            "# Time: 20240517T120000\n# Value separator: \";\"\nTimestamp;Type;ID;Length;Data\n")
    f.write("20240517T120000100;0;123;8;2A00000000000005\n")
    for i, fr in enumerate(frames):
        f.write("20240517T120000%03d;0;600;%d;%s\n" % (200 + i, len(fr), fr.hex().upper()))
