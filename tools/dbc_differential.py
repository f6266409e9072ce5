#!/usr/bin/env python3
"""Differential check of DBC loading between an older and a newer build.

  tools/dbc_differential.py OLD_BINARY NEW_BINARY [--mutants N] [--seed S] [FILE ...]

The model knows five line rules that builds before them lacked: value
tables ("VAL_ <id> <signal> <value> "<label>"... ;", read for labels; one
that does not match is named, those of environment variables are not read),
several ranges on one SG_MUL_VAL_ line (the signal goes into a group per
range; a reversed range in a list is passed over), and the signal
lines after a message line that does not match go with it (up to the next
message line that matches), message and signal lines may have blanks before
their colon, and signals that can never be extracted (length 0, single or
double precision of another length than 32 or 64 bits) are refused when they
are placed. Every line a rule selects but does not match is named in a
warning "Skipping malformed DBC line N: TEXT". Against an older build that
already has these rules, the rewrites below change nothing it would read
differently, so the check also compares two builds that both have them.

For each DBC file (the given ones, built-in seeds, and N mutants of them) a
small Python model of the line rules rewrites the file into the form the
older build reads as the newer one reads the original: the dropped signal
lines are removed, the blanks that only the new rules accept are taken out,
and undecodable signals get a start bit that the older build refuses at the
same place. Then:
  - the newer build's JSON dump of the file equals the older build's dump of
    the rewritten file, byte for byte (and both load or both fail);
  - when the model rewrote nothing, the two dumps of the very same file are
    equal: files that loaded before load exactly as before;
  - the newer build's warnings are exactly the model's (numbers and text).
Exit status 0 when every file passes.
"""
import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

G = rb"[\x21-\x7e]"  # [[:graph:]]
NUM = rb"[0-9eE.\-+]"
# Rules in dispatch order: (prefix, pattern of the newer build). Patterns are
# matched whole against the line cut at its first NUL. Rule 3 is written
# without nested repetition: same language, no exponential backtracking.
RULES = [
    (b"BA_DEF_ ", rb"BA_DEF_\s+(?:BU_|BO_|SG_)?\s+\"" + G +
     rb"+\"\s+(?:INT|FLOAT|STRING|ENUM)\s+(?:[\x00-\x7f]+)?;"),
    (b"BA_DEF_DEF_ ", rb"BA_DEF_DEF_\s+\"" + G + rb"+\"\s+" + G + rb"+;"),
    (b"BA_ ", rb"BA_ \"" + G + rb"+\" ?(?:BU_|BO_|SG_)* ?[0-9]* ?" + G + rb"* [\x00-\x7f]+;"),
    (b"BO_ ", rb"BO_ ([0-9]+) (" + G + rb"+) *: ([0-9]+) (" + G + rb"+)"),
    (b"SG_ ", rb"SG_ (" + G + rb"+) ([0-9mM]*) *: ([0-9]+)\|([0-9]+)@(0|1)(\+|\-) \((" + NUM +
     rb"+),(" + NUM + rb"+)\) \[(" + NUM + rb"+)\|(" + NUM + rb"+)\].*"),
    (b"SG_MUL_VAL_ ", rb"SG_MUL_VAL_ ([0-9]*) (" + G + rb"+) (" + G + rb"+) ([0-9]*)-([0-9]*)"
     rb"((?:\s*,\s*[0-9]*-[0-9]*)*);?"),
    (b"SIG_VALTYPE_ ", rb"SIG_VALTYPE_ ([0-9]+) (" + G + rb"+) : ([0-9]+);"),
    (b"VAL_ ", rb"VAL_ ([0-9]+) (" + G + rb"+)((?:\s+-?[0-9]+\s+\"[^\"]*\")*)\s*;"),
]
RULES = [(p, re.compile(r, re.S)) for p, r in RULES]
OLD_MESSAGE = re.compile(rb"BO_ ([0-9]+) (" + G + rb"+): ([0-9]+) (" + G + rb"+)", re.S)
OLD_SIGNAL = re.compile(rb"SG_ (" + G + rb"+) ([0-9mM]*) ?: ", re.S)
MESSAGE, SIGNAL, MUX_RANGE, VALUE_TYPE, VALUE_TABLE = 3, 4, 5, 6, 7
# The word after "VAL_ " names a message: digits, then a blank or the end.
NAMES_MESSAGE = re.compile(rb"VAL_ [0-9]+(?:[ \t]|$)", re.S)


def to_u32(digits):
    return min(int(digits), 0xFFFFFFFF) if digits else 0


def model(data):
    """Returns (rewritten file for the older build, changed?, warnings)."""
    data = bytes(b if b < 0x80 else 0x5F for b in data)
    pieces = data.split(b"\n")
    lines = []  # (piece index, rule, match) of the lines that were kept
    warnings = []
    orphaned = False
    for i, piece in enumerate(pieces):
        line = piece.strip(b"\r").strip(b" ").strip(b"\t")
        if not line:
            continue
        text = line.split(b"\0")[0]
        for rule, (prefix, pattern) in enumerate(RULES):
            if not line.startswith(prefix):
                continue
            if rule == SIGNAL and orphaned:
                pieces[i] = b""
                break
            if rule == VALUE_TABLE and not NAMES_MESSAGE.match(text):
                break
            m = pattern.fullmatch(text)
            if not m:
                warnings.append((i + 1, text[:80]))
                if rule == MESSAGE:
                    orphaned = True
                break
            if rule == MESSAGE:
                orphaned = False
            lines.append((i, rule, m))
            break
    changed = data != b"\n".join(pieces)

    # Several ranges: the older build reads the line's first range (the
    # first that is not reversed, if any); the copies in the other groups
    # are taken out of the newer build's dump before comparing (extra).
    extra = []
    for i, rule, m in lines:
        if rule == MUX_RANGE and m.group(6):
            ranges = [tuple(to_u32(x) for x in r.split(b"-"))
                      for r in re.split(rb"\s*,\s*", m.group(0).split(b" ", 4)[4].rstrip(b";"))]
            kept = [r for r in ranges if r[0] <= r[1]] or ranges[:1]
            pieces[i] = b"SG_MUL_VAL_ %s %s %s %d-%d;" % (m.group(1), m.group(2), m.group(3),
                                                         kept[0][0], kept[0][1])
            extra.append((to_u32(m.group(1)), m.group(2).decode("latin-1"),
                          m.group(3).decode("latin-1"), kept[1:]))
            changed = True

    value_types = {}
    for i, rule, m in lines:
        if rule == VALUE_TYPE:
            value_types.setdefault((to_u32(m.group(1)), m.group(2)), to_u32(m.group(3)))
    current = 0
    for i, rule, m in lines:
        if rule == MESSAGE:
            current = to_u32(m.group(1))
            if not OLD_MESSAGE.fullmatch(m.group(0)):
                pieces[i] = b"BO_ %s %s: %s %s" % m.group(1, 2, 3, 4)
                changed = True
        elif rule == SIGNAL:
            text = m.group(0)
            start, end = m.span(3)
            length = to_u32(m.group(4))
            kind = {1: 3, 2: 4}.get(value_types.get((current, m.group(1)), 0),
                                     1 if m.group(6) == b"+" else 2)
            undecodable = length == 0 or (kind == 3 and length != 32) or (kind == 4 and
                                                                          length != 64)
            if undecodable:
                text = text[:start] + b"99999" + text[end:]
                start, end = start, start + 5
            if not OLD_SIGNAL.match(text):
                text = b"SG_ %s %s : " % m.group(1, 2) + text[start:]
            if text != m.group(0):
                pieces[i] = text
                changed = True
    return b"\n".join(pieces), changed, warnings, extra


def without_copies(dump, extra):
    """The newer build's dump without the copies the further ranges made."""
    if not extra or dump is None:
        return dump
    try:
        db = json.loads(dump.decode("latin-1"))
    except ValueError:
        return dump
    # By signal and switch name (the dump gives database keys, not the
    # file's identifiers): close enough for the files checked here.
    extra_groups = {}
    for mid, signal, switch, ranges in extra:
        extra_groups.setdefault((signal, switch), set()).update(ranges)

    def walk(signals):
        for s in signals:
            for g in s["multiplexed"]:
                walk(g["signals"])
            keep = []
            for g in s["multiplexed"]:
                before = len(g["signals"])
                g["signals"] = [x for x in g["signals"] if (g["from"], g["to"]) not in
                                extra_groups.get((x["name"], s["name"]), ())]
                # A signal refused as it is placed leaves its groups
                # empty, those of the further ranges too.
                extra_range = any((g["from"], g["to"]) in r for (_, sw), r in
                                  extra_groups.items() if sw == s["name"])
                if g["signals"] or (len(g["signals"]) == before and not extra_range):
                    keep.append(g)
            s["multiplexed"] = keep

    for m in db["messages"]:
        walk(m["signals"])
    return json.dumps(db).encode()


def normal(dump):
    try:
        return json.dumps(json.loads(dump.decode("latin-1"))).encode() if dump else dump
    except ValueError:
        return dump


WARNING = re.compile(rb" W Skipping malformed DBC line ([0-9]+): (.*)$")


def run(binary, dbc, work):
    """Loads dbc with binary; returns (JSON dump or None, warnings)."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "logs"))
    with open(os.path.join(work, "x.dbc"), "wb") as f:
        f.write(dbc)
    proc = subprocess.run([binary, "--verbosity=3", "--dbc-can1=x.dbc", "--dbdump", "logs"],
                          cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          timeout=120)
    if proc.returncode < 0:
        raise RuntimeError("%s died with signal %d" % (binary, -proc.returncode))
    warnings = []
    for line in proc.stderr.split(b"\n"):
        m = WARNING.search(line)
        if m:
            warnings.append((int(m.group(1)), m.group(2)))
    dump = os.path.join(work, "x.json")
    if not os.path.exists(dump):
        return None, warnings
    with open(dump, "rb") as f:
        return f.read(), warnings


def bench_load_dbc(messages):
    """The file the load benchmark generates, smaller."""
    s = (b'VERSION ""\n\nNS_ :\n\tNS_DESC_\n\tCM_\n\nBS_:\n\nBU_: ECU Dash\n\n'
         b'BA_DEF_  "BusType" STRING ;\nBA_DEF_ BO_  "GenMsgCycleTime" INT 0 65535;\n'
         b'BA_DEF_ BO_  "TransportProtocolType" STRING ;\nBA_DEF_ BO_  "MessageIgnore" INT 0 1;\n'
         b'BA_DEF_ SG_  "SignalIgnore" INT 0 1;\nBA_DEF_DEF_  "BusType" "CAN";\n'
         b'BA_DEF_DEF_  "GenMsgCycleTime" 100;\nBA_DEF_DEF_  "TransportProtocolType" "";\n'
         b'BA_DEF_DEF_  "MessageIgnore" 0;\nBA_DEF_DEF_  "SignalIgnore" 0;\nBA_ "BusType" "CAN";\n\n')
    out, attributes, comments = [s], [], []
    for m in range(messages):
        mid = 0x80000000 | (0x10000 + m)
        out.append(b"BO_ %d Message_%d: 64 ECU\n" % (mid, m))
        mux = m % 10 == 0
        for k in range(10):
            ind = b"" if not mux else b" M" if k == 0 else b" m0" if k < 5 else b" m1"
            start = k * 16 + (15 if k % 2 else 0)
            out.append(b' SG_ Signal_%d_%d%s : %d|16@%d%c (0.01,-40) [-40|615.35] "unit" Dash\n' %
                       (m, k, ind, start, 0 if k % 2 else 1, ord("+") if k % 3 else ord("-")))
        out.append(b"\n")
        attributes.append(b'BA_ "GenMsgCycleTime" BO_ %d %d;\n' % (mid, 10 + m % 90))
        if m % 7 == 0:
            attributes.append(b'BA_ "SignalIgnore" SG_ %d Signal_%d_3 1;\n' % (mid, m))
        comments.append(b'CM_ BO_ %d "Message number %d";\n' % (mid, m))
    return b"".join(out + comments + attributes)


def bench_convert_dbc():
    """The file the conversion benchmark generates."""
    s = (b'VERSION ""\n\nBU_: ECU\n\nBA_DEF_  "BusType" STRING ;\nBA_DEF_  "ProtocolType" STRING ;\n'
         b'BA_ "BusType" "CAN";\nBA_ "ProtocolType" "J1939";\n\n')
    for m in range(5):
        s += b"BO_ %d Msg%d: 8 ECU\n" % (0x98FF1000 + (m << 8), m)
        for k in range(8):
            s += b' SG_ Sig%d_%d : %d|8@1+ (0.5,-10) [-10|117.5] "" ECU\n' % (m, k, 8 * k)
    return s


# Every kind of line the parser reads, multiplexing, value types and
# attributes: the seed most mutants start from.
RICH = b"""VERSION "1"

BU_: ECU Dash Body

BO_ 256 Engine: 8 ECU
 SG_ Speed : 0|16@1+ (0.01,-5) [0|655.35] "km/h" Dash
 SG_ Temp : 23|8@0- (1,-40) [-40|215] "C" Dash
 SG_ Level : 32|32@1+ (1,0) [0|1] "" Dash
 SG_ Total : 0|64@1- (1e+3,0) [0|1.84467440737096E+019] "" Dash

BO_ 257 Mode: 8 ECU
 SG_ Sel M : 0|8@1+ (1,0) [0|255] "" Dash
 SG_ A m0 : 8|8@1+ (1,0) [0|255] "" Dash
 SG_ B m1 : 8|16@1+ (1,0) [0|65535] "" Dash
 SG_ Inner m2M : 8|8@1+ (1,0) [0|255] "" Dash
 SG_ Deep m3 : 16|8@1+ (1,0) [0|255] "" Dash
 SG_ Deep2 m4 : 24|8@1- (0.5,0) [-64|63.5] "" Dash

BO_ 2566852897 Status: 8 Body
 SG_ Page M : 0|8@1+ (0.5,0) [0|127.5] "" Dash
 SG_ Volt m1 : 8|16@1+ (0.05,0) [0|3212.75] "V" Dash
 SG_ Count : 32|8@1+ (1,0) [0|0] "" Dash

BO_ 3 Iso: 64 ECU
 SG_ Data : 0|32@1+ (1,0) [0|1] "" Dash

CM_ BO_ 256 "the engine";
BA_DEF_  "BusType" STRING ;
BA_DEF_ BO_  "TransportProtocolType" STRING ;
BA_DEF_ BO_  "MessageIgnore" INT 0 1;
BA_DEF_ SG_  "SignalIgnore" INT 0 1;
BA_DEF_DEF_  "BusType" "CAN";
BA_DEF_DEF_  "MessageIgnore" 0;
BA_ "BusType" "CAN";
BA_ "TransportProtocolType" BO_ 3 "ISOTP";
BA_ "SignalIgnore" SG_ 256 Temp 1;
SG_MUL_VAL_ 257 Inner Sel 2-2;
SG_MUL_VAL_ 257 Deep Inner 3-5;
SIG_VALTYPE_ 256 Level : 1;
SIG_VALTYPE_ 256 Total : 2;
VAL_ 256 Speed 0 "Stop" 65535 "Not available" ;
VAL_ Env 0 "Off" ;
"""


def mutate(data, rng):
    lines = data.split(b"\n")

    def pick(prefix):
        idx = [i for i, l in enumerate(lines) if l.strip().startswith(prefix)]
        return rng.choice(idx) if idx else None

    def blanks():
        return b" " * rng.choice([0, 1, 1, 2, 3])

    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(17)
        if op == 0 and (i := pick(b"BO_ ")) is not None:  # blanks before the colon
            lines[i] = re.sub(rb" *:", lambda _: blanks() + b":", lines[i], count=1)
        elif op == 1 and (i := pick(b"SG_ ")) is not None:
            lines[i] = re.sub(rb" *:", lambda _: b" " + blanks() + b":", lines[i], count=1)
        elif op == 2 and (i := pick(b"BO_ ")) is not None:  # no transmitter
            lines[i] = lines[i].rsplit(b" ", 1)[0]
        elif op == 3 and (i := pick(rng.choice([b"BO_ ", b"SG_ "]))) is not None:
            parts = lines[i].split(b" ")
            j = rng.randrange(len(parts))
            if parts[j]:
                k = rng.randrange(len(parts[j]) + 1)
                parts[j] = parts[j][:k] + rng.choice([b" ", b"\t", b"  "]) + parts[j][k:]
            lines[i] = b" ".join(parts)
        elif op == 4 and (i := pick(b"SG_ ")) is not None:  # length
            n = rng.choice([b"0", b"0", b"32", b"64", b"16", b"65", b"00"])
            lines[i] = re.sub(rb"\|[0-9]+@", b"|" + n + b"@", lines[i], count=1)
        elif op == 5 and (i := pick(b"SG_ ")) is not None:  # value type line for it
            name = lines[i].split()[1]
            ids = [l.split()[1] for l in lines if l.startswith(b"BO_ ") and len(l.split()) > 1]
            mid = rng.choice(ids) if ids else b"0"
            lines.append(b"SIG_VALTYPE_ %s %s : %s;" % (mid, name, rng.choice(b"0123").to_bytes(
                1, "big")))
        elif op == 6 and lines:  # character noise
            i = rng.randrange(len(lines))
            line = bytearray(lines[i])
            k = rng.randrange(len(line) + 1)
            what = rng.randrange(3)
            if what == 0 and k < len(line):
                del line[k]
            elif what == 1:
                line[k:k] = bytes([rng.choice(b" \t:|@+-()[]\"m M0912;,\r\x00\xc3\x7f")])
            elif k < len(line):
                line[k] = rng.randrange(1, 256)
            lines[i] = bytes(line)
        elif op == 7 and lines:  # line order
            i, j = rng.randrange(len(lines)), rng.randrange(len(lines))
            if rng.random() < 0.5:
                lines[i], lines[j] = lines[j], lines[i]
            else:
                lines.insert(j, lines[i])
        elif op == 8 and lines:
            del lines[rng.randrange(len(lines))]
        elif op == 9 and (i := pick(b"BO_ ")) is not None:  # malformed message line
            lines.insert(i + 1, rng.choice([b"BO_ 4095 Broken : x ECU", b"BO_ 77 Half",
                                            b"BO_ 78 Two Names: 8 X", b"BO_ 79 Tab\t: 8 X"]))
        elif op == 10:  # line endings and leading blanks
            lines = [l + b"\r" if rng.random() < 0.3 else l for l in lines]
            lines = [rng.choice([b"", b"\t", b"  ", b" \t "]) + l for l in lines]
        elif op == 11 and (i := pick(b"SG_ ")) is not None:  # no blank after the name
            lines[i] = re.sub(rb" +([0-9mM]*) *:", rb"\1:", lines[i], count=1)
        elif op == 12 and (i := pick(b"SG_ ")) is not None:  # indicator variants
            ind = rng.choice([b"M", b"m1", b"m2M", b"M1", b"mm", b"m", b"12"])
            lines[i] = re.sub(rb"^(\s*SG_ \S+)( [0-9mM]*)? *:", lambda m: m.group(1) + b" " + ind +
                              blanks() + b":", lines[i], count=1)
        elif op == 13 and (i := pick(b"SG_ ")) is not None:  # big-endian / signed
            lines[i] = re.sub(rb"@[01][+-]", rng.choice([b"@0+", b"@1-", b"@0-", b"@1+"]),
                              lines[i], count=1)
        elif op == 14 and (i := pick(b"BO_ ")) is not None:  # length of the message
            lines[i] = re.sub(rb": *[0-9]+", rng.choice([b": 0", b": 1", b": 4", b": 64"]),
                              lines[i], count=1)
        elif op == 15 and (i := pick(b"SG_ ")) is not None:  # several ranges
            name = lines[i].split()[1]
            switches = [l.split()[1] for l in lines if l.strip().startswith(b"SG_ ") and
                        len(l.split()) > 2 and b"M" in l.split()[2]]
            ids = [l.split()[1] for l in lines if l.startswith(b"BO_ ") and len(l.split()) > 1]
            if switches and ids:
                ranges = [b"%d-%d" % (rng.randrange(6), rng.randrange(6))
                          for _ in range(rng.randint(1, 4))]
                sep = rng.choice([b",", b", ", b" ,", b" , ", b",\t"])
                lines.append(b"SG_MUL_VAL_ %s %s %s %s;" % (rng.choice(ids), name,
                                                             rng.choice(switches),
                                                             sep.join(ranges)))
        elif op == 16 and (i := pick(b"SG_ ")) is not None:  # value tables
            name = lines[i].split()[1]
            ids = [l.split()[1] for l in lines if l.startswith(b"BO_ ") and len(l.split()) > 1]
            pairs = b"".join(b" %d \"%s\"" % (rng.randrange(-3, 300),
                                               rng.choice([b"Not available", b"a, b", b""]))
                             for _ in range(rng.randint(0, 3)))
            tail = rng.choice([b" ;", b";", b" \"open ;", b" 1.5 \"x\" ;", b""])
            head = rng.choice([b"VAL_ %s %s" % (rng.choice(ids) if ids else b"1", name),
                               b"VAL_ Env%s" % name, b"VAL_TABLE_ T"])
            lines.append(head + pairs + tail)
    return b"\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("files", nargs="*")
    ap.add_argument("--mutants", type=int, default=300)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", help="folder that receives the files that fail")
    args = ap.parse_intermixed_args()
    args.old, args.new = os.path.abspath(args.old), os.path.abspath(args.new)

    cases = []
    for path in args.files:
        with open(path, "rb") as f:
            cases.append((path, f.read()))
    cases += [("bench-load-3000", bench_load_dbc(3000)), ("bench-convert", bench_convert_dbc()),
              ("rich", RICH)]
    seeds = [c[1] for c in cases if len(c[1]) < 20000] + [bench_load_dbc(12)] + [RICH] * 6
    rng = random.Random(args.seed)
    for n in range(args.mutants):
        cases.append(("mutant-%d" % n, mutate(rng.choice(seeds), rng)))

    work = tempfile.mkdtemp()
    failures = unchanged = loaded = 0
    warned = 0
    try:
        for name, data in cases:
            rewritten, changed, expected, extra = model(data)
            new_dump, new_warnings = run(args.new, data, os.path.join(work, "new"))
            old_dump, _ = run(args.old, rewritten, os.path.join(work, "old"))
            if extra:
                new_dump, old_dump = without_copies(new_dump, extra), normal(old_dump)
            problems = []
            if new_dump != old_dump:
                problems.append("JSON dumps differ")
            if not changed:
                unchanged += 1
                same_dump, _ = (old_dump, None) if rewritten == data else run(
                    args.old, data, os.path.join(work, "old"))
                if same_dump != new_dump:
                    problems.append("unchanged file, dumps differ")
            if new_warnings != expected:
                problems.append("warnings differ: got %r, model %r" % (new_warnings, expected))
            loaded += new_dump is not None
            warned += bool(expected)
            if problems:
                failures += 1
                print("FAIL %s: %s" % (name, "; ".join(problems)))
                if args.keep:
                    os.makedirs(args.keep, exist_ok=True)
                    safe = re.sub(r"[^A-Za-z0-9_.-]", "_", name)
                    with open(os.path.join(args.keep, safe + ".dbc"), "wb") as f:
                        f.write(data)
                    with open(os.path.join(args.keep, safe + ".old.dbc"), "wb") as f:
                        f.write(rewritten)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d files: %d loaded, %d left unchanged by the model (byte-identical dumps "
          "required), %d with warnings, %d failed" %
          (len(cases), loaded, unchanged, warned, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
