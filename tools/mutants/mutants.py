#!/usr/bin/env python3
"""Mutation run over the native sources in src/ or the Java sources in java/.

Makes single-edit mutants (relational and logical operators swapped, integer
constants changed, a flag dropped from an or-expression, a negation removed,
a statement removed, |= and &= swapped, boolean returns flipped), builds each
in a scratch copy of the project, runs the plain suite, and reports every
mutant the suite lets through. Mutants that do not compile are not counted.
"""
import argparse
import os
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import time

PROJECT = pathlib.Path(__file__).resolve().parents[2]
# The plain suite, cheapest first, so most mutants die early; last the
# hardware suite, which boots a virtual machine. memcheck runs the same binary
# as cpp_tests and only slows the run down.
SUITE = ["cpp_tests", "exported_symbols", "java_tests", "demo", "soak_short", "hardware_suite"]
# For Java, the C++ tests cannot see a change; virtual threads' code runs only
# on a JDK that has them.
JAVA_SUITE = ["java_tests", "java_tests_jdk25", "demo", "soak_short", "hardware_suite"]
LANGUAGES = {"cpp": ("src", (".cpp", ".h"), SUITE), "java": ("java", (".java",), JAVA_SUITE)}

SWAPS = [
    (r"==", "!="), (r"!=", "=="),
    (r"<=", "<"), (r">=", ">"),
    (r"(?<![<\-])<(?![<=])", "<="), (r"(?<![>\-])>(?![>=])", ">="),
    (r"&&", "||"), (r"\|\|", "&&"),
    (r"\|=", "&="), (r"&=", "|="),
    (r"\breturn true\b", "return false"), (r"\breturn false\b", "return true"),
]
TEMPLATE = re.compile(r"\w<[\w:*\s,?.<>\[\]]*>|#include|\boperator\b")
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
FLAG_TERM = re.compile(r"(\b[A-Z][A-Z0-9_]+\s*\|\s*)|(\s*\|\s*\b[A-Z][A-Z0-9_]+\b)")
NEGATION = re.compile(r"!(?=[\w(])")
# A statement that is a call or an if, not a declaration.
CALL = re.compile(r"(if \(|[\w:]+(\.|->)[\w:]+\(|[\w:]+\()")


def in_string(line, position):
    return len(re.findall(r'(?<!\\)"', line[:position])) % 2 == 1


def code_lines(text):
    """(index, line) of the lines that hold code, outside comments."""
    in_block = False
    for index, line in enumerate(text.splitlines()):
        stripped = line.strip()
        if in_block:
            in_block = "*/" not in stripped
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            continue
        if not stripped or stripped.startswith(("//", "#include", "#pragma", "import ", "package ", "@", "*")):
            continue
        yield index, line.split("//")[0] if '"' not in line else line


def mutants_of(path, text):
    lines = text.splitlines()
    found = []

    def add(index, new_line, what):
        if new_line != lines[index]:
            found.append((path, index, new_line, what))

    for index, line in code_lines(text):
        templates = [m.span() for m in TEMPLATE.finditer(line)]
        inside_template = lambda pos: any(a <= pos < b for a, b in templates)
        for pattern, replacement in SWAPS:
            for match in re.finditer(pattern, line):
                if (inside_template(match.start()) or line.lstrip().startswith("#")
                        or in_string(line, match.start())):
                    continue
                add(index, line[:match.start()] + replacement + line[match.end():],
                    f"{match.group(0)} -> {replacement}")
        for match in NUMBER.finditer(line):
            if inside_template(match.start()) or in_string(line, match.start()):
                continue
            value = int(match.group(1))
            for other in sorted({value + 1, 0 if value else 1}):
                add(index, line[:match.start()] + str(other) + line[match.end():],
                    f"{value} -> {other}")
        for match in FLAG_TERM.finditer(line):
            add(index, line[:match.start()] + line[match.end():],
                f"drop {match.group(0).strip(' |')}")
        for match in NEGATION.finditer(line):
            if line[match.start():match.start() + 2] != "!=":
                add(index, line[:match.start()] + line[match.start() + 1:], "drop !")
        stripped = line.strip()
        if (path.suffix in (".cpp", ".java") and stripped.endswith(";") and CALL.match(stripped)
                and not stripped.startswith(("return", "throw"))):
            add(index, "", f"remove statement {stripped}")
    return found


def all_mutants(root, language):
    folder, suffixes, _ = LANGUAGES[language]
    found = []
    for path in sorted((root / folder).rglob("*")):
        if path.suffix in suffixes:
            found += mutants_of(path.relative_to(root), path.read_text())
    return found


def run(command, cwd, timeout, log):
    """Exit status of command, or None when it ran past timeout (then killed)."""
    with open(log, "ab") as out:
        process = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sample", type=int, help="run a random sample of N mutants")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed (default 1)")
    parser.add_argument("--list", action="store_true", help="only list the mutants")
    parser.add_argument("--language", choices=sorted(LANGUAGES), default="cpp",
                        help="mutate src/ (cpp, the default) or java/ (java)")
    parser.add_argument("--work", default=str(PROJECT / "build-mutants"))
    parser.add_argument("--java-home", default=os.environ.get("JAVA_HOME", ""))
    args = parser.parse_args()

    work = pathlib.Path(args.work)
    tree, build, log = work / "tree", work / "build", work / "mutants.log"
    folder, _, suite = LANGUAGES[args.language]
    mutants = all_mutants(PROJECT, args.language)
    chosen = mutants
    if args.sample and args.sample < len(mutants):
        chosen = random.Random(args.seed).sample(mutants, args.sample)
        chosen.sort(key=lambda m: (str(m[0]), m[1]))
    print(f"{len(mutants)} mutants in {folder}/; running {len(chosen)}"
          + (f" (sample, seed {args.seed})" if len(chosen) < len(mutants) else ""))
    if args.list:
        for path, index, new_line, what in chosen:
            print(f"{path}:{index + 1}: {what}")
        return 0

    # A scratch copy of the tracked files as they stand in the work tree. A
    # file whose bytes changed is copied anew, with a new time, so that the
    # scratch build never keeps an object made from an older copy.
    files = subprocess.run(["git", "ls-files"], cwd=PROJECT, check=True, capture_output=True,
                           text=True).stdout.split()
    for name in files:
        source, copy = PROJECT / name, tree / name
        if source.is_file() and (not copy.is_file() or copy.read_bytes() != source.read_bytes()):
            copy.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(source, copy)
    log.parent.mkdir(parents=True, exist_ok=True)
    log.write_bytes(b"")
    configure = ["cmake", "-S", str(tree), "-B", str(build)]
    if args.java_home:
        configure.append(f"-DJAVA_HOME={args.java_home}")
    if run(configure, tree, 600, log) != 0 or run(["cmake", "--build", str(build), "-j2"],
                                                   tree, 1200, log) != 0:
        print(f"the unmutated project does not build (log: {log})")
        return 1
    timings = {}
    for test in suite:
        start = time.monotonic()
        if run(["ctest", "-R", f"^{test}$", "--output-on-failure"], build, 900, log) != 0:
            print(f"the unmutated suite fails at {test} (log: {log})")
            return 1
        timings[test] = time.monotonic() - start

    killed, survivors, uncompiled = 0, [], 0
    for number, (path, index, new_line, what) in enumerate(chosen, 1):
        source = tree / path
        original = source.read_text()
        lines = original.splitlines(keepends=True)
        lines[index] = new_line + "\n"
        source.write_text("".join(lines))
        try:
            if run(["cmake", "--build", str(build), "-j2"], tree, 600, log) != 0:
                uncompiled += 1
                verdict = "does not compile"
            else:
                verdict = "survived"
                for test in suite:
                    status = run(["ctest", "-R", f"^{test}$"], build,
                                 3 * timings[test] + 30, log)
                    if status != 0:
                        verdict = f"killed by {test}" + (" (hang)" if status is None else "")
                        break
                if verdict == "survived":
                    survivors.append((path, index, what))
                else:
                    killed += 1
        finally:
            source.write_text(original)
        print(f"[{number}/{len(chosen)}] {path}:{index + 1}: {what}: {verdict}", flush=True)

    counted = killed + len(survivors)
    print(f"\n{counted} mutants counted ({uncompiled} did not compile): {killed} killed, "
          f"{len(survivors)} survived; {100.0 * killed / max(counted, 1):.1f}% killed")
    for path, index, what in survivors:
        print(f"survivor: {path}:{index + 1}: {what}")
    # Leave the scratch build as the unmutated project again.
    run(["cmake", "--build", str(build), "-j2"], tree, 600, log)
    return 0


if __name__ == "__main__":
    sys.exit(main())
