#!/usr/bin/env python3
"""The run report always parses, whatever the bytes of the paths.

Each round names logs and missing inputs with random bytes (bytes that are
not UTF-8, control characters, quotes, backslashes, valid characters of
every length) and gives the program logs that convert, warn of a damaged
timestamp, or fail on their header, serial or on threads. The report must be
strict UTF-8, parse with Python's json, and validate against
doc/report.schema.json with a real validator (jsonschema); its command line,
paths and the messages that carry a path must be the bytes as a simple
reference decodes them: each byte that is not part of a valid UTF-8
sequence becomes U+FFFD, everything else stays as it was.
Usage: report_property.py QUILLON SCHEMA DBC [ROUNDS]"""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

import jsonschema

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def reference_text(raw):
    """bytes to str: a valid UTF-8 sequence as its character, any other byte
    as U+FFFD."""
    out = []
    i = 0
    while i < len(raw):
        for n in (1, 2, 3, 4):
            try:
                out.append(raw[i:i + n].decode('utf-8'))
                i += n
                break
            except UnicodeDecodeError:
                continue
        else:
            out.append('\ufffd')
            i += 1
    return ''.join(out)


def random_name(rng):
    """A file name: any bytes but "/" and NUL, at most 120 of them."""
    pieces = []
    for _ in range(rng.randrange(1, 10)):
        kind = rng.randrange(7)
        if kind == 0:
            pieces.append(bytes([rng.randrange(1, 0x20)]))  # control characters, \n too
        elif kind == 1:
            pieces.append(rng.choice([b'"', b'\\', b'\x7f', b'\\u0041', b"'", b' ']))
        elif kind == 2:
            pieces.append(rng.choice(['\u00e9', '\u20ac', '\U0001f69a', '\u2028']).encode())
        elif kind == 3:  # cut short, overlong, surrogate, past U+10FFFF, lone
            pieces.append(rng.choice([b'\xc3', b'\xe2\x82', b'\xc0\xaf', b'\xed\xa0\x80',
                                      b'\xf4\x90\x80\x80', b'\x80', b'\xff', b'\xfe']))
        elif kind == 4:
            pieces.append(bytes(rng.randrange(1, 256) for _ in range(rng.randrange(1, 6))))
        else:
            pieces.append(rng.choice([b'log', b'TRUCK', b'0001', b'-', b'_']))
    name = b''.join(pieces).replace(b'/', b'_').replace(b'\0', b'_')[:120]
    return name if name not in (b'.', b'..') else b'x' + name


def make_log(session, damaged):
    """Three frames of one session; damaged: the last one's timestamp broken."""
    head = ('# Logger ID: TRUCK-07\n# Session No.: %d\n# Split No.: 1\n# Time: 20240517T120000\n'
            '# Value separator: ";"\nTimestamp;Type;ID;Length;Data\n' % session)
    frames = ['20240517T12000%d000;1;0CF00400;8;7D40250000000000\n' % i for i in range(3)]
    if damaged:
        frames[-1] = 'X' + frames[-1]
    return (head + ''.join(frames)).encode()


DAMAGED = 'X20240517T120002000'


def round_once(binary, validator, work, rng, index):
    logs = os.path.join(work, 'logs')
    os.makedirs(logs)
    expected = {}  # path in the report -> kind
    for i in range(rng.randrange(1, 6)):
        name = random_name(rng) + b'%02d.txt' % i
        kind = rng.choice(['log', 'damaged', 'header'])
        if kind == 'header':
            content = b'# Logger ID: TRUCK-07\nTimestamp;Type;ID;Length;Data\n'
        else:  # a session each: none repeats another
            content = make_log(i + 1, kind == 'damaged')
        with open(os.path.join(os.fsencode(logs), name), 'wb') as f:
            f.write(content)
        expected[reference_text(b'logs/' + name)] = kind
    # Not read as an option, and no backslash (a separator in input paths).
    missing = [b'm' + random_name(rng).replace(b'\\', b'_') + b'%02d.TXT' % i
               for i in range(rng.randrange(0, 3))]
    for name in missing:
        expected[reference_text(name)] = 'missing'
    jobs = rng.choice([[], [b'-j', b'2']])
    args = [os.fsencode(binary), b'--non-interactive', b'--verbosity=3', b'--report=r.json'] + \
        jobs + [b'--dbc-can1=j1939.dbc', b'logs'] + missing
    done = subprocess.run(args, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    name = 'round %d' % index
    try:
        raw = open(os.path.join(work, 'r.json'), 'rb').read()
        document = json.loads(raw.decode('utf-8', errors='strict'))
    except (OSError, UnicodeDecodeError, ValueError) as e:
        failures.append('%s: no report that parses: %s' % (name, e))
        return
    errors = sorted(validator.iter_errors(document), key=str)
    check(not errors, '%s: %s' % (name, errors[:1]))
    check(document['exit_status'] == done.returncode, '%s: status' % name)
    check(document['command_line'] == [reference_text(a) for a in args],
          '%s: command line %r' % (name, document['command_line']))
    got = {l['path']: l for l in document['logs']}
    check(sorted(got) == sorted(expected), '%s: paths %r, want %r' % (name, sorted(got),
                                                                      sorted(expected)))
    for path, kind in expected.items():
        entry = got.get(path)
        if entry is None:
            continue
        texts = [(e['level'], e['text']) for e in entry['errors']]
        if kind == 'missing':
            want = [('E', 'Could not find input file/folder ' + path)]
        elif kind == 'header':
            # A header fault says what was wrong and where.
            want = [('E', 'Could not open log: line 2: no known column name in the column-header'
                     ' line'), ('E', 'Error during conversion of ' + path)]
        elif kind == 'damaged':
            want = [('W', 'Skipping frame with malformed timestamp: ' + DAMAGED)]
        else:
            want = []
        check(texts == want, '%s: %r gave %r, want %r' % (name, path, texts, want))


def main(binary, schema_path, dbc_path, rounds='40'):
    binary = os.path.abspath(binary)
    schema = json.load(open(schema_path))
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    rng = random.Random(2028)
    tmp = tempfile.mkdtemp()
    try:
        for i in range(int(rounds)):
            work = os.path.join(tmp, 'round%d' % i)
            os.makedirs(work)
            shutil.copyfile(dbc_path, os.path.join(work, 'j1939.dbc'))
            round_once(binary, validator, work, rng, i)
            shutil.rmtree(work)
    finally:
        shutil.rmtree(tmp)
    for f in failures[:20]:
        print('FAIL:', f)
    print('%d passed, %d failed' % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:5]))
