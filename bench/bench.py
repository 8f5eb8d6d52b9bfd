#!/usr/bin/env python3
"""Size, speed and memory of otq's rates against flac and wavpack.

Builds the release otq, then for every recording of a folder compresses and
restores it with each codec, several times, one core pinned, and writes a
Markdown report: a table per file and a total table with ratios against
flac -8. Every restore is compared with the source, so a fast but wrong codec
shows up as such. Nothing here asserts a time; run it by hand (bench/run.sh).
Only the Python standard library is used.
"""

import argparse
import datetime
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
BUILD = REPO / "build" / "bench"
OTQ = BUILD / "otq"          # where the build puts it; see find_otq()
RATES = ["fastest", "fast", "normal", "maximum", "extreme"]
REFERENCE = "flac -8"
CORE = "0"
TIMEOUT = 600.0        # seconds one command may take; --timeout


# ---------------------------------------------------------------- sources

@dataclass
class Source:
    path: Path
    kind: str            # "wav" or "pcm"
    channels: int
    rate: int
    data_offset: int     # where the samples start (0 for a headerless file)
    data_length: int     # bytes of samples
    size: int            # bytes of the whole file

    @property
    def name(self):
        return self.path.name

    @property
    def seconds(self):
        return self.data_length / (2 * self.channels * self.rate)

    def samples(self):
        with open(self.path, "rb") as f:
            f.seek(self.data_offset)
            return f.read(self.data_length)


def wav_layout(path):
    """Return (channels, rate, bits, data_offset, data_length) of a RIFF WAVE
    file, or None when it has no "fmt " or "data" chunk. A data chunk that
    claims more than the file holds is cut to what is there."""
    with open(path, "rb") as f:
        head = f.read(12)
        if len(head) < 12 or head[:4] != b"RIFF" or head[8:12] != b"WAVE":
            return None
        fmt = None
        while True:
            chunk = f.read(8)
            if len(chunk) < 8:
                return None
            cid, length = chunk[:4], int.from_bytes(chunk[4:], "little")
            if cid == b"fmt ":
                body = f.read(length)
                if len(body) < 16:
                    return None
                fmt = (int.from_bytes(body[2:4], "little"),
                       int.from_bytes(body[4:8], "little"),
                       int.from_bytes(body[14:16], "little"))
                f.seek(length & 1, os.SEEK_CUR)
            elif cid == b"data":
                if fmt is None:
                    return None
                offset = f.tell()
                available = os.path.getsize(path) - offset
                return (*fmt, offset, min(length, available))
            else:
                f.seek(length + (length & 1), os.SEEK_CUR)


def read_pcm_formats(folder):
    """NAME CHANNELS RATE per line; CHANNELS is 1, 2, mono or stereo."""
    formats = {}
    listing = folder / "pcm-formats.txt"
    if not listing.exists():
        return formats
    for line in listing.read_text().splitlines():
        parts = line.split()
        if len(parts) != 3 or line.lstrip().startswith("#"):
            continue
        channels = {"mono": 1, "stereo": 2}.get(parts[1].lower(), None)
        formats[parts[0]] = (channels or int(parts[1]), int(parts[2]))
    return formats


def find_sources(folder):
    formats = read_pcm_formats(folder)
    sources = []
    for path in sorted(folder.iterdir()):
        suffix = path.suffix.lower()
        if not path.is_file() or suffix not in (".wav", ".pcm"):
            continue
        size = path.stat().st_size
        if suffix == ".wav":
            layout = wav_layout(path)
            if layout is None:
                warn(f"{path.name}: no fmt/data chunk, skipped")
                continue
            channels, rate, bits, offset, length = layout
            if bits != 16 or channels not in (1, 2) or rate <= 0:
                warn(f"{path.name}: {channels} channels of {bits} bits, skipped")
                continue
            sources.append(Source(path, "wav", channels, rate, offset, length, size))
        else:
            if path.name not in formats:
                warn(f"{path.name}: not in pcm-formats.txt, skipped")
                continue
            channels, rate = formats[path.name]
            sources.append(Source(path, "pcm", channels, rate, 0, size, size))
    return sources


# ---------------------------------------------------------------- codecs

@dataclass
class Codec:
    label: str
    ext: str
    encode: object       # (source, archive) -> argv
    decode: object       # (source, archive, restored) -> argv
    whole_file: bool     # restores the whole file (header too), not just the samples


def otq_codec(rate):
    def encode(src, out):
        argv = [str(OTQ), "compress", str(src.path), "-o", str(out), "-r", rate,
                "-f", "-q", "--no-integrity"]
        if src.kind == "pcm":
            argv += ["--channels", "mono" if src.channels == 1 else "stereo"]
        return argv

    def decode(src, archive, out):
        return [str(OTQ), "extract", str(archive), "-o", str(out), "-f", "-q"]

    return Codec(f"otq {rate}", ".otq", encode, decode, True)


def flac_codec(level):
    def raw_flags(src):
        return ["--force-raw-format", "--endian=little", "--sign=signed"]

    def encode(src, out):
        argv = ["flac", level, "-s", "-f", "-o", str(out)]
        if src.kind == "pcm":
            argv += raw_flags(src) + [f"--channels={src.channels}", "--bps=16",
                                      f"--sample-rate={src.rate}"]
        return argv + [str(src.path)]

    def decode(src, archive, out):
        argv = ["flac", "-d", "-s", "-f", "-o", str(out)]
        if src.kind == "pcm":
            argv += raw_flags(src)
        return argv + [str(archive)]

    return Codec(f"flac {level}", ".flac", encode, decode, False)


def wavpack_codec(options):
    def encode(src, out):
        argv = ["wavpack", "-q", "-y"] + options
        if src.kind == "pcm":
            argv.append(f"--raw-pcm={src.rate},16s,{src.channels},le")
        return argv + [str(src.path), "-o", str(out)]

    def decode(src, archive, out):
        argv = ["wvunpack", "-q", "-y"]
        if src.kind == "pcm":
            argv.append("--raw")
        return argv + [str(archive), "-o", str(out)]

    return Codec(" ".join(["wavpack"] + options), ".wv", encode, decode, False)


def peer_codecs():
    codecs = []
    if shutil.which("flac"):
        codecs += [flac_codec("-5"), flac_codec("-8")]
    else:
        warn("flac not installed: no flac rows and no ratios (apt-get install -y flac)")
    if shutil.which("wavpack") and shutil.which("wvunpack"):
        codecs += [wavpack_codec([]), wavpack_codec(["-hh"])]
    else:
        warn("wavpack not installed: no wavpack rows (apt-get install -y wavpack)")
    return codecs


# ---------------------------------------------------------------- measuring

@dataclass
class Result:
    size: int = 0
    encode_s: float = float("inf")
    decode_s: float = float("inf")
    encode_kib: int = 0
    decode_kib: int = 0
    exact: bool = True
    error: str = ""

    @property
    def ok(self):
        return not self.error and self.exact


def run_once(argv, workdir):
    """Run argv pinned to the cores of --cores under GNU time; return (wall seconds,
    peak resident KiB or 0, exit status, stderr text)."""
    memfile = workdir / "peak.txt"
    prefix = []
    if HAVE_TIME:
        prefix += ["/usr/bin/time", "-f", "%M", "-o", str(memfile)]
    if HAVE_TASKSET:
        prefix += ["taskset", "-c", CORE]
    start = time.perf_counter()
    # A session of its own, so that a command that hangs is ended together
    # with the time and taskset processes around it.
    proc = subprocess.Popen(prefix + argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, start_new_session=True)
    try:
        _, stderr = proc.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        memfile.unlink(missing_ok=True)
        return TIMEOUT, 0, "timeout", f"no result after {TIMEOUT:g} s"
    wall = time.perf_counter() - start
    kib = 0
    if HAVE_TIME and memfile.exists():
        # On failure GNU time writes a status line first; the number is last.
        lines = memfile.read_text().split()
        kib = int(lines[-1]) if lines and lines[-1].isdigit() else 0
        memfile.unlink()
    return wall, kib, proc.returncode, stderr.decode(errors="replace")


def failure(what, status, stderr):
    lines = [l for l in stderr.strip().splitlines() if l.strip()]
    last = lines[-1].strip().replace("|", "\\|") if lines else "no message"
    return f"{what} failed (status {status}): {last}"


def measure(codec, src, runs, workdir, expected):
    archive = workdir / ("archive" + codec.ext)
    restored = workdir / ("restored" + src.path.suffix.lower())
    for path in (archive, restored):
        path.unlink(missing_ok=True)
    try:
        return measure_runs(codec, src, runs, workdir, expected, archive, restored)
    finally:
        for path in (archive, restored):
            path.unlink(missing_ok=True)


def measure_runs(codec, src, runs, workdir, expected, archive, restored):
    res = Result()
    for _ in range(runs):
        wall, kib, status, err = run_once(codec.encode(src, archive), workdir)
        if status != 0:
            res.error = failure("encode", status, err)
            return res
        if not archive.exists():
            res.error = "encode wrote no archive"
            return res
        res.encode_s = min(res.encode_s, wall)
        res.encode_kib = max(res.encode_kib, kib)
    res.size = archive.stat().st_size
    for _ in range(runs):
        restored.unlink(missing_ok=True)
        wall, kib, status, err = run_once(codec.decode(src, archive, restored), workdir)
        if status != 0:
            res.error = failure("decode", status, err)
            return res
        if not restored.exists():
            res.error = "decode wrote no file"
            return res
        res.decode_s = min(res.decode_s, wall)
        res.decode_kib = max(res.decode_kib, kib)
        res.exact = res.exact and restored_matches(codec, src, restored, expected)
    return res


def restored_matches(codec, src, restored, expected):
    """otq brings back the whole file; the peers bring back the samples (a WAV
    they write may carry another header), so only those are compared."""
    if codec.whole_file or src.kind == "pcm":
        return restored.read_bytes() == expected["file"]
    layout = wav_layout(restored)
    if layout is None:
        return False
    channels, rate, bits, offset, length = layout
    if (channels, rate, bits) != (src.channels, src.rate, 16):
        return False
    with open(restored, "rb") as f:
        f.seek(offset)
        return f.read(length) == expected["samples"]


# ---------------------------------------------------------------- report

def fmt_x(seconds_audio, seconds_wall):
    if seconds_wall == float("inf") or seconds_wall <= 0:
        return "-"
    x = seconds_audio / seconds_wall
    return f"{x:.0f}" if x >= 100 else f"{x:.1f}"


def fmt_ratio(a, b):
    return f"{a / b:.3f}" if b and b != float("inf") and a != float("inf") else "-"


def fmt_mib(kib):
    return f"{kib / 1024:.1f}" if kib else "-"


HEADER = ("| codec | bytes | size % | encode s | encode x RT | decode s | decode x RT "
          "| encode MiB | decode MiB | size / flac -8 | encode time / flac -8 "
          "| decode time / flac -8 | exact |\n"
          "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|")


def table_row(label, res, source_bytes, seconds, ref, exact_text):
    if res.error:
        return f"| {label} | - | - | - | - | - | - | - | - | - | - | - | {res.error} |"
    cells = [label, f"{res.size:,}", f"{100 * res.size / source_bytes:.2f}",
             f"{res.encode_s:.3f}", fmt_x(seconds, res.encode_s),
             f"{res.decode_s:.3f}", fmt_x(seconds, res.decode_s),
             fmt_mib(res.encode_kib), fmt_mib(res.decode_kib)]
    if ref is not None and not ref.error:
        cells += [fmt_ratio(res.size, ref.size), fmt_ratio(res.encode_s, ref.encode_s),
                  fmt_ratio(res.decode_s, ref.decode_s)]
    else:
        cells += ["-", "-", "-"]
    cells.append(exact_text)
    return "| " + " | ".join(cells) + " |"


def file_table(src, codecs, results):
    lines = [f"### {src.name}",
             "",
             f"{src.kind}, {src.channels} ch, {src.rate} Hz, {src.seconds:.3f} s of audio, "
             f"{src.size:,} bytes",
             "",
             HEADER]
    ref = results.get(REFERENCE)
    for codec in codecs:
        res = results[codec.label]
        lines.append(table_row(codec.label, res, src.size, src.seconds, ref,
                               "yes" if res.exact else "**NO**"))
    return "\n".join(lines)


def total_table(sources, codecs, results):
    """Sums over the files a codec handled; its ratios compare it with flac -8
    on those same files."""
    lines = [HEADER]
    for codec in codecs:
        done = [s for s in sources if not results[s.name][codec.label].error]
        tot = Result()
        for s in done:
            r = results[s.name][codec.label]
            tot.size += r.size
            tot.encode_s = (0 if tot.encode_s == float("inf") else tot.encode_s) + r.encode_s
            tot.decode_s = (0 if tot.decode_s == float("inf") else tot.decode_s) + r.decode_s
            tot.encode_kib = max(tot.encode_kib, r.encode_kib)
            tot.decode_kib = max(tot.decode_kib, r.decode_kib)
        exact = sum(1 for s in done if results[s.name][codec.label].exact)
        if not done:
            first = results[sources[0].name][codec.label].error if sources else ""
            tot.error = f"failed on every file ({first})"
            lines.append(table_row(codec.label, tot, 1, 1, None, ""))
            continue
        ref = None
        if REFERENCE in (c.label for c in codecs) and all(
                not results[s.name][REFERENCE].error for s in done):
            ref = Result(size=sum(results[s.name][REFERENCE].size for s in done),
                         encode_s=sum(results[s.name][REFERENCE].encode_s for s in done),
                         decode_s=sum(results[s.name][REFERENCE].decode_s for s in done))
        source_bytes = sum(s.size for s in done)
        seconds = sum(s.seconds for s in done)
        exact_text = f"{exact}/{len(sources)}"
        if exact < len(sources):
            exact_text = f"**{exact_text}**"
        lines.append(table_row(codec.label, tot, source_bytes, seconds, ref, exact_text))
    return "\n".join(lines)


# ---------------------------------------------------------------- machine

def first_line(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True).stdout
        return out.strip().splitlines()[0] if out.strip() else "?"
    except OSError:
        return "not installed"


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def otq_version(clean):
    commit = first_line(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"])
    if clean:
        return commit + " (built from the commit alone)"
    dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--untracked-files=no",
                            "--", ".", ":!bench"], capture_output=True, text=True).stdout.strip()
    return commit + (" with uncommitted changes in the tree" if dirty else "")


# ---------------------------------------------------------------- main

def warn(text):
    print(f"bench: {text}", file=sys.stderr)


def find_otq():
    """The tool is either at the top of the build folder or in its cli/ part."""
    global OTQ
    for candidate in (BUILD / "otq", BUILD / "cli" / "otq"):
        if candidate.exists():
            OTQ = candidate
            return True
    return False


def build(clean):
    """Build the release otq from the work tree, or with clean from the
    committed HEAD alone (exported into build/bench/head-src and built in
    build/bench/head, see main), so that other people's unfinished edits in a shared
    tree do not end up in the numbers."""
    source = REPO
    if clean:
        source = BUILD.parent / "head-src"
        shutil.rmtree(source, ignore_errors=True)
        source.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", str(REPO), "archive", "HEAD"], capture_output=True)
        if archive.returncode != 0:
            sys.stderr.write(archive.stderr.decode(errors="replace"))
            return False
        subprocess.run(["tar", "-x", "-C", str(source)], input=archive.stdout, check=True)
    configure = ["cmake", "-S", str(source), "-B", str(BUILD), "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=Release", "-DOSTINATO_BUILD_GUI=OFF",
                 "-DOSTINATO_BUILD_TESTS=OFF"]
    make = ["cmake", "--build", str(BUILD), "--target", "otq", "-j", "2"]
    for argv in (configure, make):
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if proc.returncode != 0:
            sys.stderr.write(proc.stdout[-4000:])
            return False
    return find_otq()


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="bench/run.sh",
        description="Size, speed and memory of otq against flac and wavpack.")
    p.add_argument("folder", nargs="?", help="folder of recordings (same as --corpus)")
    p.add_argument("--corpus", metavar="DIR",
                   help="folder of .wav/.pcm recordings (default: bench/corpus, made on first use)")
    p.add_argument("--runs", type=int, default=3, metavar="N",
                   help="best of N runs for each time (default 3)")
    p.add_argument("--rates", default=",".join(RATES), metavar="LIST",
                   help="comma-separated otq rates, or 'none' (default: all five)")
    p.add_argument("--no-peers", action="store_true", help="measure otq only")
    p.add_argument("--quick", action="store_true", help="one run, first two files")
    p.add_argument("--timeout", type=float, default=TIMEOUT, metavar="S",
                   help=f"give up on a command after S seconds (default {TIMEOUT:g})")
    p.add_argument("--clean", action="store_true",
                   help="build otq from the committed HEAD only, not the work tree")
    p.add_argument("--no-build", action="store_true",
                   help="use the otq in build/bench as it is")
    p.add_argument("--cores", default=CORE, metavar="LIST",
                   help="processors every run is pinned to, as taskset takes them (default 0; "
                        "0,1 lets otq use two; the peers run one thread anyway)")
    args = p.parse_args(argv)
    if args.folder and args.corpus and args.folder != args.corpus:
        p.error("give the folder once: as an argument or with --corpus")
    args.corpus = args.corpus or args.folder
    rates = [r.strip().lower() for r in args.rates.split(",") if r.strip()]
    if rates == ["none"]:
        rates = []
    bad = [r for r in rates if r not in RATES]
    if bad:
        p.error(f"unknown rate {bad[0]!r}: choose from {', '.join(RATES)} or none")
    args.rates = rates
    if args.quick:
        args.runs = 1
    if args.runs < 1:
        p.error("--runs must be at least 1")
    return args


def report_path(out_dir, stem):
    """Where a run's report goes: STEM.md, or STEM-2.md, STEM-3.md ... when an
    earlier run of the day on this host has its report there already."""
    path, n = out_dir / f"{stem}.md", 1
    while path.exists():
        n += 1
        path = out_dir / f"{stem}-{n}.md"
    return path


def main(argv):
    global TIMEOUT, BUILD, CORE
    args = parse_args(argv)
    TIMEOUT = args.timeout
    CORE = args.cores
    if args.clean:
        BUILD = BUILD / "head"
    if args.corpus:
        folder = Path(args.corpus).resolve()
    else:
        folder = BENCH / "corpus"
        if not (folder / ".complete").exists():
            print("bench: making the corpus in bench/corpus", file=sys.stderr)
            if subprocess.run(["bash", str(BENCH / "make-corpus.sh"), str(folder)]).returncode:
                warn("could not make the corpus")
                return 1
    if not folder.is_dir():
        warn(f"{folder} is not a folder")
        return 1
    sources = find_sources(folder)
    if args.quick:
        sources = sources[:2]
    if not sources:
        warn(f"no .wav or .pcm recordings in {folder}")
        return 1

    codecs = []
    if args.rates:
        if not args.no_build:
            print("bench: building otq (release)", file=sys.stderr)
            if not build(args.clean):
                warn("the release build of otq failed")
                return 1
        if not find_otq():
            warn(f"{OTQ} does not exist")
            return 1
        codecs += [otq_codec(r) for r in args.rates]
    if not args.no_peers:
        codecs += peer_codecs()
    if not codecs:
        warn("nothing to measure")
        return 1
    if not HAVE_TASKSET:
        warn("taskset not found: runs are not pinned to one core")
    if not HAVE_TIME:
        warn("/usr/bin/time not found: no memory figures (apt-get install -y time)")

    results = {}
    args.load = [os.getloadavg()[0]]
    workdir = Path(tempfile.mkdtemp(prefix="otq-bench-"))
    try:
        for i, src in enumerate(sources, 1):
            data = src.path.read_bytes()
            expected = {"file": data,
                        "samples": data[src.data_offset:src.data_offset + src.data_length]}
            results[src.name] = {}
            for codec in codecs:
                res = measure(codec, src, args.runs, workdir, expected)
                results[src.name][codec.label] = res
                state = res.error or (
                    f"{res.size / src.size * 100:6.2f} %  enc {fmt_x(src.seconds, res.encode_s):>6}x"
                    f"  dec {fmt_x(src.seconds, res.decode_s):>6}x"
                    + ("" if res.exact else "  NOT EXACT"))
                print(f"[{i}/{len(sources)}] {src.name:32} {codec.label:14} {state}",
                      file=sys.stderr)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    args.load.append(os.getloadavg()[0])

    report = make_report(args, folder, sources, codecs, results)
    print(report)
    out_dir = BENCH / "results"
    out_dir.mkdir(exist_ok=True)
    stem = f"{datetime.date.today().isoformat()}-{socket.gethostname().split('.')[0]}"
    if args.quick:
        stem += "-quick"
    if CORE != "0":
        stem += "-cores-" + CORE.replace(",", "-")  # latest.md stays the one-core table
    path = report_path(out_dir, stem)
    path.write_text(report)
    if not args.quick and CORE == "0":
        (out_dir / "latest.md").write_text(report)
    print(f"bench: written to bench/results/{path.name}"
          + ("" if args.quick or CORE != "0" else " and bench/results/latest.md"), file=sys.stderr)
    failed = any(r.error or not r.exact for per in results.values() for r in per.values())
    return 3 if failed else 0


def make_report(args, folder, sources, codecs, results):
    now = datetime.datetime.now().astimezone()
    # Named relative to the checkout, so the report says nothing of this machine's folders.
    shown = os.path.relpath(folder, REPO)
    versions = [f"otq {otq_version(args.clean)}" if args.rates else None,
                first_line(["flac", "--version"]) if not args.no_peers and shutil.which("flac") else None,
                first_line(["wavpack", "--version"]) if not args.no_peers and shutil.which("wavpack") else None,
                first_line(["g++", "--version"])]
    total_audio = sum(s.seconds for s in sources)
    parts = [
        "# otq against flac and wavpack",
        "",
        f"- Date: {now:%Y-%m-%d %H:%M %Z}",
        f"- Machine: {socket.gethostname()}, {cpu_model()}, {os.cpu_count()} cores, "
        f"Linux {os.uname().release}; load average (1 min) {args.load[0]:.2f} at the start, "
        f"{args.load[1]:.2f} at the end (other work on the machine slows the runs)",
        f"- Versions: {'; '.join(v for v in versions if v)}",
        f"- Corpus: {shown}, {len(sources)} files, {sum(s.size for s in sources):,} bytes, "
        f"{total_audio:.1f} s of audio" + (" (quick: first two files)" if args.quick else ""),
        f"- Method: best of {args.runs} run{'s' if args.runs > 1 else ''} for each time, every run "
        f"pinned to {'core' if ',' not in CORE and '-' not in CORE else 'cores'} {CORE} with taskset; wall time of the whole command (process start "
        "and file I/O included); x RT = seconds of audio / wall seconds; MiB = peak resident "
        "memory (GNU time %M), the largest of the runs; time ratios are time / time of flac -8 "
        "(below 1 is faster than flac -8); exact = every restore checked (otq: the whole file, "
        "peers: the samples).",
        "",
        "## Total",
        "",
        "Sizes and times summed over the files; MiB is the largest of any file.",
        "",
        total_table(sources, codecs, results),
        "",
        "## Per file",
        "",
    ]
    for src in sources:
        parts += [file_table(src, codecs, results[src.name]), ""]
    return "\n".join(parts)


HAVE_TIME = os.access("/usr/bin/time", os.X_OK)
HAVE_TASKSET = shutil.which("taskset") is not None

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
