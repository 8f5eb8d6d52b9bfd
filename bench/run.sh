#!/usr/bin/env bash
# Benchmark of otq against flac and wavpack: builds the release otq, measures
# size, speed and memory on a folder of recordings and writes the report to
# bench/results/. See bench/README.md; `bash bench/run.sh --help` lists the options.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$HERE/.."

# On a fresh machine the compiler, the peers or the Ogg decoder for the corpus
# may be missing: the project's setup script installs them (as root). Without
# it the benchmark still runs with what is there.
for tool in g++ cmake ninja flac wavpack oggdec; do
  if ! command -v "$tool" >/dev/null; then
    bash scripts/setup.sh || echo "bench: setup failed; going on with what is installed" >&2
    break
  fi
done
exec python3 "$HERE/bench.py" "$@"
