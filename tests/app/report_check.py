#!/usr/bin/env python3
"""The run report (--report) against its schema and against the run.

Each run is over a copy of a golden case's input; the report must be
strict UTF-8, parse, and follow doc/report.schema.json (checked by a small
validator of the keywords that schema uses), and its numbers must agree
with the summaries: the logs' frames add up to the reader's messages, their
rows to the writer's. Also: a failed log and a missing input with their
error lines, dropped frames, -d, -j 2 giving the serial report's logs,
logs named with bytes that are not UTF-8, and a report that cannot be
written (status 8, one error line, the outputs still there).
Usage: report_check.py QUILLON SCHEMA E2E_FOLDER"""
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def validate(value, schema, where='$'):
    """The keywords of doc/report.schema.json: type, const, enum, pattern,
    minimum, required, properties, additionalProperties, items."""
    kinds = schema.get('type')
    if kinds is not None:
        kinds = kinds if isinstance(kinds, list) else [kinds]
        ok = {
            'object': lambda v: isinstance(v, dict),
            'array': lambda v: isinstance(v, list),
            'string': lambda v: isinstance(v, str),
            'integer': lambda v: isinstance(v, int) and not isinstance(v, bool),
            'boolean': lambda v: isinstance(v, bool),
            'null': lambda v: v is None,
        }
        if not any(ok[k](value) for k in kinds):
            failures.append('%s: %r is not %s' % (where, value, kinds))
            return
    if 'const' in schema and value != schema['const']:
        failures.append('%s: %r is not %r' % (where, value, schema['const']))
    if 'enum' in schema and value not in schema['enum']:
        failures.append('%s: %r not in %r' % (where, value, schema['enum']))
    if 'pattern' in schema and isinstance(value, str) and not re.search(schema['pattern'], value):
        failures.append('%s: %r does not match %s' % (where, value, schema['pattern']))
    if 'minimum' in schema and isinstance(value, int) and value < schema['minimum']:
        failures.append('%s: %r below %r' % (where, value, schema['minimum']))
    if isinstance(value, dict):
        for name in schema.get('required', []):
            if name not in value:
                failures.append('%s: %s missing' % (where, name))
        properties = schema.get('properties', {})
        for name, item in value.items():
            if name in properties:
                validate(item, properties[name], where + '.' + name)
            elif schema.get('additionalProperties') is False:
                failures.append('%s: %s not in the schema' % (where, name))
    if isinstance(value, list) and 'items' in schema:
        for i, item in enumerate(value):
            validate(item, schema['items'], '%s[%d]' % (where, i))


def run(binary, schema, case_input, args, name, tmp, report='report.json', prepare=None):
    work = os.path.join(tmp, name)
    shutil.copytree(case_input, work)
    if prepare:
        prepare(work)
    done = subprocess.run([binary, '--non-interactive', '--report=' + report] + args, cwd=work,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    path = os.path.join(work, report)
    if not os.path.exists(path):
        return done, None, work
    raw = open(path, 'rb').read()
    try:
        document = json.loads(raw.decode('utf-8', errors='strict'))
    except (UnicodeDecodeError, ValueError) as e:
        failures.append('%s: the report does not parse: %s' % (name, e))
        return done, None, work
    validate(document, schema, name)
    check(document['exit_status'] == done.returncode, '%s: exit status %d, report %d' %
          (name, done.returncode, document['exit_status']))
    check(sum(l['frames_read'] for l in document['logs']) == document['reader']['messages'],
          name + ': frames of the logs do not add up to the reader summary')
    check(sum(l['rows_written'] for l in document['logs']) == document['writer']['messages'],
          name + ': rows of the logs do not add up to the writer summary')
    check(sum(l['outputs'] for l in document['logs']) == document['writer']['files'],
          name + ': outputs of the logs do not add up to the writer summary')
    summary = done.stdout.decode()
    reader = re.search(r'Reader summary\n- Files: (\d+)\n- Messages: (\d+)', summary)
    check(reader and int(reader.group(2)) == document['reader']['messages'],
          name + ': reader messages differ from the summary')
    return done, document, work


def logs_of(document):
    return {l['path']: l for l in document['logs']}


def main(binary, schema_path, e2e):
    binary = os.path.abspath(binary)
    schema = json.load(open(schema_path))
    tmp = tempfile.mkdtemp()
    try:
        concat = os.path.join(e2e, 'concat_split_files', 'input')
        done, doc, _ = run(binary, schema, concat, ['--dbc-can1=j1939.dbc', 'logs', 'missing.txt'],
                           'plain', tmp)
        check(done.returncode == 1, 'plain: status %d' % done.returncode)
        if doc:
            logs = logs_of(doc)
            check(logs.get('missing.txt', {}).get('result') == 1, 'plain: the missing input')
            check(logs.get('missing.txt', {}).get('errors') ==
                  ['Could not find input file/folder missing.txt'], 'plain: its error line')
            check(logs['logs/00000001.TXT']['rows_written'] > 0, 'plain: no rows')
            check(doc['shard'] is None and doc['threads'] == 1, 'plain: shard or threads')
        _, threaded, _ = run(binary, schema, concat, ['-j', '2', '--dbc-can1=j1939.dbc', 'logs',
                                                      'missing.txt'], 'threads', tmp)
        if doc and threaded:
            check(threaded['logs'] == doc['logs'], '-j 2: other logs than -j 1')
            check(threaded['threads'] == 2, '-j 2: threads')
        _, sharded, _ = run(binary, schema, concat, ['--shard=0/1', '--dbc-can1=j1939.dbc', 'logs'],
                            'shard', tmp)
        if sharded:
            check(sharded['shard'] == {'index': 0, 'count': 1}, 'shard: %r' % sharded['shard'])

        damaged = os.path.join(e2e, 'mend_damaged_timestamps', 'input')
        done, doc, work = run(binary, schema, damaged, ['-d', '--dbc-can1=j1939.dbc', 'logs'],
                              'damaged', tmp)
        if doc:
            check(any(l['frames_dropped'] > 0 for l in doc['logs']), 'damaged: nothing dropped')
            for l in doc['logs']:
                gone = not os.path.exists(os.path.join(work, l['path']))
                check(l['deleted'] == gone, 'damaged: %s deleted %s' % (l['path'], l['deleted']))
                check((l['result'] == 0) == (not l['errors']), 'damaged: %s errors' % l['path'])

        lost = os.path.join(e2e, 'mend_lost_output_fails_file', 'input')
        done, doc, _ = run(binary, schema, lost, ['--dbc-can1=j1939.dbc', 'logs'], 'failed', tmp)
        if doc:
            failed = [l for l in doc['logs'] if l['result'] == 8]
            check(len(failed) == 1 and failed[0]['errors'][-1] ==
                  'Error during conversion of ' + failed[0]['path'], 'failed: %r' % failed)

        # Names of any bytes: the report stays strict UTF-8 and parses.
        rng = random.Random(28)

        def odd_names(work):
            source = os.path.join(work, 'logs', '00000001.TXT')
            for i in range(40):
                raw = bytes(rng.choice([rng.randrange(1, 256), 0xff, 0xc3, 0xed, 0x22, 0x5c])
                            for _ in range(rng.randrange(1, 12)))
                raw = raw.replace(b'/', b'_').replace(b'\0', b'_')
                name = os.path.join(os.fsencode(work), b'logs', raw + b'%02d.txt' % i)
                shutil.copyfile(source, name)

        _, doc, _ = run(binary, schema, concat, ['--dbc-can1=j1939.dbc', 'logs'], 'names', tmp,
                        prepare=odd_names)
        check(doc is not None and len(doc['logs']) == 42, 'names: %r logs' %
              (len(doc['logs']) if doc else None))
        if doc:
            check(any('\ufffd' in l['path'] for l in doc['logs']), 'names: no replaced byte')

        # A report that cannot be written: status 8, one line, outputs kept.
        done, doc, work = run(binary, schema, concat, ['--dbc-can1=j1939.dbc', 'logs'], 'unwritable',
                              tmp, report='no/such/folder/r.json')
        check(done.returncode == 8, 'unwritable: status %d' % done.returncode)
        err = done.stderr.decode(errors='replace')
        check(err.count(' E Could not write report no/such/folder/r.json\n') == 1,
              'unwritable: ' + err)
        check(any(n.endswith('_out') for n in os.listdir(work)), 'unwritable: no outputs')
    finally:
        shutil.rmtree(tmp)
    for f in failures:
        print('FAIL:', f)
    print('%d passed, %d failed' % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:4]))
