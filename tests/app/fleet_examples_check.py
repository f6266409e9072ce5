#!/usr/bin/env python3
"""The Kubernetes Indexed Job runs the command line of the Slurm array job.

The manifest cannot run here: it is parsed, its shape checked (an Indexed
Job whose shard count is its number of completions), and the words of its
quillon command compared with the Slurm script's, every variable masked
(which variable gives the shard index is checked apart)."""
import re
import shlex
import sys

import yaml

VARIABLE = re.compile(r'\$\{[^}]*\}|\$[A-Za-z_][A-Za-z0-9_]*|\$\([^)]*\)')


def masked_words(command):
    words = shlex.split(command)
    start = next(i for i, w in enumerate(words) if w.endswith('quillon') or w == '"$QUILLON"')
    return [VARIABLE.sub('<v>', w) for w in words[start:]]


def slurm_command(path):
    text = open(path).read()
    # The exec line and its continuations.
    match = re.search(r'^exec (.*?)(?<!\\)$', text, re.M | re.S)
    assert match, 'no exec line in ' + path
    command = match.group(1).replace('\\\n', ' ')
    return command.replace('"$QUILLON"', 'quillon')


def main(slurm_path, manifest_path):
    failures = []
    job = yaml.safe_load(open(manifest_path))
    spec = job['spec']
    container = spec['template']['spec']['containers'][0]
    env = {e['name']: e['value'] for e in container.get('env', [])}
    if job['kind'] != 'Job' or spec.get('completionMode') != 'Indexed':
        failures.append('not an Indexed Job')
    if str(spec.get('completions')) != env.get('QUILLON_SHARDS'):
        failures.append('completions %s but QUILLON_SHARDS %s' %
                        (spec.get('completions'), env.get('QUILLON_SHARDS')))
    k8s = ' '.join(container['command'][2:])
    k8s = k8s[k8s.index('exec ') + 5:]
    slurm = slurm_command(slurm_path)
    if masked_words(k8s) != masked_words(slurm):
        failures.append('commands differ:\n  %s\n  %s' % (masked_words(k8s), masked_words(slurm)))
    if '--shard="$JOB_COMPLETION_INDEX/' not in k8s:
        failures.append('the Job takes its shard from somewhere else than JOB_COMPLETION_INDEX')
    if '--shard="$SLURM_ARRAY_TASK_ID/' not in slurm:
        failures.append('the array takes its shard from somewhere else than SLURM_ARRAY_TASK_ID')
    if '-j "${SLURM_CPUS_PER_TASK' not in slurm:
        failures.append('the array does not take its threads from SLURM_CPUS_PER_TASK')
    for name in re.findall(r'\$\{?([A-Za-z_][A-Za-z0-9_]*)', k8s):
        if name != 'JOB_COMPLETION_INDEX' and name not in env:
            failures.append('the Job uses %s, which its env does not set' % name)
    for f in failures:
        print('FAIL:', f)
    print('%d passed, %d failed' % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))
