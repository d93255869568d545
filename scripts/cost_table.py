#!/usr/bin/env python3
"""Measures the cost per member per period of this tree's engine and of an earlier one, side by side.

    scripts/cost_table.py [--base REV] [--base-tree DIR] [--jobs N] [-- bench_sim_cost arguments]
    scripts/cost_table.py --from BEFORE.txt AFTER.txt

Builds bench/bench_sim_cost.cpp against this tree, and against REV (default b22d70a) in a
throwaway git worktree (DIR, default a new temporary directory; an existing one is reused,
built again) into which this tree's simulator (tests/sim/), bench/sim_bench.hpp and the bench
are copied, so both arms run the same simulator and the same bench on the same seeds. Runs
both at once under nice, keeps their output in the worktree (before.txt, after.txt) and
prints the tables of docs/protocol.md (Measured, cost per member per period) as Markdown.
With --from, only formats two outputs made before. The worktree is left for a re-run; remove
it with `git worktree remove --force DIR`.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCENARIOS = {
    "rest": "at rest",
    "one": "one member leaves",
    "quarter": "a quarter leave at once",
    "half": "half leave at once",
    "churn": "churn: a join or a leave every 0.5 s",
    "ahead": "one member's clock a day ahead",
    "behind": "one member's clock a day behind",
}


def build(tree, jobs):
    env = dict(os.environ, VENNOCK_JOBS=str(jobs), VENNOCK_TARGETS="bench_sim_cost")
    subprocess.run(["nice", str(tree / "scripts" / "build.sh"), "default"], cwd=tree, env=env, check=True,
                   stdout=subprocess.DEVNULL)
    return tree / "build" / "default" / "bench" / "bench_sim_cost"


def base_tree(rev, where):
    tree = pathlib.Path(where) if where else pathlib.Path(tempfile.mkdtemp(prefix="vennock-cost-")) / "base"
    if not (tree / ".git").exists():
        subprocess.run(["git", "worktree", "add", "--detach", str(tree), rev], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    venv = tree / ".venv"
    if not venv.exists():
        venv.symlink_to((ROOT / ".venv").resolve())
    shutil.copytree(ROOT / "tests" / "sim", tree / "tests" / "sim", dirs_exist_ok=True)
    for f in ("bench_sim_cost.cpp", "sim_bench.hpp"):
        shutil.copy2(ROOT / "bench" / f, tree / "bench" / f)
    return tree


def run_both(before, after, args, out_dir):
    files = {}
    procs = []
    for arm, exe in (("before", before), ("after", after)):
        files[arm] = out_dir / f"{arm}.txt"
        procs.append(subprocess.Popen(["nice", str(exe), *args], stdout=open(files[arm], "w")))
    for p in procs:
        if p.wait() != 0:
            sys.exit(f"bench_sim_cost failed with status {p.returncode}")
    return files["before"], files["after"]


def rows(path):
    out = {}
    for line in pathlib.Path(path).read_text().splitlines():
        if not line.startswith("row "):
            continue
        r = dict(kv.split("=", 1) for kv in line.split()[1:])
        out[(int(r["n"]), r["scenario"])] = r
    return out


def pair(b, a, key, fmt):
    return f"{fmt.format(float(b[key]))} | {fmt.format(float(a[key]))}"


def label(r):
    name = SCENARIOS[r["scenario"]]
    if r["scenario"] in ("quarter", "half", "churn", "ahead", "behind", "one"):
        name += f" ({float(r['seconds']):.0f} s)"
    return name


def cost_table(before, after):
    print("| members | scenario | datagrams: before | after | bytes: before | after | push-pulls sent: before "
          "| after | served: before | after | stream bytes: before | after |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for key in ordered(before, after, SCENARIOS):
        b, a = before[key], after[key]
        print(f"| {key[0]} | {label(a)} | {pair(b, a, 'datagrams', '{:.2f}')} | {pair(b, a, 'bytes', '{:,.0f}')} | "
              f"{pair(b, a, 'pp_sent', '{:.3f}')} | {pair(b, a, 'pp_served', '{:.3f}')} | "
              f"{pair(b, a, 'stream_bytes', '{:,.0f}')} |")


def ordered(before, after, scenarios):
    keys = [k for k in after if k in before and k[1] in scenarios]
    return sorted(keys, key=lambda k: (k[0], list(SCENARIOS).index(k[1])))


def leave_table(before, after):
    print()
    print("| members | scenario | datagrams to departed nodes: before | after | datagrams each departed node got "
          "(once its leave had completed): before | after | leave completes, median / slowest: before | after | "
          "held left by all, median / p99: before | after |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    times = lambda r, x, y: f"{float(r[x]):.2f} / {float(r[y]):.2f}"
    got = lambda r: f"{float(r['departed_got']):.1f} ({float(r['got_after']):.1f})"
    share = lambda r: f"{float(r['to_departed']) * 100:.1f}%"
    for key in ordered(before, after, ("one", "quarter", "half", "churn")):
        b, a = before[key], after[key]
        print(f"| {key[0]} | {label(a)} | {share(b)} | {share(a)} | {got(b)} | {got(a)} | "
              f"{times(b, 'leave_done_med', 'leave_done_max')} | {times(a, 'leave_done_med', 'leave_done_max')} | "
              f"{times(b, 'known_med', 'known_p99')} | {times(a, 'known_med', 'known_p99')} |")


def clock_table(before, after):
    print()
    print("| members | scenario | the odd member's push-pulls opened per period: before | after | "
          "served: before | after |")
    print("|---|---|---|---|---|---|")
    for key in ordered(before, after, ("ahead", "behind")):
        b, a = before[key], after[key]
        print(f"| {key[0]} | {label(a)} | {pair(b, a, 'odd_sent', '{:.3f}')} | {pair(b, a, 'odd_served', '{:.3f}')} |")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--base", default="b22d70a")
    p.add_argument("--base-tree")
    p.add_argument("--jobs", type=int, default=3)
    p.add_argument("--from", dest="files", nargs=2, metavar=("BEFORE", "AFTER"))
    p.add_argument("bench_args", nargs="*")
    o = p.parse_args()
    if o.files:
        before, after = o.files
    else:
        after_exe = build(ROOT, o.jobs)
        tree = base_tree(o.base, o.base_tree)
        before_exe = build(tree, o.jobs)
        before, after = run_both(before_exe, after_exe, o.bench_args, tree)
        print(f"<!-- {before} and {after}: bench_sim_cost {' '.join(o.bench_args)} -->")
    b, a = rows(before), rows(after)
    cost_table(b, a)
    leave_table(b, a)
    clock_table(b, a)


if __name__ == "__main__":
    main()
