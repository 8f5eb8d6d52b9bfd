#!/usr/bin/env bash
# Compresses every developer-corpus file at every rate without the integrity
# record and compares each archive with the pinned digest; then restores each
# archive, to a file and through a pipe, and compares it with its source. Prints one line per mismatch and a
# closing count. Usage: scripts/check-corpus.sh [OTQ] [CORPUS]
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
otq="${1:-$here/build/release/cli/otq}"
corpus="${2:-$here/../shared/corpus}"
[ -f "$corpus/expected-archives.sha256" ] || { echo "no corpus at $corpus" >&2; exit 2; }
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
declare -A channels
while read -r name ch _; do
  [ "$ch" = 1 ] && channels[$name]=mono || channels[$name]=stereo
done <"$corpus/pcm-formats.txt"
pass=0 fail=0
while read -r digest name; do
  file="${name%.*}" rate="${name##*.}"
  args=(-r "$rate" --no-integrity -q -f -j 1)
  [[ "$file" == *.pcm ]] && args+=(--channels "${channels[$file]:-stereo}")
  "$otq" compress "$corpus/$file" -o "$scratch/a.otq" "${args[@]}" 2>/dev/null
  got="$(sha256sum "$scratch/a.otq" | cut -d' ' -f1)"
  if [ "$got" != "$digest" ]; then echo "DIGEST MISMATCH: $name"; fail=$((fail + 1)); continue; fi
  "$otq" extract "$scratch/a.otq" -o "$scratch/r" -f -q
  if ! cmp -s "$scratch/r" "$corpus/$file"; then echo "RESTORE MISMATCH: $name"; fail=$((fail + 1)); continue; fi
  if ! "$otq" extract "$scratch/a.otq" -o - 2>/dev/null | cmp -s - "$corpus/$file"; then
    echo "PIPE MISMATCH: $name"; fail=$((fail + 1)); continue
  fi
  pass=$((pass + 1))
done <"$corpus/expected-archives.sha256"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
