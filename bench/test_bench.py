"""Checks of the benchmark's own logic: WAV parsing, the exactness check and
the totals. Run with `python3 -m unittest discover bench`. No timing is tested."""

import contextlib
import io
import struct
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench  # noqa: E402


def wav_bytes(samples, channels=2, rate=44100, bits=16, extra=b"", data_claim=None):
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * channels * bits // 8,
                      channels * bits // 8, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + extra
    claim = len(samples) if data_claim is None else data_claim
    body += b"data" + struct.pack("<I", claim) + samples
    return b"RIFF" + struct.pack("<I", len(body)) + body


def list_chunk():
    # an odd-length INFO entry followed by its pad byte, as some writers make it
    info = b"INFO" + b"IART" + struct.pack("<I", 3) + b"abc" + b"\0"
    return b"LIST" + struct.pack("<I", len(info)) + info


class Folder(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self._tmp.name)

    def tearDown(self):
        self._tmp.cleanup()

    def write(self, name, data):
        path = self.dir / name
        path.write_bytes(data)
        return path

    def source(self, data):
        """The folder's one WAV (44-byte header) and what a restore must match."""
        self.write("src.wav", data)
        return bench.find_sources(self.dir)[0], {"file": data, "samples": data[44:]}


class WavLayout(Folder):
    def test_plain_header_and_list_chunk_with_pad_byte(self):
        samples = bytes(range(200)) * 4
        plain = self.write("a.wav", wav_bytes(samples))
        self.assertEqual(bench.wav_layout(plain), (2, 44100, 16, 44, len(samples)))
        listed = self.write("b.wav", wav_bytes(samples, extra=list_chunk()))
        ch, rate, bits, offset, length = bench.wav_layout(listed)
        self.assertEqual(listed.read_bytes()[offset:offset + length], samples)

    def test_data_length_beyond_the_file_is_cut(self):
        path = self.write("c.wav", wav_bytes(b"\1\2\3\4", data_claim=1000))
        self.assertEqual(bench.wav_layout(path)[4], 4)

    def test_files_without_fmt_or_riff_are_refused(self):
        no_fmt = b"RIFF" + struct.pack("<I", 16) + b"WAVE" + b"data" + struct.pack("<I", 4) + b"abcd"
        self.assertIsNone(bench.wav_layout(self.write("d.wav", no_fmt)))
        self.assertIsNone(bench.wav_layout(self.write("e.wav", b"not a wave file at all")))
        self.assertIsNone(bench.wav_layout(self.write("f.wav", b"RIFF")))


class Sources(Folder):
    def test_formats_list_and_which_files_are_taken(self):
        self.write("pcm-formats.txt", b"# name channels rate\nlisted.pcm mono 8000\n"
                   b"two.pcm 2 44100\n\nbroken line\n")
        self.write("listed.pcm", bytes(16000))
        self.write("two.pcm", bytes(44100 * 4))
        self.write("unlisted.pcm", bytes(100))
        self.write("eight-bit.wav", wav_bytes(bytes(100), bits=8))
        self.write("music.wav", wav_bytes(bytes(44100 * 4 // 2)))
        self.write("notes.txt", b"x")
        sources = {s.name: s for s in bench.find_sources(self.dir)}
        self.assertEqual(sorted(sources), ["listed.pcm", "music.wav", "two.pcm"])
        self.assertAlmostEqual(sources["listed.pcm"].seconds, 1.0)
        self.assertAlmostEqual(sources["two.pcm"].seconds, 1.0)
        self.assertAlmostEqual(sources["music.wav"].seconds, 0.5)
        self.assertEqual(sources["listed.pcm"].channels, 1)


class Exactness(Folder):
    def test_peer_restore_is_judged_on_the_samples_otq_on_the_whole_file(self):
        samples = bytes(range(256)) * 8
        src, expected = self.source(wav_bytes(samples))
        other_header = self.write("peer.wav", wav_bytes(samples, extra=list_chunk()))
        peer = bench.flac_codec("-8")
        ours = bench.otq_codec("fast")
        self.assertTrue(bench.restored_matches(peer, src, other_header, expected))
        self.assertFalse(bench.restored_matches(ours, src, other_header, expected))
        self.assertTrue(bench.restored_matches(ours, src, src.path, expected))
        flipped = bytearray(samples)
        flipped[100] ^= 1
        wrong = self.write("wrong.wav", wav_bytes(bytes(flipped)))
        self.assertFalse(bench.restored_matches(peer, src, wrong, expected))
        mono = self.write("mono.wav", wav_bytes(samples, channels=1))
        self.assertFalse(bench.restored_matches(peer, src, mono, expected))

    def test_measure_reports_failures_and_wrong_restores(self):
        src, expected = self.source(wav_bytes(bytes(range(256)) * 8))
        copy = bench.Codec("copy", ".x", lambda s, out: ["cp", str(s.path), str(out)],
                           lambda s, a, out: ["cp", str(a), str(out)], True)
        short = bench.Codec("short", ".x", copy.encode,
                            lambda s, a, out: ["truncate", "-s", "100", str(out)], True)
        failing = bench.Codec("failing", ".x", lambda s, out: ["sh", "-c", "echo broken >&2; exit 4"],
                              copy.decode, True)
        silent = bench.Codec("silent", ".x", lambda s, out: ["true"], copy.decode, True)
        work = self.dir / "work"
        work.mkdir()
        good = bench.measure(copy, src, 2, work, expected)
        self.assertTrue(good.ok)
        self.assertEqual(good.size, src.size)
        self.assertGreater(good.encode_s, 0)
        self.assertFalse(bench.measure(short, src, 1, work, expected).exact)
        self.assertIn("status 4): broken", bench.measure(failing, src, 1, work, expected).error)
        self.assertEqual(bench.measure(silent, src, 1, work, expected).error,
                         "encode wrote no archive")
        self.assertEqual(sorted(p.name for p in work.iterdir()), [])


class Hanging(Folder):
    def test_a_command_that_hangs_is_ended_and_reported(self):
        src, expected = self.source(wav_bytes(bytes(400)))
        marker = self.dir / "still-running"
        hang = bench.Codec("hang", ".x",
                           lambda s, out: ["sh", "-c", f"sleep 3; touch {marker}"], None, True)
        saved, bench.TIMEOUT = bench.TIMEOUT, 0.3
        try:
            res = bench.measure(hang, src, 1, self.dir, expected)
        finally:
            bench.TIMEOUT = saved
        self.assertIn("no result after 0.3 s", res.error)
        time.sleep(3.5)
        self.assertFalse(marker.exists())


class Options(unittest.TestCase):
    def test_rates_runs_and_corpus(self):
        args = bench.parse_args(["--rates", "Maximum, fastest", "some/dir"])
        self.assertEqual((args.rates, args.corpus, args.runs), (["maximum", "fastest"], "some/dir", 3))
        self.assertEqual(bench.parse_args(["--rates", "none", "--quick"]).rates, [])
        self.assertEqual(bench.parse_args(["--quick", "--runs", "5"]).runs, 1)
        for bad in (["--rates", "ultra"], ["--runs", "0"], ["a", "--corpus", "b"]):
            with self.assertRaises(SystemExit), contextlib.redirect_stderr(io.StringIO()):
                bench.parse_args(bad)


class Totals(unittest.TestCase):
    def test_ratios_use_the_files_a_codec_handled(self):
        sources = [bench.Source(Path(n), "pcm", 1, 1000, 0, 2000, 2000) for n in ("a", "b")]
        codecs = [bench.Codec(n, "", None, None, False) for n in ("ours", bench.REFERENCE)]
        R = bench.Result
        results = {"a": {"ours": R(size=500, encode_s=1.0, decode_s=1.0),
                         bench.REFERENCE: R(size=1000, encode_s=2.0, decode_s=0.5)},
                   "b": {"ours": R(error="encode failed (status 1): no"),
                         bench.REFERENCE: R(size=3000, encode_s=9.0, decode_s=9.0)}}
        rows = {line.split(" | ")[0][2:]: line.split(" | ")
                for line in bench.total_table(sources, codecs, results).splitlines()[2:]}
        ours = rows["ours"]
        self.assertEqual(ours[1:3], ["500", "25.00"])          # bytes, size % of file a only
        self.assertEqual(ours[9:12], ["0.500", "0.500", "2.000"])
        self.assertEqual(ours[12], "**1/2** |")
        self.assertEqual(rows[bench.REFERENCE][12], "2/2 |")


class Reports(Folder):
    def test_a_second_run_of_the_day_keeps_the_first_report(self):
        self.assertEqual(bench.report_path(self.dir, "2026-12-10-vm").name, "2026-12-10-vm.md")
        self.write("2026-12-10-vm.md", b"first")
        self.assertEqual(bench.report_path(self.dir, "2026-12-10-vm").name, "2026-12-10-vm-2.md")
        self.write("2026-12-10-vm-2.md", b"second")
        self.assertEqual(bench.report_path(self.dir, "2026-12-10-vm").name, "2026-12-10-vm-3.md")


if __name__ == "__main__":
    unittest.main()
