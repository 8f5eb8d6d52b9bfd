#!/usr/bin/env python3
"""Cuts the short real recordings of this folder from the developer corpus.

  python3 tests/data/make-excerpts.py [CORPUS]   (default: ../shared/corpus
                                                  beside the checkout)

Each excerpt is a byte-exact slice of a corpus file's sample data; a ".wav"
keeps its file's header, with the RIFF and data sizes set to the excerpt's.
"""
import pathlib
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE.parents[2] / "shared" / "corpus"

# name, corpus file, header bytes kept (0: a headerless .pcm), header bytes of
# the corpus file, offset into its sample data, bytes of sample data
EXCERPTS = [
    ("voicemail-2s.wav", "speech-en-voicemail.wav", 44, 44, 2 * 16000, 32000),
    ("conference-1.5s.pcm", "speech-en-conference.wav", 0, 44, 16000, 23998),
    ("drascula-t03-0.5s.wav", "music-drascula-t03.wav", 44, 44, 7 * 176400, 88200),
    ("drascula-t14-0.5s.pcm", "music-drascula-t14.wav", 0, 44, 15 * 88200, 88200),
    ("drascula-t23-list-0.1s.wav", "music-drascula-t23-list.wav", 138, 138, 176400, 17640),
]

for name, source, keep, header, offset, size in EXCERPTS:
    data = (CORPUS / source).read_bytes()
    samples = data[header + offset:header + offset + size]
    assert len(samples) == size, f"{source} is shorter than expected"
    head = bytearray(data[:keep])
    if keep:
        assert head[keep - 8:keep - 4] == b"data", f"{source}: no data chunk at the end of its header"
        struct.pack_into("<I", head, 4, keep + size - 8)
        struct.pack_into("<I", head, keep - 4, size)
    (HERE / name).write_bytes(bytes(head) + samples)
    print(f"{name}: {keep + size} bytes")
