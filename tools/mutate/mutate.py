#!/usr/bin/env python3
"""Mutation run over the kit: which realistic faults does no test catch?

Copies the source tree (the files git knows, not the build folders) into a scratch folder, builds
the kit and the test machine there once, as build.sh does, and runs the suites once unchanged.
Then, for each line of the fault table (faults.txt beside this script): checks that the original
text occurs exactly once in its file, puts the faulty text in its place, rebuilds the kit, runs
the suites through CTest (on the test machine's emulator, if its configuration chose one) with
--stop-on-failure, and puts the file back. Each fault ends as

  caught        a test failed (or the suites ran past --timeout)
  build-broken  the kit did not build with the fault: caught by the build
  survived      every test passed
  stale         the original text is not in the file exactly once: the table needs updating

At the end it lists the faults that survived and prints a one-line summary. It measures; it is not
a gate: it exits 0 whatever survived, and 2 only when it cannot measure (the unchanged tree does
not build or its suites fail).
"""
import argparse
import filecmp
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SEPARATOR = "|||"
NEWLINE = "<nl>"


class Fault:
    def __init__(self, number, line):
        self.number = number  # line number in the table
        self.line = line
        self.error = None
        fields = [f.strip() for f in line.split(SEPARATOR)]
        if len(fields) not in (4, 5):
            self.error = "expected 4 or 5 fields separated by '%s', found %d" % (SEPARATOR, len(fields))
            fields = (fields + ["", "", "", ""])[:4]
        self.name, self.file, original, faulty = fields[:4]
        self.description = fields[4] if len(fields) == 5 else ""
        self.original = original.replace(NEWLINE, "\n")
        self.faulty = faulty.replace(NEWLINE, "\n")
        if not self.error and not self.original:
            self.error = "empty original text"
        if not self.error and self.original == self.faulty:
            self.error = "the faulty text equals the original"
        self.result = None
        self.detail = ""
        self.seconds = 0.0

    def change(self):
        show = lambda text: text.replace("\n", " " + NEWLINE + " ") or "(nothing)"
        return "%s  ->  %s" % (show(self.original), show(self.faulty))


def read_table(path, pattern):
    faults = []
    with open(path, encoding="utf-8") as table:
        for number, raw in enumerate(table, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if pattern and not re.search(pattern, line):
                continue
            faults.append(Fault(number, line))
    return faults


def stale_reason(fault, tree):
    """Why the fault cannot be applied to the file in `tree`, or None when it can."""
    if fault.error:
        return fault.error
    path = os.path.join(tree, fault.file)
    if not os.path.isfile(path):
        return "no file %s" % fault.file
    with open(path, encoding="utf-8") as f:
        count = f.read().count(fault.original)
    if count != 1:
        return "original text found %d times" % count
    return None


def source_files():
    """The files of the tree as git sees it: tracked and new ones, without ignored build output."""
    try:
        out = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                             check=True, capture_output=True).stdout
        names = [n for n in out.decode().split("\0") if n]
    except (OSError, subprocess.CalledProcessError):
        names = []
        for top, dirs, files in os.walk(ROOT):
            dirs[:] = [d for d in dirs if d != ".git" and not (top == ROOT and d.startswith("build"))]
            names += [os.path.relpath(os.path.join(top, f), ROOT) for f in files]
    return sorted(n for n in names if not n.startswith("build/") and os.path.isfile(os.path.join(ROOT, n)))


def sync_tree(source):
    """Copies the source files into `source`; files whose bytes did not change keep their time
    stamps, so that a kept scratch folder rebuilds only what differs."""
    for name in source_files():
        src, dst = os.path.join(ROOT, name), os.path.join(source, name)
        if os.path.isfile(dst) and filecmp.cmp(src, dst, shallow=False):
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)


def run(command, log, timeout=None):
    """Runs `command` with its output appended to `log`; the exit code, or None after a timeout
    (the whole process group is then ended)."""
    with open(log, "a") as out:
        out.write("$ %s\n" % " ".join(command))
        out.flush()
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return None
        except BaseException:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise


def tail(log, lines=30):
    with open(log, errors="replace") as f:
        return "".join(f.readlines()[-lines:])


def failed_tests(log, start):
    """The tests that CTest lists as failed in the part of `log` from byte `start` on."""
    with open(log, errors="replace") as f:
        f.seek(start)
        text = f.read()
    listed = text.split("The following tests FAILED:")
    if len(listed) < 2:
        return []
    return re.findall(r"^\s*\d+ - (\S+) \(([^)]*)\)", listed[-1], re.M)


class Builds:
    def __init__(self, source, jobs):
        self.source = source
        self.kit = os.path.join(source, "build", "kit")
        self.sim = os.path.join(source, "build", "sim")
        self.build_jobs = str(os.cpu_count() or 2)
        self.ctest_jobs = str(jobs)

    def configure(self, log):
        common = ["-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "--no-warn-unused-cli", "-Wno-dev"]
        kit = ["cmake", "-S", self.source, "-B", self.kit, *common,
               "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake"]
        sim = ["cmake", "-S", self.source, "-B", self.sim, *common,
               "-DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake", "-DKIT_DIR=" + self.kit]
        return run(kit, log) == 0 and run(sim, log) == 0

    def build(self, log):
        """Builds the kit, then the test machine (a no-op unless a header it shares changed)."""
        return (run(["cmake", "--build", self.kit, "-j", self.build_jobs], log) == 0 and
                run(["cmake", "--build", self.sim, "-j", self.build_jobs], log) == 0)

    def test(self, log, exclude, timeout):
        command = ["ctest", "--test-dir", self.sim, "--stop-on-failure", "--no-tests=error", "-j", self.ctest_jobs]
        if exclude:
            command += ["-E", exclude]
        return run(command, log, timeout)


def measure(fault, builds, logs, exclude, timeout):
    reason = stale_reason(fault, builds.source)
    if reason:
        fault.result, fault.detail = "stale", reason
        return
    path = os.path.join(builds.source, fault.file)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    log = os.path.join(logs, "%03d-%s.log" % (fault.number, re.sub(r"[^\w.-]", "_", fault.name)))
    open(log, "w").close()
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(fault.original, fault.faulty))
        if not builds.build(log):
            fault.result, fault.detail = "build-broken", "the kit does not build"
            return
        start = os.path.getsize(log)
        code = builds.test(log, exclude, timeout)
        if code is None:
            fault.result, fault.detail = "caught", "the suites ran past %d s" % timeout
        elif code != 0:
            failed = failed_tests(log, start)
            fault.result = "caught"
            fault.detail = ", ".join("%s (%s)" % t for t in failed) if failed else "ctest exit code %d" % code
        else:
            fault.result = "survived"
    finally:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="Table format: see the head of faults.txt.")
    parser.add_argument("-k", "--match", metavar="REGEX",
                        help="only the table lines in which REGEX matches (name, file or text)")
    parser.add_argument("-j", "--jobs", type=int, default=2, help="parallel CTest jobs (default 2)")
    parser.add_argument("-E", "--exclude-tests", metavar="REGEX",
                        help="CTest tests to leave out, e.g. MillionPointOutline (default: none)")
    parser.add_argument("--timeout", type=int, default=900, metavar="SECONDS",
                        help="limit of one fault's test run; past it the fault counts as caught (default 900)")
    parser.add_argument("--table", default=os.path.join(HERE, "faults.txt"), help="the fault table")
    parser.add_argument("--work", metavar="DIR",
                        help="scratch folder to use and keep (sources, builds, one log per fault); "
                             "a kept folder is rebuilt incrementally by the next run (default: a "
                             "temporary folder, removed at the end)")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the run of the suites on the unchanged tree")
    parser.add_argument("--check", action="store_true",
                        help="only check the table against the tree (stale lines); builds and runs nothing")
    args = parser.parse_args()

    faults = read_table(args.table, args.match)
    if not faults:
        print("mutate: no table line matches", file=sys.stderr)
        return 2

    if args.check:
        stale = 0
        for fault in faults:
            reason = stale_reason(fault, ROOT)
            if reason:
                stale += 1
                print("stale  %s (table line %d, %s): %s" % (fault.name, fault.number, fault.file, reason))
        print("%d lines checked: %d stale" % (len(faults), stale))
        return 0

    work = os.path.abspath(args.work) if args.work else tempfile.mkdtemp(prefix="qf-mutate-")
    source, logs = os.path.join(work, "src"), os.path.join(work, "logs")
    os.makedirs(source, exist_ok=True)
    os.makedirs(logs, exist_ok=True)
    builds = Builds(source, args.jobs)
    try:
        print("mutate: scratch tree in %s" % work, flush=True)
        sync_tree(source)
        setup_log = os.path.join(logs, "000-setup.log")
        open(setup_log, "w").close()
        if not builds.configure(setup_log) or not builds.build(setup_log):
            print("mutate: the unchanged tree does not build:\n" + tail(setup_log), file=sys.stderr)
            return 2
        if not args.no_baseline:
            print("mutate: running the suites on the unchanged tree", flush=True)
            start = time.time()
            code = builds.test(setup_log, args.exclude_tests, args.timeout)
            if code != 0:
                print("mutate: the suites fail without any fault, nothing can be measured:\n" + tail(setup_log),
                      file=sys.stderr)
                return 2
            print("mutate: baseline passed in %.0f s" % (time.time() - start), flush=True)

        for index, fault in enumerate(faults, 1):
            start = time.time()
            measure(fault, builds, logs, args.exclude_tests, args.timeout)
            fault.seconds = time.time() - start
            print("[%d/%d] %-40s %-12s %5.0f s  %s" % (index, len(faults), fault.name, fault.result, fault.seconds,
                                                      fault.detail), flush=True)
        if args.work:
            builds.build(os.path.join(logs, "999-restore.log"))  # leave the kept builds unchanged
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)

    survived = [f for f in faults if f.result == "survived"]
    stale = [f for f in faults if f.result == "stale"]
    if survived:
        print("\nFaults that no test caught:")
        for fault in survived:
            print("  %s  %s%s\n      %s" % (fault.name, fault.file,
                                          "  (%s)" % fault.description if fault.description else "", fault.change()))
    if stale:
        print("\nStale table lines:")
        for fault in stale:
            print("  %s  %s (table line %d): %s" % (fault.name, fault.file, fault.number, fault.detail))
    count = lambda result: sum(1 for f in faults if f.result == result)
    print("\n%d faults: %d caught by the tests, %d caught by the build, %d survived, %d stale%s" %
          (len(faults), count("caught"), count("build-broken"), len(survived), len(stale),
           " (tests excluded: %s)" % args.exclude_tests if args.exclude_tests else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
