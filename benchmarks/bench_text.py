"""Timings of the text hot paths: escaping and the one-shot writers.

Run: python benchmarks/bench_text.py
"""

import timeit

import pagewright


def replace_chain(s):
    for old, new in [("\\", "\\textbackslash "), ("{", "\\{"), ("}", "\\}"),
                     ("^", "\\^"), ("_", "\\_"), ("$", "\\$")]:
        s = s.replace(old, new)
    return s


def report(label, statement, number, namespace):
    best = min(timeit.repeat(statement, globals=namespace, number=number, repeat=5))
    print("%-44s %8.0f ns" % (label, best / number * 1e9))


def main():
    plain = "Quarterly revenue grew in every region but one. " * 4
    special = "cost_{q3} = $x^2$ \\ total_{all} " * 4
    env = pagewright.LatexEnvironment(pagewright.LatexContext())
    namespace = dict(globals(), plain=plain, special=special, env=env,
                     escape=pagewright.latex_escape)
    report("latex_escape, nothing to escape (200 chars)", "escape(plain)", 200_000, namespace)
    report("replace chain, nothing to escape", "replace_chain(plain)", 200_000, namespace)
    report("latex_escape, 40 escapes (128 chars)", "escape(special)", 200_000, namespace)
    report("replace chain, 40 escapes", "replace_chain(special)", 200_000, namespace)
    report("env.text(short)", "env.text('a_b')", 200_000, namespace)
    report("env.hspace('1em')", "env.hspace('1em')", 200_000, namespace)
    report("env.hfill()", "env.hfill()", 200_000, namespace)


if __name__ == "__main__":
    main()
