#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it into a scratch
# root and checks that the programs run from there and that the desktop files
# are whole and agree with each other. Without cpack or dpkg it installs with
# `cmake --install` into the scratch root instead.
#
#   deb_test.sh BUILD_DIR WITH_GUI GUI_HAS_VERSION
#
# Exits 77 (skipped) with a message when a tool it needs is missing.
set -uo pipefail
build=$1 with_gui=$2 gui_version=$3
# Under pipefail a reader that stops early (head, grep -q) fails the whole
# pipeline when its writer then takes a SIGPIPE, now and then. Output that is
# only searched is therefore taken in full first and searched from a variable.

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
have() { command -v "$1" >/dev/null 2>&1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ostinato-deb.XXXXXX") || fail "no scratch folder"
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
mkdir -p "$root"

# --- Package, or plain install ---------------------------------------------
if have cpack && have dpkg-deb && have dpkg-shlibdeps; then
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 \
    || { cat "$scratch/cpack.log" >&2; fail "cpack could not build the package"; }
  debs=("$scratch"/pkg/*.deb)
  [ -f "${debs[0]}" ] || fail "cpack wrote no .deb"
  [ ${#debs[@]} -eq 1 ] || fail "cpack wrote ${#debs[@]} packages, expected one"
  deb=${debs[0]}
  echo "package: $(basename "$deb")"
  dpkg-deb -x "$deb" "$root" || fail "dpkg-deb cannot unpack $deb"

  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package)" = ostinato ] || fail "package name is '$(field Package)'"
  [ "$(field Section)" = sound ] || fail "section is '$(field Section)'"
  [ "$(field Maintainer)" = "Ostinato developers" ] || fail "maintainer is '$(field Maintainer)'"
  depends=$(field Depends)
  echo "depends: $depends"
  # Computed from the programs' libraries: the C library always, Qt with the GUI.
  [[ $depends == *libc6* ]] || fail "Depends lacks libc6: the library dependencies were not computed"
  if [ "$with_gui" = 1 ]; then
    [[ $depends == *libqt6widgets6* ]] || fail "Depends lacks Qt's widgets library"
    [[ $depends == *libqt6svg6* ]] || fail "Depends lacks the SVG plugins the artwork is drawn with"
  fi
  description=$(field Description)
  grep -qi lossless <<<"${description%%$'\n'*}" || fail "description does not say what the package is"
  # Every file in the package is owned by root and nothing is writable by others.
  if dpkg-deb -c "$deb" | awk '$2 != "root/root" || substr($1, 9, 1) == "w" { bad = 1 } END { exit !bad }'; then
    dpkg-deb -c "$deb" >&2
    fail "package holds files not owned by root or writable by everyone"
  fi
else
  have cmake || skip "neither cpack with dpkg nor cmake is available"
  echo "cpack, dpkg-deb or dpkg-shlibdeps missing: checking a plain install instead"
  DESTDIR=$root cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1 \
    || { cat "$scratch/install.log" >&2; fail "cmake --install failed"; }
fi
usr=$root/usr

# --- What must be there ------------------------------------------------------
expect=(
  bin/otq
  share/man/man1/otq.1.gz
  share/mime/packages/ostinato.xml
  share/icons/hicolor/scalable/apps/ostinato.svg
  share/icons/hicolor/scalable/mimetypes/application-x-ostinato-archive.svg
  share/doc/ostinato/OstinatoHelp.html
  share/doc/ostinato/copyright
)
if [ "$with_gui" = 1 ]; then
  expect+=(bin/ostinato share/applications/ostinato.desktop)
  for size in 16 32 48 256; do
    expect+=(share/icons/hicolor/${size}x${size}/apps/ostinato.png
             share/icons/hicolor/${size}x${size}/mimetypes/application-x-ostinato-archive.png)
  done
fi
for f in "${expect[@]}"; do
  [ -s "$usr/$f" ] || fail "missing or empty: /usr/$f"
done

# The installed help shows its pictures from beside it.
help=$usr/share/doc/ostinato/OstinatoHelp.html
for pic in $(grep -o 'src="[^"]*"' "$help" | sed 's/^src="//; s/"$//'); do
  [ -s "$usr/share/doc/ostinato/$pic" ] || fail "help picture $pic is not installed beside the help"
done

# Rendered icons have the size their folder promises.
if [ "$with_gui" = 1 ] && have identify; then
  for png in "$usr"/share/icons/hicolor/*x*/*/*.png; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    got=$(identify -format '%wx%h' "$png")
    [ "$got" = "$size" ] || fail "$png is $got, not $size"
  done
fi

# --- The programs run from the unpacked tree --------------------------------
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_RUNTIME_DIR=$scratch/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
otq=$usr/bin/otq
"$otq" --help >"$scratch/help.txt" 2>&1 || fail "otq --help failed"
grep -q compress "$scratch/help.txt" || fail "otq --help does not list its commands"
version=$("$otq" --version) || fail "otq --version failed"
[[ $version == *3.0* ]] || fail "otq --version does not give 3.0"
"$otq" frobnicate >/dev/null 2>&1; [ $? -eq 2 ] || fail "otq gives no usage error status for an unknown command"

# A round trip with the installed tool: noise, then silence, two channels.
work=$scratch/work
mkdir -p "$work/out"
{ head -c 24000 /dev/urandom; head -c 12000 /dev/zero; } >"$work/take.pcm"
"$otq" compress -q --channels stereo -r fast "$work/take.pcm" || fail "the installed otq cannot compress"
"$otq" extract -q -d "$work/out" "$work/take.otq" || fail "the installed otq cannot extract"
cmp -s "$work/take.pcm" "$work/out/take.pcm" || fail "the installed otq does not restore the recording byte for byte"

# The manual page formats without warnings.
if have groff; then
  gzip -dc "$usr/share/man/man1/otq.1.gz" | groff -man -Tutf8 -ww -z 2>"$scratch/man.log"
  [ ! -s "$scratch/man.log" ] || { cat "$scratch/man.log" >&2; fail "the manual page has formatting faults"; }
fi

if [ "$with_gui" = 1 ]; then
  gui=$usr/bin/ostinato
  [ -x "$gui" ] || fail "ostinato is not executable"
  if have ldd; then
    libraries=$(ldd "$gui")
    if grep -q 'not found' <<<"$libraries"; then
      grep 'not found' <<<"$libraries" >&2
      fail "ostinato needs libraries that are not there"
    fi
  fi
  if [ "$gui_version" = 1 ]; then
    out=$(QT_QPA_PLATFORM=offscreen timeout 20 "$gui" --version 2>&1) || fail "ostinato --version failed: $out"
    [[ $out == *3.0* ]] || fail "ostinato --version says '$out'"
  elif have timeout; then
    # No quick way out yet: start it headless and check it is still up after
    # a few seconds (its start-up picture waits for a click), then end it.
    QT_QPA_PLATFORM=offscreen timeout -k 2 4 "$gui" >"$scratch/gui.log" 2>&1
    rc=$?
    [ $rc -eq 124 ] || [ $rc -eq 137 ] || { cat "$scratch/gui.log" >&2; fail "ostinato ended at start-up with status $rc"; }
    echo "ostinato started headless (no --version option yet to check it by)"
  fi
fi

# --- Desktop files ------------------------------------------------------------
if [ "$with_gui" = 1 ]; then
  desktop=$usr/share/applications/ostinato.desktop
  if have desktop-file-validate; then
    desktop-file-validate "$desktop" || fail "the desktop entry is not valid"
  else
    echo "note: desktop-file-validate not found, desktop entry not validated"
  fi
  get() { sed -n "s/^$1=//p" "$desktop"; }
  [ "$(get Exec | cut -d' ' -f1)" = ostinato ] || fail "the desktop entry does not start ostinato"
  icon=$(get Icon)
  [ -s "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the desktop entry's icon '$icon' is not installed"
  mime=$(get MimeType | tr -d ';')
  grep -q "type=\"$mime\"" "$usr/share/mime/packages/ostinato.xml" \
    || fail "the desktop entry's type $mime is not the one the mime entry declares"
  [ -s "$usr/share/icons/hicolor/scalable/mimetypes/${mime/\//-}.svg" ] || fail "no icon for $mime"
fi

# The file type entry compiles, and .otq files get the type.
if have update-mime-database; then
  update-mime-database "$usr/share/mime" >"$scratch/mime.log" 2>&1 || { cat "$scratch/mime.log" >&2; fail "update-mime-database rejects the entry"; }
  grep -q ':application/x-ostinato-archive:\*\.otq' "$usr/share/mime/globs2" || fail "*.otq is not mapped to the archive type"
else
  echo "note: update-mime-database not found, file type entry not compiled"
fi

echo "PASS"
