#!/usr/bin/env bash
# Sets everything up, builds the release configuration and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
QT_QPA_PLATFORM=offscreen ctest --preset release -j "$(nproc)"
