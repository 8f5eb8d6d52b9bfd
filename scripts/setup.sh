#!/usr/bin/env bash
# Installs what building and testing Ostinato needs on Debian 12 (run as root).
# Packages already present are not fetched again.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libcli11-dev nlohmann-json3-dev
  qt6-base-dev qt6-multimedia-dev qt6-svg-dev libqt6svg6 libgl-dev
  flac wavpack vorbis-tools python3
  dpkg-dev desktop-file-utils shared-mime-info
  clang libclang-rt-14-dev
  xvfb openbox xdotool x11-utils pulseaudio
  exfatprogs exfat-fuse
)
if [ "${OSTINATO_EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$OSTINATO_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: these packages are missing, run as root to install them: ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
