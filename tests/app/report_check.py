#!/usr/bin/env python3
"""The run report (--report) against its schema and against the run.

Each run is over a copy of a golden case's input; the report must be
strict UTF-8, parse, and follow doc/report.schema.json (checked by a small
validator of the keywords that schema uses), and its numbers must agree
with the summaries: the logs' frames add up to the reader's messages, their
rows to the writer's. Also: a failed log and a missing input with their
error lines, dropped frames and the warning about them, -d, -j 2 giving
the serial report's logs, outputs created and appended to, a link to
nothing skipped, logs named with bytes that are not UTF-8, a report that
cannot be written (status 8, one error line, the outputs still there), and
an interrupt at a known frame (serial and -j 2): the program blocks
writing a warning into a full pipe, the signal comes while it waits there.
Usage: report_check.py QUILLON SCHEMA E2E_FOLDER"""
import ctypes
import json
import os
import platform
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

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
    check(sum(l['outputs_created'] for l in document['logs']) == document['writer']['files'],
          name + ': outputs of the logs do not add up to the writer summary')
    version = subprocess.run([binary, '--version'], stdout=subprocess.PIPE).stdout.decode()
    check(document['version'] in version.split(), name + ': version ' + document['version'])
    summary = done.stdout.decode()
    reader = re.search(r'Reader summary\n- Files: (\d+)\n- Messages: (\d+)', summary)
    check(reader and int(reader.group(2)) == document['reader']['messages'],
          name + ': reader messages differ from the summary')
    return done, document, work


def logs_of(document):
    return {l['path']: l for l in document['logs']}


def split_log(split, lines):
    return ('# Logger ID: TRUCK-07\n# Session No.: 1\n# Split No.: %d\n# Time: 20240517T120000\n'
            '# Value separator: ";"\nTimestamp;Type;ID;Length;Data\n' % split +
            ''.join('20240517T%s;1;0CF00400;8;%02X40250000000000\n' % (t, i)
                    for i, t in enumerate(lines)))


def blocked_writing_stderr(pid):
    """The thread of the process that waits in a write to a full pipe, or
    None."""
    try:
        for task in os.listdir('/proc/%d/task' % pid):
            wchan = open('/proc/%d/task/%s/wchan' % (pid, task)).read()
            if 'pipe_write' in wchan:
                return int(task)
    except OSError:
        pass
    return None


def interrupt_thread(pid, tid):
    """SIGINT to that very thread. Sent to the process, the kernel may hand
    it to another thread that runs its handler only later, while the
    blocked one, its pipe drained, converts on without seeing the flag."""
    number = {'x86_64': 234, 'aarch64': 131}.get(platform.machine())
    if number is None or tid is None:
        os.kill(pid, signal.SIGINT)
        return
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.syscall(number, pid, tid, signal.SIGINT) != 0:
        os.kill(pid, signal.SIGINT)


def interrupted(binary, schema, e2e, tmp, jobs):
    """Three splits of one session (one task on threads, converted in
    order); the second warns of a damaged timestamp at its third line. Its
    standard error is a pipe filled to the brim, so that warning is where
    the program waits when the signal comes: the second split is undone
    after the next frame, the third is never reached."""
    name = 'interrupt' + ''.join(jobs)
    work = os.path.join(tmp, name)
    os.makedirs(os.path.join(work, 'logs'))
    shutil.copyfile(os.path.join(e2e, 'concat_split_files', 'input', 'j1939.dbc'),
                    os.path.join(work, 'j1939.dbc'))
    splits = [['120000100', '120000200'],
              ['120001100', '120001200', '1200X1300', '120001400', '120001500'],
              ['120002100']]
    for i, lines in enumerate(splits):
        with open(os.path.join(work, 'logs', '%08d.TXT' % (i + 1)), 'w') as f:
            f.write(split_log(i + 1, lines))
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    filled = 0
    try:
        while True:
            filled += os.write(write_end, b'.')
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    process = subprocess.Popen([binary, '--non-interactive', '--verbosity=3', '--report=r.json'] +
                               jobs + ['--dbc-can1=j1939.dbc', 'logs'], cwd=work,
                               stdout=subprocess.PIPE, stderr=write_end)
    os.close(write_end)
    deadline = time.monotonic() + 60
    while blocked_writing_stderr(process.pid) is None and time.monotonic() < deadline:
        time.sleep(0.005)
    blocked = blocked_writing_stderr(process.pid)
    check(blocked is not None, name + ': never blocked on its warning')
    interrupt_thread(process.pid, blocked)
    err = b''
    while True:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        err += chunk
    os.close(read_end)
    out = process.communicate()[0].decode()
    err = err[filled:].decode(errors='replace')
    check(process.returncode == -signal.SIGINT, '%s: ended with %d' % (name, process.returncode))
    check(' E Conversion interrupted by signal 2\n' in err, name + ': ' + err)
    try:
        doc = json.loads(open(os.path.join(work, 'r.json'), 'rb').read().decode('utf-8'))
    except (OSError, ValueError) as e:
        failures.append('%s: no report: %s' % (name, e))
        return
    validate(doc, schema, name)
    check(doc['interrupt_signal'] == 2 and doc['exit_status'] == 8,
          '%s: signal %d, status %d' % (name, doc['interrupt_signal'], doc['exit_status']))
    logs = [(l['path'], l['result'], l['frames_read'], l['frames_dropped'], l['outputs_created'],
             l['outputs_appended'], [e['level'] + ' ' + e['text'] for e in l['errors']])
            for l in doc['logs']]
    check(logs == [('logs/00000001.TXT', 0, 2, 0, 1, 0, []),
                   ('logs/00000002.TXT', 8, 3, 1, 0, 0, [
                       'W Skipping frame with malformed timestamp: 20240517T1200X1300',
                       'E Conversion interrupted by signal 2',
                       'E Error during conversion of logs/00000002.TXT'])],
          '%s: %r' % (name, logs))
    check('Writer summary\n- Files: 1\n- Messages: 5\n' in out, name + ': ' + out)


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
            # Lines now carry their level: warnings are told of too.
            check(logs.get('missing.txt', {}).get('errors') ==
                  [{'level': 'E', 'text': 'Could not find input file/folder missing.txt'}],
                  'plain: its error line')
            check(logs['logs/00000001.TXT']['rows_written'] > 0, 'plain: no rows')
            # The second split continues the first: it appends to its files.
            first, second = logs['logs/00000001.TXT'], logs['logs/00000002.TXT']
            check(first['outputs_created'] > 0 and first['outputs_appended'] == 0,
                  'plain: first split %r' % first)
            check(second['outputs_created'] == 0 and second['outputs_appended'] > 0,
                  'plain: second split %r' % second)
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
        done, doc, work = run(binary, schema, damaged,
                              ['-d', '--verbosity=3', '--dbc-can1=j1939.dbc', 'logs'],
                              'damaged', tmp)
        if doc:
            check(any(l['frames_dropped'] > 0 for l in doc['logs']), 'damaged: nothing dropped')
            for l in doc['logs']:
                gone = not os.path.exists(os.path.join(work, l['path']))
                check(l['deleted'] == gone, 'damaged: %s deleted %s' % (l['path'], l['deleted']))
                errors = [e for e in l['errors'] if e['level'] in 'EF']
                check((l['result'] == 0) == (not errors), 'damaged: %s errors' % l['path'])
            check(any(e['level'] == 'W' and e['text'].startswith('Skipping frame with malformed')
                      for l in doc['logs'] for e in l['errors']), 'damaged: no warning')

        lost = os.path.join(e2e, 'mend_lost_output_fails_file', 'input')
        done, doc, _ = run(binary, schema, lost, ['--dbc-can1=j1939.dbc', 'logs'], 'failed', tmp)
        if doc:
            failed = [l for l in doc['logs'] if l['result'] == 8]
            check(len(failed) == 1 and failed[0]['errors'][-1] ==
                  {'level': 'E', 'text': 'Error during conversion of ' + failed[0]['path']},
                  'failed: %r' % failed)
            check(failed[0]['outputs_created'] == 0, 'failed: its outputs were undone')

        # Links to nothing: one named as a log is skipped, another is no log.
        def dangling(work):
            os.symlink('nowhere.TXT', os.path.join(work, 'logs', '00000000.TXT'))
            os.symlink('nowhere.csv', os.path.join(work, 'logs', 'notes.csv'))

        for jobs in ([], ['-j', '2']):
            _, doc, _ = run(binary, schema, concat,
                            jobs + ['--verbosity=3', '--dbc-can1=j1939.dbc', 'logs'],
                            'dangling' + ''.join(jobs), tmp, prepare=dangling)
            if doc:
                check([l['path'] for l in doc['logs']] ==
                      ['logs/00000000.TXT', 'logs/00000001.TXT', 'logs/00000002.TXT'],
                      'dangling: %r' % doc['logs'])
                link = doc['logs'][0]
                check(link['skipped'] and link['result'] == 0 and not link['repeated'] and
                      link['errors'] == [{'level': 'W', 'text':
                                          'Skipping dangling symbolic link logs/00000000.TXT'}],
                      'dangling: %r' % link)
                check(not any(l['skipped'] for l in doc['logs'][1:]), 'dangling: others skipped')

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

        for jobs in ([], ['-j', '2']):
            interrupted(binary, schema, e2e, tmp, jobs)
    finally:
        shutil.rmtree(tmp)
    for f in failures:
        print('FAIL:', f)
    print('%d passed, %d failed' % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:4]))
