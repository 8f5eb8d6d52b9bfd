#!/usr/bin/env bash
# Benchmark of otq against flac and wavpack: builds the release otq, measures
# size, speed and memory on a folder of recordings and writes the report to
# bench/results/. See bench/README.md; `bash bench/run.sh --help` lists the options.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$HERE/.."
exec python3 "$HERE/bench.py" "$@"
