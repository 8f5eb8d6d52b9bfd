#!/usr/bin/env python3
"""Damage campaign over whole recordings, through the otq tool.

Each recording is compressed at every rate, with the integrity record and
without it (--no-integrity, as older archives are). Every archive is then cut
at a spread of offsets (every offset near its head and its end) and has single
bits flipped in every byte of its head and its integrity record and at sampled
offsets elsewhere. Each damaged copy goes through `otq extract`, and the
outcome is one of:

  exact    restored, and the bytes are the original's
  refused  exit status 1, "The archive is damaged" at the start of the error,
           no restored file and no working folder left
  wrong    restored without an error, but the bytes differ
  other    anything else: a crash, another error, a file or folder left behind

With the integrity record only "exact" and "refused" may occur. Without it,
the format cannot see every fault, and the "wrong" share is reported.

  python3 scripts/damage-campaign.py [--otq PATH] [--cuts N] [--flips N] [-j N] [RECORDING...]

Recordings default to every .wav and .pcm of the developer corpus
(../shared/corpus beside the checkout, or $OSTINATO_CORPUS); a headerless .pcm is taken as two
channels when the corpus's pcm-formats.txt says so, or with --stereo. The
exit status is 1 when an archive with the record gives "wrong" or any
archive gives "other".
"""

import argparse
import concurrent.futures
import os
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RATES = ["fastest", "fast", "normal", "maximum"]
DAMAGED = "otq: The archive is damaged"


def find_otq(given):
    if given:
        return Path(given)
    for build in ("fuzz-gcc", "release", "core", "debug"):
        p = ROOT / "build" / build / "cli" / "otq"
        if p.is_file():
            return p
    sys.exit("damage-campaign: no otq found under build/; build it or give --otq")


def channels_of(recording, stereo_names):
    if recording.suffix.lower() == ".wav":
        return None  # the "fmt " chunk tells
    return "stereo" if recording.name in stereo_names else "mono"


def pcm_formats(corpus):
    stereo = set()
    formats = corpus / "pcm-formats.txt"
    if formats.is_file():
        for line in formats.read_text().splitlines():
            parts = line.split()
            if len(parts) >= 2 and parts[1] == "2":
                stereo.add(parts[0])
    return stereo


def run(cmd, env):
    return subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=600)


def lengths_hide_record(original, damaged):
    """True when the six lengths of `damaged` cover the integrity record of `original`."""
    if len(original) != len(damaged) or len(original) < 45 + original[4] or damaged[4] != original[4]:
        return False
    at = 5 + original[4]
    total = lambda b: sum(int.from_bytes(b[at + 4 * i:at + 4 * i + 4], "little") for i in range(6))
    return at + 24 + total(original) + 16 == len(original) and total(damaged) == total(original) + 16


def damaged_copies(archive, cuts, flips, rng):
    size = len(archive)
    offsets = set(range(min(64, size)))
    offsets.update(range(max(0, size - 24), size))
    offsets.update(i * size // cuts for i in range(cuts))
    copies = [(archive[:at], f"cut at {at}") for at in sorted(offsets)]
    head = 29 + archive[4]
    bits = {(i, rng.randrange(8)) for i in range(min(head, size))}
    bits.update((i, rng.randrange(8)) for i in range(max(0, size - 16), size))
    wanted = len(bits) + min(flips, 8 * size)
    while len(bits) < wanted:
        bits.add((rng.randrange(size), rng.randrange(8)))
    for at, bit in sorted(bits):
        copy = bytearray(archive)
        copy[at] ^= 1 << bit
        copies.append((bytes(copy), f"bit {bit} of byte {at}"))
    return copies


def classify(otq, copy, what, original, work):
    """Extracts one damaged copy in its own folder; returns (outcome, note)."""
    folder = Path(tempfile.mkdtemp(dir=work))
    try:
        tmp = folder / "tmp"
        out = folder / "out"
        tmp.mkdir()
        out.mkdir()
        archive = folder / "damaged.otq"
        archive.write_bytes(copy)
        env = dict(os.environ, TMPDIR=str(tmp))
        target = out / "restored"
        try:
            r = run([str(otq), "extract", str(archive), "-o", str(target), "-f", "-q"], env)
        except subprocess.TimeoutExpired:
            return "other", f"{what}: no answer in 600 s"
        left = [p.name for p in list(out.iterdir()) + list(tmp.iterdir()) if p != target]
        if r.returncode == 0:
            if left:
                return "other", f"{what}: restored, but left {left}"
            return ("exact" if target.read_bytes() == original else "wrong"), what
        if r.returncode == 1 and r.stderr.startswith(DAMAGED) and not left and not target.exists():
            return "refused", what
        why = r.stderr.strip().splitlines()[-1] if r.stderr.strip() else f"exit status {r.returncode}"
        if left or target.exists():
            why += f"; left {left + ([target.name] if target.exists() else [])}"
        return "other", f"{what}: {why}"
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    corpus = Path(os.environ.get("OSTINATO_CORPUS", str(Path(__file__).resolve().parent.parent.parent / "shared" / "corpus")))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("recordings", nargs="*", type=Path)
    ap.add_argument("--otq")
    ap.add_argument("--rates", default=",".join(RATES), help="comma-separated (default: all four)")
    ap.add_argument("--cuts", type=int, default=40, help="cut offsets spread over each archive (default 40)")
    ap.add_argument("--flips", type=int, default=60, help="sampled bit flips per archive (default 60)")
    ap.add_argument("--stereo", action="store_true", help="take headerless .pcm recordings as two channels")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("-j", "--jobs", type=int, default=2)
    args = ap.parse_args()

    otq = find_otq(args.otq)
    recordings = args.recordings or sorted(p for p in corpus.glob("*") if p.suffix.lower() in (".wav", ".pcm"))
    if not recordings:
        sys.exit(f"damage-campaign: no recordings given and none in {corpus}")
    stereo_names = pcm_formats(corpus)
    rates = [r.strip() for r in args.rates.split(",") if r.strip()]
    rng = random.Random(args.seed)
    totals = {True: dict(exact=0, refused=0, wrong=0, other=0), False: dict(exact=0, refused=0, wrong=0, other=0)}
    notes = []
    hidden = 0
    failed = False

    work = Path(tempfile.mkdtemp(prefix="ostinato-campaign-"))
    try:
        print(f"{'recording':32} {'rate':8} {'record':6} {'bytes':>9} {'copies':>6} "
              f"{'exact':>6} {'refused':>7} {'wrong':>6} {'other':>6}")
        for recording in recordings:
            original = recording.read_bytes()
            for rate in rates:
                for integrity in (True, False):
                    archive_path = work / "archive.otq"
                    cmd = [str(otq), "compress", str(recording), "-o", str(archive_path), "-r", rate, "-f", "-q"]
                    layout = channels_of(recording, stereo_names)
                    if layout or args.stereo:
                        cmd += ["--channels", "stereo" if args.stereo else layout]
                    if not integrity:
                        cmd.append("--no-integrity")
                    r = run(cmd, dict(os.environ))
                    if r.returncode != 0:
                        print(f"{recording.name}: compression failed: {r.stderr.strip()}", file=sys.stderr)
                        failed = True
                        continue
                    archive = archive_path.read_bytes()
                    # The restored bytes are the source's (an odd last byte is refused at compression).
                    copies = damaged_copies(archive, args.cuts, args.flips, rng)
                    counts = dict(exact=0, refused=0, wrong=0, other=0)
                    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
                        results = pool.map(lambda c: classify(otq, c[0], c[1], original, work), copies)
                        for (copy, _), (outcome, note) in zip(copies, results):
                            counts[outcome] += 1
                            if outcome == "other" or (outcome == "wrong" and integrity):
                                hides = integrity and lengths_hide_record(archive, copy)
                                hidden += hides
                                notes.append(f"{recording.name} {rate} {'record' if integrity else 'none'}: "
                                             f"{outcome}: {note}" + (" (a length covers the record)" if hides else ""))
                    for k in counts:
                        totals[integrity][k] += counts[k]
                    print(f"{recording.name:32} {rate:8} {'yes' if integrity else 'no':6} {len(archive):9} "
                          f"{len(copies):6} {counts['exact']:6} {counts['refused']:7} {counts['wrong']:6} "
                          f"{counts['other']:6}", flush=True)
                    if counts["other"] or (integrity and counts["wrong"]):
                        failed = True
    finally:
        shutil.rmtree(work, ignore_errors=True)

    for integrity in (True, False):
        t = totals[integrity]
        n = sum(t.values())
        share = 100.0 * t["wrong"] / n if n else 0.0
        print(f"{'with' if integrity else 'without'} the integrity record: {n} copies, {t['exact']} exact, "
              f"{t['refused']} refused, {t['wrong']} restored wrong without an error ({share:.2f}%), "
              f"{t['other']} other")
    if hidden:
        print(f"{hidden} of the wrong restores with the record come from a stream length grown by 16, "
              f"which makes the record pass for stream content")
    for note in notes[:40]:
        print("  " + note)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
