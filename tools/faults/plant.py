#!/usr/bin/env python3
"""Planted faults: does each known fault still make a test fail?

Each fault in faults.toml (beside this script) names a file, an exact snippet of
today's code, the faulty text that replaces it and the behaviour the snippet
stands for. For each fault the script copies the tree into a scratch directory
(build/faults/tree by default: inside the build tree, so that ccache's base_dir
shares objects with an ordinary build), plants the fault, rebuilds
incrementally, runs the default CTest suite (or the fault's own `ctest`
selection, such as "-L device_tests"), puts the code back and prints one row:
the fault, and the tests that failed or SURVIVED.

A fault whose snippet is no longer found exactly once in its file is refused
before anything is built: the list must be kept true as the code changes.

  tools/faults/plant.py --check            check every snippet, build nothing
  tools/faults/plant.py                    every fault, each with its own selection
  tools/faults/plant.py --only a,b --all-tests
  tools/faults/plant.py --only a,b --targets device_tests,vmac_tests
  tools/faults/plant.py --record after.json --compare before.json

--compare fails (exit 1) when a fault that an earlier record shows caught
survives now. Builds and tests run under `nice`, two jobs at a time.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

try:
    import tomllib
except ImportError:  # before Python 3.11
    print("plant.py needs Python 3.11 or later (tomllib)", file=sys.stderr)
    sys.exit(77)

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent


def load_faults(path):
    with open(path, "rb") as f:
        faults = tomllib.load(f)["fault"]
    seen = set()
    for fault in faults:
        for key in ("id", "file", "behaviour", "original", "faulty"):
            if key not in fault:
                sys.exit(f"{path}: a fault lacks '{key}': {fault.get('id', fault)}")
        if fault["id"] in seen:
            sys.exit(f"{path}: fault id '{fault['id']}' appears twice")
        if fault["original"] == fault["faulty"]:
            sys.exit(f"{path}: fault '{fault['id']}' changes nothing")
        seen.add(fault["id"])
    return faults


def problems(faults, root):
    """The faults whose snippet is not found exactly once, with why."""
    bad = []
    for fault in faults:
        path = root / fault["file"]
        if not path.is_file():
            bad.append((fault["id"], f"{fault['file']} does not exist"))
            continue
        count = path.read_text().count(fault["original"])
        if count != 1:
            where = "not found" if count == 0 else f"found {count} times"
            bad.append((fault["id"], f"original snippet {where} in {fault['file']}"))
    return bad


def tracked_files(root):
    """The files of the source: git's view, or every file outside build/ if no repository."""
    top = subprocess.run(["git", "rev-parse", "--show-toplevel"], cwd=root, capture_output=True)
    listing = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=root, capture_output=True)
    if top.returncode != 0 or Path(top.stdout.decode().strip()).resolve() != root:
        return [p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file() and
                p.relative_to(root).parts[0] not in ("build", ".git")]
    names = listing.stdout.decode().split("\0")
    return [name for name in names if name and (root / name).is_file()]


def sync(root, tree):
    """Copies the source's files into `tree`, touching only files that differ."""
    wanted = set(tracked_files(root))
    for name in wanted:
        source, target = root / name, tree / name
        if target.is_file() and target.read_bytes() == source.read_bytes():
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        # A fresh time stamp: a copy dated by the source could be older than the
        # scratch build's object, which would then not be rebuilt.
        shutil.copy(source, target)
    for path in tree.rglob("*"):
        relative = path.relative_to(tree).as_posix()
        if path.is_file() and not relative.startswith("build/") and relative not in wanted:
            path.unlink()


def run(command, cwd, log, env=None, timeout=None):
    with open(log, "w") as out:
        try:
            return subprocess.run(["nice", "-n", "15", *command], cwd=cwd, stdout=out,
                                  stderr=subprocess.STDOUT, env=env, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return None


def build(tree, build_dir, log, env, targets=()):
    if not (build_dir / "build.ninja").exists():
        if run(["cmake", "--preset", "default"], tree, log, env) != 0:
            return False
    chosen = ["--target", *targets] if targets else []
    return run(["cmake", "--build", str(build_dir), "-j2", *chosen], tree, log, env) == 0


def failed_tests(log):
    """The names CTest lists under "The following tests FAILED"."""
    names, listing = [], False
    for line in Path(log).read_text(errors="replace").splitlines():
        if "The following tests FAILED" in line:
            listing = True
        elif listing:
            match = re.match(r"\s*\d+ - (\S+) \((.*)\)", line)
            if match:
                names.append(f"{match.group(1)} ({match.group(2)})")
    return names


def ctest(build_dir, selection, log, env, timeout):
    # faults.list checks the snippets, which a planted fault has just replaced.
    command = ["ctest", "--test-dir", str(build_dir), "-j2", "--timeout", str(timeout),
               "-E", r"^faults\.list$", *selection]
    code = run(command, build_dir, log, env, timeout=4 * timeout + 600)
    if code is None:
        return ["(the whole run timed out)"]
    names = failed_tests(log)
    if code != 0 and not names:
        names = [f"(ctest exited {code}; see {log})"]
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--faults", type=Path, default=HERE / "faults.toml")
    parser.add_argument("--source", type=Path, default=ROOT, help="the tree to copy")
    parser.add_argument("--scratch", type=Path, help="default: <source>/build/faults")
    parser.add_argument("--only", help="comma-separated fault ids")
    parser.add_argument("--all-tests", action="store_true",
                        help="run the whole default suite for every fault")
    parser.add_argument("--check", action="store_true", help="check the snippets only")
    parser.add_argument("--timeout", type=int, default=120, help="per test, in seconds")
    parser.add_argument("--targets", default="",
                        help="comma-separated targets to build (default: all); those the "
                             "chosen tests run, to save the links of everything else")
    parser.add_argument("--record", type=Path, help="write the results as JSON")
    parser.add_argument("--compare", type=Path, help="an earlier record to hold this run to")
    args = parser.parse_args()

    source = args.source.resolve()
    faults = load_faults(args.faults)
    if args.only:
        chosen = args.only.split(",")
        unknown = set(chosen) - {f["id"] for f in faults}
        if unknown:
            sys.exit(f"unknown fault ids: {', '.join(sorted(unknown))}")
        faults = [f for f in faults if f["id"] in chosen]
    bad = problems(faults, source)
    for fault_id, why in bad:
        print(f"refused: {fault_id}: {why}", file=sys.stderr)
    if bad:
        sys.exit(2)
    if args.check:
        print(f"{len(faults)} faults, every snippet found once")
        return

    scratch = (args.scratch or source / "build" / "faults").resolve()
    tree, logs = scratch / "tree", scratch / "logs"
    build_dir = tree / "build" / "default"
    tree.mkdir(parents=True, exist_ok=True)
    logs.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ)
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
        env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
    env.setdefault("GTEST_COLOR", "no")

    sync(source, tree)
    selections = {tuple(f.get("ctest", "").split()) if not args.all_tests else () for f in faults}
    targets = [t for t in args.targets.split(",") if t]
    if not build(tree, build_dir, logs / "baseline-build.log", env, targets):
        sys.exit(f"the unchanged tree does not build: see {logs / 'baseline-build.log'}")
    # A fault can only be said to be caught by a suite that passes without it.
    for selection in sorted(selections):
        failing = ctest(build_dir, list(selection), logs / "baseline-test.log", env, args.timeout)
        if failing:
            sys.exit(f"the unchanged tree fails {' '.join(selection) or 'the suite'}: "
                     f"{', '.join(failing)}")

    results = {}
    width = max(len(f["id"]) for f in faults)
    print(f"{'fault':<{width}}  result")
    for fault in faults:
        path = tree / fault["file"]
        pristine = path.read_text()
        path.write_text(pristine.replace(fault["original"], fault["faulty"], 1))
        started = time.monotonic()
        try:
            if not build(tree, build_dir, logs / f"{fault['id']}-build.log", env, targets):
                outcome = {"caught": False, "by": [], "error": "does not build"}
            else:
                selection = [] if args.all_tests else fault.get("ctest", "").split()
                failing = ctest(build_dir, selection, logs / f"{fault['id']}-test.log", env,
                                args.timeout)
                outcome = {"caught": bool(failing), "by": failing}
        finally:
            path.write_text(pristine)
        results[fault["id"]] = outcome
        if "error" in outcome:
            shown = f"BUILD FAILED (fix the fault's text; {logs / (fault['id'] + '-build.log')})"
        elif outcome["caught"]:
            shown = "caught by " + ", ".join(outcome["by"][:3])
            if len(outcome["by"]) > 3:
                shown += f" and {len(outcome['by']) - 3} more"
        else:
            shown = "SURVIVED"
        print(f"{fault['id']:<{width}}  {shown}  [{time.monotonic() - started:.0f} s]",
              flush=True)

    if args.record:
        args.record.write_text(json.dumps(results, indent=1, sort_keys=True) + "\n")
    status = 0
    if any("error" in r for r in results.values()):
        status = 2
    if args.compare:
        before = json.loads(args.compare.read_text())
        lost = [i for i, r in results.items() if before.get(i, {}).get("caught") and not r["caught"]]
        for fault_id in lost:
            print(f"LOST: {fault_id} was caught in {args.compare} and survives now")
        status = status or (1 if lost else 0)
    survived = sum(1 for r in results.values() if not r["caught"])
    print(f"{len(results) - survived} of {len(results)} faults caught")
    sys.exit(status)


if __name__ == "__main__":
    main()
