#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz, makes their seed corpora from
# cuts of real recordings, and runs every target for SECONDS_PER_TARGET
# seconds, two at a time. Fails when a target finds a crash, a leak, a hang,
# an allocation over the limit or a broken promise of the core; every such
# input is kept in build/fuzz/findings/<target>/.
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 60)
#
# Environment:
#   OSTINATO_FUZZ_TARGETS  targets to run (default: extract lzari block wav roundtrip)
#   OSTINATO_FUZZ_JOBS     targets run side by side (default 2)
#   OSTINATO_CORPUS        folder of recordings for the seeds (default ../shared/corpus beside the checkout;
#                          synthetic signals stand in when it is missing)
# The growing corpus of each target stays in build/fuzz/corpus/<target> between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

SECONDS_PER_TARGET=${1:-60}
if ! [[ $SECONDS_PER_TARGET =~ ^[0-9]+$ ]] || [ "$SECONDS_PER_TARGET" -lt 1 ]; then
  echo "usage: bash scripts/fuzz.sh [SECONDS_PER_TARGET]" >&2
  exit 2
fi
TARGETS=(${OSTINATO_FUZZ_TARGETS:-extract lzari block wav roundtrip})
JOBS=${OSTINATO_FUZZ_JOBS:-2}
CORPUS=${OSTINATO_CORPUS:-$ROOT/../shared/corpus}
BUILD=$ROOT/build/fuzz
START=$(date +%s)

# Inputs longer than this are not tried: archives of the seed cuts are 1.5 to 6 KB.
declare -A MAX_LEN=([extract]=8192 [lzari]=4096 [block]=8192 [wav]=1024 [roundtrip]=4096)

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (Debian packages: clang libclang-rt-14-dev)" >&2
  exit 1
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>"$probe/err"; then
  cat "$probe/err" >&2
  echo "fuzz: clang++ cannot link libFuzzer (Debian package: libclang-rt-14-dev)" >&2
  exit 1
fi

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake --preset fuzz >/dev/null
fi
cmake --build "$BUILD" --target fuzz_all -j2 | grep -v '^\[' || true
[ -x "$BUILD/fuzz/fuzz_seeds" ] || { echo "fuzz: the build failed" >&2; exit 1; }

# Seeds, made afresh each run: short cuts of mono and stereo, ".wav" and ".pcm" recordings.
rm -rf "$BUILD/seeds"
recordings=()
for name in speech-en-voicemail.wav speech-en-voicemail.pcm speech-en-digits.wav \
            music-drascula-t03.wav music-drascula-t07.pcm music-drascula-t23-list.wav; do
  [ -f "$CORPUS/$name" ] && recordings+=("$CORPUS/$name")
done
[ ${#recordings[@]} -gt 0 ] || echo "fuzz: no recordings in $CORPUS, seeding from synthetic signals"
"$BUILD/fuzz/fuzz_seeds" "$BUILD/seeds" "${recordings[@]}"
echo "fuzz: built and seeded in $(( $(date +%s) - START )) s"

run_target() {
  local t=$1
  local dirs=("$BUILD/corpus/$t" "$BUILD/seeds/$t")
  mkdir -p "$BUILD/corpus/$t" "$BUILD/findings/$t" "$BUILD/logs"
  # Hand-made seeds and every input that ever failed start each run too.
  [ -d "$ROOT/fuzz/seeds/$t" ] && dirs+=("$ROOT/fuzz/seeds/$t")
  [ -d "$ROOT/tests/fuzz/regressions/$t" ] && dirs+=("$ROOT/tests/fuzz/regressions/$t")
  local rc=0
  # libFuzzer stops itself after max_total_time; the outer limit only
  # catches a target that does not (a hang inside its own bookkeeping).
  timeout -k 10 $((SECONDS_PER_TARGET + 60)) "$BUILD/fuzz/fuzz_$t" "${dirs[@]}" \
    -max_total_time="$SECONDS_PER_TARGET" -max_len="${MAX_LEN[$t]}" -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1 \
    -artifact_prefix="$BUILD/findings/$t/" >"$BUILD/logs/$t.log" 2>&1 || rc=$?
  echo "$rc" >"$BUILD/logs/$t.rc"
}

running=0
for t in "${TARGETS[@]}"; do
  [ -x "$BUILD/fuzz/fuzz_$t" ] || { echo "fuzz: unknown target '$t'" >&2; exit 2; }
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
printf '%-10s %12s %10s %8s  %s\n' target executions corpus rss result
for t in "${TARGETS[@]}"; do
  log=$BUILD/logs/$t.log
  rc=$(cat "$BUILD/logs/$t.rc")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  inputs=$(find "$BUILD/corpus/$t" -type f | wc -l)
  findings=$(find "$BUILD/findings/$t" -type f -newermt "@$START")
  result=ok
  if [ "$rc" != 0 ] || [ -n "$findings" ]; then
    result="FAILED (exit $rc)"
    failed=1
  fi
  printf '%-10s %12s %10s %6sMB  %s\n' "$t" "${execs:-?}" "$inputs" "${rss:-?}" "$result"
  if [ "$result" != ok ]; then
    grep -E 'FINDING|UNEXPECTED|ERROR: |SUMMARY|Test unit written' "$log" | head -20 | sed 's/^/    /'
    for f in $findings; do
      echo "    kept: $f"
      echo "    replay: $BUILD/fuzz/fuzz_$t $f"
      echo "    minimise: $BUILD/fuzz/fuzz_$t -minimize_crash=1 -max_total_time=60 $f"
    done
    echo "    log: $log"
  fi
done
echo "fuzz: $(( $(date +%s) - START )) s in all"
if [ "$failed" != 0 ]; then
  echo "fuzz: findings above; minimise each, keep it in tests/fuzz/regressions/<target>/ and report it" >&2
  exit 1
fi
