#!/usr/bin/env python3
"""Mutation check: how many small faults put into a folder's sources do the
tests catch?

Sampled single-point mutations (a flipped comparison, && for ||, a constant
one off, + for -, a negated condition, another return value, a dropped call)
are applied one at a time to the sources of FOLDER in a scratch worktree of
the committed HEAD; after each, only the test binaries named are rebuilt
(-j1) and run with a timeout. A mutant is killed when a test fails or times
out, survives when every test passes, and is stillborn when it no longer
builds (not counted in the rate).

The sample is fixed by the seed, and the mutants are saved (--save), so that
the same ones can be replayed (--replay) before and after a change to the
tests: a mutant killed before and surviving after is lost power.

    scripts/mutate.py --folder src/btree -n 40 [--seed 1] [--tests btree_tests]
                      [--save mutants.json] [--replay mutants.json] [--out results.json]
    scripts/mutate.py --compare before.json after.json [more after.json ...]

--compare reads the results of runs of the same mutants and prints each
rate and every mutant killed before that survives after (exit status 1 when
there is one); several after-files are merged, the later one winning, for a
replay done in parts.

`make mutate FOLDER=src/btree N=40` runs it with the defaults.
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

COMPARISONS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
OPERATORS = [
    # (pattern on the masked line, what to put instead, kind)
    (re.compile(r"(?<![<>=!&|+\-*/%^])(==|!=|<=|>=)(?!=)"), lambda m: COMPARISONS[m.group(1)], "comparison"),
    (re.compile(r"(?<=[\w)\]] )(<|>)(?= [\w(!-])"), lambda m: COMPARISONS[m.group(1)], "comparison"),
    (re.compile(r"&&"), lambda m: "||", "logic"),
    (re.compile(r"\|\|"), lambda m: "&&", "logic"),
    (re.compile(r"(?<=[\w)\]] )([+-])(?= [\w(])"), lambda m: "-" if m.group(1) == "+" else "+", "arithmetic"),
    (re.compile(r"(?<![\w.])(\d+)(?![\w.])"), lambda m: str(int(m.group(1)) + 1), "constant"),
    (re.compile(r"\breturn (-?\d+|true|false);"), None, "return"),
    (re.compile(r"\bif \((.*)\) \{$"), lambda m: "if (!(" + m.group(1) + ")) {", "negation"),
    (re.compile(r"^\s*(\(void\))?[\w:.>-]+\(.*\);\s*$"), None, "dropped call"),
]


def mask(text):
    """`text` with comments and the insides of string and character literals
    blanked out (same length), so that no mutation lands there."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out[i:j] = " " * (j - i)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out[i:j] = [c if c == "\n" else " " for c in text[i:j]]
            i = j
        elif text[i] in "\"'":
            quote, j = text[i], i + 1
            while j < n and text[j] != quote:
                j += 2 if text[j] == "\\" else 1
            out[i + 1:j] = " " * (j - i - 1)
            i = j + 1
        elif text[i] == "#":  # preprocessor lines stay as they are
            j = text.find("\n", i)
            j = n if j < 0 else j
            out[i:j] = " " * (j - i)
            i = j
        else:
            i += 1
    return "".join(out)


def returned(value):
    return {"true": "false", "false": "true", "0": "1", "1": "-1"}.get(value, "0")


def sites(path):
    """Every mutation possible in one source file."""
    text = open(path, encoding="utf-8", errors="surrogateescape").read()
    masked = mask(text).split("\n")
    found = []
    for number, line in enumerate(masked, 1):
        for pattern, replace, kind in OPERATORS:
            for m in pattern.finditer(line):
                if kind == "return":
                    start, end = m.start(1), m.end(1)
                    new = returned(m.group(1))
                elif kind == "dropped call":
                    # assert is compiled out of the Release builds tested: dropping it changes nothing.
                    if re.match(r"^\s*(return|if|else|while|for|case|do|assert)\b", line):
                        continue
                    start, end, new = m.start(), m.end(), ""
                elif kind == "negation":
                    start, end, new = m.start(), m.end(), replace(m)
                else:
                    start, end, new = m.start(1) if m.groups() else m.start(), m.end(1) if m.groups() else m.end(), replace(m)
                found.append({"file": path, "line": number, "start": start, "end": end,
                              "original": text.split("\n")[number - 1][start:end], "replacement": new,
                              "kind": kind})
    return found


def apply(root, mutant, undo=None):
    path = os.path.join(root, mutant["file"])
    lines = open(path, encoding="utf-8", errors="surrogateescape").read().split("\n")
    if undo is not None:
        lines[mutant["line"] - 1] = undo
    else:
        line = lines[mutant["line"] - 1]
        if line[mutant["start"]:mutant["end"]] != mutant["original"]:
            raise SystemExit("mutate: %s:%d no longer reads %r" % (mutant["file"], mutant["line"], mutant["original"]))
        before = line
        lines[mutant["line"] - 1] = line[:mutant["start"]] + mutant["replacement"] + line[mutant["end"]:]
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write("\n".join(lines))
    return None if undo is not None else before


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def rate(results):
    killed = sum(r["verdict"] == "killed" for r in results)
    built = killed + sum(r["verdict"] == "survived" for r in results)
    return "%d of %d that build killed (%.0f%%)" % (killed, built, 100.0 * killed / max(1, built))


def compare(before_path, after_paths):
    key = lambda r: (r["file"], r["line"], r["start"], r["replacement"])
    before = json.load(open(before_path))
    after = {}
    for path in after_paths:
        for r in json.load(open(path)):
            after[key(r)] = r
    missing = [r for r in before if key(r) not in after]
    lost = [r for r in before if r["verdict"] == "killed" and key(r) in after and after[key(r)]["verdict"] != "killed"]
    print("before: %s\nafter:  %s" % (rate(before), rate([after[key(r)] for r in before if key(r) in after])))
    for r in missing:
        print("not replayed: %s:%d %r -> %r" % (r["file"], r["line"], r["original"], r["replacement"]))
    for r in lost:
        print("LOST: %s:%d %s %r -> %r (killed before by %s)" % (r["file"], r["line"], r["kind"], r["original"],
                                                               r["replacement"], r["by"]))
    return 1 if lost or missing else 0


def main():
    if len(sys.argv) > 3 and sys.argv[1] == "--compare":
        return compare(sys.argv[2], sys.argv[3:])
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--folder", required=True, help="e.g. src/btree")
    ap.add_argument("-n", type=int, default=40, help="mutants to sample")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--tests", help="test binaries, comma-separated (default: <folder name>_tests)")
    ap.add_argument("--save", help="write the sampled mutants here")
    ap.add_argument("--replay", help="run these mutants instead of sampling")
    ap.add_argument("--out", help="write the results here (JSON)")
    ap.add_argument("--timeout", type=int, default=300, help="seconds per test binary")
    args = ap.parse_args()

    repo = subprocess.check_output(["git", "rev-parse", "--show-toplevel"], text=True).strip()
    folder = args.folder.rstrip("/")
    tests = args.tests.split(",") if args.tests else [os.path.basename(folder) + "_tests"]

    if args.replay:
        mutants = json.load(open(args.replay))
    else:
        candidates = []
        for name in sorted(os.listdir(os.path.join(repo, folder))):
            if name.endswith(".cpp"):
                for m in sites(os.path.join(repo, folder, name)):
                    m["file"] = os.path.join(folder, name)
                    candidates.append(m)
        mutants = random.Random(args.seed).sample(candidates, min(args.n, len(candidates)))
        mutants.sort(key=lambda m: (m["file"], m["line"], m["start"]))
    if args.save:
        json.dump(mutants, open(args.save, "w"), indent=1)

    scratch = tempfile.mkdtemp(prefix="qb-mutate-")
    tree = os.path.join(scratch, "tree")
    subprocess.check_call(["git", "worktree", "add", "--detach", "-q", tree, "HEAD"], cwd=repo)
    shared = os.path.join(os.path.dirname(repo), "shared")
    if os.path.isdir(shared) and not os.path.exists(os.path.join(scratch, "shared")):
        os.symlink(shared, os.path.join(scratch, "shared"))
    build = os.path.join(tree, "build-mutate")
    results = []
    try:
        subprocess.check_call(["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                               "-DQB_SANITIZE=OFF"], stdout=subprocess.DEVNULL)
        targets = ["--target"] + tests
        if run(["cmake", "--build", build, "-j2"] + targets, tree, None) != 0:
            raise SystemExit("mutate: the unmutated tests do not build")
        for t in tests:
            if run([os.path.join(build, "tests", t)], tree, args.timeout) != 0:
                raise SystemExit("mutate: %s fails before any mutation" % t)
        for i, m in enumerate(mutants, 1):
            before = apply(tree, m)
            try:
                if run(["cmake", "--build", build, "-j1"] + targets, tree, None) != 0:
                    verdict, by = "stillborn", "does not build"
                else:
                    verdict, by = "survived", None
                    for t in tests:
                        rc = run([os.path.join(build, "tests", t)], tree, args.timeout)
                        if rc != 0:
                            verdict, by = "killed", t + ("" if rc != "timeout" else " (timeout)")
                            break
            finally:
                apply(tree, m, undo=before)
            results.append(dict(m, verdict=verdict, by=by))
            print("%3d/%d %-8s %s:%d %s %r -> %r%s" % (i, len(mutants), verdict, m["file"], m["line"], m["kind"],
                  m["original"], m["replacement"], "  (" + by + ")" if by else ""), flush=True)
    finally:
        subprocess.call(["git", "worktree", "remove", "--force", tree], cwd=repo)
        shutil.rmtree(scratch, ignore_errors=True)

    killed = sum(r["verdict"] == "killed" for r in results)
    alive = sum(r["verdict"] == "survived" for r in results)
    print("%s: %d of %d mutants that build killed (%.0f%%) by %s; %d did not build" % (
        folder, killed, killed + alive, 100.0 * killed / max(1, killed + alive), ", ".join(tests),
        len(results) - killed - alive))
    if args.out:
        json.dump(results, open(args.out, "w"), indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
