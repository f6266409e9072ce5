#!/usr/bin/env python3
"""Generates src/support/unicode_tables.cpp from the Unicode Character Database.

Usage: tools/gen_unicode.py [UCD folder] > src/support/unicode_tables.cpp
The folder defaults to /usr/share/unicode (Debian's unicode-data package) and
must hold UnicodeData.txt, Scripts.txt and CaseFolding.txt.

Everything is limited to the Basic Multilingual Plane. The case tables are
checked here against the source data for every code point, so the C++ lookup
rules (see text.cpp) reproduce simple case folding and the simple lower- and
upper-case mappings exactly.
"""
import os
import re
import sys

BMP = 0x10000
CATEGORIES = ["Cc", "Lt", "Nd", "Nl", "Pc", "Pd", "Pf", "Pi", "Sc", "Zl", "Zp", "Zs"]
SCRIPTS = ["Arabic", "Cyrillic", "Devanagari", "Greek", "Han", "Latin"]


def read_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def version_of(path):
    with open(path, encoding="utf-8") as f:
        m = re.search(r"-(\d+\.\d+\.\d+)\.txt", f.readline())
    return m.group(1) if m else "unknown"


def ranges_of(points):
    out = []
    for c in sorted(points):
        if out and out[-1][1] + 1 == c:
            out[-1][1] = c
        else:
            out.append([c, c])
    return out


def load(ucd):
    category = {}
    lower = {}
    upper = {}
    first = None
    for f in read_lines(os.path.join(ucd, "UnicodeData.txt")):
        c = int(f[0], 16)
        if f[1].endswith(", First>"):
            first = c
            continue
        span = range(first, c + 1) if f[1].endswith(", Last>") else [c]
        first = None
        for x in span:
            if x < BMP:
                category[x] = f[2]
        if c < BMP:
            if f[12]:
                upper[c] = int(f[12], 16)
            if f[13]:
                lower[c] = int(f[13], 16)
    scripts = {name: set() for name in SCRIPTS}
    for f in read_lines(os.path.join(ucd, "Scripts.txt")):
        if f[1] in scripts:
            lo, _, hi = f[0].partition("..")
            lo = int(lo, 16)
            hi = int(hi, 16) if hi else lo
            scripts[f[1]].update(x for x in range(lo, hi + 1) if x < BMP)
    fold = {}
    for f in read_lines(os.path.join(ucd, "CaseFolding.txt")):
        c = int(f[0], 16)
        if f[1] in ("C", "S") and c < BMP:
            fold[c] = int(f[2], 16)
    # Only mappings that stay inside the plane can be held by the table.
    for m in (fold, lower, upper):
        for c in [c for c, v in m.items() if v >= BMP or v == c]:
            del m[c]
    groups = {name: ranges_of(x for x, cat in category.items() if cat == name) for name in CATEGORIES}
    for name in SCRIPTS:
        groups[name] = ranges_of(scripts[name])
    return groups, fold, lower, upper


def compress(mapping):
    """Runs (first, last, mapped_last) sorted by last. A run whose delta is 1
    alternates: the code points of last's parity map to c + 1, the others to
    themselves. Any other delta shifts every code point of the run."""
    get = lambda c: mapping.get(c, c)
    runs = []
    c = 0
    while c < BMP:
        d = get(c) - c
        if d == 0:
            c += 1
            continue
        last = c
        if d == 1:
            while last + 2 < BMP and get(last + 1) == last + 1 and get(last + 2) == last + 3:
                last += 2
        else:
            while last + 1 < BMP and get(last + 1) - (last + 1) == d:
                last += 1
        runs.append((c, last, last + d))
        c = last + 1
    return runs


def forward(entries, c):
    for first, last, mapped in entries:
        if last >= c:
            if c < first:
                return c
            d = mapped - last
            if d == 1:
                return c + 1 if (c & 1) == (last & 1) else c
            return c + d
    return c


def inverse(entries, c):
    for first, last, mapped in entries:
        if mapped >= c:
            d = mapped - last
            if c < first + d:
                return c
            if d == 1:
                return c - 1 if (c & 1) == (mapped & 1) else c
            return c - d
    return c


def exceptions(table, index, rule, mapping):
    """Index list of the entries that agree with the mapping wherever they
    apply, plus the code points the list still gets wrong."""
    chosen = []
    for i, e in enumerate(table):
        lo, hi = (e[0], e[1]) if rule is forward else (e[0] + e[2] - e[1], e[2])
        if all(rule([e], c) == mapping.get(c, c) for c in range(lo, hi + 1)):
            chosen.append(i)
    if rule is inverse:
        chosen.sort(key=lambda i: table[i][2])
        # Entries whose target ranges overlap cannot share one ordered list.
        kept = []
        for i in chosen:
            if kept and table[i][0] + table[i][2] - table[i][1] <= table[kept[-1]][2]:
                continue
            kept.append(i)
        chosen = kept
    entries = [table[i] for i in chosen]
    wrong = {c: mapping.get(c, c) for c in range(BMP) if rule(entries, c) != mapping.get(c, c)}
    extra = []
    for c in sorted(wrong):
        d = wrong[c] - c
        if extra and extra[-1][1] == c - 1 and extra[-1][2] - extra[-1][1] == d:
            extra[-1][1] = c
            extra[-1][2] = c + d
        else:
            extra.append([c, c, c + d])
    return chosen, extra


def extra_lookup(extra, c):
    for first, last, mapped in extra:
        if first <= c <= last:
            return c + mapped - last
    return None


def main():
    ucd = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
    version = version_of(os.path.join(ucd, "CaseFolding.txt"))
    groups, fold, lower, upper = load(ucd)
    table = compress(fold)
    for c in range(BMP):
        assert forward(table, c) == fold.get(c, c), hex(c)
    lower_index, lower_extra = exceptions(table, None, forward, lower)
    upper_index, upper_extra = exceptions(table, None, inverse, upper)
    lower_entries = [table[i] for i in lower_index]
    upper_entries = [table[i] for i in upper_index]
    for c in range(BMP):
        got = extra_lookup(lower_extra, c)
        assert (got if got is not None else forward(lower_entries, c)) == lower.get(c, c), hex(c)
        got = extra_lookup(upper_extra, c)
        assert (got if got is not None else inverse(upper_entries, c)) == upper.get(c, c), hex(c)

    out = []
    w = out.append
    w(f"// Generated from Unicode {version} by: tools/gen_unicode.py > src/support/unicode_tables.cpp")
    w("// Source: UnicodeData.txt, Scripts.txt, CaseFolding.txt (Debian unicode-data). Do not edit.")
    w("// clang-format off")
    w('#include "support/unicode_tables.h"')
    w("")
    w("namespace quillon::unicode {")
    w("")
    w(f'const char kUnicodeVersion[] = "{version}";')
    w("")
    names = CATEGORIES + SCRIPTS
    for name in names:
        w(f"static const CodeRange k{name}[] = {{")
        line = "   "
        for lo, hi in groups[name]:
            item = f" {{0x{lo:04X}, 0x{hi:04X}}},"
            if len(line) + len(item) > 96:
                w(line)
                line = "   "
            line += item
        w(line)
        w("};")
    w("")
    w("const GroupTable kGroups[kGroupCount] = {")
    for name in names:
        w(f"    {{k{name}, sizeof(k{name}) / sizeof(k{name}[0])}},")
    w("};")
    w("")

    def entries(name, rows):
        w(f"const CaseRange {name}[] = {{")
        for first, last, mapped in rows:
            w(f"    {{0x{first:04X}, 0x{last:04X}, 0x{mapped:04X}}},")
        w("};")
        w(f"const int {name}Count = {len(rows)};")
        w("")

    def index(name, rows):
        w(f"const uint16_t {name}[] = {{")
        for i in range(0, len(rows), 12):
            w("    " + " ".join(f"{x}," for x in rows[i:i + 12]))
        w("};")
        w(f"const int {name}Count = {len(rows)};")
        w("")

    entries("kCaseTable", table)
    index("kLowerIndex", lower_index)
    index("kUpperIndex", upper_index)
    entries("kLowerExtra", lower_extra)
    entries("kUpperExtra", upper_extra)
    w("}  // namespace quillon::unicode")
    print("\n".join(out))
    print(f"case table {len(table)} entries, lower {len(lower_index)} + {len(lower_extra)} extra, "
          f"upper {len(upper_index)} + {len(upper_extra)} extra", file=sys.stderr)


if __name__ == "__main__":
    main()
