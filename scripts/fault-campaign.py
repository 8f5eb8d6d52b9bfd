#!/usr/bin/env python3
"""Fault campaign: what happens around a job.

Runs otq against the things that go wrong around a job rather than inside the
archive: a source that shrinks, grows or is rewritten while it is compressed,
signals at random moments (Ctrl-C, hang-up, termination, a second Ctrl-C, a
closed output pipe, kill -9 followed by another run) and a disk that fills
up. For each case it checks the outcome a user relies on:

  * a job reported as done wrote an archive that restores the source as it
    was when the job began;
  * a job that failed or was stopped left no archive, no hidden temporary
    file and no working folder, and an existing file at the target is as it
    was;
  * messages name the file the user gave.

Prints one line per category with the counts, and every case that broke a
promise. Exit status 1 when any did.

    python3 scripts/fault-campaign.py [--otq build/release/cli/otq]
        [--source FILE.wav] [--cases N] [--seed S]
"""
import argparse
import glob
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def leftovers(folder, tmp):
    found = [p for p in glob.glob(os.path.join(folder, ".*.part-*"))]
    found += glob.glob(os.path.join(tmp, "ostinato-job-*"))
    return found


class Campaign:
    def __init__(self, otq, source, rng):
        self.otq = otq
        self.rng = rng
        self.base = tempfile.mkdtemp(prefix="otq-faults-")
        self.tmp = os.path.join(self.base, "tmp")
        os.makedirs(self.tmp)
        self.env = dict(os.environ, TMPDIR=self.tmp)
        self.src = os.path.join(self.base, "src.wav")
        shutil.copyfile(source, self.src)
        self.original = open(self.src, "rb").read()
        self.archive = os.path.join(self.base, "src.otq")
        self.results = {}
        self.broken = []
        # How long a whole compression takes, to place the faults in it.
        start = time.time()
        subprocess.run([otq, "compress", self.src, "-o", self.archive, "-q", "-f"], env=self.env, check=True)
        self.compress_time = time.time() - start
        start = time.time()
        subprocess.run([otq, "test", self.archive], env=self.env, check=True, stdout=subprocess.DEVNULL)
        self.extract_time = time.time() - start

    def count(self, category, outcome):
        self.results.setdefault(category, {}).setdefault(outcome, 0)
        self.results[category][outcome] += 1

    def fail(self, category, what):
        self.count(category, "BROKEN")
        self.broken.append(f"{category}: {what}")

    def restore_source(self):
        with open(self.src, "wb") as f:
            f.write(self.original)

    def restores_original(self, archive):
        out = os.path.join(self.base, "check.wav")
        r = subprocess.run([self.otq, "extract", archive, "-o", out, "-f", "-q"], env=self.env,
                           stderr=subprocess.PIPE)
        ok = r.returncode == 0 and open(out, "rb").read() == self.original
        if os.path.exists(out):
            os.remove(out)
        return ok

    # 1. The source changes while it is compressed.
    def source_changes(self, cases):
        for i in range(cases):
            kind = ["shrink", "grow", "rewrite"][i % 3]
            integrity = i % 2 == 0
            self.restore_source()
            target = os.path.join(self.base, "changing.otq")
            args = [self.otq, "compress", self.src, "-o", target, "-q", "-f"]
            if not integrity:
                args.append("--no-integrity")
            p = subprocess.Popen(args, env=self.env, stderr=subprocess.PIPE, text=True)
            time.sleep(self.rng.uniform(0.0, self.compress_time * 1.1))
            if kind == "shrink":
                os.truncate(self.src, self.rng.randrange(1, len(self.original) // 2) * 2)
            elif kind == "grow":
                with open(self.src, "ab") as f:
                    f.write(b"\0\1" * 4096)
            else:
                with open(self.src, "r+b") as f:
                    f.seek(self.rng.randrange(44, len(self.original) - 2))
                    f.write(b"\x55\xaa")
            _, err = p.communicate()
            cat = f"source {kind}"
            if p.returncode == 0:
                if self.restores_original(target):
                    self.count(cat, "done before the change, archive restores the source")
                else:
                    self.fail(cat, f"case {i}: reported done, archive does not restore the source")
            elif "changed while it was being compressed" in err or "became shorter" in err:
                if os.path.exists(target) or leftovers(self.base, self.tmp):
                    self.fail(cat, f"case {i}: refused but left {leftovers(self.base, self.tmp)}")
                else:
                    self.count(cat, "refused, nothing left")
            else:
                self.fail(cat, f"case {i}: status {p.returncode}: {err.strip()}")
            if os.path.exists(target):
                os.remove(target)
        self.restore_source()

    # 2. Signals at random moments, compressing and extracting.
    def signals(self, cases):
        kinds = [("INT", 130), ("HUP", 129), ("TERM", 143), ("INT twice", 130)]
        for i in range(cases):
            name, status = kinds[i % len(kinds)]
            extract = (i // len(kinds)) % 2 == 1
            target = os.path.join(self.base, "sig.wav" if extract else "sig.otq")
            existing = b"already here"
            with open(target, "wb") as f:
                f.write(existing)
            if extract:
                args = [self.otq, "extract", self.archive, "-o", target, "-q", "-f"]
                span = self.extract_time
            else:
                args = [self.otq, "compress", self.src, "-o", target, "-q", "-f"]
                span = self.compress_time
            p = subprocess.Popen(args, env=self.env, stderr=subprocess.PIPE, text=True)
            time.sleep(self.rng.uniform(0.0, span * 0.9))
            sent = time.time()
            sig = {"INT": signal.SIGINT, "HUP": signal.SIGHUP, "TERM": signal.SIGTERM}[name.split()[0]]
            p.send_signal(sig)
            if name == "INT twice":
                p.send_signal(sig)
            _, err = p.communicate()
            latency = time.time() - sent
            cat = f"{'extract' if extract else 'compress'} {name}"
            left = leftovers(self.base, self.tmp)
            kept = open(target, "rb").read() == existing
            if p.returncode == 0:
                self.count(cat, "finished before the signal")
            elif p.returncode != status:
                self.fail(cat, f"case {i}: status {p.returncode}: {err.strip()}")
            elif left or not kept:
                self.fail(cat, f"case {i}: left {left}, existing target kept: {kept}")
            else:
                self.count(cat, "stopped, nothing left")
                self.results[cat]["worst stop (ms)"] = max(self.results[cat].get("worst stop (ms)", 0),
                                                           int(latency * 1000))
            os.remove(target)

    # 3. A closed output pipe.
    def closed_pipe(self, cases):
        for i in range(cases):
            second = os.path.join(self.base, "second.wav")
            shutil.copyfile(self.src, second)
            script = (f"'{self.otq}' compress '{self.src}' '{second}' -f -j 2 | head -c 0;"
                      " echo ${PIPESTATUS[0]}")
            r = subprocess.run(["bash", "-c", script], env=self.env, capture_output=True, text=True)
            status = r.stdout.strip().splitlines()[-1]
            left = leftovers(self.base, self.tmp)
            if status == "141" and "standard output was closed" in r.stderr and not left:
                self.count("closed output pipe", "stopped with a word, nothing left")
            else:
                self.fail("closed output pipe", f"case {i}: status {status}, left {left}: {r.stderr.strip()}")
            for p in (self.archive.replace("src.otq", "second.otq"), second):
                if os.path.exists(p):
                    os.remove(p)
            subprocess.run([self.otq, "compress", self.src, "-o", self.archive, "-q", "-f"], env=self.env, check=True)

    # 4. kill -9, then the next run.
    def killed(self, cases):
        for i in range(cases):
            target = os.path.join(self.base, "killed.otq")
            p = subprocess.Popen([self.otq, "compress", self.src, "-o", target, "-q"], env=self.env)
            time.sleep(self.rng.uniform(0.05, self.compress_time * 0.9))
            p.kill()
            p.wait()
            before = len(leftovers(self.base, self.tmp))
            r = subprocess.run([self.otq, "compress", self.src, "-o", target, "-q", "-f"], env=self.env,
                               stderr=subprocess.PIPE, text=True)
            after = leftovers(self.base, self.tmp)
            if r.returncode == 0 and not after and self.restores_original(target):
                self.count("kill -9 then rerun", f"{before} leftovers after the kill, none after the rerun")
            else:
                self.fail("kill -9 then rerun", f"case {i}: status {r.returncode}, left {after}")
            os.remove(target)

    # 5. A disk that fills up (a small tmpfs; root only).
    def full_disk(self, cases):
        if os.geteuid() != 0:
            self.count("full disk", "skipped (needs root)")
            return
        mount = os.path.join(self.base, "small")
        os.makedirs(mount)
        size = os.path.getsize(self.archive)
        for i in range(cases):
            kb = max(8, self.rng.randrange(8, max(16, size // 1024)))
            if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={kb}k", "tmpfs", mount]).returncode != 0:
                self.count("full disk", "skipped (mount failed)")
                return
            try:
                extract = i % 2 == 1
                target = os.path.join(mount, "full.wav" if extract else "full.otq")
                args = ([self.otq, "extract", self.archive, "-o", target, "-q"] if extract
                        else [self.otq, "compress", self.src, "-o", target, "-q"])
                r = subprocess.run(args, env=self.env, stderr=subprocess.PIPE, text=True)
                left = os.listdir(mount)
                cat = f"full disk, {'extract' if extract else 'compress'}"
                if r.returncode == 0:
                    self.count(cat, "fitted")
                elif f"cannot write {target}: No space left on device" in r.stderr and not left:
                    self.count(cat, "refused, names the target, nothing left")
                else:
                    self.fail(cat, f"case {i} ({kb} KiB): status {r.returncode}, left {left}: {r.stderr.strip()}")
            finally:
                subprocess.run(["umount", mount])

    def report(self):
        for cat, outcomes in self.results.items():
            parts = ", ".join(f"{k}: {v}" for k, v in outcomes.items())
            print(f"{cat:32s} {parts}")
        for b in self.broken:
            print("BROKEN", b)
        shutil.rmtree(self.base, ignore_errors=True)
        return 1 if self.broken else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--otq", default=os.path.join(ROOT, "build/release/cli/otq"))
    ap.add_argument("--source", default=os.path.join(ROOT, "samples/digits.wav"))
    ap.add_argument("--cases", type=int, default=12)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    c = Campaign(a.otq, a.source, random.Random(a.seed))
    print(f"source {a.source}: compress {c.compress_time:.2f} s, test {c.extract_time:.2f} s")
    c.source_changes(a.cases * 3)
    c.signals(a.cases * 4)
    c.closed_pipe(max(2, a.cases // 4))
    c.killed(a.cases)
    c.full_disk(a.cases)
    sys.exit(c.report())


if __name__ == "__main__":
    main()
