#!/usr/bin/env bash
# Runs the driven suite of the desktop program (tst_driven) the way a person
# meets the program: a virtual X screen, a window manager, and a sound server
# that plays into nothing, each private to this run and ended with it.
#   run-driven.sh TST_DRIVEN [QtTest options...]
# Exits 77 (skipped) when the tools are missing outside CI.
set -uo pipefail
test_binary=$1
shift

missing=()
for tool in Xvfb openbox xdotool xwininfo xprop; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "run-driven: missing ${missing[*]} (scripts/setup.sh installs them)" >&2
  [ "${CI:-}" ] && exit 1
  exit 77
fi

run=$(mktemp -d "${TMPDIR:-/tmp}/ostinato-driven.XXXXXX")
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$run"
}
trap finish EXIT

# A display number of its own: Xvfb picks a free one and writes it to fd 3.
exec 3>"$run/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"$run/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$run/display" ] && break; sleep 0.1; done
exec 3>&-
[ -s "$run/display" ] || { echo "run-driven: Xvfb did not start" >&2; cat "$run/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(cat "$run/display")"

export HOME="$run/home" XDG_CONFIG_HOME="$run/home/.config" XDG_RUNTIME_DIR="$run/runtime" TMPDIR="$run/tmp"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$TMPDIR" && mkdir -m 700 "$XDG_RUNTIME_DIR"

openbox --sm-disable >"$run/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.1; done

if command -v pulseaudio >/dev/null; then
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    -L "module-null-sink sink_name=nothing" \
    -L "module-native-protocol-unix socket=$XDG_RUNTIME_DIR/pulse-native auth-anonymous=1" \
    >"$run/pulse.log" 2>&1 &
  pids+=($!)
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse-native"
  for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/pulse-native" ] && break; sleep 0.1; done
  [ -S "$XDG_RUNTIME_DIR/pulse-native" ] && export OSTINATO_SOUND=1
fi

unset QT_QPA_PLATFORMTHEME
export QT_QPA_PLATFORM=xcb
export QTEST_FUNCTION_TIMEOUT=200000
"$test_binary" "$@"
