#!/usr/bin/env python3
"""A small mutation pass over the plug-in's movie/, iff/ and playback/ code.

Each mutant is a one-line change (a comparison loosened or flipped, && and || swapped, a dropped
"+ 1" or "- 1", the operands of a subtraction swapped, a constant off by one). The list is chosen
deterministically from the sources, so two trees with the same plug-in code get the same mutants.
For each mutant the script rebuilds only the plug-in's static library, the plug-in and the suites
that test them (a separate non-sanitized Debug build), runs those suites with a timeout and counts
the mutant killed when any of them fails, times out or no longer builds. With --build naming the
asan preset's folder (build/asan) it counts what `make test` catches, memory errors included.

    scripts/mutation.py [--tree DIR] [--build DIR] [--count 50] [--list]
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

FOLDERS = ("movie", "iff", "playback")
# Suites that exercise the plug-in's code, fastest first; the run stops at the first failure.
# host_explain_test runs the recording build, whose survey takes paths of the core that the
# shipped plug-in never does (the stand-in record for a missing file).
SUITES = ("movie_tests", "iff_decoder_test", "iff_loader_test", "playback_tests", "host_open_wrapper_test",
          "host_explain_test", "fuzz_regressions", "iff_peer_test", "command_dump_test", "command_dump_info_test")
TIMEOUT = 120  # seconds per suite; a mutant that loops is killed by the timeout

# (name, pattern, replacement): applied to one occurrence in one line.
OPERATORS = [
    ("gt>ge", r" > ", " >= "),
    ("lt>le", r" < ", " <= "),
    ("ge>gt", r" >= ", " > "),
    ("le>lt", r" <= ", " < "),
    ("eq>ne", r" == ", " != "),
    ("ne>eq", r" != ", " == "),
    ("and>or", r" && ", " || "),
    ("or>and", r" \|\| ", " && "),
    ("drop+1", r" \+ 1\b", ""),
    ("drop-1", r" - 1\b", ""),
    ("swap-", r"\b([A-Za-z_][\w.>-]*|\d+) - ([A-Za-z_][\w.]*|\d+)\b", r"\2 - \1"),
    ("const+1", r"(?<![\w.\[])([2-9]|[1-9]\d+)(?![\w.\]])", None),  # n -> n + 1
]


def candidates(tree):
    found = []
    for folder in FOLDERS:
        for name in sorted(os.listdir(os.path.join(tree, folder))):
            if not name.endswith(".cpp"):
                continue
            path = os.path.join(folder, name)
            with open(os.path.join(tree, path)) as f:
                lines = f.read().split("\n")
            in_comment = False
            for number, line in enumerate(lines, 1):
                code = line.split("//")[0]
                stripped = code.strip()
                if in_comment:
                    if "*/" in stripped:
                        in_comment = False
                    continue
                if stripped.startswith("/*"):
                    in_comment = "*/" not in stripped
                    continue
                if not stripped or stripped.startswith("#") or '"' in code:
                    continue
                for op, pattern, _ in OPERATORS:
                    for index, _ in enumerate(re.finditer(pattern, code)):
                        found.append((path, number, op, index))
    return found


def apply(line, op, index):
    for name, pattern, replacement in OPERATORS:
        if name != op:
            continue
        code, sep, comment = line.partition("//")
        match = list(re.finditer(pattern, code))[index]
        if replacement is None:
            new = str(int(match.group(1)) + 1)
        else:
            new = match.expand(replacement)
        return code[: match.start()] + new + code[match.end():] + sep + comment
    raise ValueError(op)


def choose(tree, count):
    every = candidates(tree)
    picked = random.Random(11).sample(every, min(count, len(every)))
    return sorted(picked), len(every)


def run(cmd, cwd=None, timeout=None):
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, 9)
        proc.wait()
        return "timeout"


def build(build_dir):
    return run(["cmake", "--build", build_dir, "--target", *SUITES, "quillframer", "quillframer_vtp"]) == 0


def suites_pass(build_dir):
    for suite in SUITES:
        rc = run(["ctest", "--test-dir", build_dir, "-R", "^" + suite + "$", "--timeout", str(TIMEOUT)],
                 timeout=TIMEOUT + 30)
        if rc != 0:
            return suite
    return None


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tree", default=here, help="source tree (default: this one)")
    parser.add_argument("--build", help="build directory (default: TREE/build/mutation)")
    parser.add_argument("--count", type=int, default=50)
    parser.add_argument("--list", action="store_true", help="only print the chosen mutants")
    args = parser.parse_args()
    tree = os.path.abspath(args.tree)
    build_dir = os.path.abspath(args.build or os.path.join(tree, "build", "mutation"))

    mutants, total = choose(tree, args.count)
    if args.list:
        for path, number, op, index in mutants:
            print(f"{path}:{number} {op}#{index}")
        print(f"{len(mutants)} of {total} candidate sites")
        return 0

    if not os.path.exists(os.path.join(build_dir, "build.ninja")):
        if run(["cmake", "-S", tree, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                "-DQF_SANITIZE=OFF", "-DQF_TESTS=ON"]) != 0:
            sys.exit("cannot configure " + build_dir)
    if not build(build_dir) or suites_pass(build_dir):
        sys.exit("the unmutated tree does not build or pass")

    killed = survived = invalid = 0
    started = time.time()
    for path, number, op, index in mutants:
        source = os.path.join(tree, path)
        backup = source + ".orig"
        shutil.copy2(source, backup)
        try:
            with open(source) as f:
                lines = f.read().split("\n")
            before = lines[number - 1]
            lines[number - 1] = apply(before, op, index)
            with open(source, "w") as f:
                f.write("\n".join(lines))
            if not build(build_dir):
                invalid += 1
                verdict = "no build"
            else:
                failed = suites_pass(build_dir)
                if failed:
                    killed += 1
                    verdict = "killed by " + failed
                else:
                    survived += 1
                    verdict = "SURVIVED"
            print(f"{path}:{number} {op}#{index}: {verdict}\n    {lines[number - 1].strip()}", flush=True)
        finally:
            shutil.move(backup, source)
            os.utime(source)  # the next build must see the original again
    build(build_dir)
    valid = killed + survived
    print(f"mutants: {len(mutants)} chosen of {total} sites; {killed} killed, {survived} survived, "
          f"{invalid} did not build; score {killed}/{valid} = {100.0 * killed / max(valid, 1):.0f} % "
          f"in {time.time() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
