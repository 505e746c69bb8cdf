"""One measurement in a process of its own; the runner (benchmarks.run)
starts one per workload so that no measurement inherits another's heap.

    python -m benchmarks.child time NAME [--runs N] [--pylatex-runs N] [--quick]
    python -m benchmarks.child memory NAME rss|tracemalloc [--limit BYTES] [--quick]
    python -m benchmarks.child output NAME [--quick]
    python -m benchmarks.child micro [--runs N]

`time`, `memory` and `micro` print one JSON object; `output` prints the
workload's text.
"""

import argparse
import gc
import json
import statistics
import sys
import time
import timeit

from . import workloads


def timed(fn, arg):
    """(wall-clock seconds, CPU seconds of this process) of one call; the
    result is freed after the clocks are read."""
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn(arg)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    del result
    return wall, cpu


def measure_time(name, size, runs, pylatex_runs):
    """Median of `runs` timed runs after one warm-up, for pagewright, the
    floor and (when it has this workload and is installed) PyLaTeX. The runs
    of the three alternate, so a change in the machine's load hits all alike.
    """
    data = workloads.PREPARE[name](size)
    fn = workloads.WORKLOADS[name]
    text = fn(data)                                    # warm-up
    floor_data = workloads.floor_input(name, text)
    if workloads.floor(floor_data) != text:
        raise AssertionError('the floor does not rebuild the output of ' + name)
    workloads.floor(floor_data)                        # warm-up
    result = {'name': name, 'size': size, 'output_chars': len(text),
              'output_lines': sum(len(lines) for lines in floor_data)}
    del text
    pylatex_fn = None
    if pylatex_runs:
        try:
            from . import pylatex_workloads
        except ImportError:
            pylatex_workloads = None
        if pylatex_workloads is not None:
            pylatex_fn = pylatex_workloads.WORKLOADS.get(name)
    if pylatex_fn is not None:
        result['pylatex_output_chars'] = len(pylatex_fn(data))   # warm-up
    runs_of = {'pagewright': (fn, data, runs), 'floor': (workloads.floor, floor_data, runs),
               'pylatex': (pylatex_fn, data, pylatex_runs if pylatex_fn else 0)}
    times = {clock: {k: [] for k in runs_of} for clock in ('wall', 'cpu')}
    for i in range(runs):
        for k, (f, arg, n) in runs_of.items():
            if i < n:
                wall, cpu = timed(f, arg)
                times['wall'][k].append(wall)
                times['cpu'][k].append(cpu)
    result['times'] = times
    result['median'] = {clock: {k: statistics.median(v) if v else None for k, v in t.items()}
                        for clock, t in times.items()}
    result['min'] = {clock: {k: min(v) if v else None for k, v in t.items()}
                     for clock, t in times.items()}
    return result


def _status_kb(field):
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith(field + ':'):
                return int(line.split()[1])
    raise LookupError(field)


def measure_memory(name, size, method, limit):
    """Peak memory of one run in this fresh process.

    rss: growth of the resident set from just before the run to its
    high-water mark, reset just before the run; counts Python objects and
    native (malloc) buffers alike. tracemalloc: the peak of what the Python
    allocators hand out during the run; native buffers are invisible to it.
    """
    if limit:
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    data = workloads.PREPARE[name](size)
    fn = workloads.WORKLOADS[name]
    gc.collect()
    result = {'name': name, 'size': size, 'method': method}
    try:
        if method == 'tracemalloc':
            import tracemalloc
            tracemalloc.start()
            start = time.perf_counter()
            text = fn(data)
            elapsed = time.perf_counter() - start
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
        else:
            before = _status_kb('VmRSS')
            with open('/proc/self/clear_refs', 'w') as f:
                f.write('5')                       # resets VmHWM to VmRSS
            start = time.perf_counter()
            text = fn(data)
            elapsed = time.perf_counter() - start
            peak = (_status_kb('VmHWM') - before) * 1024
    except MemoryError:
        result['error'] = 'over limit'
        return result
    result.update(peak_bytes=peak, output_chars=len(text), seconds=elapsed)
    return result


def measure_micro(runs):
    from . import micro
    results = {}
    for label, (setup, number, target) in micro.CASES.items():
        op = setup()
        timeit.timeit(op, number=number)                 # warm-up
        case = results[label] = {'target_ns': target, 'samples_ns': {}, 'ns': {}}
        for clock, timer in (('wall', time.perf_counter), ('cpu', time.process_time)):
            samples = [t / number * 1e9
                       for t in timeit.repeat(op, number=number, repeat=runs, timer=timer)]
            case['samples_ns'][clock] = samples
            case['ns'][clock] = statistics.median(samples)
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(prog='python -m benchmarks.child')
    parser.add_argument('command', choices=['time', 'memory', 'output', 'micro'])
    parser.add_argument('name', nargs='?')
    parser.add_argument('method', nargs='?', choices=['rss', 'tracemalloc'], default='rss')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--pylatex-runs', type=int, default=0)
    parser.add_argument('--limit', type=int, default=0)
    parser.add_argument('--quick', action='store_true')
    args = parser.parse_args(argv)
    sizes = workloads.QUICK_SIZES if args.quick else workloads.SIZES
    if args.command == 'output':
        text = workloads.WORKLOADS[args.name](workloads.PREPARE[args.name](sizes[args.name]))
        sys.stdout.buffer.write(text.encode('utf-8'))
        return
    if args.command == 'time':
        result = measure_time(args.name, sizes[args.name], args.runs, args.pylatex_runs)
    elif args.command == 'memory':
        result = measure_memory(args.name, sizes[args.name], args.method, args.limit)
    else:
        result = measure_micro(args.runs)
    json.dump(result, sys.stdout)


if __name__ == '__main__':
    main()
