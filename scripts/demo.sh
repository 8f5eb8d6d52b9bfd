#!/usr/bin/env bash
# Sets everything up, builds the release programs and compresses the bundled
# sample recording, then shows the archive and restores it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
./build/release/cli/otq compress samples/digits.wav -o "$out/digits.otq"
./build/release/cli/otq list "$out/digits.otq"
./build/release/cli/otq extract "$out/digits.otq" -o "$out/digits.wav"
cmp samples/digits.wav "$out/digits.wav" && echo "digits.wav came back byte for byte (the copies in $out go when this script ends)"
