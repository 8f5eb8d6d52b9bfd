#!/usr/bin/env bash
# Makes the benchmark's own corpus of real recordings (16-bit little-endian
# PCM) from Debian packages, in bench/corpus/ or the folder given as $1.
#
#   bash bench/make-corpus.sh [OUT_DIR]
#
# Needs apt-get (a Debian 12 package list), dpkg, oggdec (vorbis-tools) and
# python3. The downloaded .deb files are kept in OUT_DIR/debs, so a second run
# needs no network. The recordings are other prompts and other music tracks
# than those of the developer corpus, so the benchmark also sees material that
# the codec was not tuned on:
#   - speech: telephone prompts, 8 kHz mono (asterisk-core-sounds-en-wav), and
#     the speaker-test announcements, 48 kHz mono (alsa-utils);
#   - music: 20-second excerpts of the game soundtrack drascula-music, stereo
#     44.1 kHz, decoded from Ogg Vorbis.
# The concatenation and the cuts are done by python3's wave module, so every
# WAV written here has the plain 44-byte header. SHA256SUMS beside this script
# holds the digests of a reference run; a mismatch is reported (the decoder's
# version may differ) but the corpus is still usable.
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=${1:-$HERE/corpus}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
DEBS=$OUT/debs
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

for tool in apt-get dpkg oggdec python3 sha256sum; do
  command -v "$tool" >/dev/null || {
    echo "make-corpus: $tool not found (apt-get install -y vorbis-tools python3)" >&2; exit 1; }
done

# fetch PKG VERSION: unpack the package into $WORK/PKG (the .deb is cached in $DEBS)
fetch() {
  local pkg=$1 ver=$2 deb
  mkdir -p "$DEBS"
  deb=$(ls "$DEBS/${pkg}_"*.deb 2>/dev/null | head -n1 || true)
  if [ -z "$deb" ]; then
    ( cd "$DEBS" && { apt-get download "$pkg=$ver" 2>/dev/null || {
        echo "make-corpus: $pkg=$ver not available, taking the candidate version" >&2
        apt-get download "$pkg"; }; } )
    deb=$(ls "$DEBS/${pkg}_"*.deb | head -n1)
  fi
  mkdir -p "$WORK/$pkg"
  dpkg -x "$deb" "$WORK/$pkg"
}

# The WAV work in Python: concat OUT IN... | cut OUT RAW RATE CH START_S DUR_S | raw OUT WAV
wavtool() {
  python3 - "$@" <<'EOF'
import sys, wave

def write(path, ch, rate, frames):
    with wave.open(path, "wb") as w:
        w.setnchannels(ch); w.setsampwidth(2); w.setframerate(rate)
        w.writeframes(frames)

cmd, out, args = sys.argv[1], sys.argv[2], sys.argv[3:]
if cmd == "concat":
    params, data = None, []
    for p in args:
        with wave.open(p, "rb") as w:
            here = (w.getnchannels(), w.getsampwidth(), w.getframerate())
            if params and here != params:
                sys.exit(f"make-corpus: {p} has format {here}, expected {params}")
            params = here
            data.append(w.readframes(w.getnframes()))
    if params[1] != 2:
        sys.exit(f"make-corpus: {args[0]} is not 16-bit")
    write(out, params[0], params[2], b"".join(data))
elif cmd == "cut":
    raw, rate, ch, start, dur = args[0], int(args[1]), int(args[2]), float(args[3]), float(args[4])
    frame = 2 * ch
    first, count = round(start * rate), round(dur * rate)
    with open(raw, "rb") as f:
        f.seek(first * frame)
        data = f.read(count * frame)
    if len(data) != count * frame:
        sys.exit(f"make-corpus: {raw} is shorter than {start + dur} s")
    write(out, ch, rate, data)
elif cmd == "raw":
    with wave.open(args[0], "rb") as w:
        data = w.readframes(w.getnframes())
    with open(out, "wb") as f:
        f.write(data)
EOF
}

fetch asterisk-core-sounds-en-wav 1.6.1-1
fetch drascula-music 1.0+ds4-2
fetch alsa-utils 1.2.8-1

EN=$WORK/asterisk-core-sounds-en-wav/usr/share/asterisk/sounds/en_US_f_Allison
DR=$WORK/drascula-music/usr/share/scummvm/drascula/audio
AL=$WORK/alsa-utils/usr/share/sounds/alsa

cd "$OUT"
rm -f ./*.wav ./*.pcm pcm-formats.txt .complete

wavtool concat speech-en-letters.wav "$EN"/letters/{a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s,t,u,v,w,x,y,z}.wav
wavtool concat speech-en-queue.wav "$EN"/queue-*.wav
wavtool concat speech-en-demo.wav "$EN"/demo-*.wav
wavtool concat speech-alsa-48k.wav "$AL"/{Front_Left,Front_Center,Front_Right,Side_Left,Side_Right,Rear_Left,Rear_Center,Rear_Right}.wav
wavtool raw speech-en-queue.pcm speech-en-queue.wav

# music NAME TRACK: 20 s from 20 s into the track
music() {
  oggdec -Q -R -b 16 -e 0 -s 1 -o "$WORK/$1.raw" "$DR/$2.ogg"
  wavtool cut "$1.wav" "$WORK/$1.raw" 44100 2 20 20
  rm -f "$WORK/$1.raw"
}
music music-drascula-t01 track1
music music-drascula-t05 track5
music music-drascula-t09 track9
music music-drascula-t19 track19
music music-drascula-t26 track26
wavtool raw music-drascula-t05.pcm music-drascula-t05.wav

# channels and rate of the headerless files: NAME CHANNELS RATE
cat > pcm-formats.txt <<'EOF'
music-drascula-t05.pcm 2 44100
speech-en-queue.pcm 1 8000
EOF

ls -l ./*.wav ./*.pcm
if [ -f "$HERE/SHA256SUMS" ]; then
  if sha256sum --quiet -c "$HERE/SHA256SUMS"; then
    echo "make-corpus: all checksums match"
  else
    echo "make-corpus: checksum mismatch (other package or decoder version?); the corpus is still usable" >&2
  fi
fi
touch .complete
