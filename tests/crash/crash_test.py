#!/usr/bin/env python3
"""The converter killed, or its machine losing power, part-way through a run;
then the same command run again must leave exactly a clean run's tree.

  crash_test.py kill  --faults BIN --release BIN --writer BIN [options]
  crash_test.py power --faults BIN --release BIN --writer BIN [options]

kill:  the run is killed with SIGKILL after a random delay, or stopped by the
       test build (BIN --faults) at the n-th platform call of one kind
       (creating a file, writing, moving aside, syncing, deleting a log...),
       so that kill points land inside every phase of a run.
power: with --delete-converted, the test build records what it syncs and
       stops at a platform call; the tree is then rebuilt as the device would
       hold it after a power cut (a file's content as of its last sync, a
       folder's entries as of the folder's last sync, the input folder's too,
       so a deleted log may come back).

Then the release binary runs the same command again, and the tree is held
against a clean run of that command: without --delete-converted byte for
byte; with it row for row (a split converted again on its own after a kill
starts its own files), no row duplicated, none missing, none cut, no stray
file or folder, the same logs left. Every point is printed with the seed
that replays it (--replay "CONFIG SEED").
"""

import argparse
import bisect
import calendar
import collections
import concurrent.futures
import os
import queue
import random
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# Name, fleet shape (loggers, sessions, splits, frames per split), options,
# whether the run goes over an earlier run's tree, whether the run after the
# kill is itself interrupted (SIGINT) before the last one. The fleet's
# sessions cross midnight, so the runs change day folders; the earlier tree
# comes from logs of other lengths, so a file put back where the new one
# belongs shows.
CONFIGS = [
    ('splits', (1, 1, 4, 1500), [], False, False),
    ('splits_d', (1, 1, 4, 1500), ['-d'], False, False),
    ('fleet_j2', (3, 3, 3, 150), ['-j', '2'], False, False),
    ('fleet_j2_d', (3, 3, 3, 150), ['-j', '2', '-d'], False, False),
    ('rerun', (2, 3, 2, 300), [], True, False),
    ('rerun_d', (2, 3, 2, 300), ['-d'], True, False),
    ('rerun_int', (2, 3, 2, 300), [], True, True),
]
EARLIER_FRAMES = 170
# What runs a program of another system (Wine), from --emulator.
EMULATOR = []

# The kinds of platform call a kill or a power cut is aimed at.
STOP_KINDS = ['create', 'write', 'flush', 'truncate', 'rename', 'sync_file', 'sync_folder',
              'make_folder', 'remove_file', 'remove_folder', 'open', 'read']


def run(binary, root, options, env=None):
    command = [*EMULATOR, binary, '--non-interactive', *options, '--dbc-can1=j1939.dbc',
               '--dbc-can1=can.dbc', '-O', 'out', 'fleet']
    return call(command, root, env)


# A run that has not ended by then hangs (it is killed, and fails the point).
HANG_SECONDS = 120
HUNG = -1000


def call(command, root, env):
    try:
        return subprocess.run(command, cwd=root, env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=HANG_SECONDS).returncode
    except subprocess.TimeoutExpired:
        return HUNG


class Corpus:
    """The inputs of one configuration and its clean result."""

    def __init__(self, args, base, config):
        self.name, shape, self.options, self.earlier, self.interrupted = config
        self.deletes = '-d' in self.options
        self.folder = os.path.join(base, 'corpus-' + self.name)
        loggers, sessions, splits, frames = shape
        write = [*EMULATOR, args.writer, self.folder, str(loggers), str(sessions), str(splits)]
        subprocess.run(write + [str(frames)], check=True)
        os.mkdir(os.path.join(self.folder, 'out'))
        if self.earlier:
            # The earlier tree: a clean run over logs of another length.
            scratch = os.path.join(base, 'earlier-' + self.name)
            write[len(EMULATOR) + 1] = scratch
            subprocess.run(write + [str(EARLIER_FRAMES)], check=True)
            os.mkdir(os.path.join(scratch, 'out'))
            if run(args.release, scratch, [o for o in self.options if o != '-d']) != 0:
                raise SystemExit('the earlier run failed')
            shutil.rmtree(os.path.join(self.folder, 'out'))
            shutil.copytree(os.path.join(scratch, 'out'), os.path.join(self.folder, 'out'))
            shutil.rmtree(scratch)
        self.before = Tree(self.folder)
        self.starts = first_frames(os.path.join(self.folder, 'fleet'))
        clean = self.fresh(os.path.join(base, 'clean'))
        start = time.monotonic()
        self.status = run(args.release, clean, self.options)
        self.seconds = time.monotonic() - start
        self.result = Tree(clean)
        counts_file = os.path.join(base, 'counts')
        env = dict(os.environ, QUILLON_FAULT_COUNTS=counts_file)
        self.fresh(clean)
        if self.status == HUNG:
            raise SystemExit(self.name + ': the clean run hung')
        if run(args.faults, clean, self.options, env) != self.status or \
                Tree(clean).files != self.result.files:
            raise SystemExit(self.name + ': the test build does not convert as the release build')
        self.counts = {}
        with open(counts_file) as f:
            for line in f:
                kind, n = line.split()
                self.counts[kind] = int(n)
        shutil.rmtree(clean)

    def fresh(self, root):
        if os.path.exists(root):
            shutil.rmtree(root)
        shutil.copytree(self.folder, root)
        return root


def first_frames(fleet):
    """The time of every log's first frame, in order."""
    starts = []
    for folder, _, names in os.walk(fleet):
        for name in names:
            with open(os.path.join(folder, name), 'rb') as f:
                for line in f:
                    if line[:1].isdigit():
                        stamp = line.split(b';')[0].decode()
                        seconds = calendar.timegm(time.strptime(stamp[:15], '%Y%m%dT%H%M%S'))
                        starts.append(seconds + int(stamp[15:18]) / 1000)
                        break
    return sorted(starts)


class Tree:
    """The output tree and the logs left of a run in root."""

    def __init__(self, root):
        self.files, self.folders, self.logs = {}, set(), {}
        out = os.path.join(root, 'out')
        for folder, dirs, names in os.walk(out):
            rel = os.path.relpath(folder, out)
            if not dirs and not names and rel != '.':
                self.folders.add(rel)  # an empty folder
            for name in names:
                with open(os.path.join(folder, name), 'rb') as f:
                    self.files[os.path.normpath(os.path.join(rel, name))] = f.read()
        fleet = os.path.join(root, 'fleet')
        for folder, _, names in os.walk(fleet):
            for name in names:
                with open(os.path.join(folder, name), 'rb') as f:
                    self.logs[os.path.relpath(os.path.join(folder, name), fleet)] = f.read()

    def rows(self):
        """Rows by (folder, session), headers by folder, and the faults of
        the files themselves."""
        rows = collections.defaultdict(collections.Counter)
        headers, faults = {}, []
        for path, data in self.files.items():
            folder, name = os.path.split(path)
            if not name.endswith('.csv') or name.startswith('.'):
                continue
            lines = data.split(b'\n')
            if lines[-1] != b'':
                faults.append('cut row at the end of ' + path)
            lines = lines[:-1]
            if len(lines) < 2:
                faults.append('no row in ' + path)
            if lines:
                if headers.setdefault(folder, lines[0]) != lines[0]:
                    faults.append('another header in ' + path)
                width = lines[0].count(b',')
                for line in lines[1:]:
                    if line.count(b',') != width:
                        faults.append('cut row in ' + path)
                    rows[(folder, name.split('_')[0])][line] += 1
        return rows, headers, faults


def compare(corpus, status, tree):
    """What differs from the clean run, as (kind, detail) pairs."""
    clean = corpus.result
    problems = []
    if status != corpus.status:
        problems.append(('hang' if status == HUNG else 'status',
                         'status %d, clean %d' % (status, corpus.status)))
    others = {p for p in tree.files if not p.endswith('.csv') or os.path.basename(p)[0] == '.'}
    clean_others = {p for p in clean.files if not p.endswith('.csv')}
    for p in sorted(others - clean_others):
        problems.append(('stray', 'stray file ' + p))
    for p in sorted(tree.folders - clean.folders):
        problems.append(('stray', 'empty folder ' + p))
    if set(tree.logs) != set(clean.logs):
        problems.append(('logs', 'logs left %s, clean %s' % (sorted(tree.logs), sorted(clean.logs))))
    rows, headers, faults = tree.rows()
    clean_rows, clean_headers, _ = clean.rows()
    problems += [('cut', f) for f in faults if 'cut' in f]
    problems += [('stray', f) for f in faults if 'cut' not in f]
    for folder, header in headers.items():
        if clean_headers.get(folder) != header:
            problems.append(('header', 'header of ' + folder))
    for key in sorted(set(rows) | set(clean_rows)):
        got, want = rows.get(key, collections.Counter()), clean_rows.get(key, collections.Counter())
        extra = sum((got - want).values())
        lost = sum((want - got).values())
        foreign = sum(n for line, n in got.items() if line not in want)
        if extra - foreign > 0:
            problems.append(('duplicate', '%d rows twice in %s' % (extra - foreign, '/'.join(key))))
        if foreign > 0:
            problems.append(('cut', '%d rows not of the clean run in %s' % (foreign, '/'.join(key))))
        if lost > 0:
            problems.append(('missing', '%d rows missing in %s' % (lost, '/'.join(key))))
    if not corpus.deletes and not problems and tree.files != clean.files:
        # Without -d every log is converted again: the very same files.
        differ = sorted(set(tree.files) ^ set(clean.files)) or \
            sorted(p for p in tree.files if tree.files[p] != clean.files[p])
        problems.append(('tree', 'files differ: ' + ', '.join(differ[:3])))
    return problems


def whole_logs(corpus, path):
    """The contents a file of the clean run may have after a run that
    converted only the first logs of its session: its header and the rows
    of the first k logs, for every k."""
    data = corpus.result.files.get(path)
    if data is None:
        return set()
    lines = data.split(b'\n')[:-1]
    allowed = {data}
    for i in range(1, len(lines) - 1):
        t, after = float(lines[i].split(b',')[0]), float(lines[i + 1].split(b',')[0])
        if bisect.bisect_right(corpus.starts, t) != bisect.bisect_right(corpus.starts, after):
            allowed.add(b'\n'.join(lines[:i + 1]) + b'\n')
    return allowed


def compare_interrupted(corpus, tree):
    """After an interrupted run over an earlier tree (and a killed one
    before it): every file is the earlier run's or holds whole logs of the
    new run; none of the earlier run's is lost."""
    problems = []
    for path, data in sorted(tree.files.items()):
        if data != corpus.before.files.get(path) and data not in whole_logs(corpus, path):
            kind = 'stray' if not path.endswith('.csv') else 'cut'
            problems.append((kind, 'after the interrupted run: %s neither earlier nor new' % path))
    for path in sorted(set(corpus.before.files) - set(tree.files)):
        problems.append(('missing', 'after the interrupted run: %s lost' % path))
    return problems


class Durable:
    """What the device holds for certain: at the start, the whole tree; then
    what the test build recorded as synced (QUILLON_POWER_TRACE)."""

    def __init__(self, root):
        self.root = root
        self.key = (os.lstat(root).st_ino, 0)
        self.folders, self.contents, self.generation = {}, {}, {}
        # The logs are only read and deleted: one that comes back is the
        # very file, same inode and time (the stamp a committed log's
        # record names), so it is kept as a second link, not copied.
        self.inputs, self.links = root + '-inputs', {}
        if os.path.exists(self.inputs):
            shutil.rmtree(self.inputs)
        os.mkdir(self.inputs)
        for folder, _, names in os.walk(os.path.join(root, 'fleet')):
            for name in names:
                path = os.path.join(folder, name)
                key = (os.lstat(path).st_ino, 0)
                self.links[key] = os.path.join(self.inputs, str(key[0]))
                os.link(path, self.links[key])
        self.take(root)

    def take(self, folder, contents=True):
        """The folder's entries as they are now (each file as the generation
        of its inode the trace last named), and with contents every file's
        data too."""
        entries = {}
        for e in os.scandir(folder):
            st = e.stat(follow_symlinks=False)
            kind = 'd' if e.is_dir(follow_symlinks=False) else 'f' if e.is_file(
                follow_symlinks=False) else 'o'
            key = (st.st_ino, self.generation.get(st.st_ino, 0))
            entries[e.name] = (kind, *key)
            if kind == 'd':
                self.take(e.path, contents)
            elif kind == 'f' and contents:
                with open(e.path, 'rb') as f:
                    self.contents[key] = f.read()
        st = os.lstat(folder)
        self.folders[(st.st_ino, self.generation.get(st.st_ino, 0))] = entries

    def replay(self, trace_folder):
        path = os.path.join(trace_folder, 'trace')
        if not os.path.exists(path):
            return
        with open(path, 'rb') as f:
            lines = f.read().split(b'\n')
        i = 0
        while i < len(lines) and lines[i]:
            head = lines[i].split(b' ')
            key = (int(head[1]), int(head[2]))
            if head[0] == b'N':
                self.generation[key[0]] = key[1]
                i += 1
            elif head[0] == b'F':
                with open(os.path.join(trace_folder, head[3].decode()), 'rb') as blob:
                    self.contents[key] = blob.read()
                i += 1
            else:
                entries = {}
                for line in lines[i + 1:i + 1 + int(head[3])]:
                    kind, ino, gen, name = line.split(b' ', 3)
                    entries[os.fsdecode(name)] = (kind.decode(), int(ino), int(gen))
                self.folders[key] = entries
                i += 1 + int(head[3])

    def restore(self, model):
        """Replaces the tree by what survives: a file's content as of its
        last sync (empty when never synced); with model "synced" a folder's
        entries as of its last sync, with "entries" every entry as the run
        left it (a file system that wrote every change of a folder out,
        but no file's data the run did not sync)."""
        if model == 'entries':
            self.take(self.root, contents=False)
        shutil.rmtree(self.root)
        self.build(self.root, self.key)
        shutil.rmtree(self.inputs)

    def build(self, folder, key):
        os.mkdir(folder)
        for name, (kind, ino, gen) in self.folders.get(key, {}).items():
            if kind == 'd':
                self.build(os.path.join(folder, name), (ino, gen))
            elif (ino, gen) in self.links:
                os.link(self.links[(ino, gen)], os.path.join(folder, name))
            elif kind == 'f':
                with open(os.path.join(folder, name), 'wb') as f:
                    f.write(self.contents.get((ino, gen), b''))


def kill_plan(corpus, rng, scale):
    """(spec, seed) pairs: kills after random delays and stops at the n-th
    call of every kind the run makes (the first, the last, some between)."""
    plan = []
    for _ in range(10 * scale):
        if not EMULATOR:
            plan.append('kill=%.4f' % rng.uniform(0, corpus.seconds * 0.7))
    for kind in STOP_KINDS:
        count = corpus.counts.get(kind, 0)
        if count == 0:
            continue
        picks = {1, count} | {rng.randint(1, count) for _ in range(2 * scale)}
        plan += ['stop=%s:%d' % (kind, n) for n in sorted(picks)]
    if corpus.interrupted:
        # When the run after the kill gets its SIGINT.
        plan = [spec + '+%.4f' % rng.uniform(0, corpus.seconds * 0.7) for spec in plan]
    return plan


def power_plan(corpus, rng, scale):
    """Power cuts at calls spread over the whole run, and at the n-th call of
    every kind that changes the tree."""
    total = sum(corpus.counts.values())
    plan = ['stop=any:%d' % rng.randint(1, total) for _ in range(80 * scale)]
    plan.append('stop=any:%d' % (total + 1))  # after the end
    for kind in STOP_KINDS[:10]:
        count = corpus.counts.get(kind, 0)
        if count == 0:
            continue
        picks = {1, count} | {rng.randint(1, count) for _ in range(12 * scale)}
        plan += ['stop=%s:%d' % (kind, n) for n in sorted(picks)]
    return [spec + rng.choice(['/synced', '/entries']) for spec in plan]


def run_point(args, corpus, work, spec):
    """One kill or power cut, the run again, the comparison. Gives (whether
    the run was stopped, problems)."""
    root = corpus.fresh(os.path.join(work, 'root'))
    arguments = ['--non-interactive', *corpus.options, '--dbc-can1=j1939.dbc', '--dbc-can1=can.dbc',
                 '-O', 'out', 'fleet']
    command = [args.faults if spec.startswith('stop=') else args.release, *arguments]
    env = dict(os.environ)
    durable = None
    if args.mode == 'power':
        trace = os.path.join(work, 'trace')
        if os.path.exists(trace):
            shutil.rmtree(trace)
        os.mkdir(trace)
        env['QUILLON_POWER_TRACE'] = trace
        durable = Durable(root)
    spec, _, model = spec.partition('/')
    spec, _, interrupt = spec.partition('+')
    if spec.startswith('stop='):
        env['QUILLON_FAULT_STOP'] = spec[5:]
        status = call(EMULATOR + command, root, env)
        if status == HUNG:
            return False, [('hang', 'the stopped run hung')]
        stopped = status == 137
    else:
        process = subprocess.Popen(command, cwd=root, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        time.sleep(float(spec[5:]))
        process.send_signal(signal.SIGKILL)
        stopped = process.wait() == -signal.SIGKILL
    if durable is not None:
        durable.replay(env['QUILLON_POWER_TRACE'])
        durable.restore(model)
    if interrupt:
        process = subprocess.Popen([args.release, *arguments], cwd=root,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(float(interrupt))
        process.send_signal(signal.SIGINT)
        try:
            interrupted = process.wait(HANG_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            return stopped, [('hang', 'the interrupted run hung')]
        # A SIGINT before the program catches it (while it starts) ends it
        # as a kill does: then the tree is a killed run's, and only the
        # last run must mend it.
        if interrupted not in (0, -signal.SIGINT):
            problems = compare_interrupted(corpus, Tree(root))
            if problems:
                return stopped, problems
    status = run(args.release, root, corpus.options)
    return stopped, compare(corpus, status, Tree(root))


def report(args, corpus, spec, was_stopped, problems, failed):
    """Prints the point; counts its failures (stops at the first unless
    --keep-going). Gives whether the run was stopped."""
    kinds = sorted({kind for kind, _ in problems})
    line = '%s %s: %s%s [replay: --seed %d --replay "%s %s"]' % (
        args.mode, corpus.name, spec, '' if was_stopped else ' (ran to the end)', args.seed,
        corpus.name, spec)
    if problems:
        line += ' FAILED: ' + ', '.join(kinds) + '; '
        line += '; '.join(detail for _, detail in problems[:4])
    print(line, flush=True)
    for kind in kinds:
        failed[kind] += 1
    failed['points'] += bool(problems)
    if problems and not args.keep_going:
        raise SystemExit(1)
    return was_stopped


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('mode', choices=['kill', 'power'])
    parser.add_argument('--faults', required=True, help='the test build of the program')
    parser.add_argument('--release', required=True, help='the program')
    parser.add_argument('--writer', required=True, help='the fleet writer')
    parser.add_argument('--seed', type=int, default=27, help='the seed of the whole plan')
    parser.add_argument('--scale', type=int, default=1, help='more points per kind (a soak)')
    parser.add_argument('--configs', default='', help='only these configurations (a,b,...)')
    parser.add_argument('--replay', default='', help='one point: "CONFIG SPEC"')
    parser.add_argument('--workers', type=int, default=2, help='points run side by side')
    parser.add_argument('--emulator', default='',
                        help='runs the programs (a Windows build under Wine): stops only')
    parser.add_argument('--keep-going', action='store_true', help='report every failing point')
    args = parser.parse_args()
    started = time.monotonic()
    EMULATOR[:] = shlex.split(args.emulator)
    configs = [c for c in CONFIGS if args.mode == 'kill' or '-d' in c[2]]
    if EMULATOR:
        # No signal reaches the program there, and no power cut is recorded.
        if args.mode != 'kill':
            raise SystemExit('power: a POSIX build only')
        configs = [c for c in configs if not c[4]]
    if args.configs:
        configs = [c for c in configs if c[0] in args.configs.split(',')]
    if args.replay:
        configs = [c for c in configs if c[0] == args.replay.split()[0]]
    # On a file system in memory where there is one: the device is not what
    # is tested (a power cut is rebuilt from the record), and a sync on disk
    # costs a wait per file.
    memory = '/dev/shm' if os.path.isdir('/dev/shm') and os.access('/dev/shm', os.W_OK) else None
    base = tempfile.mkdtemp(prefix='quillon-crash-', dir=memory)
    failed, points, stopped = collections.Counter(), 0, 0
    try:
        for index, config in enumerate(configs):
            corpus = Corpus(args, base, config)
            rng = random.Random(args.seed * 1000 + index)
            plan = kill_plan(corpus, rng, args.scale) if args.mode == 'kill' else power_plan(
                corpus, rng, args.scale)
            if args.replay:
                plan = [args.replay.split()[1]]
            # Points side by side, each in a folder of its own.
            folders = queue.Queue()
            for n in range(args.workers):
                folders.put(os.path.join(base, 'work%d' % n))
                os.makedirs(os.path.join(base, 'work%d' % n), exist_ok=True)

            def point(spec):
                work = folders.get()
                try:
                    return run_point(args, corpus, work, spec)
                finally:
                    folders.put(work)

            with concurrent.futures.ThreadPoolExecutor(args.workers) as pool:
                try:
                    for spec, outcome in zip(plan, pool.map(point, plan)):
                        points += 1
                        stopped += report(args, corpus, spec, *outcome, failed)
                except SystemExit:
                    pool.shutdown(cancel_futures=True)
                    raise
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print('%s: %d points (%d stopped the run), %d failed %s, %.0f s' % (
        args.mode, points, stopped, failed['points'],
        dict((k, v) for k, v in failed.items() if k != 'points'), time.monotonic() - started))
    return 1 if failed['points'] else 0


if __name__ == '__main__':
    sys.exit(main())
