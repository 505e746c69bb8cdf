"""Runs the benchmark: every measurement in a child process of its own
(benchmarks.child), then one table on stdout and the results as JSON.

    python -m benchmarks [--json PATH] [--runs N] [--pylatex-runs N] [--only W1,W2]
    python -m benchmarks --quick

--quick runs each workload at a tiny size in two child processes, one with
PAGEWRIGHT_NO_FAST_PATHS=1 and one without, and exits non-zero if any output
text differs. It measures no time.
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time

from . import workloads

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NO_FAST = 'PAGEWRIGHT_NO_FAST_PATHS'
NESTED_LIMIT = 6 * 1024 ** 3

TIMED = ['W1', 'W2', 'W3', 'W4', 'W5', 'W6']
TITLES = {'W1': 'W1 report', 'W2': 'W2 longtable', 'W3': 'W3 cell blocks',
          'W4': 'W4 escaping', 'W5': 'W5 nesting', 'W6': 'W6 small documents',
          'nested': 'nested minipages'}
RATIO_TARGET = {'W1': 4.0, 'W2': 2.5, 'W4': 1.2, 'W5': 4.0, 'W6': 2.0}
SPEEDUP_TARGET = {'W1': 50.0, 'W2': 50.0, 'W4': 50.0, 'W6': 50.0}
MEMORY_TARGET = {'W1': 2.0, 'W2': 2.0, 'W5': 2.0}       # peak / output size
NESTED_TARGET_BYTES = 50 * 1024 ** 2
CELL_BLOCK_TARGET_NS = 250
CELL_BLOCKS = 4                                          # per row of W3
CLOCKS = {'cpu': 'CPU time of the process (the machine is shared; wall-clock '
                 'medians are in the JSON)',
          'wall': 'wall-clock time (CPU-time medians are in the JSON)'}


def child(args, env=None, check=True):
    proc = subprocess.run([sys.executable, '-m', 'benchmarks.child'] + args, cwd=ROOT,
                          env=env, capture_output=True)
    if check and proc.returncode != 0:
        sys.stderr.write(proc.stderr.decode('utf-8', 'replace'))
        raise SystemExit('benchmark child failed: %s' % ' '.join(args))
    return proc


def child_json(args):
    return json.loads(child(args).stdout)


# ---------------------------------------------------------------- quick

def quick():
    """Same output with and without the fast paths, at tiny sizes."""
    fast_env = {k: v for k, v in os.environ.items() if k != NO_FAST}
    generic_env = dict(fast_env, **{NO_FAST: '1'})
    failures = []
    for name in TIMED + ['nested']:
        fast = child(['output', name, '--quick'], env=fast_env).stdout
        generic = child(['output', name, '--quick'], env=generic_env).stdout
        if not fast:
            failures.append('%s: empty output' % name)
        elif fast != generic:
            at = next((i for i, (a, b) in enumerate(zip(fast, generic)) if a != b),
                      min(len(fast), len(generic)))
            failures.append('%s: outputs differ from byte %d (%d bytes with fast paths, '
                            '%d without): %r / %r' % (name, at, len(fast), len(generic),
                                                      fast[at:at + 40], generic[at:at + 40]))
        print('%-26s %8d bytes  %s' % (TITLES[name], len(fast),
                                        'same in both modes' if fast == generic else 'DIFFERS'))
    for failure in failures:
        print('bench --quick: ' + failure, file=sys.stderr)
    return 1 if failures else 0


# ---------------------------------------------------------------- full run

def machine():
    model = platform.processor() or ''
    try:
        out = subprocess.run(['lscpu'], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith('Model name:'):
                model = line.split(':', 1)[1].strip()
    except OSError:
        pass
    import pagewright
    info = {'cpu': model, 'cores': os.cpu_count(), 'python': platform.python_version(),
            'pagewright': getattr(pagewright, '__version__', '?'),
            'fast_paths_off': os.environ.get(NO_FAST) == '1',
            'date': datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}
    try:
        import pylatex
        info['pylatex'] = pylatex.__version__
    except ImportError:
        info['pylatex'] = None
    return info


def full(args):
    started = time.perf_counter()
    info = machine()
    info['load_before'] = os.getloadavg()
    names = args.only.split(',') if args.only else TIMED + ['nested', 'micro']
    unknown = set(names) - set(TIMED + ['nested', 'micro'])
    if unknown:
        raise SystemExit('bench: unknown workload %s' % ', '.join(sorted(unknown)))
    pylatex_runs = args.pylatex_runs if info['pylatex'] else 0
    results = {'machine': info, 'clock': args.clock, 'runs': args.runs,
               'pylatex_runs': pylatex_runs, 'workloads': {}, 'micro': None}
    for name in names:
        if name == 'micro':
            continue
        entry = results['workloads'][name] = {'size': workloads.SIZES[name]}
        print('bench: %s ...' % TITLES[name], file=sys.stderr, flush=True)
        if name == 'nested':
            entry['memory'] = nested_memory()
            continue
        entry.update(child_json(['time', name, '--runs', str(args.runs),
                                 '--pylatex-runs', str(pylatex_runs)]))
        entry['memory'] = {m: child_json(['memory', name, m]) for m in ('rss', 'tracemalloc')}
    if 'micro' in names:
        print('bench: micro-benchmarks ...', file=sys.stderr, flush=True)
        results['micro'] = child_json(['micro', '--runs', str(args.runs)])
    info['load_after'] = os.getloadavg()
    info['seconds'] = time.perf_counter() - started
    judge(results)
    table = render(results)
    results['table'] = table
    print(table)
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, 'w') as f:
        json.dump(results, f, indent=1)
    print('bench: results written to %s (%.0f s)' % (args.json, info['seconds']),
          file=sys.stderr)
    return 0


def nested_memory():
    memory = {}
    for method in ('rss', 'tracemalloc'):
        proc = child(['memory', 'nested', method, '--limit', str(NESTED_LIMIT)], check=False)
        if proc.returncode == 0:
            memory[method] = json.loads(proc.stdout)
        else:
            # An allocation failure outside Python's reach ends the process.
            memory[method] = {'error': 'over limit (exit code %d)' % proc.returncode}
    return memory


def judge(results):
    """Adds to each entry which of its targets it meets."""
    clock = results['clock']
    for name, entry in results['workloads'].items():
        met = entry['met'] = {}
        median = entry.get('median', {}).get(clock)
        if median:
            entry['ratio'] = median['pagewright'] / median['floor']
            if median.get('pylatex'):
                entry['speedup'] = median['pylatex'] / median['pagewright']
            if name in RATIO_TARGET:
                met['ratio'] = entry['ratio'] <= RATIO_TARGET[name]
            if name in SPEEDUP_TARGET and 'speedup' in entry:
                met['speedup'] = entry['speedup'] >= SPEEDUP_TARGET[name]
            if name == 'W3':
                entry['ns_per_cell_block'] = (median['pagewright'] * 1e9
                                              / (entry['size'] * CELL_BLOCKS))
                met['cell_block'] = entry['ns_per_cell_block'] <= CELL_BLOCK_TARGET_NS
        rss = entry['memory'].get('rss', {})
        if name == 'nested':
            met['memory'] = 'peak_bytes' in rss and rss['peak_bytes'] < NESTED_TARGET_BYTES
        elif 'peak_bytes' in rss:
            entry['memory_ratio'] = rss['peak_bytes'] / rss['output_chars']
            if name in MEMORY_TARGET:
                met['memory'] = entry['memory_ratio'] <= MEMORY_TARGET[name]
    for case in (results['micro'] or {}).values():
        if case['target_ns']:
            case['met'] = case['ns'][clock] <= case['target_ns']


# ---------------------------------------------------------------- table

def seconds(s):
    if s is None:
        return '-'
    if s >= 10:
        return '%.1f s' % s
    if s >= 1e-3:
        return '%.1f ms' % (s * 1e3) if s < 0.1 else '%.0f ms' % (s * 1e3)
    return '%.0f us' % (s * 1e6)


def megabytes(n):
    return '%.1f MB' % (n / 1024 ** 2)


def memory_cell(mem):
    if 'peak_bytes' in mem:
        return megabytes(mem['peak_bytes'])
    return mem.get('error', '-')


def render(results):
    head = ['workload', 'pagewright', 'floor', 'ratio', 'target', 'PyLaTeX', 'speed-up',
            'target', 'peak (RSS)', 'tracemalloc', 'output', 'peak/output', 'target']
    rows = []
    for name, entry in results['workloads'].items():
        mem = entry['memory']
        median = entry.get('median', {}).get(results['clock'], {})
        rss = mem.get('rss', {})
        title = TITLES[name]
        if name == 'nested':
            title = '{:,} {}'.format(entry['size'], title)
        row = [title,
               seconds(median.get('pagewright', rss.get('seconds'))),
               seconds(median.get('floor')),
               '%.1fx' % entry['ratio'] if 'ratio' in entry else '-',
               '<= %gx' % RATIO_TARGET[name] if name in RATIO_TARGET else '-',
               seconds(median.get('pylatex')),
               '%.1fx' % entry['speedup'] if 'speedup' in entry else '-',
               '>= %gx' % SPEEDUP_TARGET[name] if name in SPEEDUP_TARGET else '-',
               memory_cell(rss), memory_cell(mem.get('tracemalloc', {})),
               megabytes(entry.get('output_chars', rss.get('output_chars', 0))),
               '%.1fx' % entry['memory_ratio'] if 'memory_ratio' in entry else '-',
               ('<= %gx' % MEMORY_TARGET[name] if name in MEMORY_TARGET else
                '< 50 MB' if name == 'nested' else '-')]
        rows.append(row)
    micro_rows = []
    w3 = results['workloads'].get('W3', {})
    if 'ns_per_cell_block' in w3:
        micro_rows.append(['W3: one cell block', '%.0f ns' % w3['ns_per_cell_block'],
                           '<= %d ns' % CELL_BLOCK_TARGET_NS])
    for label, case in (results['micro'] or {}).items():
        micro_rows.append([label, '%.0f ns' % case['ns'][results['clock']],
                           '<= %d ns' % case['target_ns'] if case['target_ns'] else '-'])
    widths = [max(len(r[i]) for r in [head] + rows) for i in range(len(head))]
    lines = [fmt_row(head, widths), fmt_row(['-' * w for w in widths], widths)]
    lines += [fmt_row(r, widths) for r in rows]
    if micro_rows:
        mhead = ['per operation', 'pagewright', 'target']
        mwidths = [max(len(r[i]) for r in [mhead] + micro_rows) for i in range(3)]
        lines += ['', fmt_row(mhead, mwidths), fmt_row(['-' * w for w in mwidths], mwidths)]
        lines += [fmt_row(r, mwidths) for r in micro_rows]
    lines += [''] + notes(results)
    return '\n'.join(lines)


def fmt_row(cells, widths):
    return '  '.join(c.ljust(w) if i == 0 else c.rjust(w)
                     for i, (c, w) in enumerate(zip(cells, widths))).rstrip()


def notes(results):
    info = results['machine']
    met = [ok for entry in results['workloads'].values() for ok in entry['met'].values()]
    met += [case['met'] for case in (results['micro'] or {}).values() if 'met' in case]
    out = [
        'Machine: %s, %d cores; CPython %s; pagewright %s; PyLaTeX %s; %s.' % (
            info['cpu'], info['cores'], info['python'], info['pagewright'],
            info['pylatex'] or 'not installed', info['date']),
        'Times: %s, median of %d runs after a warm-up (PyLaTeX: %d), pagewright, floor and '
        'PyLaTeX alternating in one child process per workload%s.' % (
            CLOCKS[results['clock']], results['runs'], results['pylatex_runs'],
            '; fast paths OFF (%s=1)' % NO_FAST if info['fast_paths_off'] else ''),
        'Floor: the same output written into io.StringIO, one write per line (a new buffer '
        'per document in W6). Ratio: pagewright / floor. Speed-up: PyLaTeX / pagewright.',
        'Memory: one run in a fresh child process. Peak (RSS): growth of the resident set '
        'to its high-water mark (Python objects and native buffers); tracemalloc: peak of '
        'the Python allocators only. Output in characters (ASCII: bytes). Nested case run '
        'under a %d GB address-space limit; its time is that of the memory run.' % (
            NESTED_LIMIT // 1024 ** 3),
        'Load average before / after: %s / %s; total %.0f s. Targets met: %d of %d.' % (
            ' '.join('%.2f' % x for x in info['load_before']),
            ' '.join('%.2f' % x for x in info['load_after']),
            info['seconds'], sum(met), len(met)),
    ]
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(prog='python -m benchmarks')
    parser.add_argument('--quick', action='store_true')
    parser.add_argument('--json', default=os.path.join(ROOT, 'out', 'bench.json'))
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--pylatex-runs', type=int, default=5)
    parser.add_argument('--clock', choices=sorted(CLOCKS), default='cpu',
                        help='which time the table shows (the JSON has both)')
    parser.add_argument('--only', help='comma-separated parts: W1 to W6, nested, micro')
    args = parser.parse_args(argv)
    if args.quick:
        return quick()
    return full(args)
