#!/usr/bin/env bash
# Checks the desktop program's artwork and help as the program will see them:
#  - every picture under res/ is drawn by Qt's SVG renderer at the size it is
#    shown at, without a warning and not blank, and uses nothing the renderer
#    silently leaves out (filters, masks, clip paths, style sheets, patterns);
#  - every file the program asks for by resource path (":/...") is compiled
#    into it, every file compiled in exists, and every picture under res/ is
#    either compiled in or installed by the packaging;
#  - every picture the help shows is compiled in beside it.
#
#   artwork_test.sh SOURCE_DIR SVG2PNG
set -uo pipefail
src=$1 render=$2
res=$src/res
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ostinato-art.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$scratch/run
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# The size each picture is shown at, by folder.
declare -A shown=(
  [icons/ostinato.svg]="16 32 48 256" [icons/ostinato-16.svg]=16x16 [icons/ostinato-archive.svg]="16 48"
  [bitmaps/about.svg]=77x105 [bitmaps/title.svg]=432x288
)
size_of() {
  case $1 in
    toolbar/*) echo 64x56 ;;
    buttons/*) echo 32x32 ;;
    tree/*) echo 16x16 ;;
    *) echo "${shown[$1]:-}" ;;
  esac
}

svgs=$(cd "$res" && find . -name '*.svg' | sed 's|^\./||' | sort)
[ -n "$svgs" ] || { echo "FAIL: no artwork under $res" >&2; exit 1; }
for rel in $svgs; do
  file=$res/$rel
  if grep -Eq '<(filter|mask|clipPath|style|pattern|foreignObject)\b|(filter|mask|clip-path)="' "$file"; then
    fail "$rel uses an SVG feature Qt's renderer leaves out"
  fi
  sizes=$(size_of "$rel")
  if [ -z "$sizes" ]; then
    # Help pictures and the like: drawn at the size they declare.
    w=$(grep -o '<svg[^>]*' "$file" | grep -o ' width="[0-9]*"' | head -1 | tr -dc 0-9)
    h=$(grep -o '<svg[^>]*' "$file" | grep -o ' height="[0-9]*"' | head -1 | tr -dc 0-9)
    [ -n "$w" ] && [ -n "$h" ] || { fail "$rel declares no pixel size"; continue; }
    sizes=${w}x$h
  else
    # Pictures of a fixed size must declare that size, so that any viewer shows them crisp.
    first=${sizes%% *}
    [[ $first == *x* ]] || first=${first}x$first
    case $rel in
      icons/ostinato.svg|icons/ostinato-archive.svg) first=32x32 ;;
    esac
    w=${first%x*} h=${first#*x}
    grep -o '<svg[^>]*' "$file" | grep -q " width=\"$w\"" || fail "$rel should declare width $w"
    grep -o '<svg[^>]*' "$file" | grep -q " height=\"$h\"" || fail "$rel should declare height $h"
  fi
  for s in $sizes; do
    [[ $s == *x* ]] || s=${s}x$s
    if ! "$render" --strict "$file" "$scratch/out.png" "${s%x*}" "${s#*x}" 2>"$scratch/render.log"; then
      fail "$rel does not render cleanly at $s: $(tr '\n' ' ' <"$scratch/render.log")"
    fi
  done
done

# Files compiled into the program.
registered=$(sed -n '/qt_add_resources/,/)/p' "$res/CMakeLists.txt" | tr ' \t' '\n\n' \
  | grep -E '^[A-Za-z0-9_./-]+\.(svg|png|html)\)?$' | tr -d ')' | sort -u)
for rel in $registered; do
  [ -f "$res/$rel" ] || fail "res/CMakeLists.txt compiles in $rel, which does not exist"
done
is_registered() { grep -qx "$1" <<<"$registered"; }

# Everything the program's code asks for is compiled in.
for dir in app controls; do
  [ -d "$src/$dir" ] || continue
  for path in $(grep -rhoE '"(qrc)?:/[A-Za-z0-9_./-]+"' "$src/$dir" | tr -d '"' | sed 's|^qrc||; s|^:/||' | sort -u); do
    is_registered "$path" || fail "$dir/ asks for :/$path, which is not compiled in"
  done
done

# Every picture is compiled in or installed as a desktop icon.
for rel in $svgs; do
  is_registered "$rel" && continue
  grep -q "$(basename "$rel")" "$src/packaging/CMakeLists.txt" || fail "$rel is neither compiled in nor installed"
done

# The help's pictures are compiled in beside it.
is_registered help/index.html || fail "the help page is not compiled in"
for pic in $(grep -o 'src="[^"]*"' "$res/help/index.html" | sed 's/^src="//; s/"$//'); do
  is_registered "help/$pic" || fail "the help shows $pic, which is not compiled in"
done

if [ $failures -ne 0 ]; then
  echo "$failures fault(s) in the artwork" >&2
  exit 1
fi
echo "PASS: $(wc -w <<<"$svgs") pictures"
